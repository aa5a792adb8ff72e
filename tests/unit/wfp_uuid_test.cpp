#include <gtest/gtest.h>

#include <regex>

#include "wfp/engine/uuid.h"

namespace qel::wfp {
namespace {

TEST(WfpKeyText, UpperCaseGroupsWithoutBraces) {
    // FWPM_LAYER_ALE_AUTH_CONNECT_V4 in its big-endian byte order.
    const UuidBytes layer{0xc3, 0x8d, 0x57, 0xd1, 0x05, 0xa7, 0x4c, 0x33,
                          0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82};
    EXPECT_EQ(uuid_text(layer), "C38D57D1-05A7-4C33-904F-7FBCEEE60E82");
    EXPECT_EQ(uuid_text(UuidBytes{}), "00000000-0000-0000-0000-000000000000");
}

TEST(WfpKeyText, ParsesBackEitherCase) {
    const UuidBytes layer{0xc3, 0x8d, 0x57, 0xd1, 0x05, 0xa7, 0x4c, 0x33,
                          0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82};
    EXPECT_EQ(parse_uuid_text("C38D57D1-05A7-4C33-904F-7FBCEEE60E82"), layer);
    EXPECT_EQ(parse_uuid_text("c38d57d1-05a7-4c33-904f-7fbceee60e82"), layer);
    for (const char* bad :
         {"", "C38D57D1-05A7-4C33-904F-7FBCEEE60E8", "{C38D57D1-05A7-4C33-904F-7FBCEEE60E82}",
          "C38D57D1-05A7-4C33-904F-7FBCEEE60E8G", "C38D57D105A7-4C33-904F-7FBCEEE60E82-",
          "C38D57D1+05A7-4C33-904F-7FBCEEE60E82"}) {
        EXPECT_EQ(parse_uuid_text(bad), std::nullopt) << bad;
    }
}

TEST(WfpKeyText, VersionFourAndRfcVariant) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (std::uint8_t fill : {0x00, 0xff, 0x5a, 0xa5}) {
        UuidBytes random;
        random.fill(fill);
        const UuidBytes v4 = uuid_v4_from_random(random);
        EXPECT_TRUE(std::regex_match(uuid_text(v4), form)) << uuid_text(v4);
        // Only the version nibble and the two variant bits change.
        for (std::size_t i = 0; i < v4.size(); ++i) {
            if (i != 6 && i != 8) {
                EXPECT_EQ(v4[i], fill);
            }
        }
        EXPECT_EQ(v4[6] & 0x0f, fill & 0x0f);
        EXPECT_EQ(v4[8] & 0x3f, fill & 0x3f);
    }
}

}  // namespace
}  // namespace qel::wfp
