#pragma once
// The owner of one block or object that a Windows call hands to the caller and that one
// function releases: Owned<T, Release> calls Release(p) once, for a non-null p. Kernel handles
// have their own owner, UniqueHandle, as they have two "none" values.

#include <windows.h>
// windows.h first: the other Windows headers depend on it.
#include <combaseapi.h>

#include <utility>

namespace qel::win {

template <class T, auto Release>
class Owned {
  public:
    Owned() = default;
    explicit Owned(T p) : p_(p) {}
    Owned(Owned&& o) noexcept : p_(o.release()) {}
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    explicit operator bool() const { return p_ != nullptr; }
    T get() const { return p_; }
    T operator->() const { return p_; }
    // For calls that hand the object back through a pointer; what was held is released first.
    T* out() {
        reset();
        return &p_;
    }
    T release() { return std::exchange(p_, nullptr); }
    void reset(T p = nullptr) {
        if (p_ != nullptr)
            Release(p_);
        p_ = p;
    }

  private:
    T p_ = nullptr;
};

inline void local_free(void* p) {
    LocalFree(p);
}
inline void co_task_mem_free(void* p) {
    CoTaskMemFree(p);
}

// Memory of the local heap (FormatMessageW, CommandLineToArgvW, the SDDL conversion).
template <class T>
using LocalMemory = Owned<T*, local_free>;
// Memory of the COM task allocator (SHGetKnownFolderPath).
template <class T>
using CoTaskMemory = Owned<T*, co_task_mem_free>;

}  // namespace qel::win
