#pragma once
// The level filter built from RUST_LOG: a default level and target=level directives, the
// longest matching target prefix deciding.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"

namespace qel::logging {

inline constexpr std::string_view kDefaultLogFilter = "info,qel_agent=debug";

struct Directive {
    std::optional<std::string> target;  // none: the default level
    std::optional<log::Level> max;      // none: off
};

class LogFilter {
  public:
    LogFilter() = default;  // no directives: lets nothing through
    explicit LogFilter(std::vector<Directive> d) : directives_(std::move(d)) {}

    // The most verbose level let through for an event target (none: every event discarded).
    std::optional<log::Level> max_level(std::string_view target) const;
    bool allows(log::Level level, std::string_view target) const;

    const std::vector<Directive>& directives() const { return directives_; }

  private:
    std::vector<Directive> directives_;
};

// Parses a comma-separated directive list; nothing when any directive does not parse.
std::optional<LogFilter> parse_log_filter(std::string_view directives);

// The filter for a RUST_LOG value: absent (or not valid Unicode) and unparsable values give
// kDefaultLogFilter; the empty value gives a filter without directives.
LogFilter log_filter_for(const std::optional<std::string>& rust_log);

// Reads RUST_LOG.
LogFilter build_log_filter();

// The per-target table that the log pipeline installs.
log::LevelTable level_table(const LogFilter& filter);

}  // namespace qel::logging
