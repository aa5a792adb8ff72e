#include "wfp/engine/filters.h"

#include "common/log.h"
#include "common/utf.h"
#include "wfp/engine/key.h"

namespace qel::wfp {

Result<void> add_wfp_filter(FilterTarget target, const std::string& display_name,
                            const GUID& layer_key, FWP_ACTION_TYPE action, std::uint64_t weight,
                            std::span<const FWPM_FILTER_CONDITION0> conditions) {
    std::wstring name = to_wide(display_name);
    // Only a key that was recorded before the engine made anything may name a filter.
    const std::optional<GUID> planned = target.engine.take_filter_key();
    if (!planned)
        return Error(fmt::format("FwpmFilterAdd0({}): no planned key left", display_name));
    const GUID key = *planned;
    auto cell = std::make_unique<std::uint64_t>(weight);

    FWPM_FILTER0 filter{};
    filter.filterKey = key;
    filter.displayData.name = name.data();
    filter.flags = 0;  // not persistent, not boot-time
    filter.layerKey = layer_key;
    filter.subLayerKey = target.engine.sublayer_key();
    filter.weight.type = FWP_UINT64;
    filter.weight.uint64 = cell.get();
    filter.numFilterConditions = static_cast<UINT32>(conditions.size());
    // The API takes a non-const pointer but only reads the conditions.
    filter.filterCondition =
        conditions.empty() ? nullptr : const_cast<FWPM_FILTER_CONDITION0*>(conditions.data());
    filter.action.type = action;

    if (const DWORD rc = FwpmFilterAdd0(target.engine.handle(), &filter, nullptr, nullptr);
        rc != 0) {
        return Error(fmt::format("FwpmFilterAdd0({}) rc={:#x}", display_name,
                                 static_cast<std::uint32_t>(rc)));
    }
    target.weights.push_back(std::move(cell));
    target.filter_keys.push_back(key);
    return {};
}

bool delete_wfp_filter(const WfpEngine& engine, const GUID& filter_key) {
    const DWORD rc = FwpmFilterDeleteByKey0(engine.handle(), &filter_key);
    if (rc == 0)
        return true;
    log::debug(log::Target::wfp_engine, "FwpmFilterDeleteByKey0({}) rc={:#x}",
               guid_text(filter_key), static_cast<std::uint32_t>(rc));
    return rc == static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND);
}

}  // namespace qel::wfp
