// qel-agent.exe under Wine's service manager.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include <signal.h>
#include <unistd.h>
#include <thread>

#include "harness.h"

namespace qel::e2e {
namespace {

// Wine's service manager gives its services PROGRAMDATA=C:\users\Public.
const std::string kServiceDataRoot = "C:\\users\\Public\\QEL";

std::string service_log_dir() {
    return prefix_path(kServiceDataRoot + "\\logs");
}

std::string todays_log() {
    for (const auto& e : std::filesystem::directory_iterator(service_log_dir())) {
        if (e.path().filename().string().rfind("agent.log.", 0) == 0)
            return e.path().string();
    }
    return {};
}

RunResult sc(std::vector<std::string> args) {
    return run_windows("sc", std::move(args));
}
RunResult net(std::vector<std::string> args) {
    return run_windows("net", std::move(args));
}

// "STATE : 4 RUNNING" and "WIN32_EXIT_CODE : 0" of sc query.
std::pair<int, int> state_and_exit_code() {
    const RunResult q = sc({"query", "qel-agent"});
    std::smatch m;
    int state = -1, code = -1;
    if (std::regex_search(q.out, m, std::regex(R"(STATE\s*:\s*(\d+))")))
        state = std::stoi(m[1]);
    if (std::regex_search(q.out, m, std::regex(R"(WIN32_EXIT_CODE\s*:\s*(\d+))"))) {
        code = std::stoi(m[1]);
    }
    return {state, code};
}

constexpr int kStopped = 1, kRunning = 4;

bool wait_for_state(int state) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (state_and_exit_code().first == state)
            return true;
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

class Service : public ::testing::Test {
  protected:
    void SetUp() override {
        net({"stop", "qel-agent"});
        sc({"delete", "qel-agent"});
        remove_tree(prefix_path(kServiceDataRoot));
        const RunResult created = sc({"create", "qel-agent", "binpath=", win_path(agent_exe())});
        ASSERT_EQ(created.status, 0) << created.out << created.err;
    }
    void TearDown() override {
        net({"stop", "qel-agent"});
        sc({"delete", "qel-agent"});
    }
};

TEST_F(Service, RunsLogsJsonLinesAndStopsInOrder) {
    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code().first, kRunning);
    EXPECT_EQ(run_windows(tool_exe(), {"probe"}).status, 0);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code(), std::make_pair(kStopped, 0));

    const std::string log = todays_log();
    ASSERT_FALSE(log.empty());
    const auto lines = lines_of(read_file(log));
    const std::regex json_line(
        R"re(\{"timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","level":"(TRACE|DEBUG|INFO|WARN|ERROR)","fields":\{"message":"([^"\\]|\\.)*"\},"target":"qel_agent::[a-z_:]+"\})re");
    for (const auto& l : lines)
        EXPECT_TRUE(std::regex_match(l, json_line)) << l;

    const std::vector<std::string> in_order = {
        R"re("level":"INFO","fields":{"message":"QEL.Agent starting (service mode), version 0.1.1"},"target":"qel_agent::service"})re",
        R"("message":"ipc: listening on \\\\.\\pipe\\qel-agent"},"target":"qel_agent::ipc")",
        R"("message":"ipc pipe ready, flipping SCM to RUNNING"},"target":"qel_agent::service")",
        R"("message":"service: stop/shutdown control received")",
        R"("message":"agent_loop: shutdown signal received")",
        R"("message":"agent_loop: clean exit")",
    };
    std::size_t at = 0;
    for (const auto& want : in_order) {
        while (at < lines.size() && lines[at].find(want) == std::string::npos)
            ++at;
        EXPECT_LT(at, lines.size()) << "missing, in order: " << want;
    }
}

TEST_F(Service, ARestartOnTheSameDayAppendsToTheSameFile) {
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
        ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    }
    const std::string text = read_file(todays_log());
    std::size_t starts = 0;
    for (std::size_t at = 0; (at = text.find("starting (service mode)", at)) != std::string::npos;
         ++at) {
        ++starts;
    }
    EXPECT_EQ(starts, 2u);
}

// Held open by another process, sharing nothing, while no service runs: the next start still
// claims the folder and writes its day's log there.
TEST_F(Service, AHeldLogFolderStillGetsTheDaysLog) {
    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    ASSERT_FALSE(todays_log().empty());
    auto holder = start_windows(tool_exe(), {"hold", kServiceDataRoot + "\\logs"}, {},
                                /*pipe_stdin=*/true);
    ASSERT_TRUE(holder->wait_out_contains("ready")) << holder->out();

    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    EXPECT_EQ(run_windows(tool_exe(), {"probe"}).status, 0);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    holder->close_stdin();
    EXPECT_EQ(holder->wait(), 0);
    const std::string text = read_file(todays_log());
    std::size_t clean_exits = 0;
    for (std::size_t at = 0; (at = text.find("agent_loop: clean exit", at)) != std::string::npos;
         ++at) {
        ++clean_exits;
    }
    EXPECT_EQ(clean_exits, 2u) << text;
}

TEST_F(Service, RunsWithoutALogWhenTheLogFolderCannotBeMade) {
    std::filesystem::create_directories(prefix_path(kServiceDataRoot));
    { std::ofstream(prefix_path(kServiceDataRoot + "\\logs")) << "a file, not a folder"; }
    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code().first, kRunning);
    EXPECT_EQ(run_windows(tool_exe(), {"probe"}).status, 0);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code(), std::make_pair(kStopped, 0));
    EXPECT_TRUE(std::filesystem::is_regular_file(prefix_path(kServiceDataRoot + "\\logs")));
}

TEST_F(Service, ALinkInPlaceOfTheLogFolderIsNeverFollowed) {
    const std::string outside = std::filesystem::temp_directory_path().string() +
                                "/qel-e2e-logs-outside-" + std::to_string(getpid());
    remove_tree(outside);
    std::filesystem::create_directories(outside);
    std::filesystem::create_directories(prefix_path(kServiceDataRoot));
    std::filesystem::create_directory_symlink(outside, service_log_dir());
    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code().first, kRunning);
    EXPECT_EQ(run_windows(tool_exe(), {"probe"}).status, 0);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code(), std::make_pair(kStopped, 0));
    EXPECT_TRUE(std::filesystem::is_empty(outside));
    EXPECT_TRUE(std::filesystem::is_symlink(service_log_dir()));
    remove_tree(outside);
}

// Planted before the service first ran, in a log folder that everyone could write to: the
// service neither appends to it nor touches it, and logs into a fresh folder of its own.
TEST_F(Service, AWorldWritableLogFolderIsMovedAsideWithWhatWasPlantedInIt) {
    namespace fs = std::filesystem;
    const std::string root = prefix_path(kServiceDataRoot);
    fs::create_directories(service_log_dir());
    fs::permissions(service_log_dir(), fs::perms::all);
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", std::gmtime(&t));
    const std::string name = std::string("agent.log.") + day;
    { std::ofstream(service_log_dir() + "/" + name) << "planted line\n"; }
    fs::permissions(service_log_dir() + "/" + name, fs::perms::all);

    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    std::vector<std::string> aside;
    for (const auto& e : fs::directory_iterator(root)) {
        if (e.path().filename().string().rfind("logs.untrusted-", 0) == 0)
            aside.push_back(e.path().string());
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(read_file(aside[0] + "/" + name), "planted line\n");
    const std::string text = read_file(todays_log());
    EXPECT_EQ(text.find("planted line"), std::string::npos) << text;
    EXPECT_NE(text.find("\"level\":\"WARN\",\"fields\":{\"message\":\"data folder: "
                        "C:\\\\users\\\\Public\\\\QEL\\\\logs is not the agent's own "
                        "(S-1-1-0 may change it); moved it aside to "
                        "C:\\\\users\\\\Public\\\\QEL\\\\logs.untrusted-"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("starting (service mode)"), std::string::npos);
    // The folders let no one else in. (Wine gives a new file its default mode, not what it
    // would inherit.)
    for (const std::string& p : {root, service_log_dir()})
        EXPECT_EQ(fs::status(p).permissions() & fs::perms::others_all, fs::perms::none) << p;
    EXPECT_EQ(fs::status(todays_log()).permissions() & fs::perms::others_write, fs::perms::none);
}

TEST_F(Service, APipeThatCannotBeCreatedNeverReportsRunning) {
    auto squatter = start_windows(tool_exe(), {"squat"}, {}, /*pipe_stdin=*/true);
    ASSERT_TRUE(squatter->wait_out_contains("ready"));
    net({"start", "qel-agent"});  // Wine's net reports success here too; the state tells
    EXPECT_TRUE(wait_for_state(kStopped));
    EXPECT_EQ(state_and_exit_code(), std::make_pair(kStopped, 0));
    const std::string text = read_file(todays_log());
    EXPECT_NE(text.find("\"message\":\"ipc loop failed: cannot create initial pipe "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"message\":\"ipc loop exited before pipe was ready\""),
              std::string::npos);
    EXPECT_EQ(text.find("flipping SCM to RUNNING"), std::string::npos);
    EXPECT_NE(text.find("\"message\":\"agent_loop: clean exit\""), std::string::npos);
    squatter->close_stdin();
}

}  // namespace
}  // namespace qel::e2e

namespace qel::e2e {
namespace {

// The service gets the doubles through Wine's per-program DLL overrides (it does not inherit
// our environment); the filtering double then keeps its state beside itself.
class ServiceWithDoubles : public Service {
  protected:
    static constexpr const char* kOverrides =
        "HKCU\\Software\\Wine\\AppDefaults\\qel-agent.exe\\DllOverrides";
    void SetUp() override {
        Service::SetUp();
        for (const char* dll : {"wtsapi32", "fwpuclnt"}) {
            ASSERT_EQ(
                run_windows("reg", {"add", kOverrides, "/v", dll, "/d", "native", "/f"}).status, 0);
        }
        remove_tree(state_file());
    }
    void TearDown() override {
        Service::TearDown();
        run_windows("reg", {"delete", kOverrides, "/f"});
    }
    static std::string state_file() { return win_bin_dir() + "/fwpuclnt-state.txt"; }
    static std::size_t filters() {
        std::size_t n = 0;
        for (const auto& l : lines_of(read_file(state_file())))
            n += l.rfind("filter ", 0) == 0;
        return n;
    }
};

// Wine gives programs started from Linux PROGRAMDATA from its registry, not from our
// environment: while this lives, they get the service's C:\users\Public.
class ConsoleProgramData {
  public:
    ConsoleProgramData() { set(kServiceProgramData); }
    ~ConsoleProgramData() { set("C:\\ProgramData"); }

  private:
    static constexpr const char* kProfileList =
        "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    static constexpr const char* kServiceProgramData = "C:\\users\\Public";
    static void set(const char* value) {
        EXPECT_EQ(run_windows("reg", {"add", kProfileList, "/v", "ProgramData", "/t",
                                      "REG_EXPAND_SZ", "/d", value, "/f"})
                      .status,
                  0);
    }
};

TEST_F(ServiceWithDoubles, AConsoleAgentBesideTheServiceLeavesItsKillSwitchAlone) {
    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    ASSERT_EQ(
        request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})"),
        R"({"ok":true,"result":{"engaged":true,"singbox_path":null,"tun_iface_alias":"lo"}})");
    ASSERT_EQ(filters(), 6u);
    const std::string record_file = prefix_path(kServiceDataRoot + "\\runtime\\kill-switch.json");
    const std::string record = read_file(record_file);
    ASSERT_FALSE(record.empty());
    const std::string token = read_file(token_dir() + "/agent.tok");
    ASSERT_EQ(windows_processes("qel-agent.exe").size(), 1u);

    // An administrator's console agent over the service's data folder and filtering engine.
    // Under Wine its pipe opens beside the service's, so Ctrl+C ends it; on Windows its pipe
    // cannot be created, which ends it through the same orderly shutdown and disengage.
    const ConsoleProgramData same_data_folder;
    const std::vector<std::string> console_env = agent_env();
    {
        ConsoleAgent console(console_env);
        ASSERT_TRUE(console.wait_line("ipc: listening on"));
        ASSERT_TRUE(console.wait_ready());
        ASSERT_EQ(console.stop(), 0);
        const std::string out = console.proc().out();
        EXPECT_NE(out.find("kill-switch disengage called but was not engaged"), std::string::npos);
        EXPECT_EQ(out.find("removed what agent run"), std::string::npos) << out;
    }
    EXPECT_EQ(filters(), 6u);
    EXPECT_EQ(read_file(record_file), record);
    // The console agent gave the session a token of its own; the service still holds its own.
    { std::ofstream(token_dir() + "/agent.tok", std::ios::binary) << token; }
    EXPECT_EQ(request(R"({"method":"kill_switch_status"})"),
              R"({"ok":true,"result":{"engaged":true}})");
    EXPECT_EQ(request(R"({"method":"state"})"),
              R"({"ok":true,"result":{"kill_switch_engaged":true,"state":"idle"}})");

    // The service killed: its filters stay (fail closed) until the next agent's disengage.
    const std::vector<pid_t> service = windows_processes("qel-agent.exe");
    ASSERT_EQ(service.size(), 1u);
    kill(service[0], SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!windows_processes("qel-agent.exe").empty() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(windows_processes("qel-agent.exe").empty());
    EXPECT_EQ(filters(), 6u);
    ConsoleAgent next(console_env);
    ASSERT_TRUE(next.wait_ready());
    EXPECT_EQ(request(R"({"method":"kill_switch_disengage"})"),
              R"({"ok":true,"result":{"engaged":false}})");
    EXPECT_EQ(filters(), 0u);
    EXPECT_TRUE(read_file(record_file).empty()) << next.proc().out();
}

TEST_F(ServiceWithDoubles, AServiceStopReleasesTheKillSwitch) {
    ASSERT_EQ(net({"start", "qel-agent"}).status, 0);
    // No sing-box beside the service's agent: no application permit.
    EXPECT_EQ(
        request(R"({"method":"kill_switch_engage","params":{"tun_iface_alias":"lo"}})"),
        R"({"ok":true,"result":{"engaged":true,"singbox_path":null,"tun_iface_alias":"lo"}})");
    EXPECT_EQ(filters(), 6u);
    ASSERT_EQ(net({"stop", "qel-agent"}).status, 0);
    EXPECT_EQ(state_and_exit_code(), std::make_pair(kStopped, 0));
    EXPECT_EQ(filters(), 0u);
    const std::string log = read_file(todays_log());
    EXPECT_NE(log.find("\"message\":\"kill-switch disengaged on demand\""), std::string::npos)
        << log;
}

}  // namespace
}  // namespace qel::e2e
