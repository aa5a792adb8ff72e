#include "wfp/kill_switch/conditions.h"

#include "wfp/kill_switch/wfp_ids.h"

namespace qel::wfp {

FWPM_FILTER_CONDITION0 loopback_condition() {
    FWPM_FILTER_CONDITION0 c{};
    c.fieldKey = kConditionFlags;
    c.matchType = FWP_MATCH_FLAGS_ALL_SET;
    c.conditionValue.type = FWP_UINT32;
    c.conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
    return c;
}

FWPM_FILTER_CONDITION0 local_interface_condition(std::uint64_t* luid) {
    FWPM_FILTER_CONDITION0 c{};
    c.fieldKey = kConditionIpLocalInterface;
    c.matchType = FWP_MATCH_EQUAL;
    c.conditionValue.type = FWP_UINT64;
    c.conditionValue.uint64 = luid;
    return c;
}

FWPM_FILTER_CONDITION0 app_id_condition(FWP_BYTE_BLOB* app_id) {
    FWPM_FILTER_CONDITION0 c{};
    c.fieldKey = kConditionAleAppId;
    c.matchType = FWP_MATCH_EQUAL;
    c.conditionValue.type = FWP_BYTE_BLOB_TYPE;
    c.conditionValue.byteBlob = app_id;
    return c;
}

}  // namespace qel::wfp
