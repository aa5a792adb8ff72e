#include "log_capture.h"

#include <condition_variable>
#include <mutex>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/sink.h>

#include "common/log.h"
#include "common/no_destroy.h"

namespace qel::test {
namespace {

// Never destroyed: a test may have threads that log while the process exits.
struct Captured {
    std::mutex mutex;
    std::condition_variable added;
    std::vector<CapturedEvent> events;
    std::size_t flushes = 0;
};
NoDestroy<Captured> g_captured;

class CaptureSink final : public spdlog::sinks::sink {
  public:
    void log(const spdlog::details::log_msg& msg) override {
        static constexpr const char* names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
        const int l = static_cast<int>(msg.level);
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(g_captured->mutex);
        g_captured->events.push_back({l >= 0 && l <= 4 ? names[l] : "ERROR",
                                      std::string(msg.logger_name.data(), msg.logger_name.size()),
                                      std::string(msg.payload.data(), msg.payload.size()), now});
        g_captured->added.notify_all();
    }
    void flush() override {
        std::lock_guard lock(g_captured->mutex);
        ++g_captured->flushes;
    }
    void set_pattern(const std::string&) override {}
    void set_formatter(std::unique_ptr<spdlog::formatter>) override {}
};

}  // namespace

void install_log_capture() {
    log::LevelTable all;
    for (auto& l : all.max_level)
        l = log::Level::trace;
    log::install(std::make_shared<CaptureSink>(), all);
}

std::vector<CapturedEvent> captured_events() {
    std::lock_guard lock(g_captured->mutex);
    return g_captured->events;
}

void clear_captured_events() {
    std::lock_guard lock(g_captured->mutex);
    g_captured->events.clear();
}

std::size_t captured_flushes() {
    std::lock_guard lock(g_captured->mutex);
    return g_captured->flushes;
}

std::vector<std::string> captured_messages() {
    std::vector<std::string> out;
    for (auto& e : captured_events())
        out.push_back(e.message);
    return out;
}

bool has_event(const std::string& level, const std::string& message) {
    for (auto& e : captured_events()) {
        if (e.level == level && e.message == message)
            return true;
    }
    return false;
}

bool wait_for_events(const std::function<bool(const std::vector<CapturedEvent>&)>& done,
                     std::chrono::milliseconds bound) {
    std::unique_lock lock(g_captured->mutex);
    return g_captured->added.wait_for(lock, bound, [&] { return done(g_captured->events); });
}

}  // namespace qel::test
