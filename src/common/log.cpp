#include "common/log.h"

#include <atomic>

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include "common/no_destroy.h"

namespace qel::log {
namespace {

constexpr std::string_view kTargetNames[kTargetCount] = {
    "qel_agent::service",
    "qel_agent::auth",
    "qel_agent::ipc",
    "qel_agent::sandbox::lifecycle",
    "qel_agent::wfp::engine",
    "qel_agent::wfp::kill_switch",
    "qel_agent::wfp::controller",
};

spdlog::level::level_enum to_spdlog(Level l) {
    switch (l) {
        case Level::trace:
            return spdlog::level::trace;
        case Level::debug:
            return spdlog::level::debug;
        case Level::info:
            return spdlog::level::info;
        case Level::warn:
            return spdlog::level::warn;
        case Level::error:
            return spdlog::level::err;
    }
    return spdlog::level::off;
}

std::atomic<bool> g_installed{false};
std::atomic_flag g_installing = ATOMIC_FLAG_INIT;
// Written once before g_installed is released, never changed afterwards, never destroyed.
NoDestroy<std::array<std::shared_ptr<spdlog::logger>, kTargetCount>> g_loggers;
NoDestroy<Drain> g_drain;

spdlog::logger& logger_of(Target t) {
    return *g_loggers.get()[static_cast<std::size_t>(t)];
}

}  // namespace

std::string_view target_name(Target t) {
    return kTargetNames[static_cast<std::size_t>(t)];
}

void install(std::shared_ptr<spdlog::sinks::sink> sink, const LevelTable& levels, Drain drain) {
    if (g_installing.test_and_set())
        return;
    for (std::size_t i = 0; i < kTargetCount; ++i) {
        auto logger = std::make_shared<spdlog::logger>(std::string(kTargetNames[i]), sink);
        const auto& max = levels.max_level[i];
        logger->set_level(max ? to_spdlog(*max) : spdlog::level::off);
        logger->flush_on(spdlog::level::off);
        // A line that cannot be written is lost without notice.
        logger->set_error_handler([](const std::string&) {});
        g_loggers.get()[i] = std::move(logger);
    }
    g_drain.get() = std::move(drain);
    g_installed.store(true, std::memory_order_release);
}

bool installed() noexcept {
    return g_installed.load(std::memory_order_acquire);
}

bool enabled(Level level, Target target) noexcept {
    if (!g_installed.load(std::memory_order_acquire))
        return false;
    return logger_of(target).should_log(to_spdlog(level));
}

void write(Level level, Target target, std::string_view message) {
    if (!g_installed.load(std::memory_order_acquire))
        return;
    logger_of(target).log(to_spdlog(level), message);
}

bool drain(std::chrono::milliseconds bound) noexcept {
    if (!g_installed.load(std::memory_order_acquire))
        return true;
    try {
        if (const Drain& d = g_drain.get())
            return d(bound);
        logger_of(Target::service).flush();  // every target shares the one sink
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace qel::log
