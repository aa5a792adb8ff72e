#include "auth/impersonation_win.h"

#include <fmt/format.h>

#include "common/log.h"
#include "common/win_error.h"

namespace qel::auth {
namespace {
constexpr std::chrono::seconds kLastWordsWait{1};
}

Result<void> impersonate(HANDLE user_token) {
    if (!ImpersonateLoggedOnUser(user_token))
        return Error(fmt::format("ImpersonateLoggedOnUser: {}", win::last_error_hresult_text()));
    return {};
}

RevertOnExit::~RevertOnExit() {
    if (RevertToSelf())
        return;
    // The thread would go on as the session's user, running the agent's code that hands the
    // outcome back: no code of the agent may run with that identity.
    log::error(log::Target::auth,
               "RevertToSelf failed: {} \u2014 terminating to avoid running as the session user",
               win::last_error_hresult_text());
    // In service mode the line is only queued; give the log writer a moment to put it out.
    log::drain(kLastWordsWait);
    TerminateProcess(GetCurrentProcess(), 1);
}

}  // namespace qel::auth
