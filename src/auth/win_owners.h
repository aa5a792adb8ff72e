#pragma once
// Owners of the Windows resources the token steps hold: each releases its resource once.

#include <combaseapi.h>
#include <windows.h>

#include <utility>

#include "common/unique_handle_win.h"

namespace qel::auth {

// A user's primary token from WTSQueryUserToken, and a file opened with CreateFileW.
using UserToken = win::UniqueHandle;
using FileHandle = win::UniqueHandle;

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
