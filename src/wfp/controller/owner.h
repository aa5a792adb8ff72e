#pragma once
// The agent process that owns a kill switch's record, named so that another process can tell
// whether it still runs: a process id alone may have been given to a later process.

#include <cstdint>

namespace qel::wfp {

struct ProcessIdentity {
    std::uint32_t pid = 0;
    std::uint64_t started = 0;  // creation time, in 100-nanosecond units since 1601 (UTC)

    bool operator==(const ProcessIdentity&) const = default;
};

// This process.
ProcessIdentity this_process();

enum class Liveness {
    running,
    ended,    // gone, exited, or its id now belongs to a process started at another time
    unknown,  // it exists but cannot be examined: treated as running
};

Liveness liveness(const ProcessIdentity& owner);

}  // namespace qel::wfp
