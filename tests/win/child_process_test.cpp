#include <gtest/gtest.h>

#include "sandbox/lifecycle/child_process.h"

namespace qel::sandbox {
namespace {

TEST(CommandLine, QuotesLikeTheCRuntimeParsesIt) {
    const struct {
        std::wstring exe;
        std::vector<std::wstring> args;
        std::wstring line;
    } cases[] = {
        {L"C:\\bin\\sing-box.exe",
         {L"run", L"-c", L"C:\\ProgramData\\QEL\\runtime\\config.json"},
         L"\"C:\\bin\\sing-box.exe\" run -c C:\\ProgramData\\QEL\\runtime\\config.json"},
        {L"C:\\Program Files\\QEL\\sing-box.exe",
         {L"run", L"-c", L"C:\\a b\\config.json"},
         L"\"C:\\Program Files\\QEL\\sing-box.exe\" run -c \"C:\\a b\\config.json\""},
        {L"x.exe", {L""}, L"\"x.exe\" \"\""},
        {L"x.exe", {L"say \"hi\""}, L"\"x.exe\" \"say \\\"hi\\\"\""},
        {L"x.exe", {L"C:\\dir with space\\"}, L"\"x.exe\" \"C:\\dir with space\\\\\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(command_line(c.exe, c.args), c.line);
}

}  // namespace
}  // namespace qel::sandbox
