#include "wfp/engine/wfp_engine.h"

#include <fwpmu.h>

#include <string>

#include "common/log.h"
#include "wfp/engine/key.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_engine;

}  // namespace

WfpEngine::WfpEngine(EngineHandle handle, const GUID& sublayer_key)
    : handle_(std::move(handle)), sublayer_key_(sublayer_key) {}

WfpEngine::WfpEngine(WfpEngine&& o) noexcept
    : handle_(std::move(o.handle_)),
      sublayer_key_(o.sublayer_key_),
      sublayer_added_(std::exchange(o.sublayer_added_, false)) {}

void WfpEngine::release() {
    if (!handle_)
        return;
    if (std::exchange(sublayer_added_, false)) {
        if (const DWORD rc = FwpmSubLayerDeleteByKey0(handle_.get(), &sublayer_key_); rc != 0)
            log::warn(kLog, "FwpmSubLayerDeleteByKey0 rc={:#x}", static_cast<std::uint32_t>(rc));
    }
    handle_.close();
}

Result<WfpEngine> open_wfp_engine() {
    Result<EngineHandle> handle = open_engine_handle();
    if (!handle)
        return std::move(handle).error();
    WfpEngine engine(std::move(handle).value(), new_wfp_key());

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

void close_wfp_engine(WfpEngine engine) {
    engine.release();
}

}  // namespace qel::wfp
