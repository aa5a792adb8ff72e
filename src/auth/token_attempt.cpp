#include "auth/token_attempt.h"

#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "common/async/exception_text.h"
#include "common/async/fired_by.h"
#include "common/async/task.h"
#include "common/async/trigger.h"
#include "common/duration_text.h"
#include "common/log.h"
#include "common/os_error.h"

namespace qel::auth {
namespace {

constexpr auto kLog = log::Target::auth;

// Shared by the writing thread, the report and the caller; each keeps it alive for as long
// as it needs it, so that nothing is released under the thread when the others are gone.
struct Attempt {
    Attempt(std::uint32_t s, std::string t) : session(s), token(std::move(t)) {}
    const std::uint32_t session;
    const std::string token;
    std::shared_ptr<async::Trigger> ended = async::Trigger::create();    // the write returned
    std::shared_ptr<async::Trigger> settled = async::Trigger::create();  // reported, or late
    std::mutex m;
    std::optional<Result<void>> written;          // by the writing thread
    std::optional<Result<std::string>> reported;  // by the report
};

// The whole write, impersonation included, runs on this thread: it is the attempt's own.
void write_on_own_thread(std::shared_ptr<Attempt> a, WriteTokenFile write) {
    Result<void> r = Error("background task failed");
    try {
        r = write(a->session, a->token);
    } catch (...) {
        r = Error("token file write failed: " + async::exception_text(std::current_exception()));
    }
    {
        std::lock_guard lock(a->m);
        a->written = std::move(r);
    }
    a->ended->fire();
}

// Runs on the runtime until the write has returned; the agent's stop drops it with the runtime.
asio::awaitable<void> report_when_ended(std::shared_ptr<SessionTokens> sessions,
                                        std::shared_ptr<Attempt> a,
                                        std::chrono::milliseconds bound) {
    if (!co_await async::fired_by(a->ended, std::chrono::steady_clock::now() + bound)) {
        warn_token_not_written(
            a->session,
            token_write_error(
                Error(fmt::format("the write did not finish within {}; it goes on, and its "
                                  "outcome is logged when it ends",
                                  duration_text(bound))),
                a->session));
        a->settled->fire();
        co_await a->ended->wait();
    }

    Result<void> written = Error("background task failed");
    {
        std::lock_guard lock(a->m);
        written = std::move(*a->written);
    }
    Result<std::string> outcome = a->token;
    if (written) {
        auto map = co_await sessions->write();
        (*map)[a->session] = a->token;
        log::info(kLog, "token issued for session {}", a->session);
        // Under the write lock: a refresh that finds no attempt running finds the token.
        sessions->end_attempt(a->session);
    } else {
        Error e = token_write_error(std::move(written).error(), a->session);
        warn_token_not_written(a->session, e);
        sessions->end_attempt(a->session);
        outcome = std::move(e);
    }
    {
        std::lock_guard lock(a->m);
        a->reported = std::move(outcome);
    }
    a->settled->fire();
}

}  // namespace

Error token_write_error(Error e, std::uint32_t session) {
    return std::move(e).context(fmt::format("write token file for session {}", session));
}

void warn_token_not_written(std::uint32_t session, const Error& e) {
    log::warn(kLog, "could not write token for session {}: {:#}", session, e);
}

asio::awaitable<Result<std::string>> run_token_attempt(
    std::shared_ptr<SessionTokens> sessions, std::uint32_t session, std::string token,
    WriteTokenFile write, std::chrono::milliseconds bound,
    std::chrono::steady_clock::time_point until) {
    auto a = std::make_shared<Attempt>(session, std::move(token));
    try {
        clear_os_error();
        std::thread(write_on_own_thread, a, std::move(write)).detach();
    } catch (const std::system_error& e) {
        Error failed = token_write_error(os_error_from(e), session);
        warn_token_not_written(session, failed);
        sessions->end_attempt(session);
        co_return failed;
    }
    async::spawn_detached(*co_await async::current_io(), kLog,
                          report_when_ended(sessions, a, bound));

    co_await async::fired_by(a->settled, until);
    std::lock_guard lock(a->m);
    if (a->reported)
        co_return *a->reported;
    co_return token_write_error(Error("the write goes on; its outcome is logged when it ends"),
                                session);
}

}  // namespace qel::auth
