#include "ipc/request_reader.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/utf.h"
#include "ipc/unexpected.h"

namespace qel::ipc {
namespace {

using nlohmann::json;

// Levels of arrays and objects allowed, the request's own included.
constexpr int kMaxDepth = 127;

bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::size_t skip_space(std::string_view text, std::size_t i) {
    while (i < text.size() && is_json_space(text[i]))
        ++i;
    return i;
}

// The library's message without its "[json.exception.NAME] " tag and, for syntax errors, its
// "parse error at line L, column C: " head; the position goes at the end in the agent's form.
std::string_view library_description(std::string_view what) {
    if (what.starts_with('[')) {
        const std::size_t tag_end = what.find("] ");
        if (tag_end != std::string_view::npos)
            what.remove_prefix(tag_end + 2);
    }
    if (what.starts_with("parse error")) {
        const std::size_t colon = what.find(": ");
        if (colon != std::string_view::npos)
            what.remove_prefix(colon + 2);
    }
    return what;
}

// The library quotes the bytes it read last, and that quote may stop inside a character: it
// is cut back to the last whole one, since every reply line is UTF-8. The rest stays as is.
std::string with_whole_quote(std::string_view description, const std::string& last_token) {
    static constexpr std::string_view kOpen = "last read: '";
    std::string text(description);
    const std::size_t at = text.find(std::string(kOpen) + last_token + '\'');
    if (at == std::string::npos)
        return text;
    std::string whole = last_token;
    cut_to_utf8_boundary(whole);
    text.erase(at + kOpen.size() + whole.size(), last_token.size() - whole.size());
    return text;
}

}  // namespace

bool RequestReader::value(json v, std::size_t end) {
    if (skipping_ > 0)
        return true;
    if (depth_ == 0)
        return fail(
            fmt::format("invalid type: {}, expected struct Request", describe_unexpected(v)), end);
    if (depth_ > 1) {
        if (slot_ != Slot::method)
            builder_.value(std::move(v));
        return true;
    }
    slot_ = begin_field();
    switch (slot_) {
        case Slot::skip:
            return field_done(end);
        case Slot::method:
            if (!v.is_string())
                return fail(
                    fmt::format("invalid type: {}, expected a string", describe_unexpected(v)),
                    end);
            request_.method = std::move(v.get_ref<std::string&>());
            return field_done(end);
        default:
            store(std::move(v));
            return field_done(end);
    }
}

bool RequestReader::open(json::value_t kind) {
    if (skipping_ > 0) {
        ++skipping_;
        return true;
    }
    const std::size_t at = token_end();
    if (depth_ == 0) {
        form_ = kind == json::value_t::object ? Form::object : Form::array;
        depth_ = 1;
        return true;
    }
    if (depth_ == 1) {
        slot_ = begin_field();
        if (slot_ == Slot::skip) {
            skipping_ = 1;
            return true;
        }
        if (slot_ == Slot::method)
            method_kind_ = kind;
    }
    if (depth_ == kMaxDepth)
        return fail("recursion limit exceeded", at);
    ++depth_;
    if (slot_ != Slot::method) {
        if (kind == json::value_t::object) {
            builder_.open_object();
        } else {
            builder_.open_array();
        }
    }
    return true;
}

bool RequestReader::close() {
    const std::size_t at = token_end();
    if (skipping_ > 0) {
        if (--skipping_ == 0)
            return field_done(at);
        return true;
    }
    if (depth_ == 1) {
        depth_ = 0;
        return finish(at);
    }
    --depth_;
    if (slot_ != Slot::method)
        builder_.close();
    if (depth_ > 1)
        return true;
    if (slot_ == Slot::method)
        return fail(fmt::format("invalid type: {}, expected a string",
                                describe_unexpected(json(method_kind_))),
                    at);
    store(builder_.take());
    return field_done(at);
}

bool RequestReader::key(std::string& k) {
    if (skipping_ > 0)
        return true;
    if (depth_ > 1) {
        if (slot_ != Slot::method)
            builder_.key(std::move(k));
        return true;
    }
    struct Field {
        std::string_view name;
        Slot slot;
        bool& seen;
    };
    const Field fields[] = {{"id", Slot::id, seen_id_},
                            {"method", Slot::method, seen_method_},
                            {"params", Slot::params, seen_params_}};
    slot_ = Slot::skip;
    for (const Field& f : fields) {
        if (k != f.name)
            continue;
        // A null first value counts as present too.
        if (f.seen)
            return fail(fmt::format("duplicate field `{}`", f.name), token_end());
        f.seen = true;
        slot_ = f.slot;
    }
    return true;
}

RequestReader::Slot RequestReader::begin_field() {
    if (form_ == Form::object)
        return slot_;
    switch (elements_++) {
        case 0:
            return Slot::id;
        case 1:
            return Slot::method;
        case 2:
            return Slot::params;
        default:
            // check_after_third stops the parse before a fourth element begins
            return Slot::skip;
    }
}

void RequestReader::store(json v) {
    if (slot_ == Slot::id) {
        if (!v.is_null())
            request_.id = std::move(v);
    } else if (slot_ == Slot::params) {
        request_.params = std::move(v);
    }
}

bool RequestReader::field_done(std::size_t end) {
    slot_ = Slot::none;
    if (form_ == Form::array && elements_ == 3)
        return check_after_third(end);
    return true;
}

// The array form has room for three elements: what follows a comma after the third is
// refused where it begins, before the parser reads (or trips over) it.
bool RequestReader::check_after_third(std::size_t end) {
    std::size_t i = skip_space(text_, end);
    if (i >= text_.size() || text_[i] != ',')
        return true;
    i = skip_space(text_, i + 1);
    if (i >= text_.size())
        return true;  // the parser reports the unfinished array
    return fail(text_[i] == ']' ? "trailing comma" : "trailing characters", i + 1);
}

bool RequestReader::finish(std::size_t end) {
    if (form_ == Form::array && elements_ < 2)
        // Not the count of elements found: this is the number the protocol has always sent.
        return fail("invalid length 1, expected struct Request with 3 elements", end);
    if (form_ == Form::object && !seen_method_)
        return fail("missing field `method`", end);
    const std::size_t i = skip_space(text_, end);
    if (i < text_.size())
        return fail("trailing characters", i + 1);
    done_ = true;
    return true;
}

bool RequestReader::parse_error(std::size_t position, const std::string& last_token,
                                const nlohmann::detail::exception& ex) {
    return fail(with_whole_quote(library_description(ex.what()), last_token), position);
}

bool RequestReader::fail(std::string_view description, std::size_t column) {
    // Lines and columns as a reader of the text counts them; a request line has no line feed,
    // so in practice this is line 1 and the byte's column.
    const std::string_view before = text_.substr(0, std::min(column, text_.size()));
    const std::size_t last_lf = before.rfind('\n');
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t col = last_lf == std::string_view::npos ? column : column - last_lf - 1;
    error_.emplace(fmt::format("{} at line {} column {}", description, line, col));
    return false;
}

Result<Request> RequestReader::take(bool parsed) && {
    if (error_)
        return std::move(*error_);
    if (!parsed || !done_)
        return Error("unexpected end of request");
    return std::move(request_);
}

}  // namespace qel::ipc
