#include "wfp/engine/uuid.h"

namespace qel::wfp {
namespace {

// Where a hyphen goes in the text form: after bytes 4, 6, 8 and 10.
constexpr bool hyphen_before(std::size_t byte) {
    return byte == 4 || byte == 6 || byte == 8 || byte == 10;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

UuidBytes uuid_v4_from_random(UuidBytes random) {
    random[6] = static_cast<std::uint8_t>((random[6] & 0x0f) | 0x40);
    random[8] = static_cast<std::uint8_t>((random[8] & 0x3f) | 0x80);
    return random;
}

std::string uuid_text(const UuidBytes& uuid) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (hyphen_before(i))
            out.push_back('-');
        out.push_back(digits[uuid[i] >> 4]);
        out.push_back(digits[uuid[i] & 0x0f]);
    }
    return out;
}

std::optional<UuidBytes> parse_uuid_text(std::string_view text) {
    if (text.size() != 36)
        return std::nullopt;
    UuidBytes out{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (hyphen_before(i) && text[pos++] != '-')
            return std::nullopt;
        const int hi = hex_value(text[pos++]);
        const int lo = hex_value(text[pos++]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return out;
}

}  // namespace qel::wfp
