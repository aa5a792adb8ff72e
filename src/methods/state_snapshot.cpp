#include <nlohmann/json.hpp>

#include "methods/state_snapshot.h"

namespace qel::methods {

nlohmann::json state_snapshot(const ConnectionState& state, MonoTime now) {
    struct Visitor {
        MonoTime now;
        nlohmann::json operator()(const Idle&) const { return {{"state", "idle"}}; }
        nlohmann::json operator()(const Connecting& s) const {
            return {{"state", "connecting"}, {"profile_hash", s.profile_hash}};
        }
        nlohmann::json operator()(const Connected& s) const {
            const auto up = std::chrono::duration_cast<std::chrono::seconds>(now - s.since);
            return {
                {"state", "connected"},
                {"profile_hash", s.profile_hash},
                {"uptime_s", static_cast<std::uint64_t>(std::max<std::int64_t>(0, up.count()))}};
        }
        nlohmann::json operator()(const Disconnecting&) const {
            return {{"state", "disconnecting"}};
        }
        nlohmann::json operator()(const Failed& s) const {
            return {{"state", "failed"}, {"reason", s.reason}};
        }
    };
    return std::visit(Visitor{now}, state);
}

}  // namespace qel::methods
