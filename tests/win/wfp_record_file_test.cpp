// The record of installed keys as a file that several agent processes share.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include "common/async/task.h"
#include "common/utf.h"
#include "wfp/controller/controller.h"
#include "wfp/controller/owner.h"
#include "wfp/controller/record.h"
#include "wfp/controller/record_file.h"
#include "wfp/engine/key.h"
#include "wfp_fixture.h"

namespace qel::wfp {
namespace {

namespace fwp = test::fwp;

asio::awaitable<void> engage_task(std::shared_ptr<KillSwitchController> c,
                                  std::optional<std::string> path) {
    Result<void> r = co_await engage_kill_switch(c, std::move(path), "lo");
    EXPECT_TRUE(r.ok());
}

class RecordFile : public test::WfpTest {
  protected:
    std::wstring folder() const { return record_path().substr(0, record_path().rfind(L'\\') + 1); }
    static std::vector<std::string> texts(const std::vector<UuidBytes>& keys) {
        std::vector<std::string> out;
        for (const UuidBytes& k : keys)
            out.push_back(uuid_text(k));
        return out;
    }
    static std::vector<std::string> installed_keys() {
        std::vector<std::string> keys;
        for (const fwpdbl::Filter& f : fwp::state().filters)
            keys.push_back(f.key);
        return keys;
    }
};

TEST_F(RecordFile, EveryKeyIsOnTheDiskBeforeItsObjectExists) {
    auto c = std::make_shared<KillSwitchController>();
    // Stopped just before the sublayer goes in: the record already names it and every filter
    // key the engage may use.
    fwp::pause("FwpmSubLayerAdd0", 1);
    async::JoinHandle engage = async::spawn(io(), engage_task(c, app_path()));
    ASSERT_TRUE(fwp::wait_paused(10000));
    EXPECT_TRUE(fwp::state().sublayers.empty());
    const std::vector<KillSwitchRecord> early = records();
    ASSERT_EQ(early.size(), 1u);
    EXPECT_EQ(early[0].owner, this_process());
    EXPECT_FALSE(early[0].released);
    EXPECT_EQ(early[0].filters.size(), 8u);
    fwp::resume();
    run(engage.join());

    const fwpdbl::State s = fwp::state();
    ASSERT_EQ(s.sublayers.size(), 1u);
    EXPECT_EQ(uuid_text(early[0].sublayer), s.sublayers[0].key);
    const std::vector<std::string> planned = texts(early[0].filters);
    EXPECT_EQ(installed_keys(), planned);
    // Narrowed to the keys handed to an add, once the engage is done: here every add went in.
    const std::vector<KillSwitchRecord> late = records();
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(texts(late[0].filters), installed_keys());

    // A fresh plan for the next engage: no key is ever used twice.
    run(disengage_kill_switch(c));
    fwp::reset();
    fwp::pause("FwpmSubLayerAdd0", 1);
    engage = async::spawn(io(), engage_task(c, std::nullopt));
    ASSERT_TRUE(fwp::wait_paused(10000));
    const std::vector<KillSwitchRecord> second = records();
    fwp::resume();
    run(engage.join());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].sublayer, early[0].sublayer);
    for (const std::string& k : texts(second[0].filters))
        EXPECT_EQ(std::count(planned.begin(), planned.end(), k), 0) << k;
    run(disengage_kill_switch(c));
    EXPECT_FALSE(record_exists());
}

TEST_F(RecordFile, WhatTheOwnTeardownCouldNotDeleteStaysRecordedUntilItIsGone) {
    auto c = std::make_shared<KillSwitchController>();
    ASSERT_TRUE(run(engage_kill_switch(c, app_path(), "lo")).ok());
    const std::vector<std::string> keys = installed_keys();
    ASSERT_EQ(keys.size(), 8u);
    // The teardown's second delete is refused, and so is the retry of the sweep after it.
    fwp::reset();
    fwp::fail("FwpmFilterDeleteByKey0", 2, 0x5);
    fwp::fail("FwpmFilterDeleteByKey0", 9, 0x5);
    run(disengage_kill_switch(c));
    EXPECT_EQ(installed_keys(), std::vector<std::string>{keys[1]});
    const std::vector<KillSwitchRecord> kept = records();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].released);
    EXPECT_EQ(kept[0].owner, this_process());
    EXPECT_EQ(texts(kept[0].filters), std::vector<std::string>{keys[1]});
    ASSERT_EQ(fwp::state().sublayers.size(), 1u);
    EXPECT_EQ(uuid_text(kept[0].sublayer), fwp::state().sublayers[0].key);

    // The next disengage, of this same process, removes it.
    fwp::reset();
    run(disengage_kill_switch(c));
    EXPECT_TRUE(fwp::state().filters.empty());
    EXPECT_TRUE(fwp::state().sublayers.empty());
    EXPECT_FALSE(record_exists());
}

TEST_F(RecordFile, AFilterWhoseAddReportedFailureButWentInIsRemovedByTheNextSweep) {
    // The second loopback permit goes in, but its add reports a time-out: the engage fails.
    fwp::fail_after("FwpmFilterAdd0", 2, ERROR_TIMEOUT);
    auto c = std::make_shared<KillSwitchController>();
    Result<void> r = run(engage_kill_switch(c, std::nullopt, std::nullopt));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "FwpmFilterAdd0(QEL permit loopback (v6)) rc=0x5b4");
    std::map<std::string, std::string> keys = test::call_keys();
    // The rollback deletes only the filter it knows to be in; the other one keeps the sublayer.
    EXPECT_EQ(
        fwp::journal(),
        test::expand({"FwpmEngineOpen0 {H} -> 0x0", "FwpmSubLayerAdd0 {S} -> 0x0",
                      "FwpmFilterAdd0 {A1} -> 0x0", "FwpmFilterAdd0 {A2} -> 0x5b4",
                      "FwpmFilterDeleteByKey0 {A1} -> 0x0",
                      "FwpmSubLayerDeleteByKey0 {S} -> 0x80320006", "FwpmEngineClose0 {H} -> 0x0"},
                     keys));
    EXPECT_EQ(installed_keys(), std::vector<std::string>{keys.at("A2")});
    const std::vector<KillSwitchRecord> kept = records();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].released);
    EXPECT_EQ(uuid_text(kept[0].sublayer), keys.at("S"));
    EXPECT_EQ(texts(kept[0].filters), std::vector<std::string>{keys.at("A2")});

    run(disengage_kill_switch(c));
    const fwpdbl::State s = fwp::state();
    EXPECT_TRUE(s.filters.empty());
    EXPECT_TRUE(s.sublayers.empty());
    EXPECT_TRUE(s.engines.empty());
    EXPECT_EQ(s.memory_outstanding, 0u);
    EXPECT_FALSE(record_exists());
}

TEST_F(RecordFile, ATunnelPermitWhoseAddReportedFailureButWentInIsRecordedAndRemoved) {
    // The IPv6 permit for the tunnel's interface (the fourth add) goes in, but reports a
    // time-out: the engage goes on without it, as after any refused tunnel permit.
    fwp::fail_after("FwpmFilterAdd0", 4, ERROR_TIMEOUT);
    auto c = std::make_shared<KillSwitchController>();
    ASSERT_TRUE(run(engage_kill_switch(c, std::nullopt, "lo")).ok());
    EXPECT_TRUE(test::has_event(
        "WARN",
        "kill-switch: could not install TUN-interface permit for 'lo': FwpmFilterAdd0(QEL permit "
        "TUN iface v6: lo) rc=0x5b4; falling back to app-only allowlist (user apps may be "
        "blocked)"));
    std::map<std::string, std::string> keys = test::call_keys();
    std::vector<std::string> handed_out;
    for (int n = 1; n <= 6; ++n)
        handed_out.push_back(keys.at("A" + std::to_string(n)));
    EXPECT_EQ(installed_keys(), handed_out);
    // The entry keeps the key whose add reported failure, in the order the keys were handed out.
    const std::vector<KillSwitchRecord> engaged = records();
    ASSERT_EQ(engaged.size(), 1u);
    EXPECT_FALSE(engaged[0].released);
    EXPECT_EQ(texts(engaged[0].filters), handed_out);

    // The teardown deletes what it knows to be in; the sweep after it finds the other one.
    fwp::reset();
    run(disengage_kill_switch(c));
    keys["H2"] = test::call_keys().at("H");
    EXPECT_EQ(
        fwp::journal(),
        test::expand({"FwpmFilterDeleteByKey0 {A1} -> 0x0", "FwpmFilterDeleteByKey0 {A2} -> 0x0",
                      "FwpmFilterDeleteByKey0 {A3} -> 0x0", "FwpmFilterDeleteByKey0 {A5} -> 0x0",
                      "FwpmFilterDeleteByKey0 {A6} -> 0x0",
                      "FwpmSubLayerDeleteByKey0 {S} -> 0x80320006", "FwpmEngineClose0 {H} -> 0x0",
                      "FwpmEngineOpen0 {H2} -> 0x0", "FwpmSubLayerGetByKey0 {S} -> 0x0",
                      "FwpmFreeMemory0", "FwpmFilterGetByKey0 {A4} -> 0x0",
                      "FwpmFilterDeleteByKey0 {A4} -> 0x0", "FwpmFreeMemory0",
                      "FwpmSubLayerDeleteByKey0 {S} -> 0x0", "FwpmEngineClose0 {H2} -> 0x0"},
                     keys));
    const fwpdbl::State s = fwp::state();
    EXPECT_TRUE(s.filters.empty());
    EXPECT_TRUE(s.sublayers.empty());
    EXPECT_FALSE(record_exists());
}

// "YYYYMMDDTHHMMSSZ" of the UTC time `seconds` from now.
std::wstring utc_stamp(int seconds = 0) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{};
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(seconds) * 10'000'000);
    now.dwLowDateTime = t.LowPart;
    now.dwHighDateTime = t.HighPart;
    SYSTEMTIME st{};
    FileTimeToSystemTime(&now, &st);
    wchar_t text[32];
    swprintf(text, 32, L"%04u%02u%02uT%02u%02u%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond);
    return text;
}

std::string read_bytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(RecordFile, ACorruptFileIsMovedAsideWholeAndAFreshRecordWritten) {
    // A document of this agent's version whose content is malformed is damage, not a format.
    const std::string corrupt = "{\"kill_switches\":[{\"run\":\"r\xc3\xa9\"}],\"version\":2}\r\n";
    write_record_file(corrupt);
    const std::wstring before = utc_stamp();
    auto c = std::make_shared<KillSwitchController>();
    ASSERT_TRUE(run(engage_kill_switch(c, std::nullopt, "lo")).ok());
    const std::wstring after = utc_stamp();

    const std::vector<std::wstring> aside = aside_files();
    ASSERT_EQ(aside.size(), 1u);
    const std::wstring prefix = L"kill-switch.json.corrupt-";
    const std::wstring stamp = aside[0].substr(prefix.size());
    EXPECT_TRUE(std::regex_match(stamp, std::wregex(L"\\d{8}T\\d{6}Z"))) << to_utf8_lossy(stamp);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(read_bytes(folder() + aside[0]), corrupt);
    EXPECT_TRUE(test::has_event("WARN", "kill-switch: record file " + to_utf8_lossy(record_path()) +
                                            " is corrupt (malformed entry 0); moved it aside to " +
                                            to_utf8_lossy(folder() + aside[0])));
    // The engage recorded itself in a fresh file.
    const std::vector<KillSwitchRecord> fresh = records();
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].owner, this_process());
    EXPECT_EQ(texts(fresh[0].filters), installed_keys());
    run(disengage_kill_switch(c));
    EXPECT_FALSE(record_exists());
    EXPECT_EQ(aside_files(), aside);
}

TEST_F(RecordFile, ACorruptFileMovedAsideOverwritesNothing) {
    // Earlier corrupt files under every name the next minute could give.
    std::filesystem::create_directories(folder());
    std::vector<std::wstring> earlier;
    for (int s = 0; s <= 60; ++s) {
        earlier.push_back(L"kill-switch.json.corrupt-" + utc_stamp(s));
        std::ofstream(std::filesystem::path(folder() + earlier.back()), std::ios::binary)
            << "earlier";
    }
    write_record_file("{\"version\":2,\"kill_switches\":[7]}");
    bool edited = false;
    edit_records([&](std::vector<KillSwitchRecord>& records) {
        edited = true;
        EXPECT_TRUE(records.empty());
    });
    EXPECT_TRUE(edited);
    const std::vector<std::wstring> now = aside_files();
    std::vector<std::wstring> added;
    std::set_difference(now.begin(), now.end(), earlier.begin(), earlier.end(),
                        std::back_inserter(added));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(added[0], std::wregex(L"kill-switch\\.json\\.corrupt-\\d{8}T\\d{6}Z-2")))
        << to_utf8_lossy(added[0]);
    EXPECT_EQ(read_bytes(folder() + added[0]), "{\"version\":2,\"kill_switches\":[7]}");
    for (const std::wstring& name : earlier)
        EXPECT_EQ(read_bytes(folder() + name), "earlier") << to_utf8_lossy(name);
}

TEST_F(RecordFile, ACorruptFileThatCannotBeMovedAsideIsLeftAndNotEdited) {
    const std::string corrupt = "not json";
    write_record_file(corrupt);
    // Open without delete sharing: it can be read, but not renamed.
    HANDLE held =
        CreateFileW(record_path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    bool edited = false;
    edit_records([&](std::vector<KillSwitchRecord>&) { edited = true; });
    CloseHandle(held);
    EXPECT_FALSE(edited);
    EXPECT_EQ(read_record_file(), corrupt);
    EXPECT_TRUE(aside_files().empty());
    const std::string warn = "WARN controller: kill-switch: record file " +
                             to_utf8_lossy(record_path()) +
                             " is corrupt (not valid JSON) and cannot be moved aside: ";
    const std::vector<std::string> events = test::wfp_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].substr(0, warn.size()), warn);
    EXPECT_TRUE(events[0].ends_with("; leaving it as it is")) << events[0];
}

TEST_F(RecordFile, ALaterAgentsFileIsLeftAsItIsAndTheEngageGoesOnUnrecorded) {
    // Not this agent's layout either: nothing of it is to be read, rewritten or moved.
    const std::string later =
        "{\n  \"version\": 3,\n  \"kill_switches\": {\"elsewhere\": [1, 2]}\n}\n";
    write_record_file(later);
    const std::string warn = "WARN controller: kill-switch: record file " +
                             to_utf8_lossy(record_path()) +
                             " has version 3, a later agent's format; leaving it as it is: "
                             "nothing is recorded in it or removed for it";
    const auto warnings = [] {
        const std::vector<std::string> events = test::wfp_events();
        return std::count_if(events.begin(), events.end(),
                             [](const std::string& e) { return e.rfind("WARN ", 0) == 0; });
    };
    auto c = std::make_shared<KillSwitchController>();
    ASSERT_TRUE(run(engage_kill_switch(c, app_path(), "lo")).ok());
    EXPECT_TRUE(run(is_kill_switch_engaged(c)));
    EXPECT_EQ(fwp::state().filters.size(), 8u);
    EXPECT_EQ(read_record_file(), later);
    // One warning for the whole engage, whatever edits it would have made.
    EXPECT_EQ(test::wfp_events().front(), warn);
    EXPECT_EQ(warnings(), 1);

    test::clear_captured_events();
    run(disengage_kill_switch(c));
    EXPECT_TRUE(fwp::state().filters.empty());
    EXPECT_TRUE(fwp::state().sublayers.empty());
    EXPECT_EQ(read_record_file(), later);
    EXPECT_TRUE(aside_files().empty());
    // The sweep reads the file, and leaves it.
    EXPECT_EQ(test::wfp_events(),
              (std::vector<std::string>{"INFO controller: kill-switch disengaged on demand",
                                        "INFO kill_switch: kill-switch disengaged", warn}));
}

// A version that no agent writes is damage, not a later format: left in place, it would have
// every engage from then on go unrecorded until a person deleted it.
TEST_F(RecordFile, OnlyAWholeVersionAbove2IsLeftAloneAnyOtherIsMovedAside) {
    struct Case {
        std::string version;
        bool left_alone;
    } const cases[] = {
        {"0", false},   {"-1", false}, {"null", false}, {"\"2\"", false},
        {"2.5", false}, {"3", true},   {"99", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        for (const std::wstring& name : aside_files())
            ASSERT_TRUE(DeleteFileW((folder() + name).c_str()));
        const std::string text = "{\"kill_switches\":[],\"version\":" + c.version + "}";
        write_record_file(text);
        bool edited = false;
        edit_records([&](std::vector<KillSwitchRecord>& records) {
            edited = true;
            records.push_back({"r", this_process(), false, uuid_of(new_wfp_key()), {}});
        });
        EXPECT_EQ(edited, !c.left_alone);
        const std::vector<std::wstring> aside = aside_files();
        if (c.left_alone) {
            EXPECT_EQ(read_record_file(), text);
            EXPECT_TRUE(aside.empty());
        } else {
            ASSERT_EQ(aside.size(), 1u);
            EXPECT_EQ(read_bytes(folder() + aside[0]), text);
            EXPECT_EQ(records().size(), 1u);
        }
    }
}

TEST_F(RecordFile, AnEditWaitsForAnotherProcesssLockAndThenLosesNothing) {
    std::filesystem::create_directories(record_path().substr(0, record_path().rfind(L'\\')));
    HANDLE other = CreateFileW((record_path() + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    auto c = std::make_shared<KillSwitchController>();
    async::JoinHandle engage = async::spawn(io(), engage_task(c, std::nullopt));
    Sleep(300);
    // The record comes first, and it waits for the lock: nothing is installed meanwhile.
    EXPECT_TRUE(fwp::state().sublayers.empty());
    EXPECT_FALSE(record_exists());
    CloseHandle(other);
    run(engage.join());
    EXPECT_EQ(fwp::state().filters.size(), 6u);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(texts(records()[0].filters), installed_keys());
    run(disengage_kill_switch(c));
}

// No other account can open the record, so none can hold it open against the next write.
TEST_F(RecordFile, TheRecordIsOpenToNoOtherAccount) {
    auto c = std::make_shared<KillSwitchController>();
    run(engage_task(c, std::nullopt));
    ASSERT_TRUE(record_exists());
    HANDLE h = CreateFileW(record_path().c_str(), READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd),
              ERROR_SUCCESS);
    CloseHandle(h);
    ASSERT_NE(dacl, nullptr);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        LPWSTR sid = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &sid);
        const std::wstring who = sid ? sid : L"";
        LocalFree(sid);
        for (const wchar_t* other : {L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545"})
            EXPECT_NE(who, other) << "the record's DACL lets " << to_utf8_lossy(who) << " in";
    }
    LocalFree(sd);
    run(disengage_kill_switch(c));
}

// Run by the test below in child processes, in its data folder: once every child is ready,
// adds kEdits records under the run id it is given.
constexpr int kEdits = 40;
constexpr wchar_t kReady[] = L"Local\\qel-record-test-ready";
constexpr wchar_t kGo[] = L"Local\\qel-record-test-go";

TEST(RecordFileChild, DISABLED_AddsRecords) {
    wchar_t run_id[64] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"QEL_RECORD_CHILD_RUN", run_id, 64), 0u);
    HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kReady);
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, kGo);
    ASSERT_TRUE(ready && go);
    ReleaseSemaphore(ready, 1, nullptr);
    ASSERT_EQ(WaitForSingleObject(go, 60000), WAIT_OBJECT_0);
    for (int i = 0; i < kEdits; ++i) {
        edit_records([&](std::vector<KillSwitchRecord>& records) {
            records.push_back({to_utf8_lossy(run_id) + "-" + std::to_string(i),
                               this_process(),
                               false,
                               uuid_of(new_wfp_key()),
                               {}});
        });
    }
    CloseHandle(ready);
    CloseHandle(go);
}

TEST_F(RecordFile, AgentProcessesEditingAtOnceLoseNoRecord) {
    // The data folder of this test reaches the children through the environment.
    constexpr int kChildren = 4;
    HANDLE ready = CreateSemaphoreW(nullptr, 0, kChildren, kReady);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, kGo);
    ASSERT_TRUE(ready && go);
    std::vector<PROCESS_INFORMATION> children;
    for (int n = 0; n < kChildren; ++n) {
        test::ScopedEnv run_id(L"QEL_RECORD_CHILD_RUN", L"child" + std::to_wstring(n));
        std::wstring cmd = L"\"" + test::program_folder() +
                           L"\\wfp_tests.exe\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=RecordFileChild.DISABLED_AddsRecords";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
        children.push_back(pi);
    }
    // All of them edit at once.
    for (int n = 0; n < kChildren; ++n)
        ASSERT_EQ(WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
    SetEvent(go);
    for (PROCESS_INFORMATION& pi : children) {
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 120000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(ready);
    CloseHandle(go);
    std::set<std::string> runs;
    for (const KillSwitchRecord& r : records())
        runs.insert(r.run);
    EXPECT_EQ(runs.size(), static_cast<std::size_t>(kChildren * kEdits));
}

}  // namespace
}  // namespace qel::wfp
