// Whole connections through serve_connection over an in-memory stream, against a model of its
// framing, its replies and its close rule built from the same decoder and encoder; and every
// line it writes is UTF-8.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "common/utf.h"
#include "fuzz_check.h"
#include "ipc/connection.h"
#include "ipc/unicode_trim.h"
#include "memory_stream.h"

namespace {

using qel::fuzz::require;
using qel::ipc::Request;
using qel::ipc::Response;

constexpr std::string_view kToken =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

asio::awaitable<bool> verify(std::string token) {
    co_return token == kToken;
}

// Echoes the method and params, and fails the method "fail", so replies carry fuzzed values.
Response dispatched(Request r) {
    Response reply;
    reply.id = std::move(r.id);
    reply.ok = r.method != "fail";
    if (reply.ok) {
        reply.result = nlohmann::json::object();
        (*reply.result)["method"] = r.method;
        (*reply.result)["params"] = std::move(r.params);
    } else {
        reply.error = "failed: " + r.method;
    }
    return reply;
}

asio::awaitable<Response> dispatch(Request r) {
    co_return dispatched(std::move(r));
}

Response error_reply(std::optional<nlohmann::json> id, std::string text) {
    Response r;
    r.id = std::move(id);
    r.error = std::move(text);
    return r;
}

// What the connection should write, and whether it should end with the UTF-8 error.
struct Expected {
    std::string written;
    bool utf8_error = false;
};

Expected model(std::string_view input) {
    Expected out;
    bool authenticated = false;
    while (!input.empty()) {
        const std::size_t lf = input.find('\n');
        const std::size_t take = lf == std::string_view::npos ? input.size() : lf + 1;
        const std::string_view line = input.substr(0, take);
        input.remove_prefix(take);
        if (!qel::is_valid_utf8(line)) {
            out.utf8_error = true;
            break;
        }
        const std::string_view text = qel::ipc::trim_unicode_whitespace(line);
        if (text.empty())
            continue;
        Response reply;
        auto decoded = qel::ipc::decode_request(text);
        if (!decoded) {
            reply = error_reply(std::nullopt, "invalid json: " + decoded.error().full());
        } else if (decoded.value().method == "auth") {
            const nlohmann::json& params = decoded.value().params;
            const auto token = params.is_object() ? params.find("token") : params.end();
            if (!params.is_object() || token == params.end() || !token->is_string() ||
                token->get_ref<const std::string&>().empty()) {
                reply = error_reply(std::move(decoded.value().id), "auth: missing params.token");
            } else if (token->get_ref<const std::string&>() != kToken) {
                reply = error_reply(std::move(decoded.value().id), "auth: bad token");
            } else {
                authenticated = true;
                reply.id = std::move(decoded.value().id);
                reply.ok = true;
                reply.result = true;
            }
        } else if (!authenticated) {
            reply =
                error_reply(std::move(decoded.value().id), "unauthorized: must call 'auth' first");
        } else {
            reply = dispatched(std::move(decoded).value());
        }
        out.written += qel::ipc::encode_response_line(reply);
        if (!authenticated && !reply.ok)
            break;
    }
    return out;
}

// Chunk sizes from the input's own hash, so that lines cross the reader's buffer edges in
// ways that differ from input to input yet replay the same.
std::deque<std::string> chunks_of(std::string_view input) {
    std::uint64_t h = 1469598103934665603ull;
    for (char c : input)
        h = (h ^ static_cast<std::uint8_t>(c)) * 1099511628211ull;
    std::deque<std::string> chunks;
    while (!input.empty()) {
        h = h * 6364136223846793005ull + 1442695040888963407ull;
        const std::size_t pick = (h >> 33) % 4;
        const std::size_t size = pick == 0 ? 1 : pick == 1 ? 7 : pick == 2 ? 4096 : 9000;
        const std::size_t n = std::min(size, input.size());
        chunks.emplace_back(input.substr(0, n));
        input.remove_prefix(n);
    }
    return chunks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    static asio::io_context io;

    qel::test::MemoryStream stream(chunks_of(input));
    qel::ipc::ConnectionServices services{
        verify, dispatch, [](std::error_code ec) { return "io failure " + ec.message(); }};
    std::optional<qel::Result<void>> result;
    asio::co_spawn(io, qel::ipc::serve_connection(stream, 1, std::move(services)),
                   [&](std::exception_ptr e, qel::Result<void> r) {
                       if (e)
                           std::rethrow_exception(e);
                       result.emplace(std::move(r));
                   });
    io.restart();
    io.run();
    require(result.has_value(), "the connection ends");

    // The model is built from the same decoder and encoder: it cannot see this fault.
    qel::fuzz::require_utf8_lines(stream.written);
    const Expected expected = model(input);
    require(stream.written == expected.written, "the replies follow the model",
            [&] { return "written:\n" + stream.written + "\nexpected:\n" + expected.written; });
    if (expected.utf8_error) {
        require(!result->ok() && result->error().full() == "stream did not contain valid UTF-8",
                "invalid UTF-8 ends the connection with its error");
    } else {
        require(result->ok(), "the connection ends without error",
                [&] { return result->error().full(); });
    }
    return 0;
}
