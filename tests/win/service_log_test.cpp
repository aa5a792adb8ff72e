#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/data_root.h"
#include "common/utf.h"
#include "common/win_error.h"
#include "service/service_log.h"
#include "win_test_util.h"

namespace qel::service {
namespace {

TEST(ServiceLog, AFolderThatCannotBeMadeLeavesTheServiceWithoutALog) {
    test::WinTempDir dir;
    const test::ScopedEnv programdata(L"PROGRAMDATA", dir.path());
    std::filesystem::create_directories(data_root());
    std::ofstream(std::filesystem::path(logs_dir())) << "a file where the folder should be";

    std::optional<logging::LogGuard> guard;
    const std::string err = test::capture_stderr([&] { guard = open_service_log(); });
    EXPECT_FALSE(guard.has_value());
    EXPECT_EQ(err, "cannot create logs dir " + to_utf8_lossy(logs_dir()) + ": " +
                       win::os_error_text(ERROR_ALREADY_EXISTS) + "\n");
}

}  // namespace
}  // namespace qel::service
