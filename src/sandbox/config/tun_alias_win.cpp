#include <string>

#include "common/data_root.h"
#include "common/log.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/tun_alias.h"

namespace qel::sandbox {

std::optional<std::string> tun_alias_from_config() {
    constexpr auto kLog = log::Target::sandbox_lifecycle;
    // The file is read only from the claimed folder: an alias that another account could plant
    // would open the kill switch for its interface.
    Result<win::OwnFolder> folder = win::claim_data_folder(kRuntimeFolder);
    Result<std::optional<std::string>> bytes =
        folder ? win::read_file(config_path()) : Result<std::optional<std::string>>(folder.error());
    if (folder)
        folder->log_notes(kLog);
    if (!bytes) {
        log::warn(kLog, "cannot read the tunnel interface from {}: {:#}",
                  to_utf8_lossy(config_path()), bytes.error());
        return std::nullopt;
    }
    if (!*bytes)
        return std::nullopt;
    return tun_alias_from_config_text(**bytes);
}

}  // namespace qel::sandbox
