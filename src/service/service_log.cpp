#include "service/service_log.h"

#include <fmt/format.h>

#include "common/utf.h"
#include "common/win/files.h"
#include "service/std_streams.h"

namespace qel::service {

std::optional<logging::LogGuard> open_service_log(const std::wstring& log_dir) {
    if (Result<void> made = win::create_dir_all(log_dir); !made) {
        write_stderr(fmt::format("cannot create logs dir {}: {}\n", to_utf8_lossy(log_dir),
                                 made.error().full()));
        return std::nullopt;
    }
    return logging::init_file_logging(std::filesystem::path(log_dir));
}

}  // namespace qel::service
