#include <gtest/gtest.h>

#include "common/path_join.h"
#include "common/utf.h"

namespace qel {
namespace {

TEST(Utf8, StrictValidation) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xc2\xa0", true},           // U+00A0
        {"\xe2\x80\x94", true},       // em dash
        {"\xf0\x9f\x98\x80", true},   // U+1F600
        {"\xff", false},              // never valid
        {"\xc0\x80", false},          // overlong NUL
        {"\xe0\x80\xaf", false},      // overlong slash
        {"\xed\xa0\x80", false},      // encoded surrogate U+D800
        {"\xf4\x90\x80\x80", false},  // above U+10FFFF
        {"\xe2\x80", false},          // truncated
        {"ok\x80", false},            // stray continuation
    };
    for (const Case& c : cases)
        EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

TEST(Utf16, RoundTripAndUnpairedSurrogates) {
    const std::string text = "QEL \xe2\x80\x94 \xf0\x9f\x98\x80";
    const std::u16string wide = utf8_to_utf16(text);
    EXPECT_EQ(wide.size(), 8u);  // the emoji is a surrogate pair
    EXPECT_EQ(utf16_to_utf8(wide), text);

    const std::u16string lone = u"a\xd800z";
    EXPECT_FALSE(is_valid_utf16(lone));
    EXPECT_EQ(utf16_to_utf8(lone), std::nullopt);
    EXPECT_EQ(utf16_to_utf8_lossy(lone), "a\xef\xbf\xbdz");
}

TEST(PathJoin, WindowsRules) {
    struct Case {
        std::string base, part, joined;
    };
    const Case cases[] = {
        {"C:\\ProgramData", "QEL", "C:\\ProgramData\\QEL"},
        {"D:\\Data\\", "QEL", "D:\\Data\\QEL"},
        {"D:/Data/", "QEL", "D:/Data/QEL"},
        {"", "QEL", "QEL"},
        {"C:", "QEL", "C:QEL"},
        {"QEL", "runtime", "QEL\\runtime"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(join_path(c.base, std::string_view(c.part)), c.joined) << c.base;
    }
}

}  // namespace
}  // namespace qel
