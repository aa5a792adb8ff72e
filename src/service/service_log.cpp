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
    explicit OwnLogFile(win::UniqueHandle file) : file_(std::move(file)) {}

    bool append(std::string_view line) override { return win::write_all(file_.get(), line).ok(); }

  private:
    win::UniqueHandle file_;
};

std::unique_ptr<logging::LogFile> open_own_log_file(const std::string& name) {
    const win::Claim claim = win::claim_data_folder(kLogsFolder, kLog);
    claim.log_notes(kLog);
    if (!claim)
        return nullptr;
    Result<win::UniqueHandle> file =
        win::open_for_append(join_path(claim.folder.value(), std::wstring_view(to_wide(name))));
    if (!file)
        return nullptr;
    return std::make_unique<OwnLogFile>(std::move(file).value());
}

}  // namespace

std::optional<logging::LogGuard> open_service_log() {
    const win::Claim claim = win::claim_data_folder(kLogsFolder, kLog);
    if (!claim) {
        // There will be no log to tell of what the claim moved aside.
        for (const std::string& note : claim.notes)
            write_stderr(note + "\n");
        write_stderr(fmt::format("cannot create logs dir {}: {}\n", to_utf8_lossy(logs_dir()),
                                 claim.folder.error().full()));
        return std::nullopt;
    }
    logging::LogGuard guard = logging::init_file_logging(open_own_log_file);
    // Only now do they reach the file.
    claim.log_notes(kLog);
    return guard;
}

}  // namespace qel::service
