#pragma once
// Static storage whose object is never destroyed.
//
// After the service has stopped, main returns while other threads (the service thread, runtime
// workers, a log writer that missed its deadline) may still run; the static destructors must
// not take from under them what they use.

#include <utility>

namespace qel {

template <class T>
class NoDestroy {
  public:
    // Constant initialization where T allows it, so that nothing can use it before it exists.
    constexpr NoDestroy() : storage_() {}
    NoDestroy(const NoDestroy&) = delete;
    NoDestroy& operator=(const NoDestroy&) = delete;
    ~NoDestroy() {}  // leaves the object alive on purpose

    T& get() noexcept { return storage_.value; }
    T* operator->() noexcept { return &storage_.value; }

  private:
    union Storage {
        constexpr Storage() : value() {}
        ~Storage() {}
        T value;
    } storage_;
};

}  // namespace qel
