#include "sandbox/config/tun_alias.h"

#include <nlohmann/json.hpp>

#include "common/json_builder.h"

namespace qel::sandbox {
namespace {

// Builds the document while counting its depth; any error or a 128th level stops the parse.
class DocumentReader {
  public:
    static constexpr int kMaxDepth = 127;

    bool null() { return put(nullptr); }
    bool boolean(bool b) { return put(b); }
    bool number_integer(std::int64_t n) { return put(n); }
    bool number_unsigned(std::uint64_t n) { return put(n); }
    bool number_float(double d, const std::string&) { return put(d); }
    bool string(std::string& s) { return put(std::move(s)); }
    bool binary(nlohmann::json::binary_t&) { return false; }
    bool start_object(std::size_t) {
        if (++depth_ > kMaxDepth)
            return false;
        builder_.open_object();
        return true;
    }
    bool start_array(std::size_t) {
        if (++depth_ > kMaxDepth)
            return false;
        builder_.open_array();
        return true;
    }
    bool key(std::string& k) {
        builder_.key(std::move(k));
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

    nlohmann::json take() { return builder_.take(); }

  private:
    bool put(nlohmann::json v) {
        builder_.value(std::move(v));
        return true;
    }
    bool close() {
        --depth_;
        builder_.close();
        return true;
    }
    JsonBuilder builder_;
    int depth_ = 0;
};

}  // namespace

std::optional<std::string> tun_alias_from_config_text(std::string_view bytes) {
    // The parser would pass over a byte-order mark; a configuration that has one is no JSON.
    if (bytes.starts_with("\xEF\xBB\xBF"))
        return std::nullopt;
    // The parser takes a NUL byte for the end of the text, so one after the value would hide
    // whatever follows it. JSON text holds none (a string escapes it), wherever it stands.
    if (bytes.find('\0') != std::string_view::npos)
        return std::nullopt;
    DocumentReader reader;
    if (!nlohmann::json::sax_parse(bytes, &reader, nlohmann::json::input_format_t::json,
                                   /*strict=*/true)) {
        return std::nullopt;
    }
    const nlohmann::json doc = reader.take();
    if (!doc.is_object())
        return std::nullopt;
    const auto inbounds = doc.find("inbounds");
    if (inbounds == doc.end() || !inbounds->is_array())
        return std::nullopt;
    for (const nlohmann::json& in : *inbounds) {
        if (!in.is_object())
            continue;
        const auto type = in.find("type");
        const auto name = in.find("interface_name");
        if (type != in.end() && *type == "tun" && name != in.end() && name->is_string()) {
            return name->get<std::string>();
        }
    }
    return std::nullopt;
}

}  // namespace qel::sandbox
