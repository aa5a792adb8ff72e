#include "wfp/controller/record.h"

#include <optional>

#include <nlohmann/json.hpp>

namespace qel::wfp {
namespace {

using nlohmann::json;

constexpr int kVersion = 1;

std::optional<UuidBytes> key_of(const json& j) {
    if (!j.is_string())
        return std::nullopt;
    return parse_uuid_text(j.get_ref<const std::string&>());
}

std::optional<KillSwitchRecord> record_of(const json& j) {
    if (!j.is_object())
        return std::nullopt;
    const auto run = j.find("run");
    const auto sublayer = j.find("sublayer");
    const auto filters = j.find("filters");
    if (run == j.end() || !run->is_string() || sublayer == j.end() || filters == j.end() ||
        !filters->is_array()) {
        return std::nullopt;
    }
    KillSwitchRecord r;
    r.run = run->get<std::string>();
    const auto sublayer_key = key_of(*sublayer);
    if (!sublayer_key)
        return std::nullopt;
    r.sublayer = *sublayer_key;
    for (const json& f : *filters) {
        const auto key = key_of(f);
        if (!key)
            return std::nullopt;
        r.filters.push_back(*key);
    }
    return r;
}

}  // namespace

std::string format_records(const std::vector<KillSwitchRecord>& records) {
    json list = json::array();
    for (const KillSwitchRecord& r : records) {
        json filters = json::array();
        for (const UuidBytes& f : r.filters)
            filters.push_back(uuid_text(f));
        list.push_back({{"run", r.run}, {"sublayer", uuid_text(r.sublayer)}, {"filters", filters}});
    }
    return json{{"version", kVersion}, {"kill_switches", std::move(list)}}.dump() + "\n";
}

Result<std::vector<KillSwitchRecord>> parse_records(std::string_view text) {
    const json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
        return Error("not valid JSON");
    if (!doc.is_object())
        return Error("not a JSON object");
    const auto version = doc.find("version");
    if (version == doc.end() || *version != kVersion)
        return Error("unknown version");
    const auto list = doc.find("kill_switches");
    if (list == doc.end() || !list->is_array())
        return Error("no kill_switches list");
    std::vector<KillSwitchRecord> out;
    for (const json& j : *list) {
        auto r = record_of(j);
        if (!r)
            return Error(fmt::format("malformed entry {}", out.size()));
        out.push_back(std::move(*r));
    }
    return out;
}

}  // namespace qel::wfp
