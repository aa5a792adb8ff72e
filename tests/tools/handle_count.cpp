#include "handle_count.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace qel::tools {

long handle_count_of(DWORD pid) {
    struct Entry {
        ULONG owner_pid;
        BYTE object_type, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<std::byte> buf(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG st = query(16 /* SystemHandleInformation */, buf.data(),
                              static_cast<ULONG>(buf.size()), &needed);
        if (st == static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
            buf.resize(std::max<std::size_t>(buf.size() * 2, needed));
            continue;
        }
        if (st < 0)
            return -1;
        break;
    }
    const ULONG count = *reinterpret_cast<const ULONG*>(buf.data());
    const auto* entries = reinterpret_cast<const Entry*>(buf.data() + sizeof(void*));
    long n = 0;
    for (ULONG i = 0; i < count; ++i)
        n += entries[i].owner_pid == pid;
    return n;
}

}  // namespace qel::tools
