#include <gtest/gtest.h>

#include <utility>
#include <variant>

#include "wfp/controller/record.h"

namespace qel::wfp {
namespace {

UuidBytes key(std::uint8_t n) {
    UuidBytes k{};
    k.fill(n);
    return k;
}

const std::string kKey1 = "01010101-0101-0101-0101-010101010101";

// The records of a text that parses as this agent's format; a failure otherwise.
std::vector<KillSwitchRecord> records_of(const std::string& text) {
    Result<ParsedRecords> r = parse_records(text);
    if (!r.ok()) {
        ADD_FAILURE() << r.error().full() << ": " << text;
        return {};
    }
    const auto* records = std::get_if<std::vector<KillSwitchRecord>>(&r.value());
    if (records == nullptr) {
        ADD_FAILURE() << "a later version: " << text;
        return {};
    }
    return *records;
}

TEST(KillSwitchRecords, RoundTrip) {
    const std::vector<KillSwitchRecord> records{
        {"run-a", ProcessIdentity{4242, 133000000000000001ull}, false, key(1), {key(2), key(3)}},
        {"run-b", ProcessIdentity{7, 5}, true, key(4), {}},
        {"run-c", std::nullopt, false, key(5), {key(6)}},
    };
    const std::string text = format_records(records);
    EXPECT_EQ(text,
              "{\"kill_switches\":[{\"filters\":[\"02020202-0202-0202-0202-020202020202\","
              "\"03030303-0303-0303-0303-030303030303\"],\"owner\":{\"pid\":4242,\"started\":"
              "133000000000000001},\"released\":false,\"run\":\"run-a\",\"sublayer\":\"" +
                  kKey1 +
                  "\"},{\"filters\":[],\"owner\":{\"pid\":7,\"started\":5},\"released\":true,"
                  "\"run\":\"run-b\",\"sublayer\":\"04040404-0404-0404-0404-040404040404\"},"
                  "{\"filters\":[\"06060606-0606-0606-0606-060606060606\"],\"owner\":null,"
                  "\"released\":false,\"run\":\"run-c\",\"sublayer\":"
                  "\"05050505-0505-0505-0505-050505050505\"}],\"version\":2}\n");
    EXPECT_EQ(records_of(text), records);
    EXPECT_EQ(format_records({}), "{\"kill_switches\":[],\"version\":2}\n");
}

TEST(KillSwitchRecords, AnEarlierAgentsFileIsReadWithoutOwners) {
    EXPECT_EQ(records_of("{\"kill_switches\":[{\"filters\":[\"02020202-0202-0202-0202-"
                         "020202020202\"],\"run\":\"old\",\"sublayer\":\"" +
                         kKey1 + "\"}],\"version\":1}\n"),
              (std::vector<KillSwitchRecord>{{"old", std::nullopt, false, key(1), {key(2)}}}));
}

TEST(KillSwitchRecords, CorruptTextIsAnError) {
    const std::string entry_start =
        "{\"kill_switches\":[{\"run\":\"r\",\"sublayer\":\"" + kKey1 + "\",\"filters\":[]";
    const std::string bad[] = {
        "",
        "{\"kill_switches\":[",
        "[]",
        "{\"kill_switches\":[]}",
        "{\"kill_switches\":{},\"version\":1}",
        "{\"kill_switches\":[{\"run\":\"r\",\"filters\":[]}],\"version\":1}",
        "{\"kill_switches\":[{\"run\":\"r\",\"sublayer\":\"nope\",\"filters\":[]}],\"version\":1}",
        "{\"kill_switches\":[{\"run\":1,\"sublayer\":\"" + kKey1 +
            "\",\"filters\":[]}],\"version\":1}",
        entry_start.substr(0, entry_start.size() - 2) + "[7]}],\"version\":1}",
        // Version 2 entries name their owner (or null) and whether they were released.
        entry_start + "}],\"version\":2}",
        entry_start + ",\"owner\":null}],\"version\":2}",
        entry_start + ",\"released\":false}],\"version\":2}",
        entry_start + ",\"owner\":{\"pid\":1},\"released\":false}],\"version\":2}",
        entry_start + ",\"owner\":{\"pid\":-1,\"started\":1},\"released\":false}],\"version\":2}",
        entry_start +
            ",\"owner\":{\"pid\":4294967296,\"started\":1},\"released\":false}],\"version\":2}",
        entry_start + ",\"owner\":{\"pid\":1,\"started\":1},\"released\":0}],\"version\":2}",
    };
    for (const std::string& text : bad)
        EXPECT_FALSE(parse_records(text).ok()) << text;
    EXPECT_EQ(records_of(entry_start +
                         ",\"owner\":{\"pid\":1,\"started\":1},\"released\":false}],\"version\":2}")
                  .size(),
              1u);
}

// Only a whole number above 2 is a later agent's format; anything else in the version's place
// is damage, whatever the rest of the text holds.
TEST(KillSwitchRecords, OnlyAWholeVersionAbove2IsALaterAgentsEverythingElseIsCorrupt) {
    struct Case {
        std::string version;
        bool later;
    } const cases[] = {
        {"3", true},      {"99", true},   {"18446744073709551615", true},
        {"0", false},     {"-1", false},  {"null", false},
        {"\"2\"", false}, {"2.5", false}, {"3.0", false},
        {"[3]", false},
    };
    for (const Case& c : cases) {
        for (const std::string& rest : {std::string(), std::string("\"kill_switches\":[7],")}) {
            const std::string text = "{" + rest + "\"version\":" + c.version + "}";
            Result<ParsedRecords> r = parse_records(text);
            if (c.later) {
                ASSERT_TRUE(r.ok()) << text << ": " << r.error().full();
                EXPECT_EQ(r.value(), ParsedRecords(LaterVersion{c.version})) << text;
            } else {
                ASSERT_FALSE(r.ok()) << text;
                EXPECT_EQ(r.error().full(), "malformed version " + c.version) << text;
            }
        }
    }
    // Without a version nothing tells a later format from damage.
    Result<ParsedRecords> none = parse_records("{\"kill_switches\":[]}");
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().full(), "no version");
}

}  // namespace
}  // namespace qel::wfp
