#include "wfp/engine/wfp_engine.h"

#include <fwpmu.h>

#include <string>

#include "common/log.h"
#include "wfp/engine/key.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_engine;

}  // namespace

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

}  // namespace qel::wfp
