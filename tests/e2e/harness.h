#pragma once
// End-to-end harness: runs the real Windows programs of the cross build under Wine, from
// Linux, and watches their output.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

namespace qel::e2e {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Generous bounds: Wine under load can be slow; no test asserts speed.
inline constexpr Millis kWait = 30s;

std::string win_bin_dir();                            // Linux path of the cross build's bin folder
std::string wine_prefix();                            // the tests' Wine prefix
std::string win_path(const std::string& linux_path);  // "Z:\..." form of an absolute path
std::string prefix_path(
    const std::string& windows_path);  // C:\... inside the prefix, as a Linux path

// A child process with captured standard output and error.
class Process {
  public:
    // argv[0] is looked up as given. env: NAME=VALUE to set, "-NAME" to remove.
    static std::unique_ptr<Process> start(std::vector<std::string> argv,
                                          std::vector<std::string> env = {},
                                          bool pipe_stdin = false);
    struct Impl;
    struct Key {
        explicit Key() = default;
    };
    Process(Key, std::unique_ptr<Impl> impl);
    ~Process();

    std::string out() const;
    std::string err() const;
    // Waits until standard output (or error) satisfies pred; false on time-out or exit.
    bool wait_out(const std::function<bool(const std::string&)>& pred, Millis timeout = kWait);
    bool wait_out_contains(const std::string& text, Millis timeout = kWait);
    // The exit status, or nothing when it is still running after the time-out.
    std::optional<int> wait(Millis timeout = kWait);
    void signal(int sig);
    void close_stdin();
    pid_t pid() const { return pid_; }

  private:
    std::unique_ptr<Impl> impl_;
    pid_t pid_ = -1;
};

struct RunResult {
    int status;
    std::string out, err;
};

// Runs a Windows program under Wine to its end.
RunResult run_windows(const std::string& exe, std::vector<std::string> args,
                      std::vector<std::string> env = {}, Millis timeout = kWait);
// Starts a Windows program under Wine.
std::unique_ptr<Process> start_windows(const std::string& exe, std::vector<std::string> args,
                                       std::vector<std::string> env = {}, bool pipe_stdin = false);

std::string agent_exe();         // Linux path of qel-agent.exe
std::string tool_exe();          // Linux path of qel-testtool.exe
std::string fake_singbox_exe();  // Linux path of the stand-in sing-box (fake-singbox.exe)

// The environment for an agent with the session and filtering-engine doubles: its console
// session gets a token, and the kill switch can engage.
std::vector<std::string> agent_env(std::vector<std::string> extra = {});

// One authenticated request through the test tool; the reply line, or "" when none came.
std::string request(const std::string& line);
// Several authenticated requests on one connection, sent one after the other.
std::vector<std::string> requests(const std::vector<std::string>& lines);

// The console agent, started with "-f" and the given environment.
class ConsoleAgent {
  public:
    explicit ConsoleAgent(std::vector<std::string> env = {},
                          std::vector<std::string> args = {"-f"});
    ~ConsoleAgent();
    Process& proc() { return *p_; }
    bool wait_line(const std::string& text, Millis timeout = kWait) {
        return p_->wait_out_contains(text, timeout);
    }
    // Waits until a client can connect to the pipe. The Ctrl+C watcher starts with the
    // listener, so once this returns a Ctrl+C reaches the agent rather than the console.
    bool wait_ready();
    // Ctrl+C, then the exit status; a crash (which Wine also ends with 0) fails the test.
    std::optional<int> stop();

  private:
    std::unique_ptr<Process> p_;
};

// The console agent's runtime folder (Wine sets PROGRAMDATA from its own registry) and the
// state file of the filtering-engine double for the agents of AgentTest, as Linux paths.
std::string runtime_dir();
std::string fwp_state_file();
// The environment for those agents: agent_env() with the stand-in sing-box as QEL_SINGBOX_EXE
// and that state file; extra settings after them.
std::vector<std::string> test_agent_env(std::vector<std::string> extra = {});

// Tests of console agents: each begins without a runtime folder and without filtering-engine
// state. start_agent() starts the test's own agent in agent_ and waits until a client can
// connect; TearDown stops it, if it is still there, expecting exit status 0.
class AgentTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void start_agent(std::vector<std::string> extra_env = {});
    std::unique_ptr<ConsoleAgent> agent_;
};

// Linux process ids of the Windows programs of that executable name (e.g. "qel-agent.exe")
// that run in the tests' Wine prefix.
std::vector<pid_t> windows_processes(const std::string& exe_name);

// The folder of the console session's token file (session 1's user is the one running Wine).
std::string token_dir();

// Lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);
std::string read_file(const std::string& path);
void remove_tree(const std::string& path);

}  // namespace qel::e2e
