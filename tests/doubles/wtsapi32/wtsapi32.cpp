// A stand-in for wtsapi32.dll: the three calls the agent makes, answering from settings
// that the tests give (see control.h), with the real calls' contracts: a session array
// that only WTSFreeMemory releases, FALSE and the thread's last error on failure, and a
// real primary token of this process so that impersonating it works.

#include <windows.h>
#include <wtsapi32.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "control.h"
#include "settings.h"

namespace qel::test::wts {
namespace {

struct Double {
    std::mutex m;
    std::optional<std::wstring> sessions, query_fail, query_hang, enum_fail;  // set by the tests
    LONG enum_calls = 0, free_calls = 0, query_calls = 0;
    std::set<void*> live;
    LONG bad_frees = 0;
    HANDLE last_token = nullptr;
};

Double& the_double() {
    static Double d;
    return d;
}

// The test's setting, else the environment's, else the default.
std::wstring setting(const std::optional<std::wstring>& set, const wchar_t* env,
                     const wchar_t* fallback) {
    if (set)
        return *set;
    if (auto v = read_env(env))
        return *v;
    return fallback;
}

std::optional<std::vector<FakeSession>> current_sessions() {
    std::wstring text;
    {
        std::lock_guard lock(the_double().m);
        text = setting(the_double().sessions, L"QEL_WTS_SESSIONS", L"1:active");
    }
    const std::optional<std::wstring> resolved = resolve_file_setting(text);
    if (!resolved)
        return std::nullopt;
    return parse_sessions(*resolved);
}

// Appends one line to the file that QEL_WTS_CALL_LOG names, if any.
void log_call(const std::string& line) {
    const std::optional<std::wstring> path = read_env(L"QEL_WTS_CALL_LOG");
    if (!path || path->empty())
        return;
    HANDLE f = CreateFileW(path->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD n = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(f);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::wstring station_name(DWORD id) {
    if (id == 0)
        return L"Services";
    if (id == 1)
        return L"Console";
    return L"RDP-Tcp#" + std::to_wstring(id);
}

// One block: the records, then their station names.
WTS_SESSION_INFOW* allocate_sessions(const std::vector<FakeSession>& sessions) {
    std::size_t chars = 0;
    for (const auto& s : sessions)
        chars += station_name(s.id).size() + 1;
    const std::size_t records = sessions.size() * sizeof(WTS_SESSION_INFOW);
    // Never a null block, not even for no session: the caller frees what it got.
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                            records + chars * sizeof(wchar_t) + sizeof(WTS_SESSION_INFOW));
    if (!block)
        return nullptr;
    auto* info = static_cast<WTS_SESSION_INFOW*>(block);
    auto* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + records);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const std::wstring name = station_name(sessions[i].id);
        std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        info[i] = {sessions[i].id, text, sessions[i].state};
        text += name.size() + 1;
    }
    return info;
}

// A primary token of this process, as the real call gives one of the session's user.
BOOL duplicate_own_token(HANDLE* out) {
    HANDLE self = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &self))
        return FALSE;
    const BOOL ok =
        DuplicateTokenEx(self, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, out);
    const DWORD err = GetLastError();
    CloseHandle(self);
    SetLastError(err);
    return ok;
}

BOOL set_override(std::optional<std::wstring> Double::*field, LPCWSTR text,
                  bool (*valid)(std::wstring_view)) {
    if (text && !valid(text))
        return FALSE;
    Double& d = the_double();
    std::lock_guard lock(d.m);
    d.*field = text ? std::optional<std::wstring>(text) : std::nullopt;
    return TRUE;
}

}  // namespace
}  // namespace qel::test::wts

using namespace qel::test::wts;

extern "C" {

BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                  PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount) {
    Double& d = the_double();
    std::wstring enum_fail;
    {
        std::lock_guard lock(d.m);
        ++d.enum_calls;
        enum_fail = setting(d.enum_fail, L"QEL_WTS_ENUM_FAIL", L"");
    }
    if (hServer != WTS_CURRENT_SERVER_HANDLE)
        return fail(ERROR_INVALID_HANDLE);
    if (Reserved != 0 || Version != 1 || !ppSessionInfo || !pCount)
        return fail(ERROR_INVALID_PARAMETER);
    const auto code = parse_error_code(enum_fail);
    if (!code)
        return fail(ERROR_INVALID_DATA);
    if (*code != 0)
        return fail(*code);
    const auto sessions = current_sessions();
    if (!sessions)
        return fail(ERROR_INVALID_DATA);

    WTS_SESSION_INFOW* info = allocate_sessions(*sessions);
    if (!info)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    {
        std::lock_guard lock(d.m);
        d.live.insert(info);
    }
    *ppSessionInfo = info;
    *pCount = static_cast<DWORD>(sessions->size());
    return TRUE;
}

VOID WINAPI WTSFreeMemory(PVOID pMemory) {
    Double& d = the_double();
    std::lock_guard lock(d.m);
    ++d.free_calls;
    if (!pMemory)
        return;
    if (d.live.erase(pMemory) == 0) {
        ++d.bad_frees;
        return;
    }
    HeapFree(GetProcessHeap(), 0, pMemory);
}

BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
    Double& d = the_double();
    std::wstring query_fail, query_hang;
    {
        std::lock_guard lock(d.m);
        ++d.query_calls;
        query_fail = setting(d.query_fail, L"QEL_WTS_QUERY_FAIL", L"");
        query_hang = setting(d.query_hang, L"QEL_WTS_QUERY_HANG", L"");
    }
    log_call("WTSQueryUserToken " + std::to_string(SessionId));
    if (!phToken)
        return fail(ERROR_INVALID_PARAMETER);
    const auto failures = parse_session_numbers(query_fail);
    const auto hangs = parse_session_numbers(query_hang);
    const auto sessions = current_sessions();
    if (!failures || !hangs || !sessions)
        return fail(ERROR_INVALID_DATA);
    if (auto it = hangs->find(SessionId); it != hangs->end())
        Sleep(it->second);
    if (auto it = failures->find(SessionId); it != failures->end())
        return fail(it->second);
    bool listed = false;
    for (const auto& s : *sessions)
        listed = listed || s.id == SessionId;
    // Session 0 and sessions that do not exist have no logged-on user.
    if (!listed || SessionId == 0)
        return fail(ERROR_NO_TOKEN);

    HANDLE token = nullptr;
    if (!duplicate_own_token(&token))
        return FALSE;
    {
        std::lock_guard lock(d.m);
        d.last_token = token;
    }
    *phToken = token;
    return TRUE;
}

// The control interface (control.h).

BOOL WINAPI QelWtsSetSessions(LPCWSTR text) {
    return set_override(&Double::sessions, text, [](std::wstring_view s) {
        return s.starts_with(L"@") || parse_sessions(s).has_value();
    });
}

BOOL WINAPI QelWtsSetQueryFail(LPCWSTR text) {
    return set_override(&Double::query_fail, text,
                        [](std::wstring_view s) { return parse_session_numbers(s).has_value(); });
}

BOOL WINAPI QelWtsSetQueryHang(LPCWSTR text) {
    return set_override(&Double::query_hang, text,
                        [](std::wstring_view s) { return parse_session_numbers(s).has_value(); });
}

BOOL WINAPI QelWtsSetEnumFail(LPCWSTR text) {
    return set_override(&Double::enum_fail, text,
                        [](std::wstring_view s) { return parse_error_code(s).has_value(); });
}

void WINAPI QelWtsReset() {
    Double& d = the_double();
    std::lock_guard lock(d.m);
    d.sessions.reset();
    d.query_fail.reset();
    d.query_hang.reset();
    d.enum_fail.reset();
    d.enum_calls = d.free_calls = d.query_calls = 0;
    d.bad_frees = 0;
    d.last_token = nullptr;
}

LONG WINAPI QelWtsCallCount(LPCSTR function) {
    Double& d = the_double();
    std::lock_guard lock(d.m);
    const std::string_view f = function ? function : "";
    if (f == "WTSEnumerateSessionsW")
        return d.enum_calls;
    if (f == "WTSFreeMemory")
        return d.free_calls;
    if (f == "WTSQueryUserToken")
        return d.query_calls;
    return -1;
}

LONG WINAPI QelWtsLiveAllocations() {
    Double& d = the_double();
    std::lock_guard lock(d.m);
    return static_cast<LONG>(d.live.size());
}

LONG WINAPI QelWtsBadFrees() {
    Double& d = the_double();
    std::lock_guard lock(d.m);
    return d.bad_frees;
}

HANDLE WINAPI QelWtsLastUserToken() {
    Double& d = the_double();
    std::lock_guard lock(d.m);
    return d.last_token;
}

}  // extern "C"
