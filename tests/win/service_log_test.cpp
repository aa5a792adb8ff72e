#include <gtest/gtest.h>

#include <fstream>

#include "common/utf.h"
#include "common/win_error.h"
#include "service/service_log.h"
#include "win_test_util.h"

namespace qel::service {
namespace {

TEST(ServiceLog, AFolderThatCannotBeMadeLeavesTheServiceWithoutALog) {
    test::WinTempDir dir;
    const std::wstring logs = dir.path() + L"\\logs";
    std::ofstream(std::filesystem::path(logs)) << "a file where the folder should be";

    std::optional<logging::LogGuard> guard;
    const std::string err = test::capture_stderr([&] { guard = open_service_log(logs); });
    EXPECT_FALSE(guard.has_value());
    EXPECT_EQ(err, "cannot create logs dir " + to_utf8_lossy(logs) + ": " +
                       win::os_error_text(ERROR_ALREADY_EXISTS) + "\n");
}

}  // namespace
}  // namespace qel::service
