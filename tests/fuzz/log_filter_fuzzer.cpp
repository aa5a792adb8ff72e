// The RUST_LOG directive parser and the decisions of the filter it builds.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "service/logging/filter.h"

namespace {

using qel::fuzz::require;
using qel::log::Level;
using qel::logging::Directive;
using qel::logging::LogFilter;

constexpr Level kLevels[] = {Level::trace, Level::debug, Level::info, Level::warn, Level::error};

bool same_directives(const std::vector<Directive>& a, const std::vector<Directive>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].target != b[i].target || a[i].max != b[i].max)
            return false;
    }
    return true;
}

std::string_view level_text(const std::optional<Level>& max) {
    if (!max)
        return "off";
    switch (*max) {
        case Level::trace:
            return "trace";
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::warn:
            return "warn";
        case Level::error:
            return "error";
    }
    return "?";
}

// The longest directive target that prefixes the event's target decides, the later one of
// equal length; without one, the last default; without that, nothing passes.
std::optional<Level> reference_max(const std::vector<Directive>& ds, std::string_view target) {
    const Directive* targeted = nullptr;
    const Directive* fallback = nullptr;
    for (const Directive& d : ds) {
        if (!d.target) {
            fallback = &d;
        } else if (target.starts_with(*d.target) &&
                   (!targeted || d.target->size() >= targeted->target->size())) {
            targeted = &d;
        }
    }
    if (targeted)
        return targeted->max;
    return fallback ? fallback->max : std::nullopt;
}

void check_decisions(const LogFilter& filter, std::string_view rust_log) {
    std::vector<std::string> probes = {"", std::string(rust_log)};
    for (std::size_t i = 0; i < qel::log::kTargetCount; ++i)
        probes.emplace_back(qel::log::target_name(static_cast<qel::log::Target>(i)));
    // The first directives' targets suffice: a longer list only repeats the same decisions.
    for (std::size_t i = 0; i < filter.directives().size() && i < 8; ++i) {
        const Directive& d = filter.directives()[i];
        if (!d.target)
            continue;
        probes.push_back(*d.target);
        probes.push_back(*d.target + "::x");
        probes.push_back(d.target->substr(0, d.target->size() - 1));
    }
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const std::string& t = probes[i];
        const auto max = filter.max_level(t);
        require(max == reference_max(filter.directives(), t),
                "the longest matching directive decides",
                [&] { return std::string(rust_log) + "\ntarget: " + t; });
        // One level per target, in turn: each call walks every directive again.
        const Level level = kLevels[i % std::size(kLevels)];
        require(
            filter.allows(level, t) == (max && static_cast<int>(level) >= static_cast<int>(*max)),
            "allows agrees with max_level", t);
    }
    const qel::log::LevelTable table = qel::logging::level_table(filter);
    for (std::size_t i = 0; i < qel::log::kTargetCount; ++i) {
        require(table.max_level[i] ==
                    filter.max_level(qel::log::target_name(static_cast<qel::log::Target>(i))),
                "the level table holds each target's max_level");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string rust_log(reinterpret_cast<const char*>(data), size);
    const auto parsed = qel::logging::parse_log_filter(rust_log);
    const auto fallback = qel::logging::parse_log_filter(qel::logging::kDefaultLogFilter);
    require(fallback.has_value(), "the default filter parses");

    const LogFilter chosen = qel::logging::log_filter_for(rust_log);
    if (rust_log.empty()) {
        require(chosen.directives().empty(), "an empty RUST_LOG has no directives");
    } else {
        require(same_directives(chosen.directives(),
                                parsed ? parsed->directives() : fallback->directives()),
                "RUST_LOG gives its own filter, or the default when it does not parse", rust_log);
    }
    if (!parsed)
        return 0;

    std::string written;
    for (const Directive& d : parsed->directives()) {
        require(!d.target || (!d.target->empty() &&
                              d.target->find_first_of(",= \t\n\v\f\r[]{}") == std::string::npos),
                "a directive target is a plain name", rust_log);
        if (!written.empty())
            written += ',';
        if (d.target)
            written += *d.target + "=";
        written += level_text(d.max);
    }
    const auto again = qel::logging::parse_log_filter(written);
    require(again && same_directives(again->directives(), parsed->directives()),
            "directives written back parse to the same directives",
            [&] { return rust_log + "\n" + written; });

    check_decisions(*parsed, rust_log);
    return 0;
}
