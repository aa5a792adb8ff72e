#include "wfp/controller/leftovers.h"

#include <windows.h>

#include <fwpmu.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "common/log.h"
#include "wfp/controller/record_file.h"
#include "wfp/engine/engine_handle.h"
#include "wfp/engine/fwpm_memory.h"
#include "wfp/engine/key.h"
#include "wfp/engine/wfp_engine.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_controller;
constexpr DWORD kFilterNotFound = static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND);
constexpr DWORD kSublayerNotFound = static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND);

std::string call_failed(const char* call, const GUID& key, DWORD rc) {
    return fmt::format("{}({}) rc={:#x}", call, guid_text(key), static_cast<std::uint32_t>(rc));
}

void keep_record(const KillSwitchRecord& record, const std::string& why) {
    log::warn(kLog,
              "kill-switch: could not remove what earlier agent run {} left installed: {}; "
              "keeping its record",
              record.run, why);
}

// The record file lies in a folder that other accounts may be able to write to, so a record
// alone is no licence to delete: only a sublayer of the agent's own, and only the filters
// that sit in it, are deleted. True when the record is done with.
bool remove_recorded(HANDLE engine, const KillSwitchRecord& record) {
    const GUID sublayer_key = guid_from_uuid(record.sublayer);
    {
        FwpmMemory<FWPM_SUBLAYER0> sublayer;
        const DWORD rc = FwpmSubLayerGetByKey0(engine, &sublayer_key, sublayer.out());
        if (rc == kSublayerNotFound) {
            // A sublayer cannot go while it holds filters: nothing of the record is left.
            log::info(kLog,
                      "kill-switch: what earlier agent run {} left installed is gone already "
                      "(sublayer {})",
                      record.run, guid_text(sublayer_key));
            return true;
        }
        if (rc != 0) {
            keep_record(record, call_failed("FwpmSubLayerGetByKey0", sublayer_key, rc));
            return false;
        }
        const wchar_t* name = sublayer->displayData.name;
        if (name == nullptr || std::wstring_view(name) != kSublayerName) {
            log::warn(kLog,
                      "kill-switch: the record of earlier agent run {} names sublayer {}, which "
                      "is not the agent's; dropping the record and deleting nothing",
                      record.run, guid_text(sublayer_key));
            return true;
        }
    }

    unsigned deleted = 0, gone = 0, elsewhere = 0;
    std::optional<std::string> failure;
    for (const UuidBytes& f : record.filters) {
        const GUID key = guid_from_uuid(f);
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
              "kill-switch: removed what earlier agent run {} left installed: sublayer {} and {} "
              "filters (already gone: {}; outside that sublayer, left alone: {})",
              record.run, guid_text(sublayer_key), deleted, gone, elsewhere);
    return true;
}

bool is_earlier(const KillSwitchRecord& r) {
    return r.run != this_run();
}

}  // namespace

void remove_leftovers() {
    edit_records([](std::vector<KillSwitchRecord>& records) {
        if (std::none_of(records.begin(), records.end(), is_earlier))
            return;
        Result<EngineHandle> engine = open_engine_handle();
        if (!engine) {
            log::warn(kLog,
                      "kill-switch: could not remove what earlier agent runs left installed: {}",
                      engine.error());
            return;
        }
        std::erase_if(records, [&](const KillSwitchRecord& r) {
            return is_earlier(r) && remove_recorded(engine->get(), r);
        });
    });
}

}  // namespace qel::wfp
