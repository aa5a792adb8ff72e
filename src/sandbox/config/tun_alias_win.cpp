#include <string>

#include "common/data_root.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/tun_alias.h"

namespace qel::sandbox {

std::optional<std::string> tun_alias_from_config() {
    // Read only from a folder of the agent's own, and never through a link: an alias that
    // another account could plant would open the kill switch for its interface. Every failure
    // is no alias.
    if (!win::find_own_data_folder(kRuntimeFolder))
        return std::nullopt;
    Result<std::optional<std::string>> bytes = win::read_file(config_path());
    if (!bytes || !*bytes)
        return std::nullopt;
    return tun_alias_from_config_text(**bytes);
}

}  // namespace qel::sandbox
