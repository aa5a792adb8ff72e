#pragma once
// The keys of installed kill switches as kept on disk: the objects are neither dynamic nor
// persistent, so after a crash these keys are the only way to remove them.
//
// The file is one JSON object:
//   {"kill_switches":[{"filters":["<key>",...],"owner":{"pid":N,"started":T},
//                      "released":false,"run":"<run id>","sublayer":"<key>"},...],
//    "version":2}
// with keys in the upper-case 8-4-4-4-12 form and filters in the order their keys were
// handed out. An entry is written before the sublayer it names is added, with every key the
// engage may use, and narrowed once the engage is done to the keys that were handed to a
// filter add (an add that reported failure may still have gone in). "released" means that its
// owner has let the kill switch go and these objects are what its teardown could not confirm
// gone. Files of version 1 have entries without "owner" and "released"; such an entry keeps
// "owner":null when it is written again. A file whose version is a whole number above 2 is a
// later agent's.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
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

// A file that a later agent wrote in a format of its own: this agent neither reads it nor
// changes it, lest it lose that agent's entries.
struct LaterVersion {
    std::string version;  // the "version" member as JSON text

    bool operator==(const LaterVersion&) const = default;
};

// What a record file that is not corrupt holds.
using ParsedRecords = std::variant<std::vector<KillSwitchRecord>, LaterVersion>;

std::string format_records(const std::vector<KillSwitchRecord>& records);

// An error when the text is corrupt: not JSON, not an object, a "version" that is missing or
// neither 1, 2 nor a whole number above 2, or a document of version 1 or 2 whose content is
// malformed. A whole number above 2 is a LaterVersion, whatever else the text holds.
Result<ParsedRecords> parse_records(std::string_view text);

}  // namespace qel::wfp
