#pragma once
// Impersonation of a session's user on the calling thread.

#include <windows.h>

#include "common/error.h"

namespace qel::auth {

// Reverts the calling thread to the agent's own identity when it goes out of scope. Create
// it right after a successful ImpersonateLoggedOnUser, after the token's owner, so that the
// thread reverts before the token is closed.
class RevertOnExit {
  public:
    RevertOnExit() = default;
    RevertOnExit(const RevertOnExit&) = delete;
    RevertOnExit& operator=(const RevertOnExit&) = delete;
    ~RevertOnExit();
};

// ImpersonateLoggedOnUser for the calling thread; "ImpersonateLoggedOnUser: <error>".
Result<void> impersonate(HANDLE user_token);

}  // namespace qel::auth
