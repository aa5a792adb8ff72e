#pragma once
// The kill switch's default tunnel interface: the "interface_name" of the first "tun" inbound
// of the sing-box configuration.

#include <optional>
#include <string>
#include <string_view>

namespace qel::sandbox {

// From the configuration file's bytes: one JSON document (UTF-8, no byte-order mark, nested at
// most 127 levels, only JSON white space after it) whose "inbounds" array holds an object with
// "type" "tun" and a string "interface_name". Nothing otherwise; it never fails.
std::optional<std::string> tun_alias_from_config_text(std::string_view bytes);

// Reads config_path afresh (a plain blocking read on the calling thread) and applies the above.
std::optional<std::string> tun_alias_from_config();

}  // namespace qel::sandbox
