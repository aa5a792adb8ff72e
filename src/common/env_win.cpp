#include <windows.h>

#include <string>

#include "common/env.h"
#include "common/utf.h"

namespace qel {

EnvValue read_env(const char* name) {
    const std::wstring wname = to_wide(name);
    std::wstring buf(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n =
            GetEnvironmentVariableW(wname.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return {};
            return {EnvValue::State::set, {}};  // set but empty
        }
        if (n < buf.size()) {
            buf.resize(n);
            break;
        }
        buf.resize(n);
    }
    auto utf8 = to_utf8(buf);
    if (!utf8)
        return {EnvValue::State::invalid_unicode, {}};
    return {EnvValue::State::set, std::move(*utf8)};
}

}  // namespace qel
