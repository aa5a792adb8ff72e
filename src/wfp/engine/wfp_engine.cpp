#include "wfp/engine/wfp_engine.h"

#include <string>

#include "common/log.h"
#include "common/utf.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_engine;

}  // namespace

void EngineHandle::close() {
    HANDLE h = std::exchange(h_, nullptr);
    if (h == nullptr)
        return;
    if (const DWORD rc = FwpmEngineClose0(h); rc != 0)
        log::warn(kLog, "FwpmEngineClose0 rc={:#x}", static_cast<std::uint32_t>(rc));
}

Result<EngineHandle> open_engine_handle() {
    HANDLE h = nullptr;
    const DWORD rc = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &h);
    if (rc != 0)
        return Error(
            fmt::format("FwpmEngineOpen0 failed, rc={:#x}", static_cast<std::uint32_t>(rc)));
    return EngineHandle(h);
}

WfpEngine::WfpEngine(EngineHandle handle, KeyPlan plan)
    : handle_(std::move(handle)),
      sublayer_key_(plan.sublayer),
      filter_keys_(std::move(plan.filters)) {}

WfpEngine::WfpEngine(WfpEngine&& o) noexcept
    : handle_(std::move(o.handle_)),
      sublayer_key_(o.sublayer_key_),
      sublayer_added_(std::exchange(o.sublayer_added_, false)),
      filter_keys_(std::move(o.filter_keys_)),
      next_filter_key_(std::exchange(o.next_filter_key_, 0)) {}

std::optional<GUID> WfpEngine::take_filter_key() {
    if (next_filter_key_ >= filter_keys_.size())
        return std::nullopt;
    return filter_keys_[next_filter_key_++];
}

bool WfpEngine::release() {
    if (!handle_)
        return false;
    bool left = false;
    if (std::exchange(sublayer_added_, false)) {
        const DWORD rc = FwpmSubLayerDeleteByKey0(handle_.get(), &sublayer_key_);
        if (rc != 0) {
            log::warn(kLog, "FwpmSubLayerDeleteByKey0 rc={:#x}", static_cast<std::uint32_t>(rc));
            left = rc != static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND);
        }
    }
    handle_.close();
    return left;
}

Result<WfpEngine> open_wfp_engine(KeyPlan plan) {
    Result<EngineHandle> handle = open_engine_handle();
    if (!handle)
        return std::move(handle).error();
    WfpEngine engine(std::move(handle).value(), std::move(plan));

    std::wstring name(kSublayerName);
    FWPM_SUBLAYER0 sublayer{};
    sublayer.subLayerKey = engine.sublayer_key_;
    sublayer.displayData.name = name.data();
    // Not FWPM_SUBLAYER_FLAG_PERSISTENT: a restart of the filtering engine clears it.
    sublayer.flags = 0;
    sublayer.weight = kSublayerWeight;
    if (const DWORD rc = FwpmSubLayerAdd0(engine.handle(), &sublayer, nullptr); rc != 0) {
        // Leaving releases the engine, which only closes the handle: no sublayer exists.
        return Error(
            fmt::format("FwpmSubLayerAdd0 failed, rc={:#x}", static_cast<std::uint32_t>(rc)));
    }
    engine.sublayer_added_ = true;
    log::info(kLog, "WFP engine opened, sublayer_key={}", guid_text(engine.sublayer_key_));
    return engine;
}

bool close_wfp_engine(WfpEngine engine) {
    return engine.release();
}

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
    log::debug(kLog, "FwpmFilterDeleteByKey0({}) rc={:#x}", guid_text(filter_key),
               static_cast<std::uint32_t>(rc));
    return rc == static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND);
}

}  // namespace qel::wfp
