#include "common/data_root.h"

#include "common/env.h"
#include "common/path_join.h"
#include "common/utf.h"

namespace qel {

std::wstring data_root() {
    const EnvValue v = read_env("PROGRAMDATA");
    std::wstring base = v.is_set() ? to_wide(v.value) : std::wstring(L"C:\\ProgramData");
    return join_path(std::move(base), std::wstring_view(L"QEL"));
}

std::wstring runtime_dir() {
    return join_path(data_root(), kRuntimeFolder);
}

std::wstring logs_dir() {
    return join_path(data_root(), kLogsFolder);
}

}  // namespace qel
