#include <windows.h>
#include <wtsapi32.h>

#include <fmt/format.h>

#include "auth/session_tokens.h"
#include "auth/token_refresh.h"
#include "common/win/owned.h"
#include "common/win_error.h"

namespace qel::auth {
namespace {

// The record array that WTSEnumerateSessionsW hands back.
using WtsSessionArray = win::Owned<PWTS_SESSION_INFOW, WTSFreeMemory>;

Result<std::vector<SessionRecord>> enumerate_sessions() {
    WtsSessionArray info;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, info.out(), &count))
        return Error(
            fmt::format("WTSEnumerateSessions failed: {}", win::last_error_hresult_text()));
    std::vector<SessionRecord> records;
    records.reserve(count);
    for (DWORD i = 0; i < count; ++i)
        records.push_back(
            {info.get()[i].SessionId, static_cast<std::uint32_t>(info.get()[i].State)});
    return records;
}

TokenSteps windows_steps() {
    return {enumerate_sessions, write_token_file, kTokenWriteBound};
}

}  // namespace

asio::awaitable<Result<void>> refresh_active_sessions(std::shared_ptr<SessionTokens> sessions) {
    return refresh_active_sessions(std::move(sessions), windows_steps());
}

asio::awaitable<Result<std::string>> ensure_session_token(std::shared_ptr<SessionTokens> sessions,
                                                          std::uint32_t session) {
    return ensure_session_token(std::move(sessions), session, windows_steps(),
                                std::chrono::steady_clock::now() + kTokenWriteBound);
}

}  // namespace qel::auth
