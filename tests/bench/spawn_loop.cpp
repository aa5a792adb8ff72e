// qel-spawn-loop.exe: starts the stand-in sing-box again and again with exactly the calls the
// agent makes, and counts the failures of each call with their codes. It tells which call an
// intermittent start failure comes from, and whether the agent's own calls around
// CreateProcessW have any part in it.
//
//   qel-spawn-loop --exe PATH [--n N] [--run-ms M] [--no-hold] [--bare] [--running]
//                  [--share-read-only]
//
//   --exe PATH          the program to start with "run -c <config>" (a "{}" configuration in a
//                       fresh temporary folder)
//   --n N               starts (default 1000)
//   --run-ms M          how long each child runs before it is terminated (default 0)
//   --no-hold           no NtCreateFile hold of the program around CreateProcessW
//   --bare              CreateProcessW without what the agent adds: no output pipes, no
//                       inherited handles, no attribute list, no hold (the job binding stays)
//   --running           created running and bound to its job afterwards (as the agent did
//                       before it created sing-box suspended), instead of suspended, bound,
//                       resumed
//   --share-read-only   the hold shares read only (as the agent did before), not read and delete
//
// Each start: the two output pipes, the hold, CreateProcessW, the job binding and the resume,
// the wait of --run-ms, then TerminateProcess and the wait for the end. A failed step ends that
// start (what it made is closed) and the loop goes on. Every failure prints one line with the
// start's number, the call, GetLastError() and, for NtCreateFile, the NTSTATUS; the summary
// counts them per call and code. Exit code: 0 when every start succeeded, 1 otherwise.

#include <windows.h>
// windows.h first: the others build on it.
#include <shellapi.h>
#include <winternl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// A kernel handle, closed with its owner.
class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    Handle& operator=(Handle&& o) noexcept {
        std::swap(h_, o.h_);
        return *this;
    }
    ~Handle() {
        if (h_)
            CloseHandle(h_);
    }
    HANDLE get() const { return h_; }
    HANDLE* out() { return &h_; }
    explicit operator bool() const { return h_ != nullptr; }

  private:
    HANDLE h_ = nullptr;
};

struct Options {
    std::wstring exe;
    int n = 1000;
    DWORD run_ms = 0;
    bool hold = true, bare = false, suspended = true, share_delete = true;
};

// Failures per call and code, in a stable order for the summary.
struct Tally {
    std::map<std::pair<std::string, std::string>, int> failures;
    int ok = 0;

    void fail(int i, const std::string& call, const std::string& code) {
        ++failures[{call, code}];
        std::printf("start %d: %s failed: %s\n", i, call.c_str(), code.c_str());
        std::fflush(stdout);
    }
};

std::string last_error() {
    return "GetLastError " + std::to_string(GetLastError());
}

std::string ntstatus(NTSTATUS s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "NTSTATUS 0x%08lX (Win32 %lu)", static_cast<unsigned long>(s),
                  RtlNtStatusToDosError(s));
    return buf;
}

struct OutputPipe {
    Handle read_end, write_end;
};

// As the agent makes each of sing-box's output pipes.
bool make_output_pipe(int i, Tally& t, OutputPipe& pipe) {
    static unsigned counter = 0;
    const std::wstring name = L"\\\\.\\pipe\\qel-agent-child-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount64());
    pipe.read_end = Handle(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, nullptr));
    if (!pipe.read_end) {
        t.fail(i, "CreateNamedPipeW", last_error());
        return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    pipe.write_end = Handle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pipe.write_end) {
        t.fail(i, "CreateFileW(pipe)", last_error());
        return false;
    }
    return true;
}

// As the agent holds the program around CreateProcessW: NtCreateFile on the NT form of the
// full path, read and execute, not waiting for an oplock.
bool hold_program(int i, Tally& t, const Options& o, Handle& held) {
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(o.exe.c_str(), MAX_PATH, full, nullptr)) {
        t.fail(i, "GetFullPathNameW", last_error());
        return false;
    }
    std::wstring nt = std::wstring(L"\\??\\") + full;
    UNICODE_STRING name{};
    name.Buffer = nt.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(nt.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    const ULONG share = FILE_SHARE_READ | (o.share_delete ? FILE_SHARE_DELETE : 0);
    const NTSTATUS s =
        NtCreateFile(held.out(), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | SYNCHRONIZE,
                     &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN,
                     FILE_COMPLETE_IF_OPLOCKED | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (s < 0) {
        t.fail(i, "NtCreateFile(hold)", ntstatus(s));
        return false;
    }
    return true;
}

// As the agent binds sing-box to a kill-on-close job.
bool bind_job(int i, Tally& t, DWORD pid, Handle& job) {
    job = Handle(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        t.fail(i, "CreateJobObjectW", last_error());
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        t.fail(i, "SetInformationJobObject", last_error());
        return false;
    }
    Handle process(OpenProcess(PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, pid));
    if (!process) {
        t.fail(i, "OpenProcess", last_error());
        return false;
    }
    if (!AssignProcessToJobObject(job.get(), process.get())) {
        t.fail(i, "AssignProcessToJobObject", last_error());
        return false;
    }
    return true;
}

void one_start(int i, Tally& t, const Options& o, std::wstring cmd) {
    OutputPipe out, err;
    Handle input;
    Handle held;
    std::vector<std::byte> attr_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST attrs = nullptr;
    HANDLE inherited[3] = {};
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = o.bare ? sizeof(si.StartupInfo) : sizeof(si);
    DWORD flags = o.suspended ? CREATE_SUSPENDED : 0;

    if (!o.bare) {
        if (!make_output_pipe(i, t, out) || !make_output_pipe(i, t, err))
            return;
        HANDLE std_in = GetStdHandle(STD_INPUT_HANDLE);
        if (std_in && std_in != INVALID_HANDLE_VALUE &&
            !DuplicateHandle(GetCurrentProcess(), std_in, GetCurrentProcess(), input.out(), 0, TRUE,
                             DUPLICATE_SAME_ACCESS)) {
            input = Handle();
        }
        if (o.hold && !hold_program(i, t, o, held))
            return;
        inherited[0] = out.write_end.get();
        inherited[1] = err.write_end.get();
        inherited[2] = input.get();
        const DWORD inherited_count = input ? 3 : 2;
        SIZE_T attr_size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
        attr_storage.resize(attr_size);
        attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_storage.data());
        if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size)) {
            t.fail(i, "InitializeProcThreadAttributeList", last_error());
            return;
        }
        if (UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      inherited_count * sizeof(HANDLE), nullptr, nullptr)) {
            flags |= EXTENDED_STARTUPINFO_PRESENT;
            si.lpAttributeList = attrs;
        } else {
            t.fail(i, "UpdateProcThreadAttribute", last_error());  // the agent goes on without
        }
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = input.get();
        si.StartupInfo.hStdOutput = out.write_end.get();
        si.StartupInfo.hStdError = err.write_end.get();
    }

    PROCESS_INFORMATION pi{};
    const BOOL created = CreateProcessW(o.exe.c_str(), cmd.data(), nullptr, nullptr, !o.bare, flags,
                                        nullptr, nullptr, &si.StartupInfo, &pi);
    const DWORD create_error = GetLastError();
    held = Handle();
    if (attrs)
        DeleteProcThreadAttributeList(attrs);
    if (!created) {
        t.fail(i, "CreateProcessW", "GetLastError " + std::to_string(create_error));
        return;
    }
    Handle process(pi.hProcess), thread(pi.hThread);
    out.write_end = Handle();
    err.write_end = Handle();

    Handle job;
    bool ok = bind_job(i, t, pi.dwProcessId, job);
    if (o.suspended && ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        t.fail(i, "ResumeThread", last_error());
        ok = false;
    }
    if (o.run_ms)
        Sleep(o.run_ms);

    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        t.fail(i, "child (ended by itself)", "exit code " + std::to_string(code));
        ok = false;
    } else if (!TerminateProcess(process.get(), 1)) {
        t.fail(i, "TerminateProcess", last_error());
        ok = false;
    }
    if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
        t.fail(i, "WaitForSingleObject(process)", last_error());
        ok = false;
    }
    if (ok)
        ++t.ok;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == L"--exe" && has_value) {
            o.exe = argv[++i];
        } else if (a == L"--n" && has_value) {
            o.n = std::stoi(argv[++i]);
        } else if (a == L"--run-ms" && has_value) {
            o.run_ms = static_cast<DWORD>(std::stoul(argv[++i]));
        } else if (a == L"--no-hold") {
            o.hold = false;
        } else if (a == L"--bare") {
            o.bare = true;
            o.hold = false;
        } else if (a == L"--running") {
            o.suspended = false;
        } else if (a == L"--share-read-only") {
            o.share_delete = false;
        } else {
            std::fprintf(stderr,
                         "usage: qel-spawn-loop --exe PATH [--n N] [--run-ms M] "
                         "[--no-hold] [--bare] [--running] [--share-read-only]\n");
            return 2;
        }
    }
    if (o.exe.empty()) {
        std::fprintf(stderr, "qel-spawn-loop: --exe is missing\n");
        return 2;
    }

    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    const std::filesystem::path folder =
        std::filesystem::path(tmp) / ("qel-spawn-loop-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path config = folder / "config.json";
    std::ofstream(config, std::ios::binary) << "{}";
    std::wstring cmd = L"\"" + o.exe + L"\" run -c \"" + config.wstring() + L"\"";

    std::printf(
        "%d starts of %ls: %s, %s, %s, run %lu ms\n", o.n, o.exe.c_str(),
        o.bare ? "bare CreateProcessW" : "pipes and handle list",
        !o.hold ? "no hold" : (o.share_delete ? "hold sharing read+delete" : "hold sharing read"),
        o.suspended ? "suspended, bound, resumed" : "running, then bound",
        static_cast<unsigned long>(o.run_ms));
    std::fflush(stdout);
    Tally t;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i <= o.n; ++i)
        one_start(i, t, o, cmd);
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::printf("summary: %d of %d starts ok in %.0f s (%.1f ms each)\n", t.ok, o.n, secs,
                secs * 1000 / o.n);
    for (const auto& [key, count] : t.failures)
        std::printf("  %s: %s: %d\n", key.first.c_str(), key.second.c_str(), count);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return t.ok == o.n ? 0 : 1;
}
