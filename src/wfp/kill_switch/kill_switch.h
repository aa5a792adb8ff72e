#pragma once
// The kill switch: every outgoing connection blocked except loopback and, when known, the
// tunnel's interface and the tunnel program, as filters in a sublayer of its own.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "wfp/engine/wfp_engine.h"

namespace qel::wfp {

// The cell the tunnel-interface permits point to.
using LuidCell = std::unique_ptr<std::uint64_t>;

// What a release could not confirm gone: those objects may stay installed and keep blocking.
struct Remains {
    bool sublayer = false;
    // While the sublayer may still exist, in the order their keys were handed out: the
    // installed filters whose delete failed, and every filter whose add reported failure (no
    // delete is tried for those). Empty once the sublayer is deleted, which the engine refuses
    // while a filter is in it.
    std::vector<GUID> filters;

    bool empty() const { return !sublayer && filters.empty(); }
};

// Told once, right after the engine was released, what may have stayed installed.
using ReleaseHook = std::function<void(const Remains&)>;

// One kill switch and everything it must release. Built only by install_kill_switch; its
// destruction is its one release: the installed filters are deleted in install
// order, "kill-switch disengaged" is written, the engine is released, the hook learns what
// remains, and only then are the lists and cells freed.
struct KillSwitch {
    KillSwitch(WfpEngine engine, std::optional<std::string> app_path, ReleaseHook on_released);
    KillSwitch(const KillSwitch&) = delete;
    KillSwitch& operator=(const KillSwitch&) = delete;
    ~KillSwitch();

    FilterTarget filter_target() { return {engine, filter_keys, weights}; }

    WfpEngine engine;
    std::vector<GUID> filter_keys;
    std::optional<std::string> app_path;  // kept for the kill switch's life; nothing reads it
    std::vector<WeightCell> weights;
    std::vector<LuidCell> luids;  // one cell when both tunnel-interface permits went in
    ReleaseHook on_released;
};

// Takes the engine over. On error everything made so far has been released again (and the
// hook has been told what of it remains).
Result<std::unique_ptr<KillSwitch>> install_kill_switch(WfpEngine engine,
                                                        std::optional<std::string> app_path,
                                                        std::optional<std::string> tun_alias,
                                                        ReleaseHook on_released = {});

// The NET_LUID value of the interface with this alias.
Result<std::uint64_t> resolve_tun_alias(const std::string& alias);

// The error that stands for a failed lookup in the fallback warning.
Error map_tun_alias_error(const std::string& alias, const Error& error);

}  // namespace qel::wfp
