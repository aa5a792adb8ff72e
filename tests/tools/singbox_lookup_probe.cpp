// singbox-lookup-probe.exe [NAME=VALUE | -NAME]...: sets (or removes) those environment
// variables, runs the sing-box lookup and prints one line, "found <path>" or "error <message>".
// The lookup tests copy it into folders of their own, since the lookup searches the folder of
// the program that runs it; the settings come as arguments because Wine gives every process
// it starts its own ProgramFiles.

#include <windows.h>
// windows.h first: shellapi.h depends on it.
#include <shellapi.h>

#include <string>

#include "common/utf.h"
#include "sandbox/config/singbox_lookup.h"

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg.starts_with(L"-")) {
            SetEnvironmentVariableW(arg.substr(1).c_str(), nullptr);
        } else if (const std::size_t eq = arg.find(L'='); eq != std::wstring::npos) {
            SetEnvironmentVariableW(arg.substr(0, eq).c_str(), arg.substr(eq + 1).c_str());
        }
    }
    LocalFree(argv);

    const qel::Result<std::wstring> found = qel::sandbox::find_singbox_exe();
    const std::string line = found ? "found " + qel::to_utf8_lossy(found.value()) + "\n"
                                   : "error " + found.error().full() + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
    return 0;
}
