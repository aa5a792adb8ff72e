#pragma once
// The parser's event handler behind decode_request: it takes the request's members as they
// stream past, builds only the values of "id" and "params", passes over unknown members
// without building or counting them, and stops at the first rule the line breaks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "common/json_builder.h"
#include "ipc/byte_cursor.h"
#include "ipc/request.h"

namespace qel::ipc {

class RequestReader {
  public:
    // mark: where the parser stands in text; the cursor that reads text updates it.
    RequestReader(std::string_view text, const ReadMark& mark) : text_(text), mark_(mark) {}

    bool null() { return value(nullptr, token_end()); }
    bool boolean(bool b) { return value(b, token_end()); }
    // "-0" is the one integer token the parser reads as a signed zero; it is a double here.
    bool number_integer(std::int64_t n) {
        return n == 0 ? value(-0.0, number_end()) : value(n, number_end());
    }
    bool number_unsigned(std::uint64_t n) { return value(n, number_end()); }
    bool number_float(double d, const std::string&) { return value(d, number_end()); }
    bool string(std::string& s) { return value(std::move(s), token_end()); }
    bool binary(nlohmann::json::binary_t&) { return true; }  // JSON text has none
    bool start_object(std::size_t) { return open(nlohmann::json::value_t::object); }
    bool start_array(std::size_t) { return open(nlohmann::json::value_t::array); }
    bool key(std::string& k);
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t position, const std::string& last_token,
                     const nlohmann::detail::exception& ex);

    // parsed: what the parser returned.
    Result<Request> take(bool parsed) &&;

  private:
    enum class Form { none, object, array };
    enum class Slot { none, id, method, params, skip };

    bool value(nlohmann::json v, std::size_t end);
    bool open(nlohmann::json::value_t kind);
    bool close();

    Slot begin_field();
    void store(nlohmann::json v);
    bool field_done(std::size_t end);
    bool check_after_third(std::size_t end);
    bool finish(std::size_t end);
    bool fail(std::string_view description, std::size_t column);

    // Column of the last byte of the token just read: strings, literals, brackets and keys
    // end where the parser stopped; a number is known to end only at the byte after it,
    // unless the text ended.
    std::size_t token_end() const { return mark_.taken; }
    std::size_t number_end() const { return mark_.past_end ? mark_.taken : mark_.taken - 1; }

    std::string_view text_;
    const ReadMark& mark_;

    Form form_ = Form::none;
    // Open containers that count against the nesting limit, the request's own included.
    int depth_ = 0;
    // Open containers inside a skipped member's value; they are only counted.
    std::size_t skipping_ = 0;
    Slot slot_ = Slot::none;  // the request field whose value is being read
    int elements_ = 0;        // array form: elements begun
    bool seen_id_ = false, seen_method_ = false, seen_params_ = false;
    nlohmann::json::value_t method_kind_ = nlohmann::json::value_t::null;
    JsonBuilder builder_;
    bool done_ = false;

    Request request_;
    std::optional<Error> error_;
};

}  // namespace qel::ipc
