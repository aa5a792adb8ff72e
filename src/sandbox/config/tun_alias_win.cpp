#include <string>

#include "common/win/files.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/tun_alias.h"

namespace qel::sandbox {

std::optional<std::string> tun_alias_from_config() {
    Result<std::optional<std::string>> bytes = win::read_file(config_path());
    if (!bytes || !*bytes)
        return std::nullopt;
    return tun_alias_from_config_text(**bytes);
}

}  // namespace qel::sandbox
