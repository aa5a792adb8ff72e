#pragma once
// Log events: a level, the writing module's target and one formatted message.
//
// The filter is consulted before anything is formatted; until a pipeline is installed
// (service/logging) every event is discarded.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/core.h>

namespace spdlog::sinks {
class sink;
}

namespace qel::log {

enum class Level : std::uint8_t { trace, debug, info, warn, error };

enum class Target : std::uint8_t {
    service,
    auth,
    ipc,
    sandbox_lifecycle,
    wfp_engine,
    wfp_kill_switch,
    wfp_controller,
};
inline constexpr std::size_t kTargetCount = 7;

// The module path written with every event, e.g. "qel_agent::ipc".
std::string_view target_name(Target t);

bool enabled(Level level, Target target) noexcept;
void write(Level level, Target target, std::string_view message);

// The process's one pipeline: a sink and, per target, the most verbose level let through
// (nothing = off). Installed once, before the first event; later calls are ignored. The
// pipeline lives until the process ends: threads may log while static destructors run.
struct LevelTable {
    std::array<std::optional<Level>, kTargetCount> max_level{};
};
// Waits, at most the given time, until every line handed to the sink so far is written out;
// true when it is. Without one, drain() flushes the sink.
using Drain = std::function<bool(std::chrono::milliseconds)>;
void install(std::shared_ptr<spdlog::sinks::sink> sink, const LevelTable& levels, Drain drain = {});
bool installed() noexcept;

// Last words before the process ends on purpose: waits, at most `bound`, until every event
// written so far has reached its destination. True when it has (and when nothing is installed).
bool drain(std::chrono::milliseconds bound) noexcept;

template <class... Args>
void emit(Level level, Target target, fmt::format_string<Args...> f, Args&&... args) {
    if (!enabled(level, target))
        return;
    write(level, target, fmt::format(f, std::forward<Args>(args)...));
}

template <class... Args>
void trace(Target t, fmt::format_string<Args...> f, Args&&... a) {
    emit(Level::trace, t, f, std::forward<Args>(a)...);
}
template <class... Args>
void debug(Target t, fmt::format_string<Args...> f, Args&&... a) {
    emit(Level::debug, t, f, std::forward<Args>(a)...);
}
template <class... Args>
void info(Target t, fmt::format_string<Args...> f, Args&&... a) {
    emit(Level::info, t, f, std::forward<Args>(a)...);
}
template <class... Args>
void warn(Target t, fmt::format_string<Args...> f, Args&&... a) {
    emit(Level::warn, t, f, std::forward<Args>(a)...);
}
template <class... Args>
void error(Target t, fmt::format_string<Args...> f, Args&&... a) {
    emit(Level::error, t, f, std::forward<Args>(a)...);
}

}  // namespace qel::log
