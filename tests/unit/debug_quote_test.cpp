#include <gtest/gtest.h>

#include "common/debug_quote.h"

namespace qel {
namespace {

TEST(DebugQuote, EscapesWhatDoesNotPrint) {
    const struct {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"C:\\Program Files\\QEL\\sing-box.exe", "\"C:\\\\Program Files\\\\QEL\\\\sing-box.exe\""},
        {u"a\"b", "\"a\\\"b\""},
        {u"t\tr\rn\n", "\"t\\tr\\rn\\n\""},
        {std::u16string(u"nul\0x", 5), "\"nul\\0x\""},
        {u"bell\x07", "\"bell\\u{7}\""},
        {u"zw\x200b", "\"zw\\u{200b}\""},
        {u"caf\u00e9 \U0001F600", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        {u"lone\xd800", "\"lone\\u{d800}\""},
        {u"", "\"\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(debug_quote(c.in), c.out);
}

}  // namespace
}  // namespace qel
