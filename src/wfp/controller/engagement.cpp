#include "wfp/controller/engagement.h"

#include <algorithm>

#include "wfp/controller/record_file.h"
#include "wfp/engine/key.h"
#include "wfp/kill_switch/kill_switch.h"

namespace qel::wfp {

Engagement::Engagement(std::unique_ptr<KillSwitch> kill_switch)
    : kill_switch_(std::move(kill_switch)) {
    KillSwitchRecord record{this_run(), uuid_of(kill_switch_->engine.sublayer_key()), {}};
    for (const GUID& key : kill_switch_->filter_keys)
        record.filters.push_back(uuid_of(key));
    edit_records([&](std::vector<KillSwitchRecord>& records) { records.push_back(record); });
}

Engagement::~Engagement() {
    const UuidBytes sublayer = uuid_of(kill_switch_->engine.sublayer_key());
    uninstall_kill_switch(std::move(kill_switch_));
    edit_records([&](std::vector<KillSwitchRecord>& records) {
        std::erase_if(records, [&](const KillSwitchRecord& r) {
            return r.run == this_run() && r.sublayer == sublayer;
        });
    });
}

}  // namespace qel::wfp
