#include <gtest/gtest.h>

#include <windows.h>

#include <fwpmu.h>

#include <algorithm>

#include "common/utf.h"
#include "wfp/controller/controller.h"
#include "wfp/controller/owner.h"
#include "wfp/controller/record.h"
#include "wfp/engine/key.h"
#include "wfp_fixture.h"

namespace qel::wfp {
namespace {

using test::wfp_events;
namespace fwp = test::fwp;

constexpr GUID kConnectV4{
    0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};

// What another agent left: a sublayer with filters, made through a handle of its own that is
// gone, and its record naming them (plus one filter that is no longer installed). Unless told
// otherwise, its owner has ended.
struct Leftover {
    KillSwitchRecord record;
    std::string sublayer;
    std::vector<std::string> filters;
};

Leftover leave_objects_behind(unsigned filters,
                              std::wstring name = L"QEL Agent kill-switch sublayer") {
    Leftover left;
    HANDLE h = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &h), 0u);
    FWPM_SUBLAYER0 sublayer{};
    sublayer.subLayerKey = new_wfp_key();
    sublayer.displayData.name = name.data();
    sublayer.weight = 0x1000;
    EXPECT_EQ(FwpmSubLayerAdd0(h, &sublayer, nullptr), 0u);
    left.record.run = "earlier-run";
    left.record.owner = test::ended_process();
    left.record.sublayer = uuid_of(sublayer.subLayerKey);
    left.sublayer = guid_text(sublayer.subLayerKey);
    for (unsigned i = 0; i < filters; ++i) {
        std::uint64_t weight = 0x1000;
        FWPM_FILTER0 f{};
        f.filterKey = new_wfp_key();
        f.displayData.name = name.data();
        f.layerKey = kConnectV4;
        f.subLayerKey = sublayer.subLayerKey;
        f.weight.type = FWP_UINT64;
        f.weight.uint64 = &weight;
        f.action.type = FWP_ACTION_BLOCK;
        EXPECT_EQ(FwpmFilterAdd0(h, &f, nullptr, nullptr), 0u);
        left.record.filters.push_back(uuid_of(f.filterKey));
        left.filters.push_back(guid_text(f.filterKey));
    }
    EXPECT_EQ(FwpmEngineClose0(h), 0u);
    left.record.filters.push_back(uuid_of(new_wfp_key()));
    return left;
}

class Leftovers : public test::WfpTest {
  protected:
    std::string removed_line(const Leftover& l, unsigned deleted, unsigned gone,
                             unsigned elsewhere = 0) const {
        return "INFO controller: kill-switch: removed what agent run " + l.record.run +
               " left installed: sublayer " + l.sublayer + " and " + std::to_string(deleted) +
               " filters (already gone: " + std::to_string(gone) +
               "; outside that sublayer, left alone: " + std::to_string(elsewhere) + ")";
    }
    std::vector<std::string> installed_keys() const {
        std::vector<std::string> keys;
        for (const fwpdbl::Filter& f : fwp::state().filters)
            keys.push_back(f.key);
        return keys;
    }
};

const std::string kNotEngaged = "WARN controller: kill-switch disengage called but was not engaged";

TEST_F(Leftovers, ARestartedAgentIsNotEngagedAndItsDisengageRemovesThem) {
    const Leftover left = leave_objects_behind(2);
    write_record_file(format_records({left.record}));
    fwp::reset();

    auto c = std::make_shared<KillSwitchController>();
    EXPECT_FALSE(run(is_kill_switch_engaged(c)));
    EXPECT_EQ(fwp::state().filters.size(), 2u);  // still blocking
    EXPECT_TRUE(fwp::journal().empty());

    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(), (std::vector<std::string>{kNotEngaged, removed_line(left, 2, 1)}));
    const std::vector<std::string> calls = fwp::calls();
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "FwpmEngineOpen0", "FwpmSubLayerGetByKey0", "FwpmFreeMemory0",
                         "FwpmFilterGetByKey0", "FwpmFilterDeleteByKey0", "FwpmFreeMemory0",
                         "FwpmFilterGetByKey0", "FwpmFilterDeleteByKey0", "FwpmFreeMemory0",
                         "FwpmFilterGetByKey0", "FwpmSubLayerDeleteByKey0", "FwpmEngineClose0"}));
    const fwpdbl::State s = fwp::state();
    EXPECT_TRUE(s.filters.empty() && s.sublayers.empty() && s.engines.empty());
    EXPECT_EQ(s.memory_outstanding, 0u);
    EXPECT_FALSE(record_exists());

    // Nothing is left to remove the next time.
    fwp::reset();
    run(disengage_kill_switch(c));
    EXPECT_TRUE(fwp::journal().empty());
}

TEST_F(Leftovers, ARunningAgentsKillSwitchIsNeverTouched) {
    // Another agent that runs (here: an owner that is this very process under another run id),
    // one whose process id was since given to a process started at another time, and one that
    // runs but let its kill switch go.
    Leftover running = leave_objects_behind(2);
    running.record.run = "running-run";
    running.record.owner = this_process();
    Leftover reused = leave_objects_behind(1);
    reused.record.run = "reused-run";
    reused.record.owner = ProcessIdentity{this_process().pid, this_process().started + 1};
    Leftover released = leave_objects_behind(1);
    released.record.run = "released-run";
    released.record.owner = this_process();
    released.record.released = true;
    write_record_file(format_records({running.record, reused.record, released.record}));
    fwp::reset();

    run(disengage_kill_switch(std::make_shared<KillSwitchController>()));
    EXPECT_EQ(wfp_events(), (std::vector<std::string>{kNotEngaged, removed_line(reused, 1, 1),
                                                      removed_line(released, 1, 1)}));
    EXPECT_EQ(installed_keys(), running.filters);
    ASSERT_EQ(fwp::state().sublayers.size(), 1u);
    EXPECT_EQ(fwp::state().sublayers[0].key, running.sublayer);
    EXPECT_EQ(records(), std::vector<KillSwitchRecord>{running.record});

    // Once it has ended, the next disengage removes it.
    KillSwitchRecord ended = running.record;
    ended.owner = test::ended_process();
    write_record_file(format_records({ended}));
    run(disengage_kill_switch(std::make_shared<KillSwitchController>()));
    EXPECT_TRUE(fwp::state().filters.empty());
    EXPECT_TRUE(fwp::state().sublayers.empty());
    EXPECT_FALSE(record_exists());
}

TEST_F(Leftovers, NothingThatARunningAgentsRecordNamesIsDeletedForAnother) {
    // A record of an ended owner that names what a running agent's record names (the file's
    // folder may be writable by others): the running agent's objects stay.
    Leftover running = leave_objects_behind(2);
    running.record.owner = this_process();
    running.record.run = "running-run";
    KillSwitchRecord copy = running.record;
    copy.run = "copy-run";
    copy.owner = test::ended_process();
    Leftover ended = leave_objects_behind(1);
    ended.record.filters.push_back(running.record.filters[0]);
    write_record_file(format_records({running.record, copy, ended.record}));
    fwp::reset();

    run(disengage_kill_switch(std::make_shared<KillSwitchController>()));
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{
                  kNotEngaged,
                  "WARN controller: kill-switch: the record of agent run copy-run names sublayer " +
                      running.sublayer +
                      ", which a running agent's record names too; dropping the record and "
                      "deleting nothing",
                  removed_line(ended, 1, 1, 1)}));
    EXPECT_EQ(installed_keys(), running.filters);
    EXPECT_EQ(records(), std::vector<KillSwitchRecord>{running.record});
}

TEST_F(Leftovers, AnOwnerlessRecordIsKeptUntilItsSublayerIsGone) {
    // Entries of an earlier agent's file name no owner: whether it runs cannot be told.
    Leftover left = leave_objects_behind(1);
    left.record.owner.reset();
    write_record_file("{\"kill_switches\":[{\"filters\":[\"" + left.filters[0] +
                      "\"],\"run\":\"old-run\"," + "\"sublayer\":\"" + left.sublayer +
                      "\"}],\"version\":1}\n");
    fwp::reset();
    auto c = std::make_shared<KillSwitchController>();
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(), std::vector<std::string>{kNotEngaged});
    EXPECT_EQ(installed_keys(), left.filters);
    const std::vector<std::string> calls = fwp::calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FwpmFilterDeleteByKey0")), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FwpmSubLayerDeleteByKey0")), 0);
    // Read, and kept as it was; the file is only rewritten when something changes.
    ASSERT_EQ(records().size(), 1u);
    EXPECT_FALSE(records()[0].owner.has_value());

    // The filtering engine restarted (Windows rebooted): nothing of it is left, and the record
    // goes.
    fwp::clear_state();
    test::clear_captured_events();
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events().back(),
              "INFO controller: kill-switch: what agent run old-run left installed is gone "
              "already (sublayer " +
                  left.sublayer + ")");
    EXPECT_FALSE(record_exists());
}

TEST_F(Leftovers, AnEngageRecordsItsOwnKeysBesideThemAndDisengageRemovesBoth) {
    const Leftover left = leave_objects_behind(2);
    write_record_file(format_records({left.record}));
    auto c = std::make_shared<KillSwitchController>();
    ASSERT_TRUE(run(engage_kill_switch(c, std::nullopt, std::nullopt)).ok());

    const fwpdbl::State s = fwp::state();
    ASSERT_EQ(s.sublayers.size(), 2u);  // a second sublayer beside the left-over one
    ASSERT_EQ(s.filters.size(), 6u);
    const std::vector<KillSwitchRecord> recs = records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0], left.record);
    EXPECT_NE(recs[1].run, "earlier-run");
    EXPECT_EQ(recs[1].owner, this_process());
    EXPECT_FALSE(recs[1].released);
    EXPECT_EQ(uuid_text(recs[1].sublayer), s.sublayers[1].key);
    ASSERT_EQ(recs[1].filters.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(uuid_text(recs[1].filters[i]), s.filters[2 + i].key);

    test::clear_captured_events();
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{"INFO controller: kill-switch disengaged on demand",
                                        "INFO kill_switch: kill-switch disengaged",
                                        removed_line(left, 2, 1)}));
    const fwpdbl::State after = fwp::state();
    EXPECT_TRUE(after.filters.empty() && after.sublayers.empty() && after.engines.empty());
    EXPECT_FALSE(record_exists());
}

TEST_F(Leftovers, WhatCannotBeRemovedKeepsItsRecordForTheNextDisengage) {
    const Leftover left = leave_objects_behind(1);
    write_record_file(format_records({left.record}));
    fwp::reset();
    fwp::fail("FwpmFilterDeleteByKey0", 1, 0x5);
    auto c = std::make_shared<KillSwitchController>();
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{
                  kNotEngaged,
                  "WARN controller: kill-switch: could not remove what agent run earlier-run left "
                  "installed: FwpmFilterDeleteByKey0(" +
                      left.filters[0] + ") rc=0x5; keeping its record"}));
    EXPECT_EQ(records(), std::vector<KillSwitchRecord>{left.record});
    EXPECT_TRUE(fwp::state().engines.empty());

    test::clear_captured_events();
    run(disengage_kill_switch(c));
    EXPECT_EQ(wfp_events().back(), removed_line(left, 1, 1));
    EXPECT_FALSE(record_exists());
    EXPECT_TRUE(fwp::state().filters.empty());
}

TEST_F(Leftovers, NoEngineMeansTheRecordStays) {
    const Leftover left = leave_objects_behind(1);
    write_record_file(format_records({left.record}));
    fwp::reset();
    fwp::fail("FwpmEngineOpen0", 1, 0x5);
    run(disengage_kill_switch(std::make_shared<KillSwitchController>()));
    EXPECT_EQ(wfp_events().back(),
              "WARN controller: kill-switch: could not remove what earlier agent runs left "
              "installed: FwpmEngineOpen0 failed, rc=0x5");
    EXPECT_EQ(records(), std::vector<KillSwitchRecord>{left.record});
}

TEST_F(Leftovers, ARecordDeletesNothingOutsideASublayerOfTheAgentsOwn) {
    // Someone else's sublayer with a filter, and a filter of ours in a second sublayer.
    Leftover foreign = leave_objects_behind(1, L"Another product's sublayer");
    Leftover other = leave_objects_behind(1);
    Leftover left = leave_objects_behind(1);
    left.record.filters.push_back(other.record.filters[0]);
    write_record_file(format_records({foreign.record, left.record}));
    fwp::reset();
    run(disengage_kill_switch(std::make_shared<KillSwitchController>()));
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{
                  kNotEngaged,
                  "WARN controller: kill-switch: the record of agent run earlier-run names "
                  "sublayer " +
                      foreign.sublayer +
                      ", which is not the agent's; dropping the record and deleting nothing",
                  removed_line(left, 1, 1, 1)}));
    const fwpdbl::State s = fwp::state();
    ASSERT_EQ(s.filters.size(), 2u);
    EXPECT_EQ(s.filters[0].key, foreign.filters[0]);
    EXPECT_EQ(s.filters[1].key, other.filters[0]);
    ASSERT_EQ(s.sublayers.size(), 2u);
    EXPECT_EQ(s.sublayers[0].key, foreign.sublayer);
    EXPECT_EQ(s.sublayers[1].key, other.sublayer);
    EXPECT_EQ(s.memory_outstanding, 0u);
    EXPECT_FALSE(record_exists());
}

TEST_F(Leftovers, ARecordWhoseSublayerIsGoneIsDropped) {
    Leftover left = leave_objects_behind(0);
    left.record.sublayer = uuid_of(new_wfp_key());
    write_record_file(format_records({left.record}));
    fwp::reset();
    run(disengage_kill_switch(std::make_shared<KillSwitchController>()));
    EXPECT_EQ(wfp_events().back(),
              "INFO controller: kill-switch: what agent run earlier-run left installed is gone "
              "already (sublayer " +
                  uuid_text(left.record.sublayer) + ")");
    EXPECT_FALSE(record_exists());
    const std::vector<std::string> calls = fwp::calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FwpmFilterDeleteByKey0")), 0);
}

TEST_F(Leftovers, ACorruptRecordFileIsMovedAsideAndNothingIsDeletedForIt) {
    write_record_file("{\"kill_switches\":[");
    auto c = std::make_shared<KillSwitchController>();
    run(disengage_kill_switch(c));
    ASSERT_EQ(aside_files().size(), 1u);
    const std::wstring folder = record_path().substr(0, record_path().rfind(L'\\') + 1);
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{kNotEngaged,
                                        "WARN controller: kill-switch: record file " +
                                            to_utf8_lossy(record_path()) +
                                            " is corrupt (not valid JSON); moved it aside to " +
                                            to_utf8_lossy(folder + aside_files()[0])}));
    EXPECT_FALSE(record_exists());
    EXPECT_TRUE(fwp::journal().empty());

    // An engage over a corrupt file still succeeds and leaves only its own record; the earlier
    // file moved aside stays.
    write_record_file("not json at all");
    ASSERT_TRUE(run(engage_kill_switch(c, std::nullopt, std::nullopt)).ok());
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(aside_files().size(), 2u);
    run(disengage_kill_switch(c));
    EXPECT_FALSE(record_exists());
    EXPECT_EQ(aside_files().size(), 2u);
}

}  // namespace
}  // namespace qel::wfp
