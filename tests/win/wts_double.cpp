#include "wts_double.h"

namespace qel::test {
namespace {

template <class Fn>
bool resolve(HMODULE module, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return out != nullptr;
}

}  // namespace

std::optional<WtsDouble> WtsDouble::find() {
    HMODULE module = GetModuleHandleW(L"wtsapi32.dll");
    if (!module)
        return std::nullopt;
    WtsDouble d;
    const bool all = resolve(module, wts::kSetSessions, d.set_sessions_) &&
                     resolve(module, wts::kSetQueryFail, d.set_query_fail_) &&
                     resolve(module, wts::kSetEnumFail, d.set_enum_fail_) &&
                     resolve(module, wts::kReset, d.reset_) &&
                     resolve(module, wts::kCallCount, d.call_count_) &&
                     resolve(module, wts::kLiveAllocations, d.live_allocations_) &&
                     resolve(module, wts::kBadFrees, d.bad_frees_) &&
                     resolve(module, wts::kLastUserToken, d.last_user_token_);
    if (!all)
        return std::nullopt;
    return d;
}

}  // namespace qel::test
