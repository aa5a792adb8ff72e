#include "service/service_log.h"

#include <windows.h>

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/data_root.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"
#include "service/std_streams.h"

namespace qel::service {
namespace {

constexpr auto kLog = log::Target::service;

class OwnLogFile final : public logging::LogFile {
  public:
    OwnLogFile(win::OwnFolder folder, win::UniqueHandle file)
        : folder_(std::move(folder)), file_(std::move(file)) {}

    bool append(std::string_view line) override { return win::write_all(file_.get(), line).ok(); }

  private:
    win::OwnFolder folder_;  // keeps the folders pinned while the day's file is written
    win::UniqueHandle file_;
};

std::unique_ptr<logging::LogFile> open_own_log_file(const std::string& name) {
    Result<win::OwnFolder> folder = win::claim_data_folder(kLogsFolder);
    if (!folder)
        return nullptr;
    folder->log_notes(kLog);
    Result<win::UniqueHandle> file =
        win::open_for_append(join_path(folder->path(), std::wstring_view(to_wide(name))));
    if (!file)
        return nullptr;
    return std::make_unique<OwnLogFile>(std::move(folder).value(), std::move(file).value());
}

}  // namespace

std::optional<logging::LogGuard> open_service_log() {
    Result<win::OwnFolder> claimed = win::claim_data_folder(kLogsFolder);
    if (!claimed) {
        write_stderr(fmt::format("cannot create logs dir {}: {}\n", to_utf8_lossy(logs_dir()),
                                 claimed.error().full()));
        return std::nullopt;
    }
    logging::LogGuard guard = logging::init_file_logging(open_own_log_file);
    // Only now do they reach the file.
    claimed->log_notes(kLog);
    return guard;
}

}  // namespace qel::service
