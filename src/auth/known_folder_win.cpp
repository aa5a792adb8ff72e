#include "auth/known_folder_win.h"

#include <oleauto.h>
#include <shlobj.h>

#include <fmt/format.h>

#include "common/utf.h"
#include "common/win/owned.h"
#include "common/win_error.h"

namespace qel::auth {
namespace {

void release_com(IUnknown* p) {
    p->Release();
}

// The thread's error information, where a failing call left some, describes an HRESULT
// better than the generic system text.
std::string hresult_error_text(HRESULT hr) {
    win::Owned<IErrorInfo*, release_com> info;
    std::string description;
    if (GetErrorInfo(0, info.out()) == S_OK && info) {
        win::Owned<BSTR, SysFreeString> text;
        if (SUCCEEDED(info->GetDescription(text.out())) && text) {
            std::wstring_view w(text.get(), SysStringLen(text.get()));
            while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' '))
                w.remove_suffix(1);
            description = to_utf8_lossy(w);
        }
    }
    if (description.empty())
        return win::hresult_text(hr);
    return fmt::format("{} (0x{:08X})", description, static_cast<std::uint32_t>(hr));
}

}  // namespace

Result<std::wstring> local_app_data(HANDLE user_token) {
    // The string is ours to free even when the call fails.
    win::CoTaskMemory<wchar_t> path;
    const HRESULT hr =
        SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, user_token, path.out());
    if (FAILED(hr))
        return Error(fmt::format("SHGetKnownFolderPath: {}", hresult_error_text(hr)));
    return std::wstring(path.get());
}

}  // namespace qel::auth
