#pragma once
// The one condition of each permit. The records point to values the caller keeps alive for
// as long as the filters are being added.

#include <windows.h>

#include <fwpmu.h>

#include <cstdint>

namespace qel::wfp {

// Loopback traffic: the flags field with FWP_CONDITION_FLAG_IS_LOOPBACK set.
FWPM_FILTER_CONDITION0 loopback_condition();
// Traffic leaving through the interface whose NET_LUID value the cell holds.
FWPM_FILTER_CONDITION0 local_interface_condition(std::uint64_t* luid);
// Traffic of the program with this application id.
FWPM_FILTER_CONDITION0 app_id_condition(FWP_BYTE_BLOB* app_id);

}  // namespace qel::wfp
