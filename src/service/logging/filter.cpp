#include "service/logging/filter.h"

#include <array>
#include <cctype>

#include "common/env.h"

namespace qel::logging {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    }
    return true;
}

// A level limit: "off".."trace" in any case, or 0..5. Outer optional: parsed or not.
std::optional<std::optional<log::Level>> parse_level(std::string_view s) {
    using L = log::Level;
    static constexpr std::array<std::pair<std::string_view, std::optional<L>>, 6> names = {{
        {"off", std::nullopt},
        {"error", L::error},
        {"warn", L::warn},
        {"info", L::info},
        {"debug", L::debug},
        {"trace", L::trace},
    }};
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (iequals(s, names[i].first) || s == std::string_view(&"012345"[i], 1)) {
            return names[i].second;
        }
    }
    return std::nullopt;
}

bool valid_target(std::string_view t) {
    if (t.empty())
        return false;
    for (char c : t) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == '=' || c == '[' || c == ']' ||
            c == '{' || c == '}') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<LogFilter> parse_log_filter(std::string_view directives) {
    std::vector<Directive> out;
    while (true) {
        const std::size_t comma = directives.find(',');
        const std::string_view item = trim(directives.substr(0, comma));
        if (!item.empty()) {
            const std::size_t eq = item.find('=');
            if (eq == std::string_view::npos) {
                if (auto level = parse_level(item)) {
                    out.push_back({std::nullopt, *level});
                } else if (valid_target(item)) {
                    out.push_back({std::string(item), log::Level::trace});
                } else {
                    return std::nullopt;
                }
            } else {
                const std::string_view target = trim(item.substr(0, eq));
                const auto level = parse_level(trim(item.substr(eq + 1)));
                if (!level || !valid_target(target))
                    return std::nullopt;
                out.push_back({std::string(target), *level});
            }
        }
        if (comma == std::string_view::npos)
            break;
        directives.remove_prefix(comma + 1);
    }
    return LogFilter(std::move(out));
}

std::optional<log::Level> LogFilter::max_level(std::string_view target) const {
    const Directive* best = nullptr;
    for (const Directive& d : directives_) {
        if (d.target) {
            if (!target.starts_with(*d.target))
                continue;
            // Longest target wins; for the same target the later directive counts.
            if (!best || !best->target || d.target->size() >= best->target->size())
                best = &d;
        } else if (!best || !best->target) {
            best = &d;
        }
    }
    return best ? best->max : std::nullopt;
}

bool LogFilter::allows(log::Level level, std::string_view target) const {
    const auto max = max_level(target);
    return max && static_cast<int>(level) >= static_cast<int>(*max);
}

LogFilter log_filter_for(const std::optional<std::string>& rust_log) {
    if (rust_log) {
        if (rust_log->empty())
            return LogFilter();
        if (auto f = parse_log_filter(*rust_log))
            return std::move(*f);
    }
    return *parse_log_filter(kDefaultLogFilter);
}

LogFilter build_log_filter() {
    const EnvValue v = read_env("RUST_LOG");
    return log_filter_for(v.is_set() ? std::optional<std::string>(v.value) : std::nullopt);
}

log::LevelTable level_table(const LogFilter& filter) {
    log::LevelTable table;
    for (std::size_t i = 0; i < log::kTargetCount; ++i) {
        table.max_level[i] = filter.max_level(log::target_name(static_cast<log::Target>(i)));
    }
    return table;
}

}  // namespace qel::logging
