#pragma once
// Adding one filter into an engine's sublayer, and deleting one by its key.

#include <windows.h>

#include <fwpmu.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "wfp/engine/wfp_engine.h"

namespace qel::wfp {

// The heap cell a filter record's weight points to; kept as long as the filter's owner.
using WeightCell = std::unique_ptr<std::uint64_t>;

// What add_wfp_filter may touch of the owner being built: it reads the engine and appends
// to the two lists, which therefore stay in install order, one entry per installed filter.
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
