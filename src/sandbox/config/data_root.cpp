#include "sandbox/config/data_root.h"

#include "common/env.h"
#include "common/path_join.h"
#include "common/utf.h"

namespace qel::sandbox {

std::wstring data_root() {
    const EnvValue v = read_env("PROGRAMDATA");
    std::wstring base = v.is_set() ? to_wide(v.value) : std::wstring(L"C:\\ProgramData");
    return join_path(std::move(base), std::wstring_view(L"QEL"));
}

std::wstring runtime_dir() {
    return join_path(data_root(), std::wstring_view(L"runtime"));
}

std::wstring config_path() {
    return join_path(runtime_dir(), std::wstring_view(L"config.json"));
}

}  // namespace qel::sandbox
