#include <gtest/gtest.h>

#include <windows.h>

#include <fwpmu.h>
#include <iphlpapi.h>

#include <filesystem>
#include <optional>

#include "common/utf.h"
#include "wfp/controller/controller.h"
#include "wfp_fixture.h"

namespace qel::wfp {
namespace {

using test::call_keys;
using test::expand;
using test::installed_names;
using test::wfp_events;
namespace fwp = test::fwp;

constexpr const char* kV4 = "C38D57D1-05A7-4C33-904F-7FBCEEE60E82";
constexpr const char* kV6 = "4A72393B-319F-44BC-84C3-BA54DCB3B6B4";
constexpr const char* kFlagsField = "632CE23B-5167-435C-86D7-E903684AA80C";
constexpr const char* kLocalInterfaceField = "4CD62A49-59C3-4969-B7F3-BDA5D32890A4";
constexpr const char* kAppIdField = "D78E1E87-8644-4EA5-9437-D809ECEFC971";
constexpr unsigned kPermit = 0x1002;
constexpr unsigned kBlock = 0x1001;

enum class Cond { loopback, tun, app, none };

struct Row {
    std::string name;
    const char* layer;
    std::uint64_t weight;
    unsigned action;
    Cond cond;
};

// The filter set written out independently of the product's table.
std::vector<Row> expected_rows(const std::optional<std::string>& path,
                               const std::optional<std::string>& alias) {
    std::vector<Row> rows{
        {"QEL permit loopback (v4)", kV4, 0xFFFE0000, kPermit, Cond::loopback},
        {"QEL permit loopback (v6)", kV6, 0xFFFE0000, kPermit, Cond::loopback},
    };
    if (alias) {
        rows.push_back({"QEL permit TUN iface v4: " + *alias, kV4, 0xFFFD8000, kPermit, Cond::tun});
        rows.push_back({"QEL permit TUN iface v6: " + *alias, kV6, 0xFFFD8000, kPermit, Cond::tun});
    }
    if (path) {
        rows.push_back({"QEL permit app: " + *path, kV4, 0xFFFD0000, kPermit, Cond::app});
        rows.push_back({"QEL permit app: " + *path, kV6, 0xFFFD0000, kPermit, Cond::app});
    }
    rows.push_back({"QEL block-all (v4)", kV4, 0x1000, kBlock, Cond::none});
    rows.push_back({"QEL block-all (v6)", kV6, 0x1000, kBlock, Cond::none});
    return rows;
}

std::uint64_t luid_of(const wchar_t* alias) {
    NET_LUID luid{};
    EXPECT_EQ(ConvertInterfaceAliasToLuid(alias, &luid), 0u);
    return luid.Value;
}

// The double's app id for a path, fetched after the engage so it does not shift call counts.
std::vector<std::uint8_t> app_id_of(const std::string& path) {
    FWP_BYTE_BLOB* blob = nullptr;
    EXPECT_EQ(FwpmGetAppIdFromFileName0(to_wide(path).c_str(), &blob), 0u);
    std::vector<std::uint8_t> bytes(blob->data, blob->data + blob->size);
    FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
    return bytes;
}

class FilterSet : public test::WfpTest {
  protected:
    void engage_and_check(const std::optional<std::string>& path,
                          const std::optional<std::string>& alias) {
        auto c = std::make_shared<KillSwitchController>();
        Result<void> r = run(engage_kill_switch(c, path, alias));
        ASSERT_TRUE(r.ok()) << r.error().full();
        EXPECT_TRUE(run(is_kill_switch_engaged(c)));

        const std::vector<Row> rows = expected_rows(path, alias);
        std::vector<std::string> events{"INFO engine: WFP engine opened, sublayer_key={S}"};
        if (alias)
            events.push_back("INFO kill_switch: kill-switch: permit TUN interface '" + *alias +
                             "' installed");
        events.push_back("INFO kill_switch: kill-switch engaged: " + std::to_string(rows.size()) +
                         " filters installed");
        EXPECT_EQ(wfp_events(), expand(events, call_keys()));

        const fwpdbl::State s = fwp::state();
        ASSERT_EQ(s.sublayers.size(), 1u);
        ASSERT_EQ(s.filters.size(), rows.size());
        std::optional<std::vector<std::uint8_t>> app_id;
        if (path)
            app_id = app_id_of(*path);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(rows[i].name);
            const fwpdbl::Filter& f = s.filters[i];
            EXPECT_EQ(f.name, rows[i].name);
            EXPECT_EQ(f.layer, rows[i].layer);
            EXPECT_EQ(f.sublayer, s.sublayers[0].key);
            EXPECT_EQ(f.weight, rows[i].weight);
            EXPECT_EQ(f.action, rows[i].action);
            EXPECT_EQ(f.flags, 0u);
            if (rows[i].cond == Cond::none) {
                EXPECT_TRUE(f.conditions.empty());
                continue;
            }
            ASSERT_EQ(f.conditions.size(), 1u);
            const fwpdbl::Condition& cond = f.conditions[0];
            switch (rows[i].cond) {
                case Cond::loopback:
                    EXPECT_EQ(cond.field, kFlagsField);
                    EXPECT_EQ(cond.match, static_cast<unsigned>(FWP_MATCH_FLAGS_ALL_SET));
                    EXPECT_EQ(cond.type, fwpdbl::Condition::Type::uint32);
                    EXPECT_EQ(cond.number, 1u);
                    break;
                case Cond::tun:
                    EXPECT_EQ(cond.field, kLocalInterfaceField);
                    EXPECT_EQ(cond.match, static_cast<unsigned>(FWP_MATCH_EQUAL));
                    EXPECT_EQ(cond.type, fwpdbl::Condition::Type::uint64);
                    EXPECT_EQ(cond.number, luid_of(to_wide(*alias).c_str()));
                    break;
                case Cond::app:
                    EXPECT_EQ(cond.field, kAppIdField);
                    EXPECT_EQ(cond.match, static_cast<unsigned>(FWP_MATCH_EQUAL));
                    EXPECT_EQ(cond.type, fwpdbl::Condition::Type::blob);
                    EXPECT_EQ(cond.blob, *app_id);
                    break;
                case Cond::none:
                    break;
            }
        }
        EXPECT_EQ(s.engines.size(), 1u);  // the kill switch's own handle, still open
        EXPECT_EQ(s.memory_outstanding, 0u);

        run(disengage_kill_switch(c));
        const fwpdbl::State after = fwp::state();
        EXPECT_TRUE(after.filters.empty());
        EXPECT_TRUE(after.sublayers.empty());
        EXPECT_TRUE(after.engines.empty());
    }
};

TEST_F(FilterSet, NeitherPathNorAlias) {
    engage_and_check(std::nullopt, std::nullopt);
}

TEST_F(FilterSet, AliasOnly) {
    engage_and_check(std::nullopt, "lo");
}

TEST_F(FilterSet, PathOnly) {
    engage_and_check(app_path(), std::nullopt);
}

TEST_F(FilterSet, PathAndAlias) {
    engage_and_check(app_path(), "lo");
}

TEST_F(FilterSet, UnknownAliasFallsBackWithAWarning) {
    auto c = std::make_shared<KillSwitchController>();
    const std::string path = app_path();
    ASSERT_TRUE(run(engage_kill_switch(c, path, "qel-no-such-if")).ok());
    EXPECT_EQ(wfp_events(),
              expand({"INFO engine: WFP engine opened, sublayer_key={S}",
                      "WARN kill_switch: kill-switch: could not install TUN-interface permit for "
                      "'qel-no-such-if': resolve TUN alias 'qel-no-such-if': "
                      "ConvertInterfaceAliasToLuid('qel-no-such-if') rc=0x00000057; falling back "
                      "to app-only allowlist (user apps may be blocked)",
                      "INFO kill_switch: kill-switch engaged: 6 filters installed"},
                     call_keys()));
    std::vector<std::string> names;
    for (const Row& r : expected_rows(path, std::nullopt))
        names.push_back(r.name);
    EXPECT_EQ(installed_names(), names);
}

TEST_F(FilterSet, V4TunPermitStaysWhenV6IsRefused) {
    auto c = std::make_shared<KillSwitchController>();
    fwp::fail("FwpmFilterAdd0", 4, 0x80320009);
    ASSERT_TRUE(run(engage_kill_switch(c, std::nullopt, "lo")).ok());
    EXPECT_EQ(wfp_events(),
              expand({"INFO engine: WFP engine opened, sublayer_key={S}",
                      "WARN kill_switch: kill-switch: could not install TUN-interface permit for "
                      "'lo': FwpmFilterAdd0(QEL permit TUN iface v6: lo) rc=0x80320009; falling "
                      "back to app-only allowlist (user apps may be blocked)",
                      "INFO kill_switch: kill-switch engaged: 5 filters installed"},
                     call_keys()));
    EXPECT_EQ(installed_names(),
              (std::vector<std::string>{"QEL permit loopback (v4)", "QEL permit loopback (v6)",
                                        "QEL permit TUN iface v4: lo", "QEL block-all (v4)",
                                        "QEL block-all (v6)"}));
    const std::map<std::string, std::string> keys = call_keys();
    fwp::reset();
    test::clear_captured_events();
    run(disengage_kill_switch(c));
    // Filter 3 goes too, in install order, and the teardown makes exactly its own calls: once
    // the sublayer is deleted, the refused add's filter cannot exist, and nothing is left for
    // a sweep to look up.
    EXPECT_EQ(fwp::journal(),
              expand({"FwpmFilterDeleteByKey0 {A1} -> 0x0", "FwpmFilterDeleteByKey0 {A2} -> 0x0",
                      "FwpmFilterDeleteByKey0 {A3} -> 0x0", "FwpmFilterDeleteByKey0 {A5} -> 0x0",
                      "FwpmFilterDeleteByKey0 {A6} -> 0x0", "FwpmSubLayerDeleteByKey0 {S} -> 0x0",
                      "FwpmEngineClose0 {H} -> 0x0"},
                     keys));
    EXPECT_EQ(wfp_events(),
              (std::vector<std::string>{"INFO controller: kill-switch disengaged on demand",
                                        "INFO kill_switch: kill-switch disengaged"}));
    EXPECT_FALSE(record_exists());
}

TEST_F(FilterSet, PathThatIsNoFileIsRefusedAfterThePermitsBeforeIt) {
    std::filesystem::create_directories(dir_.path() + L"\\a-folder");
    const std::string folder = to_utf8_lossy(dir_.path() + L"\\a-folder");
    const std::string missing = to_utf8_lossy(dir_.path() + L"\\missing.exe");
    for (const std::string& path : {folder, missing, std::string()}) {
        SCOPED_TRACE(path);
        fwp::reset();
        test::clear_captured_events();
        auto c = std::make_shared<KillSwitchController>();
        Result<void> r = run(engage_kill_switch(c, path, "lo"));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().full(), "permit-app: file does not exist: " + path);
        EXPECT_EQ(wfp_events(),
                  expand({"INFO engine: WFP engine opened, sublayer_key={S}",
                          "INFO kill_switch: kill-switch: permit TUN interface 'lo' installed",
                          "INFO kill_switch: kill-switch disengaged"},
                         call_keys()));
        EXPECT_EQ(fwp::calls(),
                  (std::vector<std::string>{"FwpmEngineOpen0", "FwpmSubLayerAdd0", "FwpmFilterAdd0",
                                            "FwpmFilterAdd0", "FwpmFilterAdd0", "FwpmFilterAdd0",
                                            "FwpmFilterDeleteByKey0", "FwpmFilterDeleteByKey0",
                                            "FwpmFilterDeleteByKey0", "FwpmFilterDeleteByKey0",
                                            "FwpmSubLayerDeleteByKey0", "FwpmEngineClose0"}));
        EXPECT_FALSE(run(is_kill_switch_engaged(c)));
        const fwpdbl::State s = fwp::state();
        EXPECT_TRUE(s.filters.empty() && s.sublayers.empty() && s.engines.empty());
    }
}

}  // namespace
}  // namespace qel::wfp
