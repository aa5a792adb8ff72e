// An empty Windows program that imports the same system DLLs as the agent: the share of the
// agent's start-up that is the platform loading them.

#include <windows.h>
#include <winsock2.h>
// windows.h first: the other Windows headers depend on it.
#include <bcrypt.h>
#include <fwpmu.h>
#include <iphlpapi.h>
#include <mswsock.h>
#include <oleauto.h>
#include <rpc.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wtsapi32.h>

// Referenced, never called: only the imports matter.
const void* const kImports[] = {
    reinterpret_cast<const void*>(&RegCloseKey),
    reinterpret_cast<const void*>(&BCryptGenRandom),
    reinterpret_cast<const void*>(&FwpmEngineClose0),
    reinterpret_cast<const void*>(&ConvertInterfaceAliasToLuid),
    reinterpret_cast<const void*>(&WSAStartup),
    reinterpret_cast<const void*>(&AcceptEx),
    reinterpret_cast<const void*>(&UuidCreate),
    reinterpret_cast<const void*>(&CoTaskMemFree),
    reinterpret_cast<const void*>(&SysFreeString),
    reinterpret_cast<const void*>(&CommandLineToArgvW),
    reinterpret_cast<const void*>(&WTSFreeMemory),
};

// An index the compiler cannot know keeps every entry, and so every import, in the program.
int main(int argc, char**) {
    return kImports[static_cast<unsigned>(argc) % (sizeof kImports / sizeof kImports[0])] ==
           nullptr;
}
