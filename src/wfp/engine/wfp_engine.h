#pragma once
// The filtering-engine primitives the kill switch is built from: an engine handle with the
// sublayer made for it (the unit that every kill switch owns, opens afresh and releases
// exactly once), and adding and deleting one filter in that sublayer.

#include <windows.h>

#include <fwpmu.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "wfp/engine/key.h"

namespace qel::wfp {

inline constexpr std::uint16_t kSublayerWeight = 0x1000;
inline constexpr std::wstring_view kSublayerName = L"QEL Agent kill-switch sublayer";

// The owner of one filtering-engine handle.
class EngineHandle {
  public:
    EngineHandle(EngineHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    EngineHandle& operator=(EngineHandle&&) = delete;
    ~EngineHandle() { close(); }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

    // FwpmEngineClose0, at most once; a failure is logged and the handle counts as closed.
    void close();

  private:
    friend Result<EngineHandle> open_engine_handle();
    explicit EngineHandle(HANDLE h) : h_(h) {}
    HANDLE h_ = nullptr;
};

// The local engine, opened without a session: what is added through the handle is not
// dynamic and outlives both the handle and the process.
Result<EngineHandle> open_engine_handle();

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
    // The keys taken so far, in the order taken: each was handed to one filter add.
    std::span<const GUID> taken_filter_keys() const {
        return {filter_keys_.data(), next_filter_key_};
    }

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

// The heap cell a filter record's weight points to; kept as long as the filter's owner.
using WeightCell = std::unique_ptr<std::uint64_t>;

// What add_wfp_filter may touch of the owner being built: it takes the engine's next planned
// key and appends to the two lists, which therefore stay in install order, one entry per
// installed filter.
struct FilterTarget {
    WfpEngine& engine;
    std::vector<GUID>& filter_keys;
    std::vector<WeightCell>& weights;
};

// One filter with the engine's next planned key, neither persistent nor boot-time. The
// conditions (and what their values point to) are only read during the call. On error the
// lists are unchanged.
Result<void> add_wfp_filter(FilterTarget target, const std::string& display_name,
                            const GUID& layer_key, FWP_ACTION_TYPE action, std::uint64_t weight,
                            std::span<const FWPM_FILTER_CONDITION0> conditions);

// Never fails: a refused delete is logged and the caller goes on. True when the filter is
// gone afterwards (deleted now, or not installed at all).
bool delete_wfp_filter(const WfpEngine& engine, const GUID& filter_key);

}  // namespace qel::wfp
