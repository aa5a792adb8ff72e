#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/utf.h"
#include "common/win_error.h"
#include "runtime_fixture.h"
#include "sandbox/config/config_file.h"
#include "sandbox/config/data_root.h"
#include "sandbox/config/singbox_lookup.h"
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

class Lookup : public ::testing::Test {
  protected:
    test::WinTempDir dir;
    std::wstring own_folder() {
        wchar_t buf[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
        std::wstring p(buf, n);
        return p.substr(0, p.find_last_of(L"\\/"));
    }
    std::wstring make_file(const std::wstring& name) {
        const std::wstring p = dir.path() + L"\\" + name;
        std::ofstream(std::filesystem::path(p)) << "MZ";
        return p;
    }
};

TEST_F(Lookup, TheOverrideWinsWhenItIsAFile) {
    const std::wstring exe = make_file(L"custom.exe");
    test::ScopedEnv env(L"QEL_SINGBOX_EXE", exe);
    Result<std::wstring> r = find_singbox_exe();
    ASSERT_TRUE(r.ok()) << r.error().full();
    EXPECT_EQ(r.value(), exe);
}

TEST_F(Lookup, ProgramFilesIsTheLastCandidate) {
    const std::wstring pf = dir.path() + L"\\pf";
    std::filesystem::create_directories(pf + L"\\QEL\\bin");
    std::ofstream(std::filesystem::path(pf + L"\\QEL\\bin\\sing-box.exe")) << "MZ";
    test::ScopedEnv none(L"QEL_SINGBOX_EXE", std::nullopt);
    test::ScopedEnv env(L"ProgramFiles", pf);
    Result<std::wstring> r = find_singbox_exe();
    ASSERT_TRUE(r.ok()) << r.error().full();
    EXPECT_EQ(r.value(), pf + L"\\QEL\\bin\\sing-box.exe");
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
        std::string beside = to_utf8_lossy(own_folder() + L"\\sing-box.exe");
        std::string quoted;
        for (char c : beside)
            quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
        EXPECT_EQ(r.error().full(),
                  "sing-box.exe not found; searched: QEL_SINGBOX_EXE, [\"" + quoted +
                      "\", \"C:\\\\Program \\\"Files\\\"\\\\QEL\\\\bin\\\\sing-box.exe\"]");
    }
}

TEST_F(Lookup, NoCandidatesGiveAnEmptyList) {
    test::ScopedEnv none(L"QEL_SINGBOX_EXE", std::nullopt);
    test::ScopedEnv pf(L"ProgramFiles", std::nullopt);
    Result<std::wstring> r = find_singbox_exe();
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(
        r.error().full().starts_with("sing-box.exe not found; searched: QEL_SINGBOX_EXE, [\""));
}

}  // namespace
}  // namespace qel::sandbox
