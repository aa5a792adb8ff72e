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
    const auto unread = [&](const Error& e) {
        log::warn(kLog, "cannot read the tunnel interface from {}: {:#}",
                  to_utf8_lossy(config_path()), e);
        return std::nullopt;
    };
    Result<win::OwnFolder> folder = win::claim_data_folder(kRuntimeFolder);
    if (!folder)
        return unread(folder.error());
    folder->log_notes(kLog);
    Result<std::optional<std::string>> bytes = win::read_file(config_path());
    if (!bytes)
        return unread(bytes.error());
    if (!*bytes)
        return std::nullopt;
    return tun_alias_from_config_text(**bytes);
}

}  // namespace qel::sandbox
