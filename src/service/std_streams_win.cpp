#include <windows.h>

#include "service/std_streams.h"

namespace qel::service {
namespace {

void write_all(DWORD which, std::string_view text) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return;
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written == 0) {
            return;
        }
        text.remove_prefix(written);
    }
}

}  // namespace

void write_stdout(std::string_view text) {
    write_all(STD_OUTPUT_HANDLE, text);
}
void write_stderr(std::string_view text) {
    write_all(STD_ERROR_HANDLE, text);
}

}  // namespace qel::service
