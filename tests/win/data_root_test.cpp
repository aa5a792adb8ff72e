#include <gtest/gtest.h>

#include "common/data_root.h"
#include "sandbox/config/config_file.h"
#include "win_test_util.h"

namespace qel::sandbox {
namespace {

TEST(DataRoot, FollowsProgramData) {
    const struct {
        std::optional<std::wstring> programdata;
        std::wstring root, config;
    } cases[] = {
        {std::nullopt, L"C:\\ProgramData\\QEL", L"C:\\ProgramData\\QEL\\runtime\\config.json"},
        {L"D:\\Data\\", L"D:\\Data\\QEL", L"D:\\Data\\QEL\\runtime\\config.json"},
        {L"D:\\Data", L"D:\\Data\\QEL", L"D:\\Data\\QEL\\runtime\\config.json"},
        {L"", L"QEL", L"QEL\\runtime\\config.json"},
        {std::wstring(L"D:\\bad\xD800"), L"C:\\ProgramData\\QEL",
         L"C:\\ProgramData\\QEL\\runtime\\config.json"},
    };
    for (const auto& c : cases) {
        test::ScopedEnv env(L"PROGRAMDATA", c.programdata);
        EXPECT_EQ(data_root(), c.root);
        EXPECT_EQ(config_path(), c.config);
        EXPECT_EQ(runtime_dir(), c.root.empty() ? L"runtime" : c.root + L"\\runtime");
    }
}

}  // namespace
}  // namespace qel::sandbox
