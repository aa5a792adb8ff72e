#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "wfp/controller/controller.h"
#include "wfp/controller/record.h"
#include "wfp_fixture.h"

namespace qel::wfp {
namespace {

using test::call_keys;
using test::expand;
using test::wfp_events;
namespace fwp = test::fwp;

struct Fault {
    const char* function;
    unsigned nth;
    DWORD code;  // for FwpmGetAppIdFromFileName0, 0 means: success without a blob
};

// One fault (or a pair) injected into an engage with both a path and the alias "lo", which
// would install eight filters. {P} stands for the path, {S} for the sublayer key, {An} for
// the key of the nth filter add.
struct Case {
    const char* step;
    std::vector<Fault> faults;
    std::optional<std::string> error;  // nothing: the engage succeeds regardless
    std::vector<std::string> events;   // of the kill-switch targets, in order
    std::vector<std::string> left;     // display names still installed afterwards
    bool sublayer_left = false;
    unsigned engines_left = 0;
};

const std::string kOpened = "INFO engine: WFP engine opened, sublayer_key={S}";
const std::string kTunOk = "INFO kill_switch: kill-switch: permit TUN interface 'lo' installed";
const std::string kDisengaged = "INFO kill_switch: kill-switch disengaged";

std::string tun_fallback(const std::string& name) {
    return "WARN kill_switch: kill-switch: could not install TUN-interface permit for 'lo': "
           "FwpmFilterAdd0(" +
           name + ") rc=0x80320009; falling back to app-only allowlist (user apps may be blocked)";
}

std::string delete_refused(int n) {
    return "DEBUG engine: FwpmFilterDeleteByKey0({A" + std::to_string(n) + "}) rc=0x5";
}

const std::string kSublayerInUse = "WARN engine: FwpmSubLayerDeleteByKey0 rc=0x80320006";

const std::vector<std::string> kNames{"QEL permit loopback (v4)",    "QEL permit loopback (v6)",
                                      "QEL permit TUN iface v4: lo", "QEL permit TUN iface v6: lo",
                                      "QEL permit app: {P}",         "QEL permit app: {P}",
                                      "QEL block-all (v4)",          "QEL block-all (v6)"};

std::vector<Case> cases() {
    std::vector<Case> c{
        {"engine open", {{"FwpmEngineOpen0", 1, 0x5}}, "FwpmEngineOpen0 failed, rc=0x5", {}},
        {"sublayer add", {{"FwpmSubLayerAdd0", 1, 0xff}}, "FwpmSubLayerAdd0 failed, rc=0xff", {}},
        {"sublayer add, then the close",
         {{"FwpmSubLayerAdd0", 1, 0x80320009}, {"FwpmEngineClose0", 1, 0x6}},
         "FwpmSubLayerAdd0 failed, rc=0x80320009",
         {"WARN engine: FwpmEngineClose0 rc=0x6"},
         {},
         false,
         1},
        {"filter 1",
         {{"FwpmFilterAdd0", 1, 0x80320009}},
         "FwpmFilterAdd0(QEL permit loopback (v4)) rc=0x80320009",
         {kOpened, kDisengaged}},
        {"filter 2",
         {{"FwpmFilterAdd0", 2, 0x80320009}},
         "FwpmFilterAdd0(QEL permit loopback (v6)) rc=0x80320009",
         {kOpened, kDisengaged}},
        {"filter 3 (engage goes on)",
         {{"FwpmFilterAdd0", 3, 0x80320009}},
         std::nullopt,
         {kOpened, tun_fallback("QEL permit TUN iface v4: lo"),
          "INFO kill_switch: kill-switch engaged: 6 filters installed"},
         {kNames[0], kNames[1], kNames[4], kNames[5], kNames[6], kNames[7]},
         true,
         1},
        {"filter 4 (engage goes on, filter 3 stays)",
         {{"FwpmFilterAdd0", 4, 0x80320009}},
         std::nullopt,
         {kOpened, tun_fallback("QEL permit TUN iface v6: lo"),
          "INFO kill_switch: kill-switch engaged: 7 filters installed"},
         {kNames[0], kNames[1], kNames[2], kNames[4], kNames[5], kNames[6], kNames[7]},
         true,
         1},
        {"app id lookup",
         {{"FwpmGetAppIdFromFileName0", 1, 0x2}},
         "FwpmGetAppIdFromFileName0({P}) rc=0x2",
         {kOpened, kTunOk, kDisengaged}},
        {"app id blob null",
         {{"FwpmGetAppIdFromFileName0", 1, 0}},
         "AppId blob is null",
         {kOpened, kTunOk, kDisengaged}},
        {"filter 5 (filter 6 still tried; 5's error wins)",
         {{"FwpmFilterAdd0", 5, 0x80320009}, {"FwpmFilterAdd0", 6, 0x80320004}},
         "FwpmFilterAdd0(QEL permit app: {P}) rc=0x80320009",
         {kOpened, kTunOk, kDisengaged}},
        {"filter 5 alone (filter 6 added, then deleted)",
         {{"FwpmFilterAdd0", 5, 0x80320009}},
         "FwpmFilterAdd0(QEL permit app: {P}) rc=0x80320009",
         {kOpened, kTunOk, kDisengaged}},
        {"filter 6",
         {{"FwpmFilterAdd0", 6, 0x80320004}},
         "FwpmFilterAdd0(QEL permit app: {P}) rc=0x80320004",
         {kOpened, kTunOk, kDisengaged}},
        {"filter 7",
         {{"FwpmFilterAdd0", 7, 0x80320009}},
         "FwpmFilterAdd0(QEL block-all (v4)) rc=0x80320009",
         {kOpened, kTunOk, kDisengaged}},
        {"filter 8",
         {{"FwpmFilterAdd0", 8, 0x80320009}},
         "FwpmFilterAdd0(QEL block-all (v6)) rc=0x80320009",
         {kOpened, kTunOk, kDisengaged}},
        {"sublayer delete during the rollback",
         {{"FwpmFilterAdd0", 8, 0x80320009}, {"FwpmSubLayerDeleteByKey0", 1, 0x5}},
         "FwpmFilterAdd0(QEL block-all (v6)) rc=0x80320009",
         {kOpened, kTunOk, kDisengaged, "WARN engine: FwpmSubLayerDeleteByKey0 rc=0x5"},
         {},
         true},
        {"handle close during the rollback",
         {{"FwpmFilterAdd0", 8, 0x80320009}, {"FwpmEngineClose0", 1, 0x6}},
         "FwpmFilterAdd0(QEL block-all (v6)) rc=0x80320009",
         {kOpened, kTunOk, kDisengaged, "WARN engine: FwpmEngineClose0 rc=0x6"},
         {},
         false,
         1},
    };
    // Each delete of the rollback after filter 8 was refused: that filter stays, and with it
    // the sublayer, which the engine will not delete while it holds a filter.
    for (unsigned n = 1; n <= 7; ++n) {
        c.push_back(
            {"rollback delete",
             {{"FwpmFilterAdd0", 8, 0x80320009}, {"FwpmFilterDeleteByKey0", n, 0x5}},
             "FwpmFilterAdd0(QEL block-all (v6)) rc=0x80320009",
             {kOpened, kTunOk, delete_refused(static_cast<int>(n)), kDisengaged, kSublayerInUse},
             {kNames[n - 1]},
             true});
    }
    return c;
}

class EngageFailure : public test::WfpTest {};

TEST_F(EngageFailure, EveryStepLeavesNothingOfOursBehind) {
    const std::string path = app_path();
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.step);
        fwp::reset();
        fwp::clear_state();
        DeleteFileW(record_path().c_str());
        test::clear_captured_events();
        for (const Fault& f : c.faults) {
            if (std::string(f.function) == "FwpmGetAppIdFromFileName0" && f.code == 0)
                fwp::null_app_id(f.nth);
            else
                fwp::fail(f.function, f.nth, f.code);
        }
        auto controller = std::make_shared<KillSwitchController>();
        Result<void> r = run(engage_kill_switch(controller, path, "lo"));

        std::map<std::string, std::string> keys = call_keys();
        keys["P"] = path;
        if (c.error) {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().full(), expand({*c.error}, keys)[0]);
            EXPECT_EQ(r.error().chain().size(), 1u);
        } else {
            ASSERT_TRUE(r.ok()) << r.error().full();
        }
        EXPECT_EQ(wfp_events(), expand(c.events, keys));
        EXPECT_EQ(run(is_kill_switch_engaged(controller)), !c.error.has_value());

        const fwpdbl::State s = fwp::state();
        EXPECT_EQ(test::installed_names(), expand(c.left, keys));
        EXPECT_EQ(s.sublayers.size(), c.sublayer_left ? 1u : 0u);
        EXPECT_EQ(s.engines.size(), c.engines_left);
        EXPECT_EQ(s.memory_outstanding, 0u);
        // The record names, in the order the keys were handed out, every filter that may be
        // installed: while engaged, each whose add was attempted; after the rollback, while
        // the sublayer stays, those still installed and those whose add reported failure. Once
        // the sublayer is deleted no filter can be left, and neither is the record.
        std::vector<std::string> named;
        for (const std::string& line : fwp::journal()) {
            if (line.rfind("FwpmFilterAdd0 ", 0) != 0)
                continue;
            const std::string key = line.substr(line.find(' ') + 1, 36);
            const bool refused = !line.ends_with(" -> 0x0");
            const bool installed =
                std::any_of(s.filters.begin(), s.filters.end(),
                            [&](const fwpdbl::Filter& f) { return f.key == key; });
            if (!c.error || (c.sublayer_left && (refused || installed)))
                named.push_back(key);
        }
        EXPECT_EQ(record_exists(), c.sublayer_left || !named.empty());
        if (record_exists()) {
            const std::vector<KillSwitchRecord> recs = records();
            ASSERT_EQ(recs.size(), 1u);
            EXPECT_EQ(uuid_text(recs[0].sublayer), keys.at("S"));
            EXPECT_EQ(recs[0].released, c.error.has_value());
            std::vector<std::string> recorded;
            for (const UuidBytes& k : recs[0].filters)
                recorded.push_back(uuid_text(k));
            EXPECT_EQ(recorded, named);
        }
        // The app id is freed exactly when one was handed out, after both app filters: the
        // lookup was reached and no fault of the row took its blob away.
        const std::vector<std::string> calls = fwp::calls();
        const auto lookup = std::find(calls.begin(), calls.end(), "FwpmGetAppIdFromFileName0");
        const auto freed = std::find(calls.begin(), calls.end(), "FwpmFreeMemory0");
        const bool lookup_faulted = std::any_of(
            c.faults.begin(), c.faults.end(),
            [](const Fault& f) { return std::string(f.function) == "FwpmGetAppIdFromFileName0"; });
        const bool blob_given = lookup != calls.end() && !lookup_faulted;
        EXPECT_EQ(freed != calls.end(), blob_given);
        if (blob_given) {
            EXPECT_EQ(std::count(lookup, freed, std::string("FwpmFilterAdd0")), 2);
        }
        EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("FwpmEngineOpen0")), 1);
        // Engaged or not, the disengage after it leaves nothing of ours, nor a record.
        run(disengage_kill_switch(controller));
        EXPECT_TRUE(fwp::state().filters.empty());
        EXPECT_TRUE(fwp::state().sublayers.empty());
        EXPECT_EQ(fwp::state().memory_outstanding, 0u);
        EXPECT_FALSE(record_exists());
    }
}

}  // namespace
}  // namespace qel::wfp
