#include "wfp/controller/record.h"

#include <nlohmann/json.hpp>

namespace qel::wfp {
namespace {

using nlohmann::json;

constexpr int kVersion = 2;
// Earlier agents wrote entries without an owner; they are still read.
constexpr int kOwnerlessVersion = 1;

std::optional<UuidBytes> key_of(const json& j) {
    if (!j.is_string())
        return std::nullopt;
    return parse_uuid_text(j.get_ref<const std::string&>());
}

std::optional<ProcessIdentity> owner_of(const json& j) {
    if (!j.is_object())
        return std::nullopt;
    const auto pid = j.find("pid");
    const auto started = j.find("started");
    if (pid == j.end() || !pid->is_number_unsigned() || started == j.end() ||
        !started->is_number_unsigned() || pid->get<std::uint64_t>() > UINT32_MAX) {
        return std::nullopt;
    }
    return ProcessIdentity{static_cast<std::uint32_t>(pid->get<std::uint64_t>()),
                           started->get<std::uint64_t>()};
}

std::optional<KillSwitchRecord> record_of(const json& j, int version) {
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
    if (version == kVersion) {
        const auto owner = j.find("owner");
        const auto released = j.find("released");
        if (owner == j.end() || released == j.end() || !released->is_boolean())
            return std::nullopt;
        if (!owner->is_null()) {
            r.owner = owner_of(*owner);
            if (!r.owner)
                return std::nullopt;
        }
        r.released = released->get<bool>();
    }
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
        // An entry of version 1 keeps its unknown owner as null.
        json owner;
        if (r.owner)
            owner = {{"pid", r.owner->pid}, {"started", r.owner->started}};
        list.push_back({{"run", r.run},
                        {"owner", std::move(owner)},
                        {"released", r.released},
                        {"sublayer", uuid_text(r.sublayer)},
                        {"filters", filters}});
    }
    return json{{"version", kVersion}, {"kill_switches", std::move(list)}}.dump() + "\n";
}

Result<ParsedRecords> parse_records(std::string_view text) {
    const json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
        return Error("not valid JSON");
    if (!doc.is_object())
        return Error("not a JSON object");
    const auto version = doc.find("version");
    if (version == doc.end())
        return Error("no version");
    // Only a whole number above this agent's version is a later agent's; anything else in
    // its place (0, -1, null, "2", 2.5) is damage, as much as a missing version is.
    if (!version->is_number_integer())
        return Error(fmt::format("malformed version {}", version->dump()));
    if (version->is_number_unsigned() && version->get<std::uint64_t>() > kVersion)
        return ParsedRecords(LaterVersion{version->dump()});
    if (*version != kVersion && *version != kOwnerlessVersion)
        return Error(fmt::format("malformed version {}", version->dump()));
    const int v = version->get<int>();
    const auto list = doc.find("kill_switches");
    if (list == doc.end() || !list->is_array())
        return Error("no kill_switches list");
    std::vector<KillSwitchRecord> out;
    for (const json& j : *list) {
        auto r = record_of(j, v);
        if (!r)
            return Error(fmt::format("malformed entry {}", out.size()));
        out.push_back(std::move(*r));
    }
    return ParsedRecords(std::move(out));
}

}  // namespace qel::wfp
