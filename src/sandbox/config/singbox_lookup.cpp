#include "sandbox/config/singbox_lookup.h"

#include <windows.h>

#include <vector>

#include "common/debug_quote.h"
#include "common/env.h"
#include "common/path_join.h"
#include "common/utf.h"
#include "common/win/files.h"

namespace qel::sandbox {
namespace {

std::optional<std::wstring> own_folder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::nullopt;
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    // The parent: everything before the last separator, kept with its separator when it is
    // a drive's root ("C:\").
    const std::size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos)
        return std::nullopt;
    if (sep == 2 && path[1] == L':')
        return path.substr(0, 3);
    return path.substr(0, sep);
}

}  // namespace

Result<std::wstring> find_singbox_exe() {
    const EnvValue override_path = read_env("QEL_SINGBOX_EXE");
    if (override_path.is_set()) {
        std::wstring p = to_wide(override_path.value);
        if (win::is_existing_file(p))
            return p;
    }

    std::vector<std::wstring> candidates;
    if (auto folder = own_folder()) {
        candidates.push_back(join_path(std::move(*folder), std::wstring_view(L"sing-box.exe")));
    }
    const EnvValue program_files = read_env("ProgramFiles");
    if (program_files.is_set()) {
        std::wstring p = join_path(to_wide(program_files.value), std::wstring_view(L"QEL"));
        p = join_path(std::move(p), std::wstring_view(L"bin"));
        candidates.push_back(join_path(std::move(p), std::wstring_view(L"sing-box.exe")));
    }
    for (const std::wstring& c : candidates) {
        if (win::is_existing_file(c))
            return c;
    }

    std::string list = "[";
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i)
            list += ", ";
        list += debug_quote(as_u16(candidates[i]));
    }
    list += "]";
    return Error("sing-box.exe not found; searched: QEL_SINGBOX_EXE, " + list);
}

}  // namespace qel::sandbox
