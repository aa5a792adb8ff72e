// The agent's data folders as folders of its own. Wine keeps no owner and maps a DACL to the
// unix mode bits, so what it can show is which accounts may write or read (the bits for
// "others" are Everyone, S-1-1-0); the judgement of owners and entries is shown on
// descriptors in memory. Links are made from the Linux side, in the end-to-end tests. Wine has
// no oplocks and never waits in a rename, so a claim that does not end is stood in for by a
// job that holds the claims' worker.

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/async/runtime.h"
#include "common/data_root.h"
#include "common/utf.h"
#include "common/win/files.h"
#include "common/win/own_folder.h"
#include "common/win/security.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"
#include "gate.h"
#include "log_capture.h"
#include "sandbox/config/config_file.h"
#include "service/service_log.h"
#include "wfp/controller/record_file.h"
#include "win_test_util.h"

namespace qel::win {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kLog = log::Target::service;

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
}

// What is the agent's own, judged on the descriptor alone; reading rights are no reason.
TEST(AgentDescriptors, OnlyAnAgentOwnerWithNoChangeRightForOthersIsOwn) {
    struct Case {
        const char* what;
        std::wstring sddl;
        std::optional<std::string> why;
        bool others_have_access;
    } const cases[] = {
        {"an earlier agent's folder, which Authenticated Users may read and list",
         L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)", std::nullopt, true},
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

    // An object entry, whatever its mask (here Users' read rights alone), is not judged, so the
    // folder is not provably the agent's. Built by hand too: Wine's SDDL parser takes none.
    std::array<BYTE, 256> acl_bytes{};
    auto* acl = reinterpret_cast<PACL>(acl_bytes.data());
    ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(acl_bytes.size()), ACL_REVISION_DS));
    std::array<BYTE, SECURITY_MAX_SID_SIZE> users{};
    size = static_cast<DWORD>(users.size());
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users.data(), &size));
    // Laid out by hand as well: Wine does not implement AddAccessAllowedObjectAce.
    std::array<BYTE, sizeof(ACCESS_ALLOWED_OBJECT_ACE) + SECURITY_MAX_SID_SIZE> ace_bytes{};
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace_bytes.data());
    const DWORD ace_size =
        offsetof(ACCESS_ALLOWED_OBJECT_ACE, InheritedObjectType) + GetLengthSid(users.data());
    ace->Header = {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, static_cast<WORD>(ace_size)};
    ace->Mask = FILE_GENERIC_READ;
    ace->Flags = ACE_OBJECT_TYPE_PRESENT;
    ace->ObjectType = {
        0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
    // Without an inherited object type the SID follows the object type.
    ASSERT_TRUE(CopySid(GetLengthSid(users.data()), &ace->InheritedObjectType, users.data()));
    ASSERT_TRUE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace, ace_size));
    SECURITY_DESCRIPTOR object_entry{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&object_entry, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&object_entry, admins.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&object_entry, TRUE, acl, FALSE));
    EXPECT_EQ(why_not_own(&object_entry),
              "an entry of kind 5 in its DACL may let another account change it");
    EXPECT_TRUE(others_have_access(&object_entry));
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

TEST_F(DataFolder, NewFoldersAreMadeTheAgentsOwnAndPrivate) {
    const Claim c = claim_data_folder(kRuntimeFolder, kLog);
    ASSERT_TRUE(c) << c.folder.error().full();
    EXPECT_EQ(c.folder.value(), runtime());
    EXPECT_TRUE(c.notes.empty());
    ASSERT_TRUE(claim_data_folder(kLogsFolder, kLog));
    for (const std::wstring& folder : {data_root(), runtime(), logs_dir()}) {
        SCOPED_TRACE(to_utf8_lossy(folder));
        EXPECT_EQ(why_not_own_at(folder), std::nullopt);
        EXPECT_FALSE(others_may_read(folder));
    }
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

    const Claim c = claim_data_folder(kRuntimeFolder, kLog);
    ASSERT_TRUE(c) << c.folder.error().full();
    const std::vector<std::wstring> aside = named(dir.path(), L"QEL.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    const std::wstring moved = dir.path() + L"\\" + aside[0];
    EXPECT_EQ(c.notes, std::vector<std::string>{"data folder: " + to_utf8_lossy(data_root()) +
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
    ASSERT_TRUE(claim_data_folder(kLogsFolder, kLog));
    plant_file(logs_dir() + L"\\agent.log.2026-01-01", "kept");
    plant_folder(runtime());
    plant_file(in_runtime(L"planted"), "planted");

    const Claim c = claim_data_folder(kRuntimeFolder, kLog);
    ASSERT_TRUE(c) << c.folder.error().full();
    EXPECT_TRUE(named(dir.path(), L"QEL.").empty());
    const std::vector<std::wstring> aside = named(data_root(), L"runtime.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(contents(data_root() + L"\\" + aside[0] + L"\\planted"), "planted");
    ASSERT_EQ(c.notes.size(), 1u);
    EXPECT_EQ(c.notes[0].rfind("data folder: " + to_utf8_lossy(runtime()) +
                                   " is not the agent's own (S-1-1-0 may change it); moved it "
                                   "aside to " +
                                   to_utf8_lossy(data_root()) + "\\runtime.untrusted-",
                               0),
              0u)
        << c.notes[0];
    EXPECT_EQ(contents(logs_dir() + L"\\agent.log.2026-01-01"), "kept");
    EXPECT_TRUE(fs::is_empty(fs::path(runtime())));
}

// Reading lets nobody change anything: an own folder that others may read (an earlier agent
// gave data_root and logs\ such a descriptor) is made private where it is, and keeps what it
// holds; what lies in it keeps its own descriptor.
TEST_F(DataFolder, AnOwnFolderThatOthersMayReadIsMadePrivateInPlace) {
    const struct {
        std::wstring_view sub;
        std::wstring folder;
    } cases[] = {{{}, data_root()}, {kRuntimeFolder, runtime()}, {kLogsFolder, logs_dir()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8_lossy(c.folder));
        fs::remove_all(fs::path(data_root()));
        if (!c.sub.empty()) {
            ASSERT_TRUE(claim_data_folder({}, kLog));
        }
        fs::create_directories(fs::path(c.folder));
        ASSERT_TRUE(
            test::set_dacl(c.folder, L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)"));
        const std::wstring file = c.folder + L"\\kept";
        plant_file(file, "mine");  // others may read it
        ASSERT_EQ(why_not_own_at(c.folder), std::nullopt);
        ASSERT_TRUE(others_may_read(c.folder));

        const Claim claimed = claim_data_folder(c.sub, kLog);
        ASSERT_TRUE(claimed) << claimed.folder.error().full();
        EXPECT_EQ(claimed.folder.value(), c.folder);
        EXPECT_TRUE(claimed.notes.empty());
        EXPECT_FALSE(others_may_read(c.folder));
        EXPECT_EQ(contents(file), "mine");
        EXPECT_TRUE(others_may_read(file));
        EXPECT_TRUE(named(dir.path(), L"QEL.").empty());
        EXPECT_TRUE(named(data_root(), L"runtime.").empty());
        EXPECT_TRUE(named(data_root(), L"logs.").empty());
    }
}

TEST_F(DataFolder, AFolderThatCannotBeMovedAsideFailsTheClaimAndStaysAsItIs) {
    plant_folder(runtime());
    plant_file(in_runtime(L"planted"), "planted");
    // Held open without delete sharing: it can be neither renamed nor used.
    const UniqueHandle held(CreateFileW(runtime().c_str(), FILE_LIST_DIRECTORY,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held);
    const Claim c = claim_data_folder(kRuntimeFolder, kLog, "create_dir_all it");
    ASSERT_FALSE(c);
    EXPECT_EQ(c.folder.error().full(),
              "cannot move " + to_utf8_lossy(runtime()) +
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

    ASSERT_TRUE(claim_data_folder(kRuntimeFolder, kLog));
    EXPECT_EQ(find_own_data_folder(kRuntimeFolder), runtime());
}

TEST_F(DataFolder, AFileInPlaceOfAFolderIsTheCreationErrorUnderItsContext) {
    for (const std::wstring& place : {data_root(), runtime()}) {
        SCOPED_TRACE(to_utf8_lossy(place));
        fs::remove_all(fs::path(data_root()));
        if (place != data_root()) {
            ASSERT_TRUE(claim_data_folder({}, kLog));
        }
        plant_file(place, "not a folder");
        const Claim c = claim_data_folder(kRuntimeFolder, kLog, "create_dir_all it");
        ASSERT_FALSE(c);
        EXPECT_EQ(c.folder.error().full(),
                  "create_dir_all it: " + os_error_text(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(contents(place), "not a folder");
    }
}

// Made anew: whatever stood under the temporary name, a second name of a file elsewhere
// included, is never written through.
TEST_F(DataFolder, ATemporaryNameIsNeverWrittenThrough) {
    ASSERT_TRUE(claim_data_folder(kRuntimeFolder, kLog));
    const std::wstring outside = dir.path() + L"\\outside";
    std::ofstream(fs::path(outside)) << "outside";
    ASSERT_TRUE(CreateHardLinkW(in_runtime(L"t.tmp").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(replace_file({in_runtime(L"t.tmp"), in_runtime(L"t")}, "new").ok());
    EXPECT_EQ(contents(in_runtime(L"t")), "new");
    EXPECT_EQ(contents(outside), "outside");
}

// The move aside renames through interruptible_call. Wine never waits in a rename, so a
// synchronous read of an empty pipe stands in for one that waits on another process.
TEST(InterruptibleCall, ACallerThatGaveUpEndsTheWaitOrKeepsTheCallFromBeingMade) {
    const struct {
        const char* what;
        bool made_after_giving_up;
    } cases[] = {
        {"a call that waits is cancelled", false},
        {"a call that comes after the caller gave up is not made", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueHandle read_end;
        UniqueHandle write_end;
        ASSERT_TRUE(CreatePipe(read_end.out(), write_end.out(), nullptr, 0));
        DWORD n = 0;
        if (c.made_after_giving_up) {
            // A read that is made ends at once.
            ASSERT_TRUE(WriteFile(write_end.get(), "x", 1, &n, nullptr));
        }
        SerialWorker worker;
        auto gate = test::Gate::create();
        auto late = std::make_shared<test::Handover<DWORD>>();
        const auto out = worker.run(
            [from = read_end.get(), gate, wait_first = c.made_after_giving_up] {
                if (wait_first)
                    gate->pass();
                char byte = 0;
                DWORD got = 0;
                return interruptible_call([&] { return ReadFile(from, &byte, 1, &got, nullptr); });
            },
            200ms, [late](DWORD err) { late->put(err); });
        EXPECT_EQ(out.end, SerialWorker::End::overran);
        gate->open();
        ASSERT_TRUE(late->arrived_within(10s));
        EXPECT_EQ(late->value(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        DWORD available = 0;
        ASSERT_TRUE(PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr));
        EXPECT_EQ(available, c.made_after_giving_up ? 1u : 0u);
    }
    // Outside a worker's job the call is simply made.
    UniqueHandle read_end;
    UniqueHandle write_end;
    ASSERT_TRUE(CreatePipe(read_end.out(), write_end.out(), nullptr, 0));
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(write_end.get(), "x", 1, &n, nullptr));
    char byte = 0;
    EXPECT_EQ(interruptible_call([&] { return ReadFile(read_end.get(), &byte, 1, &n, nullptr); }),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(byte, 'x');
}

// Claims run one at a time: of many at once, one moves the foreign folder aside and tells of
// it, and every one gets the fresh folder.
TEST_F(DataFolder, ClaimsFromManyThreadsAtOnceMoveAForeignFolderAsideOnce) {
    plant_folder(runtime());
    plant_file(in_runtime(L"planted"), "planted");
    std::vector<std::future<Claim>> claims;
    for (int i = 0; i < 6; ++i) {
        claims.push_back(
            std::async(std::launch::async, [] { return claim_data_folder(kRuntimeFolder, kLog); }));
    }
    std::size_t notes = 0;
    for (auto& f : claims) {
        const Claim c = f.get();
        ASSERT_TRUE(c) << c.folder.error().full();
        EXPECT_EQ(c.folder.value(), runtime());
        notes += c.notes.size();
    }
    EXPECT_EQ(notes, 1u);
    const std::vector<std::wstring> aside = named(data_root(), L"runtime.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(contents(data_root() + L"\\" + aside[0] + L"\\planted"), "planted");
    EXPECT_TRUE(fs::is_empty(fs::path(runtime())));
}

// Another account may hold an own folder open, sharing nothing: the claim's opens ask for
// nothing that sharing governs, so it is still judged, found and made private where it is.
TEST_F(DataFolder, AnOwnFolderHeldWithoutSharingIsStillClaimedAndFound) {
    const struct {
        const char* what;
        const wchar_t* dacl;
    } cases[] = {
        {"private", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"},
        {"readable by others", L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(fs::path(data_root()));
        ASSERT_TRUE(claim_data_folder({}, kLog));
        fs::create_directories(fs::path(runtime()));
        ASSERT_TRUE(test::set_dacl(runtime(), c.dacl));
        ASSERT_EQ(why_not_own_at(runtime()), std::nullopt);
        const UniqueHandle held(CreateFileW(runtime().c_str(), FILE_LIST_DIRECTORY, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_TRUE(held);

        const Claim claimed = claim_data_folder(kRuntimeFolder, kLog);
        ASSERT_TRUE(claimed) << claimed.folder.error().full();
        EXPECT_TRUE(claimed.notes.empty());
        EXPECT_FALSE(others_may_read(runtime()));
        EXPECT_EQ(find_own_data_folder(kRuntimeFolder), runtime());
        EXPECT_TRUE(named(data_root(), L"runtime.").empty());
    }
}

// While the claims before it do not end, every caller gives up after the bound, fails its own
// way and leaves the folders alone; its claim never runs.
TEST_F(DataFolder, WhileEarlierClaimsDoNotEndEveryCallerGivesUpAfterTheBound) {
    fs::create_directories(fs::path(data_root()));
    auto gate = test::Gate::create();
    auto holder = std::async(std::launch::async, [gate] {
        return claim_worker().run(
            [gate] {
                gate->pass();
                return true;
            },
            60s);
    });
    ASSERT_TRUE(gate->reached_within(10s));
    test::clear_captured_events();
    const std::string waited =
        "the claim did not start within 5 s, another claim was still running";
    const auto start = std::chrono::steady_clock::now();

    auto record = std::async(std::launch::async,
                             [] { wfp::edit_records([](std::vector<wfp::KillSwitchRecord>&) {}); });
    auto config = std::async(std::launch::async, [] {
        std::unique_ptr<async::Runtime> rt = std::move(async::Runtime::build(1).value());
        return rt->block_on(sandbox::write_config(nlohmann::json::object()));
    });
    auto at_start = std::async(std::launch::async, [] { claim_existing_data_folders(kLog); });
    std::optional<logging::LogGuard> file_log;
    const std::string err = test::capture_stderr([&] { file_log = service::open_service_log(); });
    record.get();
    const Result<std::wstring> written = config.get();
    at_start.get();
    const auto took = std::chrono::steady_clock::now() - start;
    gate->open();
    EXPECT_TRUE(holder.get().value.value_or(false));

    EXPECT_FALSE(file_log.has_value());
    EXPECT_EQ(err, "cannot create logs dir " + to_utf8_lossy(logs_dir()) + ": cannot claim " +
                       to_utf8_lossy(logs_dir()) + ": " + waited + "\n");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().full(), "cannot claim " + to_utf8_lossy(runtime()) + ": " + waited);
    EXPECT_TRUE(test::has_event(
        "WARN", "kill-switch: cannot write record file " + to_utf8_lossy(wfp::record_file_path()) +
                    ": cannot claim " + to_utf8_lossy(runtime()) + ": " + waited));
    EXPECT_TRUE(test::has_event(
        "WARN", "data folder: cannot claim " + to_utf8_lossy(data_root()) + ": " + waited));
    EXPECT_GE(took, kClaimBound);
    EXPECT_LT(took, 60s);
    // None of their claims ran, then or after.
    EXPECT_TRUE(claim_worker().run([] { return true; }, 10s).value.value_or(false));
    EXPECT_TRUE(fs::is_empty(fs::path(data_root())));
}

}  // namespace
}  // namespace qel::win
