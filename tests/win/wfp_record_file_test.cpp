// The record of installed keys as a file that several agent processes share.

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
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
    std::vector<KillSwitchRecord> records() const {
        if (!record_exists())
            return {};
        Result<std::vector<KillSwitchRecord>> r = parse_records(read_record_file());
        EXPECT_TRUE(r.ok()) << read_record_file();
        return r.ok() ? r.value() : std::vector<KillSwitchRecord>{};
    }
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
    // Narrowed to what went in, once the engage is done.
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
