// qel-bench.exe: measures the agent under Wine, side by side with references in the same run.
//
//   qel-bench --agent PATH --empty PATH --empty-imports PATH --out FILE
//             [--agent-log FILE] [--reps N] [--pings N] [--cycles N] [--startups N]
//             [--connects N]
//
// The agent is started here in the console mode (with the environment this program was
// given: the doubles and the stand-in sing-box) and killed at the end. Figures:
//   1. ping and a 20 KiB "logs" reply against a bare echo server on the same kind of pipe;
//   2. 64 clients x 1000 pings at once;
//   3. start-up: process creation to the first pipe connect, against an empty program; and,
//      with --agent-log, the agent's own time from its start-up line to its listening line;
//   4. "connect" with the stand-in sing-box: the time beyond its fixed 700 ms wait;
//   5. the agent's working set and handle count: idle, after 2, after the connect cycles.

#include <psapi.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "echo_server.h"
#include "handle_count.h"
#include "pipe_client.h"
#include "stats.h"
#include "table.h"

using namespace qel::tools;
using namespace qel::bench;
using Clock = std::chrono::steady_clock;

namespace {

const std::wstring kAgentPipe = L"\\\\.\\pipe\\qel-agent";

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Options {
    std::wstring agent, empty, empty_imports, agent_log;
    std::string out;
    int reps = 5, pings = 2000, clients = 64, per_client = 1000, startups = 20, connects = 20,
        cycles = 500;
};

// A child process, terminated with its owner.
struct Child {
    PROCESS_INFORMATION pi{};
    bool started = false;
    ~Child() {
        if (!started)
            return;
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
};

// The child's output goes to `output` (created anew), or nowhere when it is empty.
bool start(Child& c, const std::wstring& exe, std::wstring args, const std::wstring& output = {}) {
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = output.empty()
                     ? CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                   0, nullptr)
                     : CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    si.hStdOutput = si.hStdError = nul;
    si.hStdInput = nullptr;
    c.started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &si, &c.pi) != 0;
    CloseHandle(nul);
    return c.started;
}

// The agent's own time from its start-up line to its "listening" line, from the timestamps of
// its console output (without colours): what Wine's process creation costs is left out.
// Nothing when either line is missing.
std::optional<double> start_line_to_listening_ms(const std::wstring& output) {
    std::ifstream in(std::filesystem::path(output), std::ios::binary);
    // "2026-12-11T13:20:01.123456Z": the seconds of the day, microseconds included.
    const auto seconds = [](const std::string& line) -> std::optional<double> {
        if (line.size() < 27 || line[10] != 'T' || line[26] != 'Z')
            return std::nullopt;
        return std::stoi(line.substr(11, 2)) * 3600.0 + std::stoi(line.substr(14, 2)) * 60.0 +
               std::stod(line.substr(17, 9));
    };
    std::optional<double> started, listening;
    for (std::string line; std::getline(in, line);) {
        if (!started && line.find("QEL.Agent starting") != std::string::npos)
            started = seconds(line);
        else if (started && line.find("ipc: listening on") != std::string::npos) {
            listening = seconds(line);
            break;
        }
    }
    if (!started || !listening)
        return std::nullopt;
    return (*listening - *started) * 1000;
}

// Connects as soon as the pipe lets it, trying every millisecond: the moment of the first
// successful connect.
bool connect_fast(const std::wstring& pipe, DWORD wait_ms) {
    const ULONGLONG deadline = GetTickCount64() + wait_ms;
    while (GetTickCount64() < deadline) {
        HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        Sleep(1);
    }
    return false;
}

std::optional<PipeClient> authenticated() {
    auto c = PipeClient::connect(kAgentPipe, 30000);
    const auto token = read_token(default_token_file());
    if (!c || !token)
        return std::nullopt;
    c->write(R"({"method":"auth","params":{"token":")" + *token + "\"}}\n");
    if (c->read_line() != R"({"ok":true,"result":true})")
        return std::nullopt;
    return c;
}

std::string padded(std::string line, std::size_t size) {
    // Pads with JSON white space inside the object so every request has the same length.
    if (line.size() < size)
        line.insert(line.size() - 1, size - line.size(), ' ');
    return line;
}

// Round trips of one request on one connection; the latencies in microseconds.
std::vector<double> round_trips(PipeClient& c, const std::string& request, int n,
                                std::size_t* reply_size = nullptr) {
    std::vector<double> us;
    us.reserve(n);
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        c.write(request);
        const auto reply = c.read_line();
        us.push_back(ms_since(t0) * 1000);
        if (reply_size && reply)
            *reply_size = reply->size();
        if (!reply)
            break;
    }
    return us;
}

struct Footprint {
    double working_set_kib = 0, peak_working_set_kib = 0;
    long handles = 0;
};

Footprint footprint(HANDLE process) {
    Footprint f;
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, &pmc, sizeof pmc)) {
        f.working_set_kib = pmc.WorkingSetSize / 1024.0;
        f.peak_working_set_kib = pmc.PeakWorkingSetSize / 1024.0;
    }
    DWORD count = 0;
    f.handles = GetProcessHandleCount(process, &count) && count > 0
                    ? static_cast<long>(count)
                    : handle_count_of(GetProcessId(process));
    return f;
}

// A run that cannot go on says why and ends with `code`.
int fail(int code, const char* why) {
    std::fprintf(stderr, "qel-bench: %s\n", why);
    return code;
}

nlohmann::json spread_json(const Spread& s) {
    return {{"median", s.median}, {"min", s.min}, {"max", s.max}};
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--agent")
            o.agent = widen(v);
        else if (k == "--empty")
            o.empty = widen(v);
        else if (k == "--empty-imports")
            o.empty_imports = widen(v);
        else if (k == "--agent-log")
            o.agent_log = widen(v);
        else if (k == "--out")
            o.out = v;
        else if (k == "--reps")
            o.reps = std::stoi(v);
        else if (k == "--pings")
            o.pings = std::stoi(v);
        else if (k == "--cycles")
            o.cycles = std::stoi(v);
        else if (k == "--startups")
            o.startups = std::stoi(v);
        else if (k == "--connects")
            o.connects = std::stoi(v);
    }
    nlohmann::json results;

    // 3. Start-up, before the agent of the other figures runs.
    {
        std::vector<double> agent_ms, empty_ms, imports_ms, in_agent_ms;
        const std::wstring startup_output =
            o.agent_log.empty() ? std::wstring() : o.agent_log + L".startup";
        // Each start waits a moment first: a process that has just been killed is still being
        // torn down by Wine, which would be counted against the next start. An empty program
        // is timed to its end.
        const auto time_to_exit = [](const std::wstring& exe, std::vector<double>& into) {
            Sleep(250);
            Child e;
            const auto t0 = Clock::now();
            if (!start(e, exe, std::wstring()))
                return false;
            WaitForSingleObject(e.pi.hProcess, 30000);
            into.push_back(ms_since(t0));
            return true;
        };
        for (int i = 0; i < o.startups; ++i) {
            if (!o.empty_imports.empty() && !time_to_exit(o.empty_imports, imports_ms))
                return fail(2, "cannot start the empty program with the agent's imports");
            {
                Sleep(250);
                Child a;
                const auto t0 = Clock::now();
                if (!start(a, o.agent, L"-f", startup_output))
                    return fail(2, "cannot start the agent");
                if (!connect_fast(kAgentPipe, 30000))
                    return fail(3, "the agent's pipe did not open within 30 s");
                agent_ms.push_back(ms_since(t0));
            }
            if (!startup_output.empty()) {
                if (const auto ms = start_line_to_listening_ms(startup_output))
                    in_agent_ms.push_back(*ms);
            }
            if (!time_to_exit(o.empty, empty_ms))
                return fail(2, "cannot start the empty program");
        }
        const Spread a = spread(agent_ms), e = spread(empty_ms), im = spread(imports_ms);
        results["startup"] = {{"agent_ms", spread_json(a)},
                              {"empty_program_ms", spread_json(e)},
                              {"ratio", a.median / e.median},
                              {"empty_program_with_agent_imports_ms", spread_json(im)},
                              {"ratio_to_imports_floor", im.median > 0 ? a.median / im.median : 0},
                              {"goal", "<= 1.5"}};
        if (!in_agent_ms.empty())
            results["startup"]["agent_start_line_to_listening_ms"] =
                spread_json(spread(in_agent_ms));
    }

    Child agent;
    if (!start(agent, o.agent, L"-f", o.agent_log))
        return fail(2, "cannot start the agent");
    if (!connect_fast(kAgentPipe, 30000))
        return fail(3, "the agent's pipe did not open within 30 s");
    Sleep(500);
    const Footprint idle = footprint(agent.pi.hProcess);

    // 1. Latency against the bare echo server. The agent's 20 KiB reply is "logs" over a ring
    // that the stand-in filled with 200 lines of about 100 bytes.
    {
        auto c = authenticated();
        if (!c)
            return fail(4, "cannot connect to the agent and authenticate");
        std::string lines;
        for (int i = 0; i < 200; ++i)
            lines += fmt::format("{}\"{:0>94}\"", i ? "," : "", i);
        c->write(R"({"method":"connect","params":{"profile":{"qel_fake":{"stdout":[)" + lines +
                 "]}}}}\n");
        c->read_line();
        Sleep(1000);  // the lines reach the ring once the start has released its lock
        const std::string ping = padded(R"({"id":1,"method":"ping"})", 40) + "\n";
        const std::string logs = padded(R"({"id":1,"method":"logs"})", 40) + "\n";
        std::size_t logs_reply = 0;
        round_trips(*c, logs, 1, &logs_reply);

        EchoServer small(L"\\\\.\\pipe\\qel-bench-echo-small", 34);
        EchoServer large(L"\\\\.\\pipe\\qel-bench-echo-large", logs_reply);
        auto es = PipeClient::connect(L"\\\\.\\pipe\\qel-bench-echo-small");
        auto el = PipeClient::connect(L"\\\\.\\pipe\\qel-bench-echo-large");
        if (!es || !el)
            return fail(5, "cannot connect to the echo servers");

        std::map<std::string, std::vector<double>> p50, p99;
        for (int rep = 0; rep < o.reps; ++rep) {
            const struct {
                const char* name;
                PipeClient& client;
                const std::string& request;
            } runs[] = {{"agent_ping", *c, ping},
                        {"echo_small", *es, ping},
                        {"agent_logs", *c, logs},
                        {"echo_large", *el, ping}};
            for (const auto& r : runs) {
                const auto us = round_trips(r.client, r.request, o.pings);
                p50[r.name].push_back(percentile(us, 0.5));
                p99[r.name].push_back(percentile(us, 0.99));
            }
        }
        auto ratios = [&](const char* a, const char* b) {
            std::vector<double> v;
            for (std::size_t i = 0; i < p50[a].size(); ++i)
                v.push_back(p50[a][i] / p50[b][i]);
            return spread(v);
        };
        nlohmann::json lat;
        for (const auto& [name, v] : p50) {
            lat[name] = {{"p50_us", spread_json(spread(v))},
                         {"p99_us", spread_json(spread(p99[name]))}};
        }
        lat["ratio_small_p50"] = spread_json(ratios("agent_ping", "echo_small"));
        lat["ratio_large_p50"] = spread_json(ratios("agent_logs", "echo_large"));
        lat["logs_reply_bytes"] = logs_reply;
        lat["goal"] = "agent p50 <= 1.2 x echo p50";
        results["latency"] = lat;
        c->write(R"({"method":"disconnect"})"
                 "\n");
        c->read_line();
    }

    // 2. Concurrency.
    Footprint after_load;
    {
        std::vector<double> all_us;
        std::mutex m;
        std::atomic<long> bad{0};
        const auto t0 = Clock::now();
        std::vector<std::thread> threads;
        for (int t = 0; t < o.clients; ++t) {
            threads.emplace_back([&, t] {
                auto c = authenticated();
                if (!c) {
                    bad += o.per_client;
                    return;
                }
                std::vector<double> us;
                us.reserve(o.per_client);
                for (int i = 0; i < o.per_client; ++i) {
                    const std::string id = fmt::format("\"{}.{}\"", t, i);
                    const auto s = Clock::now();
                    c->write(R"({"id":)" + id +
                             R"(,"method":"ping"})"
                             "\n");
                    const auto reply = c->read_line();
                    us.push_back(ms_since(s) * 1000);
                    if (reply != R"({"id":)" + id + R"(,"ok":true,"result":"pong"})")
                        ++bad;
                }
                std::lock_guard lock(m);
                all_us.insert(all_us.end(), us.begin(), us.end());
            });
        }
        for (auto& th : threads)
            th.join();
        const double secs = ms_since(t0) / 1000;
        const double p50v = percentile(all_us, 0.5), p99v = percentile(all_us, 0.99);
        results["concurrency"] = {{"clients", o.clients},
                                  {"pings_each", o.per_client},
                                  {"throughput_per_s", all_us.size() / secs},
                                  {"p50_us", p50v},
                                  {"p99_us", p99v},
                                  {"p99_over_p50", p99v / p50v},
                                  {"lost_or_malformed", bad.load()},
                                  {"goal", "0 lost; p99 <= 3 x p50"}};
        after_load = footprint(agent.pi.hProcess);
    }

    // 4. connect beyond the 700 ms start-up wait, and the cycles of 5.
    Footprint after_cycles;
    {
        auto c = authenticated();
        if (!c)
            return fail(4, "cannot connect to the agent and authenticate");
        std::vector<double> beyond;
        for (int i = 0; i < std::max(o.connects, o.cycles); ++i) {
            const auto t0 = Clock::now();
            c->write(R"({"method":"connect","params":{"profile":{}}})"
                     "\n");
            const auto reply = c->read_line();
            const double ms = ms_since(t0);
            if (!reply || reply->find("profile_hash") == std::string::npos) {
                std::fprintf(stderr, "connect %d of %d failed: %s\n", i + 1,
                             std::max(o.connects, o.cycles),
                             reply ? reply->c_str() : "no reply (connection lost)");
                return 6;
            }
            if (i < o.connects)
                beyond.push_back(ms - 700.0);
            c->write(R"({"method":"disconnect"})"
                     "\n");
            c->read_line();
        }
        results["connect"] = {{"beyond_700ms_ms", spread_json(spread(beyond))},
                              {"goal", "median <= 20 ms"}};
        Sleep(500);
        after_cycles = footprint(agent.pi.hProcess);
    }
    const auto footprint_json = [](const Footprint& f) {
        return nlohmann::json{{"working_set_kib", f.working_set_kib},
                              {"peak_working_set_kib", f.peak_working_set_kib},
                              {"handles", f.handles}};
    };
    results["footprint"] = {{"idle", footprint_json(idle)},
                            {"after_load", footprint_json(after_load)},
                            {"after_cycles", footprint_json(after_cycles)},
                            {"cycles", o.cycles},
                            {"goal", "no growth from after_load to after_cycles beyond noise"}};

    const std::string text = results.dump(2);
    if (!o.out.empty())
        std::ofstream(o.out, std::ios::binary) << text << "\n";
    print(summary_table(results));
    return 0;
}
