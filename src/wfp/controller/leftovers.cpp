#include "wfp/controller/leftovers.h"

#include <windows.h>

#include <fwpmu.h>

#include <algorithm>
#include <optional>
#include <string>

#include "common/log.h"
#include "wfp/controller/record_file.h"
#include "wfp/engine/engine_handle.h"
#include "wfp/engine/key.h"

namespace qel::wfp {
namespace {

constexpr auto kLog = log::Target::wfp_controller;

struct Tally {
    unsigned gone = 0;
    std::optional<std::string> failure;

    void count(const char* call, const GUID& key, DWORD rc, DWORD not_found) {
        if (rc == 0)
            return;
        if (rc == not_found)
            ++gone;
        else if (!failure)
            failure = fmt::format("{}({}) rc={:#x}", call, guid_text(key),
                                  static_cast<std::uint32_t>(rc));
    }
};

// True when nothing of the record is left installed.
bool remove_recorded(HANDLE engine, const KillSwitchRecord& record) {
    Tally tally;
    for (const UuidBytes& f : record.filters) {
        const GUID key = guid_from_uuid(f);
        tally.count("FwpmFilterDeleteByKey0", key, FwpmFilterDeleteByKey0(engine, &key),
                    static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND));
    }
    const GUID sublayer = guid_from_uuid(record.sublayer);
    tally.count("FwpmSubLayerDeleteByKey0", sublayer, FwpmSubLayerDeleteByKey0(engine, &sublayer),
                static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND));
    if (tally.failure) {
        log::warn(kLog,
                  "kill-switch: could not remove what earlier agent run {} left installed: {}; "
                  "keeping its record",
                  record.run, *tally.failure);
        return false;
    }
    log::info(kLog,
              "kill-switch: removed what earlier agent run {} left installed: sublayer {} and {} "
              "filters (already gone: {})",
              record.run, uuid_text(record.sublayer), record.filters.size(), tally.gone);
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
