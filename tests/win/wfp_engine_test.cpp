#include <gtest/gtest.h>

#include <windows.h>

#include <fwpmu.h>

#include <regex>
#include <set>
#include <span>

#include "wfp/engine/key.h"
#include "wfp/engine/wfp_engine.h"
#include "wfp_fixture.h"

namespace qel::wfp {
namespace {

using test::call_keys;
using test::expand;
using test::wfp_events;
namespace fwp = test::fwp;

class WfpEngineTest : public test::WfpTest {};

const std::regex kKeyForm("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");

constexpr GUID kConnectV4{
    0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};

struct Lists {
    std::vector<GUID> keys;
    std::vector<WeightCell> weights;
};

TEST_F(WfpEngineTest, KeysAreFreshVersionFourInUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const std::string text = guid_text(new_wfp_key());
        EXPECT_TRUE(std::regex_match(text, kKeyForm)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_EQ(guid_text(kConnectV4), "C38D57D1-05A7-4C33-904F-7FBCEEE60E82");
    const GUID back = guid_from_uuid(uuid_of(kConnectV4));
    EXPECT_TRUE(IsEqualGUID(back, kConnectV4));
}

TEST_F(WfpEngineTest, OpenMakesANonPersistentSublayerOnASessionlessHandle) {
    {
        Result<WfpEngine> engine = open_wfp_engine(KeyPlan::fresh(2));
        ASSERT_TRUE(engine.ok()) << engine.error().full();
        EXPECT_TRUE(engine->sublayer_added());
        const fwpdbl::State s = fwp::state();
        ASSERT_EQ(s.engines.size(), 1u);
        EXPECT_EQ(s.engines[0].authn, 10u);
        EXPECT_FALSE(s.engines[0].session);
        ASSERT_EQ(s.sublayers.size(), 1u);
        EXPECT_EQ(s.sublayers[0].key, guid_text(engine->sublayer_key()));
        EXPECT_EQ(s.sublayers[0].name, "QEL Agent kill-switch sublayer");
        EXPECT_EQ(s.sublayers[0].weight, 0x1000u);
        EXPECT_EQ(s.sublayers[0].flags, 0u);
        EXPECT_TRUE(std::regex_match(s.sublayers[0].key, kKeyForm));
        close_wfp_engine(std::move(engine).value());
    }
    EXPECT_EQ(wfp_events(),
              expand({"INFO engine: WFP engine opened, sublayer_key={S}"}, call_keys()));
    EXPECT_EQ(fwp::calls(),
              (std::vector<std::string>{"FwpmEngineOpen0", "FwpmSubLayerAdd0",
                                        "FwpmSubLayerDeleteByKey0", "FwpmEngineClose0"}));
    const fwpdbl::State s = fwp::state();
    EXPECT_TRUE(s.engines.empty());
    EXPECT_TRUE(s.sublayers.empty());
}

TEST_F(WfpEngineTest, TwoEnginesHaveTheirOwnSublayers) {
    Result<WfpEngine> a = open_wfp_engine(KeyPlan::fresh(2));
    Result<WfpEngine> b = open_wfp_engine(KeyPlan::fresh(2));
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_NE(a->handle(), b->handle());
    EXPECT_NE(guid_text(a->sublayer_key()), guid_text(b->sublayer_key()));
    EXPECT_EQ(fwp::state().sublayers.size(), 2u);
}

TEST_F(WfpEngineTest, OpenFailureClosesNothing) {
    fwp::fail("FwpmEngineOpen0", 1, 5);
    Result<WfpEngine> engine = open_wfp_engine(KeyPlan::fresh(2));
    ASSERT_FALSE(engine.ok());
    EXPECT_EQ(engine.error().full(), "FwpmEngineOpen0 failed, rc=0x5");
    EXPECT_EQ(fwp::calls(), std::vector<std::string>{"FwpmEngineOpen0"});
    EXPECT_TRUE(wfp_events().empty());
}

TEST_F(WfpEngineTest, SublayerFailureClosesTheHandleOnly) {
    fwp::fail("FwpmSubLayerAdd0", 1, 0xff);
    fwp::fail("FwpmEngineClose0", 1, 0x80320002);
    Result<WfpEngine> engine = open_wfp_engine(KeyPlan::fresh(2));
    ASSERT_FALSE(engine.ok());
    EXPECT_EQ(engine.error().full(), "FwpmSubLayerAdd0 failed, rc=0xff");
    EXPECT_EQ(fwp::calls(), (std::vector<std::string>{"FwpmEngineOpen0", "FwpmSubLayerAdd0",
                                                      "FwpmEngineClose0"}));
    // The failed close is logged before the error reaches the caller.
    EXPECT_EQ(wfp_events(),
              std::vector<std::string>{"WARN engine: FwpmEngineClose0 rc=0x80320002"});
}

TEST_F(WfpEngineTest, AddGrowsTheListsByOneAndPassesNoConditionsAsNull) {
    Result<WfpEngine> engine = open_wfp_engine(KeyPlan::fresh(2));
    ASSERT_TRUE(engine.ok());
    Lists l;
    Result<void> added = add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v4)",
                                        kConnectV4, FWP_ACTION_BLOCK, 0x1000, {});
    ASSERT_TRUE(added.ok()) << added.error().full();
    ASSERT_EQ(l.keys.size(), 1u);
    ASSERT_EQ(l.weights.size(), 1u);
    EXPECT_EQ(*l.weights[0], 0x1000u);
    const fwpdbl::State s = fwp::state();
    ASSERT_EQ(s.filters.size(), 1u);
    const fwpdbl::Filter& f = s.filters[0];
    EXPECT_EQ(f.key, guid_text(l.keys[0]));
    EXPECT_EQ(f.name, "QEL block-all (v4)");
    EXPECT_EQ(f.layer, "C38D57D1-05A7-4C33-904F-7FBCEEE60E82");
    EXPECT_EQ(f.sublayer, guid_text(engine->sublayer_key()));
    EXPECT_EQ(f.weight, 0x1000u);
    EXPECT_EQ(f.action, static_cast<unsigned>(FWP_ACTION_BLOCK));
    EXPECT_EQ(f.flags, 0u);
    EXPECT_TRUE(f.conditions.empty());
    EXPECT_TRUE(std::regex_match(f.key, kKeyForm));

    fwp::fail("FwpmFilterAdd0", 2, 0x80320009);
    Result<void> refused = add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v4)",
                                          kConnectV4, FWP_ACTION_BLOCK, 0x1000, {});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().full(), "FwpmFilterAdd0(QEL block-all (v4)) rc=0x80320009");
    EXPECT_EQ(l.keys.size(), 1u);
    EXPECT_EQ(l.weights.size(), 1u);

    EXPECT_TRUE(delete_wfp_filter(*engine, l.keys[0]));
    EXPECT_TRUE(fwp::state().filters.empty());
    // Deleting what is gone already counts as gone, though the engine says so with a code.
    EXPECT_TRUE(delete_wfp_filter(*engine, l.keys[0]));
}

TEST_F(WfpEngineTest, ObjectsTakeThePlansKeysAndNoOthers) {
    const KeyPlan plan = KeyPlan::fresh(2);
    Result<WfpEngine> engine = open_wfp_engine(plan);
    ASSERT_TRUE(engine.ok());
    EXPECT_TRUE(IsEqualGUID(engine->sublayer_key(), plan.sublayer));
    Lists l;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v4)", kConnectV4,
                                   FWP_ACTION_BLOCK, 0x1000, {})
                        .ok());
    }
    ASSERT_EQ(l.keys.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(l.keys[0], plan.filters[0]));
    EXPECT_TRUE(IsEqualGUID(l.keys[1], plan.filters[1]));
    // A filter whose key nobody could have recorded is not made at all.
    Result<void> third = add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v6)",
                                        kConnectV4, FWP_ACTION_BLOCK, 0x1000, {});
    ASSERT_FALSE(third.ok());
    EXPECT_EQ(third.error().full(), "FwpmFilterAdd0(QEL block-all (v6)): no planned key left");
    EXPECT_EQ(l.keys.size(), 2u);
    EXPECT_EQ(fwp::state().filters.size(), 2u);
    for (const GUID& k : l.keys)
        EXPECT_TRUE(delete_wfp_filter(*engine, k));
    EXPECT_FALSE(close_wfp_engine(std::move(engine).value()));
}

TEST_F(WfpEngineTest, ReleaseGoesOnPastFailures) {
    Result<WfpEngine> engine = open_wfp_engine(KeyPlan::fresh(2));
    ASSERT_TRUE(engine.ok());
    Lists l;
    ASSERT_TRUE(add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v6)", kConnectV4,
                               FWP_ACTION_BLOCK, 0x1000, {})
                    .ok());
    fwp::fail("FwpmFilterDeleteByKey0", 1, 0x5);
    fwp::fail("FwpmEngineClose0", 1, 0x6);
    EXPECT_FALSE(delete_wfp_filter(*engine, l.keys[0]));
    // The filter is still in the sublayer, so the engine refuses the sublayer delete: the
    // release says that the sublayer stays.
    EXPECT_TRUE(close_wfp_engine(std::move(engine).value()));
    EXPECT_EQ(wfp_events(), expand({"INFO engine: WFP engine opened, sublayer_key={S}",
                                    "DEBUG engine: FwpmFilterDeleteByKey0({A1}) rc=0x5",
                                    "WARN engine: FwpmSubLayerDeleteByKey0 rc=0x80320006",
                                    "WARN engine: FwpmEngineClose0 rc=0x6"},
                                   call_keys()));
    EXPECT_EQ(fwp::calls().back(), "FwpmEngineClose0");
}

TEST_F(WfpEngineTest, TheDoubleTakesFaultsFromTheEnvironmentToo) {
    test::ScopedEnv faults(L"QEL_FWP_DOUBLE_FAULTS",
                           L"FwpmEngineOpen0:2=0x80320009,FwpmGetAppIdFromFileName0:1=null");
    ASSERT_TRUE(open_wfp_engine(KeyPlan::fresh(2)).ok());
    Result<WfpEngine> second = open_wfp_engine(KeyPlan::fresh(2));
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().full(), "FwpmEngineOpen0 failed, rc=0x80320009");
    FWP_BYTE_BLOB* blob = reinterpret_cast<FWP_BYTE_BLOB*>(&blob);
    EXPECT_EQ(FwpmGetAppIdFromFileName0(L"C:\\windows", &blob), 0u);
    EXPECT_EQ(blob, nullptr);
}

TEST_F(WfpEngineTest, AnAddThatWentInCanStillReportFailureAndItsKeyCountsAsTaken) {
    // As a call to the engine that timed out may: the filter is made, the caller hears failure.
    test::ScopedEnv faults(L"QEL_FWP_DOUBLE_FAULTS", L"FwpmFilterAdd0:1=after-0x5b4");
    const KeyPlan plan = KeyPlan::fresh(3);
    Result<WfpEngine> engine = open_wfp_engine(plan);
    ASSERT_TRUE(engine.ok());
    EXPECT_TRUE(engine->taken_filter_keys().empty());
    Lists l;
    Result<void> r = add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v4)", kConnectV4,
                                    FWP_ACTION_BLOCK, 0x1000, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full(), "FwpmFilterAdd0(QEL block-all (v4)) rc=0x5b4");
    EXPECT_TRUE(l.keys.empty());
    ASSERT_EQ(fwp::state().filters.size(), 1u);
    EXPECT_EQ(fwp::state().filters[0].key, guid_text(plan.filters[0]));
    // Only that call: the next add goes in and says so.
    ASSERT_TRUE(add_wfp_filter({*engine, l.keys, l.weights}, "QEL block-all (v6)", kConnectV4,
                               FWP_ACTION_BLOCK, 0x1000, {})
                    .ok());
    ASSERT_EQ(l.keys.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(l.keys[0], plan.filters[1]));
    // Both keys were handed to an add, in order; the third was not.
    const std::span<const GUID> taken = engine->taken_filter_keys();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(taken[0], plan.filters[0]));
    EXPECT_TRUE(IsEqualGUID(taken[1], plan.filters[1]));
    EXPECT_EQ(fwp::state().filters.size(), 2u);
    for (const GUID& k : taken)
        EXPECT_TRUE(delete_wfp_filter(*engine, k));
    EXPECT_FALSE(close_wfp_engine(std::move(engine).value()));
}

}  // namespace
}  // namespace qel::wfp
