#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
#endif

#include "log_capture.h"

#if defined(_WIN32)
namespace {

// Wine hands a crash to its debugger, which prints a backtrace and then lets the process end
// with status 0: the test run would pass. A crash ends the tests with a failure instead.
LONG WINAPI fail_on_crash(EXCEPTION_POINTERS* e) {
    std::fprintf(stderr, "test program crashed: exception 0x%08lx at %p\n",
                 e->ExceptionRecord->ExceptionCode, e->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    SetUnhandledExceptionFilter(fail_on_crash);
#endif
    testing::InitGoogleTest(&argc, argv);
    qel::test::install_log_capture();
    return RUN_ALL_TESTS();
}
