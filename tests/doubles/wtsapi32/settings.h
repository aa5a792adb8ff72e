#pragma once
// The double's settings as text, and their parsed forms.

#include <windows.h>
#include <wtsapi32.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::test::wts {

struct FakeSession {
    DWORD id = 0;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
};

std::optional<std::vector<FakeSession>> parse_sessions(std::wstring_view text);
// Session id -> last error of its WTSQueryUserToken.
std::optional<std::map<DWORD, DWORD>> parse_query_failures(std::wstring_view text);
// The last error an enumeration fails with; 0 (or empty text) for none.
std::optional<DWORD> parse_error_code(std::wstring_view text);

// An environment variable as it is now; nothing when unset.
std::optional<std::wstring> read_env(const wchar_t* name);

}  // namespace qel::test::wts
