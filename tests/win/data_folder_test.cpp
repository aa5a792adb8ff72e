// The agent's data folders as folders of its own. Wine keeps no owner and maps a DACL to the
// unix mode bits, so what it can show is which accounts may write (the bits for "others" are
// Everyone, S-1-1-0); links are made from the Linux side, in the end-to-end tests.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/data_root.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"
#include "common/win/security.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"
#include "win_test_util.h"

namespace qel::win {
namespace {

constexpr wchar_t kEveryoneMayWrite[] = L"D:(A;OICI;FA;;;WD)";

struct AceSeen {
    std::string sid;
    ACCESS_MASK mask;
    BYTE flags;
    bool operator==(const AceSeen&) const = default;
};

std::string sid_text(PSID sid) {
    LocalMemory<wchar_t> s;
    ConvertSidToStringSidW(sid, s.out());
    return to_utf8_lossy(s.get());
}

TEST(AgentDescriptors, ParseBackToTheirOwnerAndProtectedEntries) {
    struct Case {
        std::wstring_view sddl;
        std::vector<AceSeen> aces;
    } const cases[] = {
        {kAgentFolderSddl,
         {{"S-1-5-18", FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
          {"S-1-5-32-544", FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
          {"S-1-5-11", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
           OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE}}},
        {kPrivateFileSddl,
         {{"S-1-5-18", FILE_ALL_ACCESS, 0}, {"S-1-5-32-544", FILE_ALL_ACCESS, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(to_utf8_lossy(c.sddl));
        Result<SecurityDescriptor> sd = parse_sddl(c.sddl);
        ASSERT_TRUE(sd.ok()) << sd.error().full();
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(sd->get(), &owner, &defaulted));
        EXPECT_EQ(sid_text(owner), "S-1-5-32-544");  // Administrators
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(sd->get(), &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing may be inherited from above";
        BOOL present = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(sd->get(), &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl != nullptr);
        std::vector<AceSeen> aces;
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
            ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            aces.push_back({sid_text(&ace->SidStart), ace->Mask, ace->Header.AceFlags});
        }
        EXPECT_EQ(aces, c.aces);
    }
    // Authenticated Users read and execute: no right to change anything.
    EXPECT_EQ(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, 0x1200a9u);
}

class DataFolder : public ::testing::Test {
  protected:
    test::WinTempDir dir;
    test::ScopedEnv programdata{L"PROGRAMDATA", dir.path()};
    std::wstring runtime() const { return runtime_dir(); }
    std::wstring in_runtime(const wchar_t* name) const { return runtime() + L"\\" + name; }

    // A folder or file as another account would leave it: writable by everyone.
    static void plant_folder(const std::wstring& path) {
        Result<SecurityDescriptor> sd = parse_sddl(kEveryoneMayWrite);
        SECURITY_ATTRIBUTES sa{sizeof(sa), sd->get(), FALSE};
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), &sa) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        dacl_of(sd->get()), nullptr),
                  ERROR_SUCCESS);
        ASSERT_TRUE(foreign(path)) << to_utf8_lossy(path);
    }
    static void plant_file(const std::wstring& path, const std::string& text) {
        Result<SecurityDescriptor> sd = parse_sddl(kEveryoneMayWrite);
        SECURITY_ATTRIBUTES sa{sizeof(sa), sd->get(), FALSE};
        UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(h);
        DWORD n = 0;
        WriteFile(h.get(), text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
        h.reset();
        ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        dacl_of(sd->get()), nullptr),
                  ERROR_SUCCESS);
        ASSERT_TRUE(foreign(path)) << to_utf8_lossy(path);
    }
    static PACL dacl_of(PSECURITY_DESCRIPTOR sd) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        return dacl;
    }
    // Why another account could change it; nothing when it is the agent's own.
    static std::optional<std::string> foreign(const std::wstring& path) {
        UniqueHandle h(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!h)
            return "cannot open";
        return why_not_own(h.get());
    }
    static bool exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    static std::string contents(const std::wstring& path) {
        std::ifstream in(std::filesystem::path(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(DataFolder, NewFoldersAreCreatedAsTheAgentsOwn) {
    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok()) << f.error().full();
    EXPECT_EQ(f->path(), runtime());
    EXPECT_TRUE(f->notes().empty());
    EXPECT_EQ(foreign(data_root()), std::nullopt);
    EXPECT_EQ(foreign(runtime()), std::nullopt);
    // What the agent then creates there is its own too.
    ASSERT_TRUE(replace_file({in_runtime(L"x.tmp"), in_runtime(L"x")}, "x").ok());
    EXPECT_EQ(foreign(in_runtime(L"x")), std::nullopt);
}

TEST_F(DataFolder, AForeignFolderIsTakenOverAndWhatOthersCouldChangeIsRemoved) {
    plant_folder(data_root());
    plant_folder(runtime());
    plant_folder(logs_dir());
    plant_file(in_runtime(L"kill-switch.json.lock"), "held?");
    plant_file(in_runtime(L"config.json.tmp"), "planted");
    plant_folder(in_runtime(L"nest"));
    plant_file(in_runtime(L"nest\\deep"), "deep");
    // A second name of a file outside: removing the name leaves that file alone.
    const std::wstring outside = dir.path() + L"\\outside";
    std::ofstream(std::filesystem::path(outside)) << "outside";
    ASSERT_TRUE(CreateHardLinkW(in_runtime(L"hard").c_str(), outside.c_str(), nullptr));
    // The agent's own, from before: kept.
    ASSERT_TRUE(replace_file({in_runtime(L"own.tmp"), in_runtime(L"config.json")}, "mine").ok());

    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok()) << f.error().full();
    EXPECT_EQ(foreign(data_root()), std::nullopt);
    EXPECT_EQ(foreign(runtime()), std::nullopt);
    for (const wchar_t* gone : {L"kill-switch.json.lock", L"config.json.tmp", L"nest", L"hard"})
        EXPECT_FALSE(exists(in_runtime(gone))) << to_utf8_lossy(gone);
    EXPECT_EQ(contents(in_runtime(L"config.json")), "mine");
    EXPECT_EQ(contents(outside), "outside");
    std::vector<std::string> expected;
    for (const wchar_t* name : {L"config.json.tmp", L"hard", L"kill-switch.json.lock", L"nest"})
        expected.push_back("data folder: removed " + to_utf8_lossy(in_runtime(name)) + ": ");
    std::vector<std::string> notes = f->notes();
    std::sort(notes.begin(), notes.end());
    ASSERT_EQ(notes.size(), expected.size());
    for (std::size_t i = 0; i < notes.size(); ++i)
        EXPECT_EQ(notes[i].rfind(expected[i], 0), 0u) << notes[i];
    EXPECT_NE(notes[1].find("2 names (hard links)"), std::string::npos) << notes[1];
    EXPECT_NE(notes[0].find("S-1-1-0 may change it"), std::string::npos) << notes[0];
    // The logs folder is claimed only when it is used, not as an entry of data_root.
    EXPECT_TRUE(exists(logs_dir()));
    EXPECT_TRUE(foreign(logs_dir()));
    ASSERT_TRUE(claim_data_folder(kLogsFolder).ok());
    EXPECT_EQ(foreign(logs_dir()), std::nullopt);
}

// A folder is swept once, when it becomes the agent's: later claims leave what is in it alone,
// so that they never hold another agent process's files open in the moment it moves one. A
// claim cut short before its sweep ended leaves no marker, and the next one sweeps again.
TEST_F(DataFolder, AFolderIsSweptUntilASweepHasEnded) {
    ASSERT_TRUE(claim_data_folder(kRuntimeFolder).ok());
    EXPECT_TRUE(exists(in_runtime(L".qel-owned")));
    plant_file(in_runtime(L"later"), "later");
    ASSERT_TRUE(claim_data_folder(kRuntimeFolder).ok());
    EXPECT_TRUE(exists(in_runtime(L"later")));

    ASSERT_TRUE(DeleteFileW(in_runtime(L".qel-owned").c_str()));
    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok());
    EXPECT_FALSE(exists(in_runtime(L"later")));
    ASSERT_EQ(f->notes().size(), 1u);
    EXPECT_EQ(f->notes()[0], "data folder: removed " + to_utf8_lossy(in_runtime(L"later")) +
                                 ": S-1-1-0 may change it");
    EXPECT_TRUE(exists(in_runtime(L".qel-owned")));
}

TEST_F(DataFolder, AFileInPlaceOfDataRootIsTheCreationErrorUnderItsContext) {
    std::ofstream(std::filesystem::path(data_root())) << "not a folder";
    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder, "create_dir_all it");
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().full(), "create_dir_all it: " + os_error_text(ERROR_ALREADY_EXISTS));
}

TEST_F(DataFolder, ATemporaryNameIsNeverWrittenThrough) {
    ASSERT_TRUE(claim_data_folder(kRuntimeFolder).ok());
    const std::wstring outside = dir.path() + L"\\outside";
    std::ofstream(std::filesystem::path(outside)) << "outside";
    ASSERT_TRUE(CreateHardLinkW(in_runtime(L"t.tmp").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(replace_file({in_runtime(L"t.tmp"), in_runtime(L"t")}, "new").ok());
    EXPECT_EQ(contents(in_runtime(L"t")), "new");
    EXPECT_EQ(contents(outside), "outside");
}

TEST_F(DataFolder, AFileOthersCouldChangeIsNeitherReadNorAppendedTo) {
    ASSERT_TRUE(claim_data_folder(kRuntimeFolder).ok());
    plant_file(in_runtime(L"planted"), "planted");
    const std::wstring outside = dir.path() + L"\\outside";
    std::ofstream(std::filesystem::path(outside)) << "outside";
    ASSERT_TRUE(CreateHardLinkW(in_runtime(L"hard").c_str(), outside.c_str(), nullptr));
    struct Case {
        const wchar_t* name;
        std::string why;
    } const cases[] = {
        {L"planted", "S-1-1-0 may change it"},
        {L"hard", "it has 2 names (hard links)"},
    };
    for (const Case& c : cases) {
        const std::string refusal = "refusing " + to_utf8_lossy(in_runtime(c.name)) + ": " + c.why;
        Result<std::optional<std::string>> read = read_file(in_runtime(c.name));
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().full(), refusal);
        Result<UniqueHandle> append = open_for_append(in_runtime(c.name));
        ASSERT_FALSE(append.ok());
        EXPECT_EQ(append.error().full(), refusal);
    }
    EXPECT_EQ(contents(outside), "outside");
    EXPECT_EQ(contents(in_runtime(L"planted")), "planted");
}

}  // namespace
}  // namespace qel::win
