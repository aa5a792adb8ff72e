#pragma once
// The keys of installed kill switches as kept on disk: the objects are neither dynamic nor
// persistent, so after a crash these keys are the only way to remove them.
//
// The file is one JSON object:
//   {"kill_switches":[{"filters":["<key>",...],"owner":{"pid":N,"started":T},
//                      "released":false,"run":"<run id>","sublayer":"<key>"},...],
//    "version":2}
// with keys in the upper-case 8-4-4-4-12 form and filters in install order. An entry is
// written before the sublayer it names is added, with every key the engage may use, and
// narrowed to the installed filters once the engage is done. "released" means that its owner
// has let the kill switch go and these objects are what its teardown could not delete.
// Files of version 1 have entries without "owner" and "released"; such an entry keeps
// "owner":null when it is written again.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "wfp/controller/owner.h"
#include "wfp/engine/uuid.h"

namespace qel::wfp {

struct KillSwitchRecord {
    std::string run;                       // the agent run that installed it
    std::optional<ProcessIdentity> owner;  // absent in entries of version 1
    bool released = false;
    UuidBytes sublayer{};
    std::vector<UuidBytes> filters;

    bool operator==(const KillSwitchRecord&) const = default;
};

std::string format_records(const std::vector<KillSwitchRecord>& records);
Result<std::vector<KillSwitchRecord>> parse_records(std::string_view text);

}  // namespace qel::wfp
