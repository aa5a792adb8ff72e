#pragma once
// The wtsapi32 test double as the in-process tests see it: its control exports, found in
// the wtsapi32.dll that this process loaded.

#include <windows.h>

#include <optional>

#include "control.h"

namespace qel::test {

class WtsDouble {
  public:
    // Nothing when the loaded wtsapi32.dll is not the double (Wine's own was loaded: the
    // test needs WINEDLLOVERRIDES="wtsapi32=n").
    static std::optional<WtsDouble> find();

    bool set_sessions(const wchar_t* text) const { return set_sessions_(text); }
    bool set_query_fail(const wchar_t* text) const { return set_query_fail_(text); }
    bool set_enum_fail(const wchar_t* text) const { return set_enum_fail_(text); }
    void reset() const { reset_(); }
    long calls(const char* function) const { return call_count_(function); }
    long live_allocations() const { return live_allocations_(); }
    long bad_frees() const { return bad_frees_(); }
    HANDLE last_user_token() const { return last_user_token_(); }

  private:
    WtsDouble() = default;
    wts::SetFn set_sessions_ = nullptr, set_query_fail_ = nullptr, set_enum_fail_ = nullptr;
    wts::ResetFn reset_ = nullptr;
    wts::CallCountFn call_count_ = nullptr;
    wts::CounterFn live_allocations_ = nullptr, bad_frees_ = nullptr;
    wts::LastTokenFn last_user_token_ = nullptr;
};

}  // namespace qel::test
