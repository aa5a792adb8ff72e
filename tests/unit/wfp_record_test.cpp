#include <gtest/gtest.h>

#include "wfp/controller/record.h"

namespace qel::wfp {
namespace {

UuidBytes key(std::uint8_t n) {
    UuidBytes k{};
    k.fill(n);
    return k;
}

TEST(KillSwitchRecords, RoundTrip) {
    const std::vector<KillSwitchRecord> records{
        {"run-a", key(1), {key(2), key(3)}},
        {"run-b", key(4), {}},
    };
    const std::string text = format_records(records);
    EXPECT_EQ(text,
              "{\"kill_switches\":[{\"filters\":[\"02020202-0202-0202-0202-020202020202\","
              "\"03030303-0303-0303-0303-030303030303\"],\"run\":\"run-a\",\"sublayer\":"
              "\"01010101-0101-0101-0101-010101010101\"},{\"filters\":[],\"run\":\"run-b\","
              "\"sublayer\":\"04040404-0404-0404-0404-040404040404\"}],\"version\":1}\n");
    Result<std::vector<KillSwitchRecord>> back = parse_records(text);
    ASSERT_TRUE(back.ok()) << back.error().full();
    EXPECT_EQ(*back, records);
    EXPECT_EQ(format_records({}), "{\"kill_switches\":[],\"version\":1}\n");
}

TEST(KillSwitchRecords, CorruptTextIsAnError) {
    const char* bad[] = {
        "",
        "{\"kill_switches\":[",
        "[]",
        "{\"kill_switches\":[]}",
        "{\"kill_switches\":[],\"version\":2}",
        "{\"kill_switches\":{},\"version\":1}",
        "{\"kill_switches\":[{\"run\":\"r\",\"filters\":[]}],\"version\":1}",
        "{\"kill_switches\":[{\"run\":\"r\",\"sublayer\":\"nope\",\"filters\":[]}],\"version\":1}",
        "{\"kill_switches\":[{\"run\":1,\"sublayer\":\"01010101-0101-0101-0101-010101010101\","
        "\"filters\":[]}],\"version\":1}",
        "{\"kill_switches\":[{\"run\":\"r\",\"sublayer\":\"01010101-0101-0101-0101-010101010101\","
        "\"filters\":[7]}],\"version\":1}",
    };
    for (const char* text : bad)
        EXPECT_FALSE(parse_records(text).ok()) << text;
}

}  // namespace
}  // namespace qel::wfp
