// The request-line path of a connection: the UTF-8 check (and the UTF-16 conversions of the
// same strings), the framing trim, decode_request against the library's own parse (its syntax
// errors in the library's words), and encode_response_line of what was decoded or refused.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_text.h"
#include "common/utf.h"
#include "fuzz_check.h"
#include "ipc/request.h"
#include "ipc/unicode_trim.h"

namespace {

using qel::fuzz::require;

// Well-formed UTF-8 as the Unicode standard tables it: per lead byte, the range of the second
// byte; later bytes are 80..BF.
bool reference_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<std::uint8_t>(s[i]);
        std::size_t len;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (b <= 0x7F) {
            len = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0)
                lo = 0xA0;
            if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0)
                lo = 0x90;
            if (b == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (s.size() - i < len)
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<std::uint8_t>(s[i + k]);
            if (k == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF))
                return false;
        }
        i += len;
    }
    return true;
}

bool white_space(char32_t c) {
    static constexpr char32_t kSingles[] = {0x20,   0x85,   0xA0,   0x1680, 0x2028,
                                            0x2029, 0x202F, 0x205F, 0x3000};
    if ((c >= 0x09 && c <= 0x0D) || (c >= 0x2000 && c <= 0x200A))
        return true;
    for (char32_t s : kSingles) {
        if (c == s)
            return true;
    }
    return false;
}

// The code points of valid UTF-8 with the offset where each begins.
std::vector<std::pair<std::size_t, char32_t>> code_points(std::string_view s) {
    std::vector<std::pair<std::size_t, char32_t>> out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<std::uint8_t>(s[i]);
        const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<std::uint8_t>(s[i + k]) & 0x3F);
        out.emplace_back(i, cp);
        i += len;
    }
    return out;
}

void check_trim(std::string_view line, std::string_view trimmed) {
    const auto cps = code_points(line);
    std::size_t first = 0, last = cps.size();
    while (first < last && white_space(cps[first].second))
        ++first;
    while (last > first && white_space(cps[last - 1].second))
        --last;
    const std::size_t begin = first < cps.size() ? cps[first].first : line.size();
    const std::size_t end = last < cps.size() ? cps[last].first : line.size();
    const std::string_view expected =
        first == last ? std::string_view() : line.substr(begin, end - begin);
    require(trimmed.size() == expected.size() &&
                (expected.empty() || trimmed.data() == expected.data()),
            "the trim removes exactly the white space at both ends", line);
}

// "<description> at line 1 column N", N counted from 1 and at most one past the text; and
// the connection's reply that carries it is one line of UTF-8.
void check_error(std::string_view text, const qel::Error& error) {
    const std::string& m = error.full();
    require(error.chain().size() == 1, "a decode error has one message", m);
    require(m.find('\n') == std::string::npos, "a decode error is one line", m);
    qel::ipc::Response reply;
    reply.error = "invalid json: " + m;
    qel::fuzz::require_utf8_lines(qel::ipc::encode_response_line(reply));
    static constexpr std::string_view kAt = " at line 1 column ";
    const std::size_t at = m.rfind(kAt);
    require(at != std::string::npos && at > 0, "a decode error ends with its position", m);
    const std::string_view digits = std::string_view(m).substr(at + kAt.size());
    require(!digits.empty() && digits.size() <= 20 && digits.front() != '0' &&
                digits.find_first_not_of("0123456789") == std::string_view::npos,
            "the column is a number", m);
    const std::size_t column = std::stoull(std::string(digits));
    require(column >= 1 && column <= text.size() + 1, "the column lies within the text",
            [&] { return m + "\n" + std::string(text); });
}

// The library's own parse that stops at nothing but its syntax errors.
struct LibraryError {
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(std::int64_t) { return true; }
    bool number_unsigned(std::uint64_t) { return true; }
    bool number_float(double, const std::string&) { return true; }
    bool string(std::string&) { return true; }
    bool binary(nlohmann::json::binary_t&) { return true; }
    bool start_object(std::size_t) { return true; }
    bool start_array(std::size_t) { return true; }
    bool key(std::string&) { return true; }
    bool end_object() { return true; }
    bool end_array() { return true; }
    bool parse_error(std::size_t, const std::string& token, const nlohmann::detail::exception& ex) {
        what = ex.what();
        last_token = token;
        return false;
    }
    std::string what;
    std::string last_token;
};

// A syntax error reads as the library's own message, the bytes it quotes as read last cut
// back to whole characters; nothing else of it differs.
void check_syntax_error(std::string_view text, const std::string& m) {
    if (!m.starts_with("syntax error "))
        return;
    LibraryError lib;
    nlohmann::json::sax_parse(text, &lib);
    static constexpr std::string_view kOpen = "last read: '";
    const std::string quoted = std::string(kOpen) + lib.last_token + "'";
    std::string expected = lib.what;
    const std::size_t at = expected.find(quoted);
    if (at != std::string::npos) {
        // The quote is a cut through valid UTF-8: at most three bytes of a character remain.
        std::string whole = lib.last_token;
        for (int k = 0; k < 4 && !reference_utf8(whole); ++k)
            whole.pop_back();
        expected.replace(at + kOpen.size(), lib.last_token.size(), whole);
    }
    const std::string description = m.substr(0, m.rfind(" at line 1 column "));
    require(expected.ends_with(": " + description),
            "a syntax error is the library's, its quote cut to whole characters",
            [&] { return m + "\n" + lib.what; });
}

void check_round_trip(const qel::ipc::Request& req) {
    qel::ipc::Response resp;
    resp.id = req.id;
    resp.ok = true;
    resp.result = req.params;
    std::string line = qel::ipc::encode_response_line(resp);
    require(line.find('\n') == line.size() - 1, "a reply is one line", line);
    qel::fuzz::require_utf8_lines(line);
    line.pop_back();
    require(nlohmann::json::accept(line), "a reply is JSON", line);

    // A request built from the reply: its members after a method of its own.
    const std::string again = R"({"method":"m",)" + line.substr(1);
    const auto back = qel::ipc::decode_request(again);
    require(back.ok(), "a request built from a reply decodes",
            [&] { return again + "\n" + back.error().full(); });
    require(back.value().id.has_value() == req.id.has_value(), "the id stays present or absent",
            again);
    if (req.id) {
        require(qel::fuzz::same_json(*back.value().id, *req.id), "the id comes back equal", again);
    }

    std::string with_params = R"({"method":)";
    qel::append_json_string(with_params, req.method);
    with_params += ",\"params\":" + qel::to_compact(req.params) + "}";
    const auto params_back = qel::ipc::decode_request(with_params);
    require(params_back.ok(), "method and params written back decode", with_params);
    require(params_back.value().method == req.method, "the method comes back equal", with_params);
    require(qel::fuzz::same_json(params_back.value().params, req.params),
            "the params come back equal", with_params);
}

// The conversions to and from UTF-16 that the Windows side applies to the same strings.
void check_utf16(std::string_view bytes) {
    const std::u16string wide = qel::utf8_to_utf16(bytes);
    require(qel::is_valid_utf16(wide), "UTF-16 made from any bytes is valid", bytes);
    if (qel::is_valid_utf8(bytes)) {
        require(qel::utf16_to_utf8(wide) == bytes, "UTF-8 comes back through UTF-16", bytes);
    }
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    const std::string narrow = qel::utf16_to_utf8_lossy(units);
    require(qel::is_valid_utf8(narrow), "UTF-8 made from any UTF-16 is valid", bytes);
    require(qel::utf16_to_utf8(units).has_value() == qel::is_valid_utf16(units),
            "only valid UTF-16 converts strictly", bytes);
    if (qel::is_valid_utf16(units)) {
        require(qel::utf8_to_utf16(narrow) == units, "UTF-16 comes back through UTF-8", bytes);
    }
}

// The decoder reads "-0", the parser's one signed integer 0, as the double -0.0.
nlohmann::json as_decoded(nlohmann::json v) {
    if (v.type() == nlohmann::json::value_t::number_integer && v.get<std::int64_t>() == 0)
        return -0.0;
    if (v.is_structured()) {
        for (auto& child : v)
            child = as_decoded(std::move(child));
    }
    return v;
}

// The library's own parse of the same text: what decodes is JSON with those fields, and JSON
// is refused only for a rule of the request's own.
void check_against_library(std::string_view text, const qel::Result<qel::ipc::Request>& decoded) {
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!decoded.ok()) {
        if (doc.is_discarded())
            return;
        const std::string& m = decoded.error().message();
        static constexpr std::string_view kOwnRules[] = {
            "invalid type: ",           "missing field `", "duplicate field `",
            "invalid length ",          "trailing comma ", "trailing characters ",
            "recursion limit exceeded "};
        bool own = false;
        for (std::string_view rule : kOwnRules)
            own = own || m.starts_with(rule);
        require(own, "JSON is refused only for a rule of the request's own",
                [&] { return m + "\n" + std::string(text); });
        return;
    }
    require(!doc.is_discarded() && doc.is_structured(), "only JSON decodes", text);
    const qel::ipc::Request& r = decoded.value();
    nlohmann::json id, method, params;
    if (doc.is_object()) {
        id = doc.value("id", nlohmann::json());
        method = doc.value("method", nlohmann::json());
        params = doc.value("params", nlohmann::json());
    } else {
        require(doc.size() == 2 || doc.size() == 3, "the array form has two or three elements",
                text);
        id = doc[0];
        method = doc[1];
        params = doc.size() == 3 ? doc[2] : nlohmann::json();
    }
    require(method.is_string() && method.get_ref<const std::string&>() == r.method,
            "the method is the library's", text);
    require(id.is_null() ? !r.id.has_value()
                         : r.id.has_value() && qel::fuzz::same_json(*r.id, as_decoded(id)),
            "the id is the library's", text);
    require(qel::fuzz::same_json(r.params, as_decoded(params)), "the params are the library's",
            text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    require(qel::is_valid_utf8(bytes) == reference_utf8(bytes), "strict UTF-8 validation", bytes);

    check_utf16(bytes);

    // The connection's framing: a line up to and including its line feed.
    const std::size_t lf = bytes.find('\n');
    const std::string_view line = bytes.substr(0, lf == std::string_view::npos ? lf : lf + 1);
    if (!qel::is_valid_utf8(line))
        return 0;
    const std::string_view text = qel::ipc::trim_unicode_whitespace(line);
    check_trim(line, text);
    if (text.empty())
        return 0;

    const auto decoded = qel::ipc::decode_request(text);
    check_against_library(text, decoded);
    if (decoded.ok()) {
        check_round_trip(decoded.value());
    } else {
        check_error(text, decoded.error());
        check_syntax_error(text, decoded.error().full());
    }
    return 0;
}
