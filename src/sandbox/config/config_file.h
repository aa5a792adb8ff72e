#pragma once
// The sing-box configuration file: the connect profile as pretty JSON at config_path.

#include <string>

#include <asio/awaitable.hpp>
#include <nlohmann/json_fwd.hpp>

#include "common/error.h"

namespace qel::sandbox {

// runtime_dir joined with "config.json".
std::wstring config_path();

// Writes the profile through "config.json.tmp" (flushed to disk), deletes an existing
// "config.json", and moves the temporary file into its place. Returns config_path.
asio::awaitable<Result<std::wstring>> write_config(nlohmann::json profile);

}  // namespace qel::sandbox
