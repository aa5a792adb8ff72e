// The agent's data folders as folders of its own. Wine keeps no owner and maps a DACL to the
// unix mode bits, so what it can show is which accounts may write or read (the bits for
// "others" are Everyone, S-1-1-0); the judgement of owners and entries is shown on
// descriptors in memory. Links are made from the Linux side, in the end-to-end tests.

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <array>
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

namespace fs = std::filesystem;

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
    constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    struct Case {
        std::wstring_view sddl;
        std::vector<AceSeen> aces;
    } const cases[] = {
        {kAgentFolderSddl,
         {{"S-1-5-18", FILE_ALL_ACCESS, kInherited},
          {"S-1-5-32-544", FILE_ALL_ACCESS, kInherited},
          {"S-1-5-11", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, kInherited}}},
        {kPrivateFolderSddl,
         {{"S-1-5-18", FILE_ALL_ACCESS, kInherited},
          {"S-1-5-32-544", FILE_ALL_ACCESS, kInherited}}},
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

// What is the agent's own, judged on the descriptor alone; reading rights are no reason.
TEST(AgentDescriptors, OnlyAnAgentOwnerWithNoChangeRightForOthersIsOwn) {
    struct Case {
        const char* what;
        std::wstring sddl;
        std::optional<std::string> why;
        bool others_have_access;
    } const cases[] = {
        {"the agent's own", std::wstring(kAgentFolderSddl), std::nullopt, true},
        {"the agent's private folder", std::wstring(kPrivateFolderSddl), std::nullopt, false},
        {"owned by SYSTEM, with the ProgramData creator-owner entry",
         L"O:SYD:P(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", std::nullopt, false},
        {"owned by another user", L"O:S-1-5-21-1-2-3-1001D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
         "it is owned by S-1-5-21-1-2-3-1001", false},
        {"%ProgramData%'s inherited DACL, with its Users entries",
         L"O:BAD:AI(A;OICIIOID;GA;;;CO)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"
         L"(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)",
         "S-1-5-32-545 may change it", true},
        {"an extra read entry for another group",
         std::wstring(kPrivateFolderSddl) + L"(A;OICI;FR;;;BU)", std::nullopt, true},
        {"WRITE_DAC for Users", std::wstring(kPrivateFolderSddl) + L"(A;;WD;;;BU)",
         "S-1-5-32-545 may change it", true},
        {"delete child for Users", std::wstring(kPrivateFolderSddl) + L"(A;;0x40;;;BU)",
         "S-1-5-32-545 may change it", true},
        {"add file for Users, only on what is made inside",
         std::wstring(kPrivateFolderSddl) + L"(A;OICIIO;0x2;;;BU)", "S-1-5-32-545 may change it",
         true},
        {"generic write for Everyone", std::wstring(kPrivateFolderSddl) + L"(A;;GW;;;WD)",
         "S-1-1-0 may change it", true},
        {"a denial for Users", std::wstring(kPrivateFolderSddl) + L"(D;OICI;FA;;;BU)", std::nullopt,
         false},
        {"no DACL", L"O:BA", "anyone may change it (no DACL)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result<SecurityDescriptor> sd = parse_sddl(c.sddl);
        ASSERT_TRUE(sd.ok()) << sd.error().full();
        EXPECT_EQ(why_not_own(sd->get()), c.why);
        EXPECT_EQ(others_have_access(sd->get()), c.others_have_access);
    }
    // A DACL that is present but null grants everything too. Built by hand: Wine reads
    // "D:NO_ACCESS_CONTROL" as an empty DACL, which grants nothing.
    SECURITY_DESCRIPTOR null_dacl{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION));
    std::array<BYTE, SECURITY_MAX_SID_SIZE> admins{};
    DWORD size = static_cast<DWORD>(admins.size());
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins.data(), &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&null_dacl, admins.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE));
    EXPECT_EQ(why_not_own(&null_dacl), "anyone may change it (no DACL)");
    EXPECT_TRUE(others_have_access(&null_dacl));
}

// Fixture: PROGRAMDATA in a fresh folder, so that data_root is "<it>\QEL".
class DataFolder : public ::testing::Test {
  protected:
    test::WinTempDir dir;
    test::ScopedEnv programdata{L"PROGRAMDATA", dir.path()};
    std::wstring runtime() const { return runtime_dir(); }
    std::wstring in_runtime(const wchar_t* name) const { return runtime() + L"\\" + name; }

    // A folder as another account could leave it: everyone may write to it.
    static void plant_folder(const std::wstring& path) {
        fs::create_directories(fs::path(path));
        ASSERT_TRUE(test::set_dacl(path, L"D:(A;OICI;FA;;;WD)"));
        ASSERT_TRUE(why_not_own_at(path)) << to_utf8_lossy(path);
    }
    static void plant_file(const std::wstring& path, const std::string& text) {
        std::ofstream(fs::path(path), std::ios::binary) << text;
    }
    static Result<SecurityDescriptor> descriptor_at(const std::wstring& path) {
        const UniqueHandle h(CreateFileW(
            path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!h)
            return last_os_error();
        return read_descriptor(h.get());
    }
    // Why another account could change it; nothing when it is the agent's own.
    static std::optional<std::string> why_not_own_at(const std::wstring& path) {
        Result<SecurityDescriptor> sd = descriptor_at(path);
        return sd ? why_not_own(sd->get()) : "cannot read: " + sd.error().full();
    }
    static bool others_may_read(const std::wstring& path) {
        Result<SecurityDescriptor> sd = descriptor_at(path);
        return !sd || others_have_access(sd->get());
    }
    static bool exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    static std::string contents(const std::wstring& path) {
        std::ifstream in(fs::path(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The names in a folder that begin with `prefix`.
    static std::vector<std::wstring> named(const std::wstring& folder, const std::wstring& prefix) {
        std::vector<std::wstring> out;
        for (const auto& e : fs::directory_iterator(fs::path(folder))) {
            const std::wstring name = e.path().filename().wstring();
            if (name.rfind(prefix, 0) == 0)
                out.push_back(name);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(DataFolder, NewFoldersAreMadeTheAgentsOwnAndRuntimeIsPrivate) {
    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok()) << f.error().full();
    EXPECT_EQ(f->path(), runtime());
    EXPECT_TRUE(f->notes().empty());
    EXPECT_EQ(why_not_own_at(data_root()), std::nullopt);
    EXPECT_EQ(why_not_own_at(runtime()), std::nullopt);
    EXPECT_FALSE(others_may_read(runtime()));
    // What the agent then creates there is its own too.
    ASSERT_TRUE(replace_file({in_runtime(L"x.tmp"), in_runtime(L"x")}, "x").ok());
    EXPECT_EQ(why_not_own_at(in_runtime(L"x")), std::nullopt);
}

// Nothing in a folder that another account could change is used, emptied or deleted: the
// folder goes aside whole, for a person to look at, and a fresh one takes its place.
TEST_F(DataFolder, AFolderOthersMayChangeIsMovedAsideWholeAndMadeAnew) {
    plant_folder(data_root());
    plant_folder(runtime());
    plant_file(in_runtime(L"config.json.tmp"), "planted");
    plant_folder(data_root() + L"\\nest");
    plant_file(data_root() + L"\\nest\\deep", "deep");

    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok()) << f.error().full();
    const std::vector<std::wstring> aside = named(dir.path(), L"QEL.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    const std::wstring moved = dir.path() + L"\\" + aside[0];
    EXPECT_EQ(f->notes(), std::vector<std::string>{"data folder: " + to_utf8_lossy(data_root()) +
                                                   " is not the agent's own (S-1-1-0 may change "
                                                   "it); moved it aside to " +
                                                   to_utf8_lossy(moved)});
    EXPECT_EQ(contents(moved + L"\\runtime\\config.json.tmp"), "planted");
    EXPECT_EQ(contents(moved + L"\\nest\\deep"), "deep");
    EXPECT_TRUE(why_not_own_at(moved));
    // The fresh folders hold nothing of it.
    EXPECT_EQ(why_not_own_at(data_root()), std::nullopt);
    EXPECT_EQ(why_not_own_at(runtime()), std::nullopt);
    EXPECT_EQ(named(data_root(), L""), std::vector<std::wstring>{L"runtime"});
    EXPECT_TRUE(fs::is_empty(fs::path(runtime())));
}

TEST_F(DataFolder, OnlyTheFolderOthersMayChangeIsMovedAside) {
    ASSERT_TRUE(claim_data_folder(kLogsFolder).ok());
    plant_file(logs_dir() + L"\\agent.log.2026-01-01", "kept");
    plant_folder(runtime());
    plant_file(in_runtime(L"planted"), "planted");

    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok()) << f.error().full();
    EXPECT_TRUE(named(dir.path(), L"QEL.").empty());
    const std::vector<std::wstring> aside = named(data_root(), L"runtime.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(contents(data_root() + L"\\" + aside[0] + L"\\planted"), "planted");
    ASSERT_EQ(f->notes().size(), 1u);
    EXPECT_EQ(f->notes()[0].rfind("data folder: " + to_utf8_lossy(runtime()) +
                                      " is not the agent's own (S-1-1-0 may change it); moved it "
                                      "aside to " +
                                      to_utf8_lossy(data_root()) + "\\runtime.untrusted-",
                                  0),
              0u)
        << f->notes()[0];
    EXPECT_EQ(contents(logs_dir() + L"\\agent.log.2026-01-01"), "kept");
    EXPECT_TRUE(fs::is_empty(fs::path(runtime())));
}

// Reading lets nobody change anything: an own runtime folder that others may read is made
// private where it is, and keeps what it holds.
TEST_F(DataFolder, AnOwnRuntimeThatOthersMayReadIsMadePrivateInPlace) {
    fs::create_directories(fs::path(runtime()));
    ASSERT_TRUE(
        test::set_dacl(runtime(), L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)"));
    plant_file(in_runtime(L"config.json"), "mine");
    ASSERT_EQ(why_not_own_at(runtime()), std::nullopt);
    ASSERT_TRUE(others_may_read(runtime()));

    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder);
    ASSERT_TRUE(f.ok()) << f.error().full();
    EXPECT_TRUE(f->notes().empty());
    EXPECT_FALSE(others_may_read(runtime()));
    EXPECT_EQ(contents(in_runtime(L"config.json")), "mine");
    EXPECT_TRUE(named(data_root(), L"runtime.").empty());
}

TEST_F(DataFolder, AFolderThatCannotBeMovedAsideFailsTheClaimAndStaysAsItIs) {
    plant_folder(runtime());
    plant_file(in_runtime(L"planted"), "planted");
    // Held open without delete sharing: it can be neither renamed nor used.
    const UniqueHandle held(CreateFileW(runtime().c_str(), FILE_LIST_DIRECTORY,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held);
    Result<OwnFolder> f = claim_data_folder(kRuntimeFolder, "create_dir_all it");
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().full(), "cannot move " + to_utf8_lossy(runtime()) +
                                    " aside, which is not the agent's own (S-1-1-0 may change "
                                    "it): " +
                                    os_error_text(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(contents(in_runtime(L"planted")), "planted");
    EXPECT_TRUE(why_not_own_at(runtime()));
    EXPECT_TRUE(named(data_root(), L"runtime.").empty());
}

TEST_F(DataFolder, FindingChangesNothingAndFindsOnlyOwnFolders) {
    EXPECT_FALSE(find_own_data_folder(kRuntimeFolder));
    EXPECT_FALSE(exists(data_root()));

    plant_folder(runtime());
    EXPECT_FALSE(find_own_data_folder(kRuntimeFolder));
    EXPECT_TRUE(why_not_own_at(runtime()));
    EXPECT_TRUE(named(data_root(), L"runtime.").empty());

    ASSERT_TRUE(claim_data_folder(kRuntimeFolder).ok());
    const std::optional<OwnFolder> found = find_own_data_folder(kRuntimeFolder);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->path(), runtime());
    EXPECT_TRUE(found->notes().empty());
}

TEST_F(DataFolder, AFileInPlaceOfAFolderIsTheCreationErrorUnderItsContext) {
    for (const std::wstring& place : {data_root(), runtime()}) {
        SCOPED_TRACE(to_utf8_lossy(place));
        fs::remove_all(fs::path(data_root()));
        if (place != data_root()) {
            ASSERT_TRUE(claim_data_folder({}).ok());
        }
        plant_file(place, "not a folder");
        Result<OwnFolder> f = claim_data_folder(kRuntimeFolder, "create_dir_all it");
        ASSERT_FALSE(f.ok());
        EXPECT_EQ(f.error().full(), "create_dir_all it: " + os_error_text(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(contents(place), "not a folder");
    }
}

// Made anew: whatever stood under the temporary name, a second name of a file elsewhere
// included, is never written through.
TEST_F(DataFolder, ATemporaryNameIsNeverWrittenThrough) {
    ASSERT_TRUE(claim_data_folder(kRuntimeFolder).ok());
    const std::wstring outside = dir.path() + L"\\outside";
    std::ofstream(fs::path(outside)) << "outside";
    ASSERT_TRUE(CreateHardLinkW(in_runtime(L"t.tmp").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(replace_file({in_runtime(L"t.tmp"), in_runtime(L"t")}, "new").ok());
    EXPECT_EQ(contents(in_runtime(L"t")), "new");
    EXPECT_EQ(contents(outside), "outside");
}

}  // namespace
}  // namespace qel::win
