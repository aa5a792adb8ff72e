#pragma once
// The request and reply lines of the pipe protocol.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/error.h"

namespace qel::ipc {

struct Request {
    std::optional<nlohmann::json> id;  // none when absent or null
    std::string method;
    nlohmann::json params;  // null when absent
};

struct Response {
    std::optional<nlohmann::json> id;
    bool ok = false;
    std::optional<nlohmann::json> result;
    std::optional<std::string> error;
    // The result already in compact JSON text, written instead of `result` when set: a long
    // reply need not pass through a value tree.
    std::optional<std::string> result_text;
};

// text: one request line with its framing white space trimmed (valid UTF-8, no line feed).
// Either {"id":..,"method":..,"params":..} or [id, method, params]. On failure the error's one
// message is the description followed by " at line L column C", counted in bytes from 1.
Result<Request> decode_request(std::string_view text);

// Compact; members in the order id, ok, result, error, absent ones left out; then the line
// feed that ends the reply.
std::string encode_response_line(const Response& r);

}  // namespace qel::ipc
