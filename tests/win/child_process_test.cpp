#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "common/win/unique_handle.h"
#include "common/win_error.h"
#include "runtime_fixture.h"
#include "sandbox/lifecycle/child_process.h"
#include "win_test_util.h"

namespace qel::sandbox {
namespace {

using namespace std::chrono_literals;

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

// The stand-in sing-box from beside this program, with a configuration in a folder of its own.
// Its first act is to append its process id to a file there, which shows whether it ran.
class SpawnChild : public test::RuntimeTest {
  protected:
    test::WinTempDir dir;
    const std::wstring exe = test::program_folder() + L"\\fake-singbox.exe";

    std::vector<std::wstring> args(const std::string& fake) {
        const std::filesystem::path config = dir.path() + L"\\config.json";
        std::ofstream(config, std::ios::binary) << R"({"qel_fake":)" << fake << "}";
        return {L"run", L"-c", config.wstring()};
    }
    bool ran() const {
        return std::filesystem::exists(std::filesystem::path(dir.path() + L"\\fake-singbox.pids"));
    }
};

// An ended process, its exit code; the bound only keeps a process that never ends from hanging
// the test.
DWORD exit_code_once_ended(HANDLE process) {
    if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

TEST_F(SpawnChild, TheChildRunsOnlyOnceResumed) {
    Result<SpawnedChild> spawned = spawn_child(io(), exe, args(R"({"exit":7})"));
    ASSERT_TRUE(spawned.ok()) << spawned.error().full();
    ChildProcess& child = spawned->child;

    // It would exit at once if it ran.
    Result<std::optional<std::uint32_t>> early = run(child.wait_for(1s));
    ASSERT_TRUE(early.ok()) << early.error().full();
    EXPECT_EQ(early.value(), std::nullopt) << "it ran before it was resumed";
    EXPECT_FALSE(ran());

    ASSERT_TRUE(child.resume().ok());
    Result<std::optional<std::uint32_t>> exited = run(child.wait_for(30s));
    ASSERT_TRUE(exited.ok()) << exited.error().full();
    EXPECT_EQ(exited.value(), std::optional<std::uint32_t>(7));
    EXPECT_TRUE(ran());
}

// Whatever ends a start between the creation and the resume drops the child: it must not stay
// behind suspended.
TEST_F(SpawnChild, AChildDroppedBeforeItsResumeEndsWithoutHavingRun) {
    win::UniqueHandle watch;
    {
        Result<SpawnedChild> spawned = spawn_child(io(), exe, args("{}"));
        ASSERT_TRUE(spawned.ok()) << spawned.error().full();
        watch.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                spawned->child.pid()));
        ASSERT_TRUE(watch);
    }
    EXPECT_EQ(exit_code_once_ended(watch.get()), 1u);
    EXPECT_FALSE(ran());
}

TEST_F(SpawnChild, AFailedResumeIsItsOsErrorAndTheReleaseEndsTheChild) {
    std::wstring cmd = command_line(exe, args("{}"));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &si, &pi));
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread), watch, cannot_resume;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), process.get(), GetCurrentProcess(),
                                watch.out(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                0));
    // Without THREAD_SUSPEND_RESUME, ResumeThread is refused.
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread.get(), GetCurrentProcess(),
                                cannot_resume.out(), SYNCHRONIZE, FALSE, 0));
    thread.reset();
    {
        ChildProcess child(std::move(process), std::move(cannot_resume), pi.dwProcessId);
        const Result<void> resumed = child.resume();
        ASSERT_FALSE(resumed.ok());
        EXPECT_EQ(resumed.error().full(),
                  "ResumeThread failed: " + win::os_error_text(ERROR_ACCESS_DENIED));
        EXPECT_EQ(resumed.error().os_code(), std::optional<std::uint32_t>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(exit_code_once_ended(watch.get()), 1u);
    EXPECT_FALSE(ran());
}

}  // namespace
}  // namespace qel::sandbox
