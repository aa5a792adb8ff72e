#include "wfp/engine/engine_handle.h"

#include <fwpmu.h>

#include "common/log.h"

namespace qel::wfp {

void EngineHandle::close() {
    HANDLE h = std::exchange(h_, nullptr);
    if (h == nullptr)
        return;
    if (const DWORD rc = FwpmEngineClose0(h); rc != 0)
        log::warn(log::Target::wfp_engine, "FwpmEngineClose0 rc={:#x}",
                  static_cast<std::uint32_t>(rc));
}

Result<EngineHandle> open_engine_handle() {
    HANDLE h = nullptr;
    const DWORD rc = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &h);
    if (rc != 0)
        return Error(
            fmt::format("FwpmEngineOpen0 failed, rc={:#x}", static_cast<std::uint32_t>(rc)));
    return EngineHandle(h);
}

}  // namespace qel::wfp
