#include "wfp/kill_switch/filter_table.h"

#include <optional>
#include <string>

namespace qel::wfp {

Result<void> add_filter_group(KillSwitch& kill_switch, FilterGroup group, std::string_view subject,
                              std::span<const FWPM_FILTER_CONDITION0> conditions,
                              OnFailure on_failure) {
    std::optional<Error> first;
    for (const FilterRow& row : kFilterTable) {
        if (row.group != group)
            continue;
        std::string name(row.name);
        name.append(subject);
        Result<void> r = add_wfp_filter(kill_switch.filter_target(), name, *row.layer, row.action,
                                        row.weight, conditions);
        if (r || first)
            continue;
        first = std::move(r).error();
        if (on_failure == OnFailure::stop)
            break;
    }
    if (first)
        return std::move(*first);
    return {};
}

}  // namespace qel::wfp
