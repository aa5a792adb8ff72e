#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/data_root.h"
#include "common/utf.h"
#include "common/win_error.h"
#include "log_capture.h"
#include "runtime_fixture.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/singbox_lookup.h"
#include "sandbox/config/tun_alias.h"
#include "win_test_util.h"

namespace qel::sandbox {
namespace {

std::string read_all(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ConfigFile : public test::RuntimeTest {
  protected:
    test::WinTempDir dir;
    test::ScopedEnv programdata{L"PROGRAMDATA", dir.path()};
};

TEST_F(ConfigFile, WritesThePrettyProfileAndReplacesTheOldFile) {
    for (const char* profile : {R"({"old":true})", "[1,[2,3],[]]"}) {
        Result<std::wstring> r = run(write_config(nlohmann::json::parse(profile)));
        ASSERT_TRUE(r.ok()) << r.error().full();
        EXPECT_EQ(r.value(), config_path());
    }
    EXPECT_EQ(read_all(config_path()), "[\n  1,\n  [\n    2,\n    3\n  ],\n  []\n]");
    EXPECT_FALSE(std::filesystem::exists(runtime_dir() + L"\\config.json.tmp"));
}

TEST_F(ConfigFile, AFileInPlaceOfTheRuntimeFolderIsTheFolderError) {
    std::filesystem::create_directories(data_root());
    std::ofstream(std::filesystem::path(runtime_dir())) << "not a folder";
    Result<std::wstring> r = run(write_config(nlohmann::json::object()));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "create_dir_all " + to_utf8_lossy(runtime_dir()) + ": " +
                                    win::os_error_text(ERROR_ALREADY_EXISTS));
}

TEST_F(ConfigFile, ALockedConfigurationFailsTheMoveAndKeepsTheNewText) {
    ASSERT_TRUE(run(write_config(nlohmann::json("old"))).ok());
    // Opened without FILE_SHARE_DELETE: neither the delete nor the move can take its name.
    HANDLE lock = CreateFileW(config_path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Result<std::wstring> r = run(write_config(nlohmann::json("new")));
    CloseHandle(lock);
    ASSERT_FALSE(r.ok());
    const std::wstring tmp = runtime_dir() + L"\\config.json.tmp";
    EXPECT_TRUE(r.error().full().starts_with("rename " + to_utf8_lossy(tmp) + " -> " +
                                             to_utf8_lossy(config_path()) + ": "))
        << r.error().full();
    EXPECT_EQ(read_all(tmp), "\"new\"");
    EXPECT_EQ(read_all(config_path()), "\"old\"");
}

// An alias that another account could plant would open the kill switch for its interface:
// the configuration is read only from folders of the agent's own, which the read neither
// makes, moves nor changes, and the read writes no log line on any path.
TEST_F(ConfigFile, TheTunnelInterfaceIsReadOnlyFromAnOwnFolderAndNothingIsLogged) {
    test::clear_captured_events();
    EXPECT_EQ(tun_alias_from_config(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(data_root()));
    const auto profile = nlohmann::json::parse(
        R"({"inbounds":[{"type":"tun"},{"type":"tun","interface_name":"wg0"}]})");
    ASSERT_TRUE(run(write_config(profile)).ok());
    EXPECT_EQ(tun_alias_from_config(), "wg0");

    // Everyone may change the folder now.
    ASSERT_TRUE(test::set_dacl(runtime_dir(), L"D:(A;OICI;FA;;;WD)"));
    EXPECT_EQ(tun_alias_from_config(), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(config_path()));
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(data_root())))
        EXPECT_EQ(e.path().filename().wstring(), L"runtime");
    EXPECT_TRUE(test::captured_events().empty());
}

class Lookup : public ::testing::Test {
  protected:
    test::WinTempDir dir;
    std::wstring own_folder() {
        wchar_t buf[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
        std::wstring p(buf, n);
        return p.substr(0, p.find_last_of(L"\\/"));
    }
};

// What lies at a candidate's path.
enum class Place { nothing, file, folder };

void put(Place what, const std::wstring& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (what == Place::file)
        std::ofstream(std::filesystem::path(path)) << "MZ";
    if (what == Place::folder)
        std::filesystem::create_directories(path);
}

// A candidate as the lookup's error lists it.
std::string listed(const std::wstring& path) {
    std::string quoted = "\"";
    for (char c : to_utf8_lossy(path))
        quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return quoted + "\"";
}

// Runs the probe, copied into `folder`, with `cwd` as its current folder and the environment
// settings given (NAME=VALUE, or -NAME to remove one); its one line, without the line feed.
std::string probe_from(const std::wstring& folder, const std::wstring& cwd,
                       const std::vector<std::wstring>& settings) {
    const std::wstring exe = folder + L"\\singbox-lookup-probe.exe";
    std::filesystem::create_directories(folder);
    if (!CopyFileW((test::program_folder() + L"\\singbox-lookup-probe.exe").c_str(), exe.c_str(),
                   FALSE))
        return "copy failed: " + std::to_string(GetLastError());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return "pipe failed";
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"\"" + exe + L"\"";
    for (const std::wstring& setting : settings)
        cmd += L" \"" + setting + L"\"";
    const BOOL started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, cwd.c_str(), &si, &pi);
    CloseHandle(write_end);
    std::string out;
    if (started) {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(read_end, buf, sizeof buf, &n, nullptr) && n > 0)
            out.append(buf, n);
        WaitForSingleObject(pi.hProcess, 30000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        out = "start failed: " + std::to_string(GetLastError());
    }
    CloseHandle(read_end);
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// The lookup run from a folder of the test's own (the agent's folder), with a file, a folder or
// nothing at each candidate's place: the first that is a file wins, in the order override, own
// folder, Program Files; the error lists the last two, in that order.
TEST_F(Lookup, TheFirstFileInCandidateOrderWinsAndTheErrorListsThemInOrder) {
    const std::wstring agent = dir.path() + L"\\agent";
    const std::wstring beside = agent + L"\\sing-box.exe";
    const std::wstring pf = dir.path() + L"\\pf";
    const std::wstring under_pf = pf + L"\\QEL\\bin\\sing-box.exe";
    const std::wstring cwd = dir.path() + L"\\cwd";
    const std::wstring custom = cwd + L"\\custom.exe";
    std::filesystem::create_directories(cwd);

    enum class Override { unset, absolute, relative };
    const struct {
        const char* name;
        Override override_kind;
        Place at_override, at_beside;
        bool pf_set;
        Place at_pf;
        std::string expected;
    } cases[] = {
        {"the override wins over both others", Override::absolute, Place::file, Place::file, true,
         Place::file, "found " + to_utf8_lossy(custom)},
        {"a relative override is found in the current folder and kept relative", Override::relative,
         Place::file, Place::file, true, Place::file, "found custom.exe"},
        {"without an override the own folder comes before Program Files", Override::unset,
         Place::nothing, Place::file, true, Place::file, "found " + to_utf8_lossy(beside)},
        {"an override that is a folder is passed over", Override::absolute, Place::folder,
         Place::file, true, Place::file, "found " + to_utf8_lossy(beside)},
        {"Program Files is the last candidate", Override::absolute, Place::nothing, Place::nothing,
         true, Place::file, "found " + to_utf8_lossy(under_pf)},
        {"a folder in the own folder's place is passed over", Override::unset, Place::nothing,
         Place::folder, true, Place::file, "found " + to_utf8_lossy(under_pf)},
        {"nothing found: the own folder, then Program Files", Override::absolute, Place::nothing,
         Place::nothing, true, Place::folder,
         "error sing-box.exe not found; searched: QEL_SINGBOX_EXE, [" + listed(beside) + ", " +
             listed(under_pf) + "]"},
        {"without ProgramFiles only the own folder is listed", Override::unset, Place::nothing,
         Place::nothing, false, Place::nothing,
         "error sing-box.exe not found; searched: QEL_SINGBOX_EXE, [" + listed(beside) + "]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::wstring& p : {custom, beside, pf}) {
            std::error_code ec;
            std::filesystem::remove_all(p, ec);
        }
        put(c.at_override, custom);
        put(c.at_beside, beside);
        put(c.at_pf, under_pf);
        std::vector<std::wstring> settings = {c.pf_set ? L"ProgramFiles=" + pf
                                                       : std::wstring(L"-ProgramFiles")};
        if (c.override_kind == Override::unset)
            settings.push_back(L"-QEL_SINGBOX_EXE");
        if (c.override_kind == Override::absolute)
            settings.push_back(L"QEL_SINGBOX_EXE=" + custom);
        if (c.override_kind == Override::relative)
            settings.push_back(L"QEL_SINGBOX_EXE=custom.exe");
        EXPECT_EQ(probe_from(agent, cwd, settings), c.expected);
    }
}

TEST_F(Lookup, OverridesThatAreNoFileArePassedOverAndTheListIsQuoted) {
    const std::wstring folder = dir.path() + L"\\a folder";
    std::filesystem::create_directories(folder);
    test::ScopedEnv pf(L"ProgramFiles", std::wstring(L"C:\\Program \"Files\""));
    for (const std::optional<std::wstring>& value :
         {std::optional<std::wstring>(folder), std::optional<std::wstring>(L"C:\\missing.exe"),
          std::optional<std::wstring>(L""), std::optional<std::wstring>()}) {
        test::ScopedEnv env(L"QEL_SINGBOX_EXE", value);
        Result<std::wstring> r = find_singbox_exe();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().full(),
                  "sing-box.exe not found; searched: QEL_SINGBOX_EXE, [" +
                      listed(own_folder() + L"\\sing-box.exe") +
                      ", \"C:\\\\Program \\\"Files\\\"\\\\QEL\\\\bin\\\\sing-box.exe\"]");
    }
}

}  // namespace
}  // namespace qel::sandbox
