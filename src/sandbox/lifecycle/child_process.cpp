#include "sandbox/lifecycle/child_process.h"

#include <windows.h>

#include <fmt/format.h>

#include <atomic>

#include "common/async/fired_by.h"
#include "common/async/trigger.h"
#include "common/utf.h"
#include "common/win/nt_create.h"
#include "common/win/unique_handle.h"
#include "common/win_error.h"

namespace qel::sandbox {

// The process's exit as a trigger: a wait registration of the system's thread pool fires
// it, so nothing of the agent blocks on the process handle.
class ExitWatch {
  public:
    static Result<std::shared_ptr<ExitWatch>> start(HANDLE process) {
        auto w = std::make_shared<ExitWatch>();
        if (!RegisterWaitForSingleObject(&w->wait_, process, on_exit, w->exited_.get(), INFINITE,
                                         WT_EXECUTEONLYONCE)) {
            w->wait_ = nullptr;
            return win::last_os_error();
        }
        return w;
    }
    ~ExitWatch() {
        // Waits for a callback in progress, so the trigger outlives it.
        if (wait_)
            UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    }
    const std::shared_ptr<async::Trigger>& exited() const { return exited_; }

  private:
    static VOID CALLBACK on_exit(PVOID trigger, BOOLEAN) {
        static_cast<async::Trigger*>(trigger)->fire();
    }
    HANDLE wait_ = nullptr;
    std::shared_ptr<async::Trigger> exited_ = async::Trigger::create();
};

ChildProcess::ChildProcess(win::UniqueHandle process, win::UniqueHandle main_thread,
                           std::uint32_t pid)
    : process_(std::move(process)), main_thread_(std::move(main_thread)), pid_(pid) {}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept
    : job_(std::move(o.job_)),
      process_(std::move(o.process_)),
      main_thread_(std::move(o.main_thread_)),
      pid_(o.pid_),
      kill_on_release_(o.kill_on_release_),
      reaped_(o.reaped_),
      watch_(std::move(o.watch_)) {}

// A process that was never resumed is terminated the same way. The members then go in reverse
// order: the exit watch, the thread and process handles, and last the job, whose close ends
// whatever the run left in it.
ChildProcess::~ChildProcess() {
    if (process_ && kill_on_release_ && !reaped_)
        TerminateProcess(process_.get(), 1);
}

Result<void> ChildProcess::resume() {
    if (ResumeThread(main_thread_.get()) == static_cast<DWORD>(-1)) {
        const DWORD err = GetLastError();
        return Error::os("ResumeThread failed: " + win::os_error_text(err), err);
    }
    main_thread_.reset();
    return {};
}

Result<void> ChildProcess::terminate() {
    if (!TerminateProcess(process_.get(), 1)) {
        const DWORD err = GetLastError();
        DWORD code = 0;
        // Windows refuses to terminate a process that has already ended.
        if (!(GetExitCodeProcess(process_.get(), &code) && code != STILL_ACTIVE)) {
            return win::os_error(err);
        }
    }
    kill_on_release_ = false;
    return {};
}

asio::awaitable<Result<std::optional<std::uint32_t>>> ChildProcess::wait_for(
    std::chrono::milliseconds timeout) {
    if (!watch_) {
        Result<std::shared_ptr<ExitWatch>> w = ExitWatch::start(process_.get());
        if (!w)
            co_return std::move(w).error();
        watch_ = std::move(w).value();
    }
    if (!co_await async::fired_by(watch_->exited(), std::chrono::steady_clock::now() + timeout))
        co_return std::optional<std::uint32_t>{};
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code))
        co_return win::last_os_error();
    reaped_ = true;
    co_return std::optional<std::uint32_t>{code};
}

namespace {

// One output pipe: the agent's overlapped read end and the child's inheritable write end.
struct OutputPipe {
    win::UniqueHandle read_end;
    win::UniqueHandle write_end;
};

Result<OutputPipe> make_output_pipe() {
    static std::atomic<unsigned> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\qel-agent-child-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount64());
    win::UniqueHandle read_end(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, nullptr));
    if (!read_end)
        return win::last_os_error();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    win::UniqueHandle write_end(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write_end)
        return win::last_os_error();
    return OutputPipe{std::move(read_end), std::move(write_end)};
}

// The program held open until CreateProcessW has returned. Any account may read it, so while
// no sing-box runs another process can hold it alone and take an oplock on it; CreateProcessW's
// own open would then wait for that process for as long as it likes. This open does not wait:
// a holder fails the start at once. Once it is open, no other process can take an oplock that
// CreateProcessW's open would have to wait for. It shares what CreateProcessW's own open of
// the image shares, read and delete, so it refuses no holder that a plain start would accept
// (an updater that holds the program to rename it, say), and none can open the program to
// write to it meanwhile.
Result<win::UniqueHandle> hold_program(const std::wstring& exe) {
    Result<win::UniqueHandle> held =
        win::nt_create_file(exe, {.access = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
                                  .share = FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  .disposition = FILE_OPEN,
                                  .options = FILE_COMPLETE_IF_OPLOCKED});
    const std::optional<std::uint32_t> code = held ? std::nullopt : held.error().os_code();
    if (code == ERROR_SHARING_VIOLATION || code == win::kErrorOplockBreakInProgress) {
        return Error::os(
            fmt::format("another process holds {}: {}", to_utf8_lossy(exe), held.error().full()),
            *code);
    }
    return held;
}

void append_quoted(std::wstring& out, const std::wstring& arg, bool always) {
    if (!always && !arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        out += arg;
        return;
    }
    out += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"')
                out.append(backslashes + 1, L'\\');
            backslashes = 0;
        }
        out += c;
    }
    out.append(backslashes, L'\\');  // before the closing quote
    out += L'"';
}

}  // namespace

std::wstring command_line(const std::wstring& exe, const std::vector<std::wstring>& args) {
    std::wstring cmd;
    append_quoted(cmd, exe, true);
    for (const auto& a : args) {
        cmd += L' ';
        append_quoted(cmd, a, false);
    }
    return cmd;
}

Result<SpawnedChild> spawn_child(asio::io_context& io, const std::wstring& exe,
                                 const std::vector<std::wstring>& args) {
    Result<OutputPipe> out = make_output_pipe();
    if (!out)
        return std::move(out).error();
    Result<OutputPipe> err = make_output_pipe();
    if (!err)
        return std::move(err).error();

    // The agent's standard input, as an inheritable duplicate when there is one.
    win::UniqueHandle input;
    HANDLE std_in = GetStdHandle(STD_INPUT_HANDLE);
    if (std_in && std_in != INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), std_in, GetCurrentProcess(), input.out(), 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        input.reset();
    }

    Result<win::UniqueHandle> program = hold_program(exe);
    if (!program)
        return std::move(program).error();

    // Only these handles are inherited, even while other threads create inheritable ones.
    HANDLE inherited[3] = {out->write_end.get(), err->write_end.get(), input.get()};
    const DWORD inherited_count = input.get() ? 3 : 2;
    SIZE_T attr_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
    std::vector<std::byte> attr_storage(attr_size);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_storage.data());
    if (!InitializeProcThreadAttributeList(attrs, 1, 0, &attr_size))
        return win::last_os_error();
    const bool listed =
        UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  inherited_count * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof(si);
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = input.get();
    si.StartupInfo.hStdOutput = out->write_end.get();
    si.StartupInfo.hStdError = err->write_end.get();
    si.lpAttributeList = listed ? attrs : nullptr;

    std::wstring cmd = command_line(exe, args);
    PROCESS_INFORMATION pi{};
    // Suspended until the caller has bound it to its job: a process that ran meanwhile could
    // outlive an agent that dies before the binding.
    const DWORD flags = CREATE_SUSPENDED | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL created = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, flags,
                                        nullptr, nullptr, &si.StartupInfo, &pi);
    const DWORD create_error = GetLastError();
    program->reset();
    DeleteProcThreadAttributeList(attrs);
    if (!created)
        return win::os_error(create_error);
    // From here on every return drops the child, which terminates it.
    ChildProcess child(win::UniqueHandle(pi.hProcess), win::UniqueHandle(pi.hThread),
                       pi.dwProcessId);

    // The child holds the write ends now; the agent's copies would keep the streams open.
    out->write_end.reset();
    err->write_end.reset();

    asio::windows::stream_handle out_read(io), err_read(io);
    for (auto [pipe, end] :
         {std::pair{&out_read, &out->read_end}, std::pair{&err_read, &err->read_end}}) {
        asio::error_code ec;
        pipe->assign(end->get(), ec);
        if (ec)
            return win::os_error(static_cast<std::uint32_t>(ec.value()));
        end->release();  // the stream handle owns it now
    }
    return SpawnedChild{std::move(child), std::move(out_read), std::move(err_read)};
}

}  // namespace qel::sandbox
