#pragma once
// Owners of the Windows resources the token steps hold: each releases its resource once.

#include <combaseapi.h>
#include <windows.h>

#include <utility>

namespace qel::auth {

// A user's primary token from WTSQueryUserToken.
class UserToken {
  public:
    UserToken() = default;
    UserToken(const UserToken&) = delete;
    UserToken& operator=(const UserToken&) = delete;
    ~UserToken() {
        if (h_)
            CloseHandle(h_);
    }
    HANDLE get() const { return h_; }
    HANDLE* out() { return &h_; }

  private:
    HANDLE h_ = nullptr;
};

// A file opened with CreateFileW.
class FileHandle {
  public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { close(); }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    // A failing close is not reported: the data was flushed before.
    void close() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(std::exchange(h_, INVALID_HANDLE_VALUE));
    }

  private:
    HANDLE h_;
};

// A string that a Windows call allocated with the COM task allocator.
class CoTaskString {
  public:
    CoTaskString() = default;
    CoTaskString(const CoTaskString&) = delete;
    CoTaskString& operator=(const CoTaskString&) = delete;
    ~CoTaskString() { CoTaskMemFree(p_); }
    const wchar_t* get() const { return p_; }
    PWSTR* out() { return &p_; }

  private:
    PWSTR p_ = nullptr;
};

}  // namespace qel::auth
