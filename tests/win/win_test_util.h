#pragma once
// Helpers for the Windows-only tests, which run in-process under Wine.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace qel::test {

// Sets (or, with nothing, removes) an environment variable for the test's lifetime.
class ScopedEnv {
  public:
    ScopedEnv(const wchar_t* name, std::optional<std::wstring> value);
    ~ScopedEnv();

  private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

// Runs f with standard error redirected, and returns what it wrote there.
std::string capture_stderr(const std::function<void()>& f);

// The handles this process holds, from the system's handle table (Wine answers
// GetProcessHandleCount with 0).
long own_handle_count();

// Gives a file or folder the DACL of an SDDL text ("D:(A;OICI;FA;;;WD)"); true on success.
bool set_dacl(const std::wstring& path, const wchar_t* sddl);

// The folder of the running test program.
std::wstring program_folder();

// A fresh folder under the temporary folder, removed afterwards.
class WinTempDir {
  public:
    WinTempDir();
    ~WinTempDir();
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
};

}  // namespace qel::test
