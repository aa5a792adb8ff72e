#include <gtest/gtest.h>

#include "ipc/unicode_trim.h"

namespace qel::ipc {
namespace {

TEST(UnicodeTrim, RemovesWhiteSpaceOnBothEndsOnly) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"{}", "{}"},
        {"{}\n", "{}"},
        {"{}\r\n", "{}"},
        {" \t\x0b\x0c{ }\r", "{ }"},
        {"\xc2\xa0{}\xc2\x85", "{}"},                      // U+00A0, U+0085
        {"\xe1\x9a\x80\xe2\x80\x80{}\xe2\x80\x8a", "{}"},  // U+1680, U+2000, U+200A
        {"\xe2\x80\xa8\xe2\x80\xa9{}\xe2\x80\xaf", "{}"},  // U+2028, U+2029, U+202F
        {"\xe2\x81\x9f{}\xe3\x80\x80", "{}"},              // U+205F, U+3000
        {"\xe2\x80\x8b{}", "\xe2\x80\x8b{}"},              // U+200B is not white space
        {"{\xc2\xa0}", "{\xc2\xa0}"},                      // inside stays
        {"   ", ""},
        {"", ""},
        {"\xc3\xa9", "\xc3\xa9"},  // a two-byte letter at the end is kept whole
    };
    for (const auto& c : cases)
        EXPECT_EQ(trim_unicode_whitespace(c.in), c.out) << c.in;
}

TEST(UnicodeTrim, ATruncatedSequenceStaysInsideTheText) {
    // Not valid UTF-8 (its caller checks that first): what is left is some part of the text,
    // and nothing past its end is read (AddressSanitizer watches the native build).
    for (const std::string text : {"\xe2\x85", "\xc2", "x\xf0\x9f", " \xe3"}) {
        const std::string_view left = trim_unicode_whitespace(text);
        EXPECT_LE(left.size(), text.size());
        if (!left.empty()) {
            EXPECT_GE(left.data(), text.data());
            EXPECT_LE(left.data() + left.size(), text.data() + text.size());
        }
    }
}

}  // namespace
}  // namespace qel::ipc
