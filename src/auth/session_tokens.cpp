#include "auth/session_tokens.h"

namespace qel::auth {

bool SessionTokens::begin_attempt(std::uint32_t session) {
    std::lock_guard lock(m_);
    return writing_.insert(session).second;
}

void SessionTokens::end_attempt(std::uint32_t session) {
    std::lock_guard lock(m_);
    writing_.erase(session);
}

}  // namespace qel::auth
