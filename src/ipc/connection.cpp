#include "ipc/connection.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "common/log.h"
#include "common/utf.h"
#include "ipc/line_reader.h"
#include "ipc/unicode_trim.h"

namespace qel::ipc {
namespace {

constexpr auto kLog = log::Target::ipc;

Response error_reply(std::optional<nlohmann::json> id, std::string text) {
    Response r;
    r.id = std::move(id);
    r.ok = false;
    r.error = std::move(text);
    return r;
}

// The token of an "auth" request: params.token, a string that is not empty.
std::optional<std::string> presented_token(const nlohmann::json& params) {
    if (!params.is_object())
        return std::nullopt;
    const auto it = params.find("token");
    if (it == params.end() || !it->is_string())
        return std::nullopt;
    std::string token = it->get<std::string>();
    if (token.empty())
        return std::nullopt;
    return token;
}

asio::awaitable<Response> answer_auth(Request req, std::uint32_t session,
                                      const ConnectionServices& services, bool& authenticated) {
    std::optional<std::string> token = presented_token(req.params);
    if (!token)
        co_return error_reply(std::move(req.id), "auth: missing params.token");
    if (co_await services.verify_token(std::move(*token))) {
        authenticated = true;
        log::debug(kLog, "auth ok for session {}", session);
        Response ok;
        ok.id = std::move(req.id);
        ok.ok = true;
        ok.result = true;
        co_return ok;
    }
    log::warn(kLog, "auth REJECT for session {}: bad token", session);
    co_return error_reply(std::move(req.id), "auth: bad token");
}

// The reply and its line feed in one write. As two writes, a client's read would return the
// reply without its line feed and wait for the second write: twice the latency under Wine.
asio::awaitable<std::error_code> write_reply(ByteStream& stream, const Response& reply) {
    const std::string text = encode_response_line(reply);
    co_return co_await stream.write_all(text);
}

}  // namespace

asio::awaitable<Result<void>> serve_connection(ByteStream& stream, std::uint32_t session,
                                               ConnectionServices services) {
    LineReader reader(stream);
    std::string line;
    bool authenticated = false;
    for (;;) {
        const LineReader::Outcome got = co_await reader.read_line(line, kMaxRequestLine);
        switch (got.kind) {
            case LineReader::Outcome::end:
                co_return Result<void>{};
            case LineReader::Outcome::failed:
                co_return Error(services.describe_error(got.error));
            case LineReader::Outcome::too_long: {
                const std::string limit =
                    fmt::format("request line too long: more than {} bytes before its line feed",
                                kMaxRequestLine);
                co_await write_reply(stream, error_reply(std::nullopt, limit));
                co_return Error(limit);
            }
            case LineReader::Outcome::line:
                break;
        }
        if (!is_valid_utf8(line))
            co_return Error("stream did not contain valid UTF-8");
        const std::string_view text = trim_unicode_whitespace(line);
        if (text.empty())
            continue;  // no reply, and it does not count as the one attempt

        Response reply;
        Result<Request> decoded = decode_request(text);
        if (!decoded) {
            reply = error_reply(std::nullopt, "invalid json: " + decoded.error().full());
        } else if (decoded->method == "auth") {
            reply =
                co_await answer_auth(std::move(decoded).value(), session, services, authenticated);
        } else if (!authenticated) {
            reply = error_reply(std::move(decoded->id), "unauthorized: must call 'auth' first");
        } else {
            reply = co_await services.dispatch(std::move(decoded).value());
        }

        if (std::error_code ec = co_await write_reply(stream, reply)) {
            co_return Error(services.describe_error(ec));
        }
        // Before authentication a client has one attempt: any failed reply ends it.
        if (!authenticated && !reply.ok)
            co_return Result<void>{};
    }
}

}  // namespace qel::ipc
