#include "session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "pipe_client.h"

namespace qel::tools {
namespace {

std::string from_hex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string auth_line(const std::string& token) {
    return R"({"method":"auth","params":{"token":")" + token + "\"}}\n";
}

}  // namespace

int run_session(const std::wstring& pipe, const std::vector<std::string>& steps) {
    std::optional<PipeClient> client = PipeClient::connect(pipe);
    if (!client) {
        print("<CONNECT FAILED>\n");
        return 2;
    }
    std::vector<std::thread> writers;
    for (const std::string& step : steps) {
        const auto colon = step.find(':');
        const std::string verb = step.substr(0, colon);
        const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
        if (verb == "auth") {
            const auto token = read_token(default_token_file());
            if (!token || !client->write(auth_line(*token)))
                print("<WRITE FAILED>\n");
        } else if (verb == "line") {
            if (!client->write(arg + "\n"))
                print("<WRITE FAILED>\n");
        } else if (verb == "hex") {
            if (!client->write(from_hex(arg)))
                print("<WRITE FAILED>\n");
        } else if (verb == "big") {
            // Written from a thread of its own so that replies can be read meanwhile.
            const std::size_t n = std::stoull(arg);
            writers.emplace_back([&client, n] { client->write(std::string(n, 'a')); });
        } else if (verb == "read") {
            const auto line = client->read_line();
            print(line ? "< " + *line + "\n" : "<EOF>\n");
        } else if (verb == "rest") {
            while (const auto line = client->read_line())
                print("< " + *line + "\n");
            print("<EOF>\n");
        } else if (verb == "sleep") {
            Sleep(static_cast<DWORD>(std::stoul(arg)));
        } else if (verb == "close") {
            for (auto& w : writers)
                w.join();
            writers.clear();
            client->close();
        } else {
            print("<BAD STEP " + step + ">\n");
            return 2;
        }
    }
    for (auto& w : writers)
        w.join();
    return 0;
}

int run_load(const std::wstring& pipe, int clients, int requests) {
    const auto token = read_token(default_token_file());
    if (!token) {
        print("no token file\n");
        return 2;
    }
    std::atomic<long> good{0}, bad{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::optional<PipeClient> client = PipeClient::connect(pipe, 30000);
            if (!client || !client->write(auth_line(*token)) ||
                client->read_line() != R"({"ok":true,"result":true})") {
                bad += requests;
                return;
            }
            for (int i = 0; i < requests; ++i) {
                const std::string id = std::to_string(c) + "." + std::to_string(i);
                const std::string expected = R"({"id":")" + id + R"(","ok":true,"result":"pong"})";
                if (!client->write(R"({"id":")" + id +
                                   R"(","method":"ping"})"
                                   "\n") ||
                    client->read_line() != expected) {
                    ++bad;
                } else {
                    ++good;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    print("good " + std::to_string(good) + " bad " + std::to_string(bad) + "\n");
    return bad == 0 ? 0 : 1;
}

int run_mixed_load(const std::wstring& pipe, int clients, int requests) {
    const auto token = read_token(default_token_file());
    if (!token) {
        print("no token file\n");
        return 2;
    }
    static constexpr const char* methods[] = {R"("method":"ping")", R"("method":"state")",
                                              R"("method":"logs","params":{"tail":5})",
                                              R"("method":"kill_switch_status")"};
    std::atomic<long> good{0}, bad{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::optional<PipeClient> client = PipeClient::connect(pipe, 60000);
            if (!client || !client->write(auth_line(*token)) ||
                client->read_line() != R"({"ok":true,"result":true})") {
                bad += requests;
                return;
            }
            for (int i = 0; i < requests; ++i) {
                const std::string id = "\"" + std::to_string(c) + "." + std::to_string(i) + "\"";
                const std::string line = "{\"id\":" + id + "," + methods[i % 4] + "}\n";
                const auto reply = client->write(line) ? client->read_line() : std::nullopt;
                // Replies in order: each one carries the id of the request just sent.
                if (reply && reply->rfind("{\"id\":" + id + ",\"ok\":true,", 0) == 0) {
                    ++good;
                } else {
                    ++bad;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    print("good " + std::to_string(good) + " bad " + std::to_string(bad) + "\n");
    return bad == 0 ? 0 : 1;
}

int run_cycles(const std::wstring& pipe, int cycles) {
    const auto token = read_token(default_token_file());
    std::optional<PipeClient> client = PipeClient::connect(pipe, 60000);
    if (!token || !client || !client->write(auth_line(*token)) ||
        client->read_line() != R"({"ok":true,"result":true})") {
        print("cannot authenticate\n");
        return 2;
    }
    int bad = 0;
    for (int i = 0; i < cycles; ++i) {
        client->write(R"({"method":"connect","params":{"profile":{}}})"
                      "\n");
        const auto connected = client->read_line();
        client->write(R"({"method":"disconnect"})"
                      "\n");
        const auto disconnected = client->read_line();
        if (!connected || connected->find("profile_hash") == std::string::npos ||
            disconnected != R"({"ok":true,"result":{"ok":true}})") {
            ++bad;
        }
    }
    print("cycles " + std::to_string(cycles) + " bad " + std::to_string(bad) + "\n");
    return bad == 0 ? 0 : 1;
}

}  // namespace qel::tools
