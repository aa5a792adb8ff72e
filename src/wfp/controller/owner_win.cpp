#include "wfp/controller/owner.h"

#include <windows.h>

#include <optional>

#include "common/win/unique_handle.h"

namespace qel::wfp {
namespace {

std::uint64_t ticks(const FILETIME& t) {
    return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

std::optional<std::uint64_t> creation_time(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return std::nullopt;
    return ticks(created);
}

}  // namespace

ProcessIdentity this_process() {
    static const ProcessIdentity self{GetCurrentProcessId(),
                                      creation_time(GetCurrentProcess()).value_or(0)};
    return self;
}

Liveness liveness(const ProcessIdentity& owner) {
    if (owner == this_process())
        return Liveness::running;
    win::UniqueHandle h(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, owner.pid));
    bool can_wait = true;
    if (!h && GetLastError() == ERROR_ACCESS_DENIED) {
        h.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.pid));
        can_wait = false;
    }
    if (!h) {
        // No process has that id any more; any other refusal means one exists.
        return GetLastError() == ERROR_INVALID_PARAMETER ? Liveness::ended : Liveness::unknown;
    }
    const std::optional<std::uint64_t> started = creation_time(h.get());
    if (!started)
        return Liveness::unknown;
    if (*started != owner.started)
        return Liveness::ended;
    // An exited process lingers while someone holds a handle to it.
    if (can_wait)
        return WaitForSingleObject(h.get(), 0) == WAIT_OBJECT_0 ? Liveness::ended
                                                                : Liveness::running;
    DWORD code = 0;
    if (GetExitCodeProcess(h.get(), &code) && code != STILL_ACTIVE)
        return Liveness::ended;
    return Liveness::running;
}

}  // namespace qel::wfp
