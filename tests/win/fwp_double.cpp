#include "fwp_double.h"

#include <stdexcept>

#include "control.h"

namespace qel::test::fwp {
namespace {

HMODULE module() {
    HMODULE m = GetModuleHandleW(L"fwpuclnt.dll");
    return m != nullptr ? m : LoadLibraryW(L"fwpuclnt.dll");
}

template <class F>
F* export_of(const char* name) {
    auto* f = reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module(), name)));
    if (f == nullptr)
        throw std::runtime_error(std::string("fwpuclnt.dll has no ") + name +
                                 ": is WINEDLLOVERRIDES=fwpuclnt=n set?");
    return f;
}
#define QEL_FWPDBL(name) export_of<decltype(::name)>(#name)

std::string text_of(std::size_t (*get)(char*, std::size_t)) {
    std::string text(get(nullptr, 0), '\0');
    text.resize(get(text.data(), text.size()));
    return text;
}

}  // namespace

bool double_loaded() {
    return GetProcAddress(module(), "qel_fwpdbl_reset") != nullptr;
}

void reset() {
    QEL_FWPDBL(qel_fwpdbl_reset)();
}

void clear_state() {
    QEL_FWPDBL(qel_fwpdbl_clear_state)();
}

void fail(const char* function, unsigned nth, DWORD code) {
    QEL_FWPDBL(qel_fwpdbl_fail)(function, nth, code);
}

void fail_after(const char* function, unsigned nth, DWORD code) {
    QEL_FWPDBL(qel_fwpdbl_fail_after)(function, nth, code);
}

void null_app_id(unsigned nth) {
    QEL_FWPDBL(qel_fwpdbl_null_app_id)(nth);
}

void pause(const char* function, unsigned nth) {
    QEL_FWPDBL(qel_fwpdbl_pause)(function, nth);
}

bool wait_paused(DWORD milliseconds) {
    return QEL_FWPDBL(qel_fwpdbl_wait_paused)(milliseconds) != FALSE;
}

void resume() {
    QEL_FWPDBL(qel_fwpdbl_resume)();
}

fwpdbl::State state() {
    return fwpdbl::parse_state(text_of(QEL_FWPDBL(qel_fwpdbl_state)));
}

std::vector<std::string> journal() {
    const std::string text = text_of(QEL_FWPDBL(qel_fwpdbl_journal));
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        lines.push_back(text.substr(start, nl - start));
        start = nl == std::string::npos ? text.size() : nl + 1;
    }
    return lines;
}

std::vector<std::string> calls() {
    std::vector<std::string> names;
    for (const std::string& line : journal())
        names.push_back(line.substr(0, line.find(' ')));
    return names;
}

}  // namespace qel::test::fwp
