#pragma once
// One filtering-engine handle together with the sublayer made for it: the unit that every
// kill switch owns, opens afresh and releases exactly once.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "wfp/engine/engine_handle.h"
#include "wfp/engine/key.h"

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

    // The next key of the plan for a filter; nothing once the plan is used up.
    std::optional<GUID> take_filter_key();

  private:
    friend Result<WfpEngine> open_wfp_engine(KeyPlan plan);
    friend bool close_wfp_engine(WfpEngine engine);
    WfpEngine(EngineHandle handle, KeyPlan plan);
    bool release();

    EngineHandle handle_;
    GUID sublayer_key_;
    bool sublayer_added_ = false;
    std::vector<GUID> filter_keys_;
    std::size_t next_filter_key_ = 0;
};

// A handle and a sublayer with the plan's key; the plan's filter keys go to the filters added
// through it. On error nothing stays open or installed.
Result<WfpEngine> open_wfp_engine(KeyPlan plan);

// The release: the sublayer is deleted (when it was added), then the handle closed, whatever
// the delete gave. Failures are logged; the release never stops half-way. True when the
// sublayer is still installed afterwards.
bool close_wfp_engine(WfpEngine engine);

}  // namespace qel::wfp
