// qel-testtool.exe: the end-to-end tests' helper inside Wine (Linux processes cannot open
// named pipes). Every subcommand prints what it saw on standard output.
//
//   probe [--pipe NAME]         connect (retrying for up to 10 s), print "connected", close
//   connect [--pipe NAME]       connect, then print every byte received until the close
//   sddl [--pipe NAME]          print the security descriptor of a connected instance
//   squat [--pipe NAME]         hold a server instance of NAME (max. 1 instance) until
//                               standard input closes; prints "ready" once it exists
//   hold [--delete] PATH        hold the file or folder PATH open for reading, sharing
//                               nothing, until standard input closes; prints "ready" once open.
//                               --delete: for reading and DELETE, sharing read and delete, as
//                               a program's updater that renames it holds it
//   spawn APP CMDLINE           run APP with exactly CMDLINE, relay its exit code
//   alive PID                   print "alive" or "gone" for a Windows process id
//   session STEP...             a scripted exchange (see session.h)
//   load CLIENTS REQUESTS       concurrent authenticated pings, every reply checked
//   mixload CLIENTS REQUESTS    the same with ping, state, logs and kill_switch_status
//   cycle N                     N connect/disconnect pairs on one connection

#include <windows.h>
// windows.h first: the other Windows headers depend on it.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "session.h"

namespace {

std::wstring widen(const char* s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    return w;
}

std::string narrow(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

void out(const std::string& s) {
    DWORD n;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
}

std::wstring pipe_arg(int argc, char** argv, int from) {
    for (int i = from; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--pipe")
            return widen(argv[i + 1]);
    }
    return L"\\\\.\\pipe\\qel-agent";
}

HANDLE open_pipe(const std::wstring& name, DWORD access) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE h = CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        const DWORD err = GetLastError();
        if (err == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name.c_str(), 200);
        } else {
            Sleep(100);
        }
    }
    return INVALID_HANDLE_VALUE;
}

int cmd_connect(const std::wstring& name) {
    HANDLE h = open_pipe(name, GENERIC_READ | GENERIC_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        out("open failed " + std::to_string(GetLastError()) + "\n");
        return 2;
    }
    out("connected\n");
    std::string got;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        got.append(buf, n);
    out("received " + std::to_string(got.size()) + " bytes\n" + got);
    CloseHandle(h);
    return 0;
}

int cmd_probe(const std::wstring& name) {
    HANDLE h = open_pipe(name, GENERIC_READ | GENERIC_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        out("open failed " + std::to_string(GetLastError()) + "\n");
        return 2;
    }
    out("connected\n");
    CloseHandle(h);
    return 0;
}

int cmd_sddl(const std::wstring& name) {
    HANDLE h = open_pipe(name, GENERIC_READ | GENERIC_WRITE | READ_CONTROL);
    if (h == INVALID_HANDLE_VALUE) {
        out("open failed " + std::to_string(GetLastError()) + "\n");
        return 2;
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc =
        GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        out("GetSecurityInfo failed " + std::to_string(rc) + "\n");
        return 2;
    }
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(
        sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr);
    out(narrow(text) + "\n");
    LocalFree(text);
    LocalFree(sd);
    CloseHandle(h);
    return 0;
}

// Holds `h` until standard input closes; prints "ready" once it is there, or "<what> failed
// <error>" when it is not.
int hold_until_stdin_closes(HANDLE h, const char* what) {
    if (h == INVALID_HANDLE_VALUE) {
        out(std::string(what) + " failed " + std::to_string(GetLastError()) + "\n");
        return 2;
    }
    out("ready\n");
    char c;
    DWORD n;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n > 0) {
    }
    CloseHandle(h);
    return 0;
}

int cmd_hold(const std::wstring& path, bool for_delete) {
    // FILE_READ_DATA is FILE_LIST_DIRECTORY on a folder; any account that may read it can
    // open it so.
    const DWORD access = FILE_READ_DATA | (for_delete ? DELETE : 0);
    const DWORD share = for_delete ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
    return hold_until_stdin_closes(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                                   "open");
}

int cmd_squat(const std::wstring& name) {
    return hold_until_stdin_closes(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                                    PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr),
                                   "create");
}

int cmd_alive(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!h) {
        out("gone\n");
        return 0;
    }
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    out(running ? "alive\n" : "gone\n");
    return 0;
}

int cmd_spawn(const char* app, const char* cmdline) {
    std::wstring wapp = widen(app);
    std::wstring wcmd = widen(cmdline);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(wapp.c_str(), wcmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
        out("CreateProcessW failed " + std::to_string(GetLastError()) + "\n");
        return 255;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "probe")
        return cmd_probe(pipe_arg(argc, argv, 2));
    if (cmd == "connect")
        return cmd_connect(pipe_arg(argc, argv, 2));
    if (cmd == "sddl")
        return cmd_sddl(pipe_arg(argc, argv, 2));
    if (cmd == "squat")
        return cmd_squat(pipe_arg(argc, argv, 2));
    if (cmd == "hold" && argc == 3)
        return cmd_hold(widen(argv[2]), false);
    if (cmd == "hold" && argc == 4 && std::string(argv[2]) == "--delete")
        return cmd_hold(widen(argv[3]), true);
    if (cmd == "spawn" && argc == 4)
        return cmd_spawn(argv[2], argv[3]);
    if (cmd == "alive" && argc == 3)
        return cmd_alive(static_cast<DWORD>(std::stoul(argv[2])));
    const std::wstring agent_pipe = L"\\\\.\\pipe\\qel-agent";
    if (cmd == "session")
        return qel::tools::run_session(agent_pipe, std::vector<std::string>(argv + 2, argv + argc));
    if (cmd == "load" && argc == 4)
        return qel::tools::run_load(agent_pipe, std::atoi(argv[2]), std::atoi(argv[3]));
    if (cmd == "mixload" && argc == 4)
        return qel::tools::run_mixed_load(agent_pipe, std::atoi(argv[2]), std::atoi(argv[3]));
    if (cmd == "cycle" && argc == 3)
        return qel::tools::run_cycles(agent_pipe, std::atoi(argv[2]));
    std::fprintf(stderr,
                 "usage: qel-testtool "
                 "probe|connect|sddl|squat|hold|spawn|alive|session|load|mixload|cycle ...\n");
    return 2;
}
