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
// Session id -> a number: the last error of its WTSQueryUserToken, or how long it sleeps.
std::optional<std::map<DWORD, DWORD>> parse_session_numbers(std::wstring_view text);
// The last error an enumeration fails with; 0 (or empty text) for none.
std::optional<DWORD> parse_error_code(std::wstring_view text);

// An environment variable as it is now; nothing when unset.
std::optional<std::wstring> read_env(const wchar_t* name);

// "@<path>": that file's text (nothing when it cannot be read); any other text as it is.
std::optional<std::wstring> resolve_file_setting(const std::wstring& text);

}  // namespace qel::test::wts
