#include "wfp/kill_switch/app_permit.h"

#include <windows.h>

#include <fwpmu.h>

#include "common/fs_win.h"
#include "common/utf.h"
#include "wfp/engine/fwpm_memory.h"
#include "wfp/kill_switch/conditions.h"
#include "wfp/kill_switch/filter_table.h"

namespace qel::wfp {

Result<void> permit_app(KillSwitch& kill_switch, const std::string& path) {
    const std::wstring wide = to_wide(path);
    if (!win::is_existing_file(wide))
        return Error(fmt::format("permit-app: file does not exist: {}", path));

    FwpmMemory<FWP_BYTE_BLOB> app_id;
    if (const DWORD rc = FwpmGetAppIdFromFileName0(wide.c_str(), app_id.out()); rc != 0) {
        return Error(fmt::format("FwpmGetAppIdFromFileName0({}) rc={:#x}", path,
                                 static_cast<std::uint32_t>(rc)));
    }
    if (app_id.get() == nullptr)
        return Error("AppId blob is null");

    const FWPM_FILTER_CONDITION0 condition = app_id_condition(app_id.get());
    Result<void> added = add_filter_group(kill_switch, FilterGroup::app, path, {&condition, 1},
                                          OnFailure::attempt_rest);
    app_id.reset();
    return added;
}

}  // namespace qel::wfp
