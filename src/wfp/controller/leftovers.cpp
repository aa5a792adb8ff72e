#include "wfp/controller/leftovers.h"

#include <windows.h>

#include <fwpmu.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "common/log.h"
#include "wfp/controller/record_file.h"
#include "wfp/engine/fwpm_memory.h"
#include "wfp/engine/key.h"
#include "wfp/engine/wfp_engine.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_controller;
constexpr DWORD kFilterNotFound = static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND);
constexpr DWORD kSublayerNotFound = static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND);

enum class Verdict {
    remove,   // its owner ended, or let it go: delete what it names
    keep,     // its owner runs, or may run: touch nothing of it
    if_gone,  // no owner is known: drop it only when its sublayer is gone
};

Verdict verdict_of(const KillSwitchRecord& r) {
    if (!r.owner)
        return Verdict::if_gone;
    if (r.released)
        return Verdict::remove;
    return liveness(*r.owner) == Liveness::ended ? Verdict::remove : Verdict::keep;
}

// What records that must not be acted on name: nothing of it is deleted for another record.
struct Protected {
    std::set<UuidBytes> sublayers;
    std::set<UuidBytes> filters;
};

std::string call_failed(const char* call, const GUID& key, DWORD rc) {
    return fmt::format("{}({}) rc={:#x}", call, guid_text(key), static_cast<std::uint32_t>(rc));
}

void keep_record(const KillSwitchRecord& record, const std::string& why) {
    log::warn(kLog,
              "kill-switch: could not remove what agent run {} left installed: {}; keeping its "
              "record",
              record.run, why);
}

enum class Lookup {
    ours,    // a sublayer of the agent's own
    done,    // gone already, or not the agent's: nothing of the record is to be deleted
    failed,  // the lookup itself failed: try again another time
};

// Looks up the sublayer that a record names; what makes the record done with is logged here,
// a failed lookup by the caller.
Lookup look_up_sublayer(HANDLE engine, const KillSwitchRecord& record, std::string& failure) {
    const GUID key = guid_from_uuid(record.sublayer);
    FwpmMemory<FWPM_SUBLAYER0> sublayer;
    const DWORD rc = FwpmSubLayerGetByKey0(engine, &key, sublayer.out());
    if (rc == kSublayerNotFound) {
        // A sublayer cannot go while it holds filters: nothing of the record is left.
        log::info(kLog,
                  "kill-switch: what agent run {} left installed is gone already (sublayer {})",
                  record.run, guid_text(key));
        return Lookup::done;
    }
    if (rc != 0) {
        failure = call_failed("FwpmSubLayerGetByKey0", key, rc);
        return Lookup::failed;
    }
    const wchar_t* name = sublayer->displayData.name;
    if (name == nullptr || std::wstring_view(name) != kSublayerName) {
        log::warn(kLog,
                  "kill-switch: the record of agent run {} names sublayer {}, which is not the "
                  "agent's; dropping the record and deleting nothing",
                  record.run, guid_text(key));
        return Lookup::done;
    }
    return Lookup::ours;
}

// A record of an earlier agent without an owner: true once nothing of it is left to protect.
bool is_gone(HANDLE engine, const KillSwitchRecord& record) {
    std::string failure;
    return look_up_sublayer(engine, record, failure) == Lookup::done;
}

// The record file lies in a folder that other accounts may be able to write to, so a record
// alone is no licence to delete: only a sublayer of the agent's own, and only the filters
// that sit in it, are deleted, and nothing that a record of a live agent names. True when the
// record is done with.
bool remove_recorded(HANDLE engine, const KillSwitchRecord& record, const Protected& live) {
    const GUID sublayer_key = guid_from_uuid(record.sublayer);
    if (live.sublayers.contains(record.sublayer)) {
        log::warn(kLog,
                  "kill-switch: the record of agent run {} names sublayer {}, which a running "
                  "agent's record names too; dropping the record and deleting nothing",
                  record.run, guid_text(sublayer_key));
        return true;
    }
    std::string lookup_failure;
    switch (look_up_sublayer(engine, record, lookup_failure)) {
        case Lookup::done:
            return true;
        case Lookup::failed:
            keep_record(record, lookup_failure);
            return false;
        case Lookup::ours:
            break;
    }

    unsigned deleted = 0, gone = 0, elsewhere = 0;
    std::optional<std::string> failure;
    for (const UuidBytes& f : record.filters) {
        const GUID key = guid_from_uuid(f);
        if (live.filters.contains(f)) {
            ++elsewhere;
            continue;
        }
        FwpmMemory<FWPM_FILTER0> filter;
        DWORD rc = FwpmFilterGetByKey0(engine, &key, filter.out());
        if (rc == kFilterNotFound) {
            ++gone;
            continue;
        }
        if (rc == 0 && !IsEqualGUID(filter->subLayerKey, sublayer_key)) {
            ++elsewhere;
            continue;
        }
        if (rc == 0)
            rc = FwpmFilterDeleteByKey0(engine, &key);
        if (rc == 0)
            ++deleted;
        else if (rc == kFilterNotFound)
            ++gone;
        else if (!failure)
            failure = call_failed("FwpmFilterDeleteByKey0", key, rc);
    }
    if (failure) {
        keep_record(record, *failure);
        return false;
    }
    if (const DWORD rc = FwpmSubLayerDeleteByKey0(engine, &sublayer_key);
        rc != 0 && rc != kSublayerNotFound) {
        keep_record(record, call_failed("FwpmSubLayerDeleteByKey0", sublayer_key, rc));
        return false;
    }
    log::info(kLog,
              "kill-switch: removed what agent run {} left installed: sublayer {} and {} filters "
              "(already gone: {}; outside that sublayer, left alone: {})",
              record.run, guid_text(sublayer_key), deleted, gone, elsewhere);
    return true;
}

}  // namespace

void remove_leftovers() {
    edit_records(
        [](std::vector<KillSwitchRecord>& records) {
            std::vector<Verdict> verdicts;
            Protected live;
            for (const KillSwitchRecord& r : records) {
                verdicts.push_back(verdict_of(r));
                if (verdicts.back() != Verdict::remove) {
                    live.sublayers.insert(r.sublayer);
                    live.filters.insert(r.filters.begin(), r.filters.end());
                }
            }
            if (std::none_of(verdicts.begin(), verdicts.end(),
                             [](Verdict v) { return v != Verdict::keep; })) {
                return;
            }
            Result<EngineHandle> engine = open_engine_handle();
            if (!engine) {
                log::warn(kLog,
                          "kill-switch: could not remove what earlier agent runs left installed: "
                          "{}",
                          engine.error());
                return;
            }
            std::vector<KillSwitchRecord> kept;
            for (std::size_t i = 0; i < records.size(); ++i) {
                const KillSwitchRecord& r = records[i];
                bool done = false;
                if (verdicts[i] == Verdict::remove)
                    done = remove_recorded(engine->get(), r, live);
                else if (verdicts[i] == Verdict::if_gone)
                    done = is_gone(engine->get(), r);
                if (!done)
                    kept.push_back(r);
            }
            records = std::move(kept);
        },
        /*create=*/false);
}

}  // namespace qel::wfp
