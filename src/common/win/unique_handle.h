#pragma once
// The owner of one kernel handle that CloseHandle releases: a file, a token, a process, a
// job. Both NULL and INVALID_HANDLE_VALUE mean "none", as the Windows calls return either.

#include <windows.h>

#include <utility>

namespace qel::win {

class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    // For calls that hand a handle back through a pointer; the owner must be empty.
    HANDLE* out() { return &h_; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    // A failing close is not reported: there is nothing left to do about it.
    void reset(HANDLE h = nullptr) {
        if (*this)
            CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_ = nullptr;
};

}  // namespace qel::win
