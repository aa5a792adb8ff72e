#include "sandbox/config/config_file.h"

#include <nlohmann/json.hpp>

#include "common/async/blocking.h"
#include "common/data_root.h"
#include "common/json_text.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"

namespace qel::sandbox {
namespace {

constexpr auto kLog = log::Target::sandbox_lifecycle;

// The folder (claimed as the agent's own), the temporary file, its text and sync, and the
// move into place, in that order.
Result<void> write_config_file(const std::wstring& dir, const std::wstring& tmp,
                               const std::wstring& target, const std::string& text) {
    const win::Claim claim =
        win::claim_data_folder(kRuntimeFolder, kLog, "create_dir_all " + to_utf8_lossy(dir));
    claim.log_notes(kLog);
    if (!claim)
        return claim.folder.error();
    win::Replacement how{tmp, target};
    how.old_target = win::Replacement::OldTarget::deleted_if_present;
    how.open_context = "open tmp file " + to_utf8_lossy(tmp);
    how.move_context = "rename " + to_utf8_lossy(tmp) + " -> " + to_utf8_lossy(target);
    return win::replace_file(how, text);
}

}  // namespace

std::wstring config_path() {
    return join_path(runtime_dir(), std::wstring_view(L"config.json"));
}

asio::awaitable<Result<std::wstring>> write_config(nlohmann::json profile) {
    const std::wstring dir = runtime_dir();
    const std::wstring target = config_path();
    const std::wstring tmp = join_path(dir, std::wstring_view(L"config.json.tmp"));
    const std::string text = to_pretty(profile);

    // One trip to the blocking pool for all the steps: each trip there and back costs a
    // thread wake-up on both sides. Named before it is awaited: GCC 12 destroys a lambda
    // written inside a co_await expression twice.
    const auto write = [&] { return write_config_file(dir, tmp, target, text); };
    Result<void> written = co_await async::run_blocking(kLog, write);
    if (!written)
        co_return std::move(written).error();
    co_return target;
}

}  // namespace qel::sandbox
