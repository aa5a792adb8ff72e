#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "common/async/rw_lock.h"

namespace qel::auth {

// Session id -> that session's token (64 lowercase hex characters). Written only by the
// token refresh, read by the refresh and the token check.
using SessionTokens = async::RwLock<std::unordered_map<std::uint32_t, std::string>>;

}  // namespace qel::auth
