#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace qel::e2e {

std::string win_bin_dir() {
    return QEL_E2E_WIN_BIN_DIR;
}
std::string wine_prefix() {
    return QEL_E2E_WINEPREFIX;
}
std::string agent_exe() {
    return win_bin_dir() + "/qel-agent.exe";
}
std::string tool_exe() {
    return win_bin_dir() + "/qel-testtool.exe";
}
std::string fake_singbox_exe() {
    return win_bin_dir() + "/fake-singbox.exe";
}

std::vector<std::string> agent_env(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"WINEDLLOVERRIDES=wtsapi32,fwpuclnt=n", "NO_COLOR=1"});
    return extra;
}

std::vector<std::string> requests(const std::vector<std::string>& lines) {
    std::vector<std::string> steps = {"session", "auth", "read"};
    for (const auto& l : lines) {
        steps.push_back("line:" + l);
        steps.push_back("read");
    }
    steps.push_back("close");
    std::vector<std::string> replies;
    for (const std::string& got : lines_of(run_windows(tool_exe(), steps).out)) {
        replies.push_back(got.rfind("< ", 0) == 0 ? got.substr(2) : got);
    }
    if (!replies.empty())
        replies.erase(replies.begin());  // the auth reply
    return replies;
}

std::string request(const std::string& line) {
    const auto replies = requests({line});
    return replies.empty() ? "" : replies.front();
}

std::string win_path(const std::string& linux_path) {
    std::string p = "Z:" + linux_path;
    for (char& c : p) {
        if (c == '/')
            c = '\\';
    }
    return p;
}

std::string prefix_path(const std::string& windows_path) {
    // Only C:\ paths: drive_c of the prefix, the rest with forward slashes.
    std::string rest = windows_path.substr(2);
    for (char& c : rest) {
        if (c == '\\')
            c = '/';
    }
    return wine_prefix() + "/drive_c" + rest;
}

struct Process::Impl {
    mutable std::mutex m;
    std::condition_variable changed;
    std::string out, err;
    bool out_closed = false, err_closed = false;
    std::optional<int> status;
    int stdin_fd = -1;
    std::thread reader;
};

Process::Process(Key, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Process> Process::start(std::vector<std::string> argv, std::vector<std::string> env,
                                        bool pipe_stdin) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const auto eq = kv.find('=');
        if (eq != std::string::npos)
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const std::string& kv : env) {
        if (!kv.empty() && kv[0] == '-') {
            vars.erase(kv.substr(1));
        } else {
            const auto eq = kv.find('=');
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    }
    std::vector<std::string> env_strings;
    for (auto& [k, v] : vars)
        env_strings.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto& s : argv)
        args.push_back(s.data());
    args.push_back(nullptr);

    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe(out_pipe) || pipe(err_pipe))
        return nullptr;
    if (pipe_stdin && pipe(in_pipe))
        return nullptr;

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipe_stdin) {
        posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1]}) {
        if (fd >= 0)
            posix_spawn_file_actions_addclose(&fa, fd);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pipe_stdin)
        close(in_pipe[0]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (pipe_stdin)
            close(in_pipe[1]);
        return nullptr;
    }

    auto impl = std::make_unique<Impl>();
    impl->stdin_fd = pipe_stdin ? in_pipe[1] : -1;
    Impl* st = impl.get();
    impl->reader = std::thread([st, pid, ofd = out_pipe[0], efd = err_pipe[0]] {
        // Wine's own processes may inherit and keep these pipes: the process's exit, not
        // the end of its output, ends the capture.
        pollfd fds[2] = {{ofd, POLLIN, 0}, {efd, POLLIN, 0}};
        char buf[65536];
        std::optional<int> status;
        for (;;) {
            const int ready = poll(fds, 2, status ? 0 : 50);
            bool got = false;
            for (int i = 0; ready > 0 && i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                std::lock_guard lock(st->m);
                if (n > 0) {
                    (i == 0 ? st->out : st->err).append(buf, static_cast<std::size_t>(n));
                    got = true;
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    (i == 0 ? st->out_closed : st->err_closed) = true;
                }
                st->changed.notify_all();
            }
            if (status && !got)
                break;  // exited and drained
            if (!status) {
                int wstatus = 0;
                if (waitpid(pid, &wstatus, WNOHANG) == pid) {
                    status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
                }
            }
        }
        for (auto& f : fds) {
            if (f.fd >= 0)
                close(f.fd);
        }
        std::lock_guard lock(st->m);
        st->out_closed = st->err_closed = true;
        st->status = status;
        st->changed.notify_all();
    });
    auto p = std::make_unique<Process>(Key{}, std::move(impl));
    p->pid_ = pid;
    return p;
}

Process::~Process() {
    {
        std::unique_lock lock(impl_->m);
        if (!impl_->status)
            kill(pid_, SIGKILL);
    }
    close_stdin();
    if (impl_->reader.joinable())
        impl_->reader.join();
}

std::string Process::out() const {
    std::lock_guard lock(impl_->m);
    return impl_->out;
}

std::string Process::err() const {
    std::lock_guard lock(impl_->m);
    return impl_->err;
}

bool Process::wait_out(const std::function<bool(const std::string&)>& pred, Millis timeout) {
    std::unique_lock lock(impl_->m);
    return impl_->changed.wait_for(lock, timeout, [&] {
        return pred(impl_->out) || impl_->out_closed;
    }) && pred(impl_->out);
}

bool Process::wait_out_contains(const std::string& text, Millis timeout) {
    return wait_out([&](const std::string& o) { return o.find(text) != std::string::npos; },
                    timeout);
}

std::optional<int> Process::wait(Millis timeout) {
    std::unique_lock lock(impl_->m);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->status.has_value(); });
    return impl_->status;
}

void Process::signal(int sig) {
    kill(pid_, sig);
}

void Process::close_stdin() {
    if (impl_->stdin_fd >= 0) {
        close(impl_->stdin_fd);
        impl_->stdin_fd = -1;
    }
}

namespace {
std::vector<std::string> wine_env(std::vector<std::string> env) {
    env.insert(env.begin(), {"WINEPREFIX=" + wine_prefix(), "WINEDEBUG=-all"});
    return env;
}
}  // namespace

std::unique_ptr<Process> start_windows(const std::string& exe, std::vector<std::string> args,
                                       std::vector<std::string> env, bool pipe_stdin) {
    args.insert(args.begin(), {QEL_E2E_WINE, exe});
    return Process::start(std::move(args), wine_env(std::move(env)), pipe_stdin);
}

RunResult run_windows(const std::string& exe, std::vector<std::string> args,
                      std::vector<std::string> env, Millis timeout) {
    auto p = start_windows(exe, std::move(args), std::move(env));
    if (!p)
        return {-1, "", "spawn failed"};
    const std::optional<int> status = p->wait(timeout);
    return {status.value_or(-1), p->out(), p->err()};
}

ConsoleAgent::ConsoleAgent(std::vector<std::string> env, std::vector<std::string> args)
    : p_(start_windows(agent_exe(), std::move(args), std::move(env))) {}

ConsoleAgent::~ConsoleAgent() {
    if (p_ && !p_->wait(0ms))
        stop();
}

bool ConsoleAgent::wait_ready() {
    const RunResult probe = run_windows(tool_exe(), {"probe"});
    if (probe.status != 0) {
        // The caller prints the agent's output; what the probe saw goes beside it.
        std::cerr << "probe ended with status " << probe.status << "\nstdout: " << probe.out
                  << "\nstderr: " << probe.err << "\n";
    }
    return probe.status == 0;
}

std::optional<int> ConsoleAgent::stop() {
    p_->signal(SIGINT);
    const std::optional<int> status = p_->wait();
    // A Windows program that crashes under Wine still ends with status 0.
    if (p_->err().find("wine: Unhandled") != std::string::npos)
        ADD_FAILURE() << "the agent crashed:\n" << p_->err();
    return status;
}

std::string runtime_dir() {
    return prefix_path("C:\\ProgramData\\QEL\\runtime");
}

std::string fwp_state_file() {
    return win_bin_dir() + "/../e2e-fwpuclnt-state.txt";
}

std::vector<std::string> test_agent_env(std::vector<std::string> extra) {
    extra.insert(extra.begin(), {"QEL_SINGBOX_EXE=" + win_path(fake_singbox_exe()),
                                 "QEL_FWP_DOUBLE_STATE=" + win_path(fwp_state_file())});
    return agent_env(std::move(extra));
}

void AgentTest::SetUp() {
    remove_tree(runtime_dir());
    remove_tree(fwp_state_file());
}

void AgentTest::TearDown() {
    if (agent_) {
        EXPECT_EQ(agent_->stop(), 0);
    }
}

void AgentTest::start_agent(std::vector<std::string> extra_env) {
    agent_ = std::make_unique<ConsoleAgent>(test_agent_env(std::move(extra_env)));
    ASSERT_TRUE(agent_->wait_ready()) << agent_->proc().out();
}

std::vector<pid_t> windows_processes(const std::string& exe_name) {
    std::vector<pid_t> pids;
    const std::string prefix_var = "WINEPREFIX=" + wine_prefix();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string comm = read_file(entry.path().string() + "/comm");
        if (!comm.empty() && comm.back() == '\n')
            comm.pop_back();
        if (comm != exe_name)
            continue;
        const std::string environ_text = read_file(entry.path().string() + "/environ");
        std::size_t at = 0;
        for (std::size_t end; (end = environ_text.find('\0', at)) != std::string::npos;
             at = end + 1) {
            if (environ_text.compare(at, end - at, prefix_var) == 0) {
                pids.push_back(static_cast<pid_t>(std::stoi(name)));
                break;
            }
        }
    }
    return pids;
}

std::string token_dir() {
    const char* user = std::getenv("USER");
    return prefix_path(std::string("C:\\users\\") + (user ? user : "root") +
                       "\\AppData\\Local\\com.qel");
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace qel::e2e
