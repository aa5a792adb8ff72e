#pragma once
// The keys of installed kill switches as kept on disk: the objects are neither dynamic nor
// persistent, so after a crash these keys are the only way to remove them.
//
// The file is one JSON object:
//   {"kill_switches":[{"filters":["<key>",...],"run":"<run id>","sublayer":"<key>"},...],
//    "version":1}
// with keys in the upper-case 8-4-4-4-12 form and filters in install order.

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "wfp/engine/uuid.h"

namespace qel::wfp {

struct KillSwitchRecord {
    std::string run;  // the agent process that installed it
    UuidBytes sublayer{};
    std::vector<UuidBytes> filters;

    bool operator==(const KillSwitchRecord&) const = default;
};

std::string format_records(const std::vector<KillSwitchRecord>& records);
Result<std::vector<KillSwitchRecord>> parse_records(std::string_view text);

}  // namespace qel::wfp
