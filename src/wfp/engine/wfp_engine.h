#pragma once
// One filtering-engine handle together with the sublayer made for it: the unit that every
// kill switch owns, opens afresh and releases exactly once.

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "wfp/engine/engine_handle.h"

namespace qel::wfp {

inline constexpr std::uint16_t kSublayerWeight = 0x1000;
inline constexpr std::wstring_view kSublayerName = L"QEL Agent kill-switch sublayer";

class WfpEngine {
  public:
    WfpEngine(WfpEngine&& o) noexcept;
    WfpEngine& operator=(WfpEngine&&) = delete;
    // Still owned at its end: released as close_wfp_engine releases it.
    ~WfpEngine() { release(); }

    HANDLE handle() const { return handle_.get(); }
    const GUID& sublayer_key() const { return sublayer_key_; }
    bool sublayer_added() const { return sublayer_added_; }

  private:
    friend Result<WfpEngine> open_wfp_engine();
    friend void close_wfp_engine(WfpEngine engine);
    WfpEngine(EngineHandle handle, const GUID& sublayer_key);
    void release();

    EngineHandle handle_;
    GUID sublayer_key_;
    bool sublayer_added_ = false;
};

// A handle and a sublayer with a fresh key. On error nothing stays open or installed.
Result<WfpEngine> open_wfp_engine();

// The release: the sublayer is deleted (when it was added), then the handle closed, whatever
// the delete gave. Failures are logged; the release never stops half-way.
void close_wfp_engine(WfpEngine engine);

}  // namespace qel::wfp
