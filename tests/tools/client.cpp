// qel-client.exe: talks to the agent from the user's session.
//
//   qel-client [--pipe NAME] [--token-file PATH | --no-auth] [REQUEST ...]
//
// Connects, authenticates with the session's token file (unless --no-auth), then sends each
// REQUEST (a JSON line) — or, without any, every line of standard input — and prints each
// reply line.

#include "pipe_client.h"

#include <cstdio>
#include <iostream>
#include <vector>

using namespace qel::tools;

int main(int argc, char** argv) {
    std::wstring pipe = L"\\\\.\\pipe\\qel-agent";
    std::wstring token_file = default_token_file();
    bool auth = true;
    std::vector<std::string> requests;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pipe" && i + 1 < argc) {
            pipe = widen(argv[++i]);
        } else if (a == "--token-file" && i + 1 < argc) {
            token_file = widen(argv[++i]);
        } else if (a == "--no-auth") {
            auth = false;
        } else if (a == "--help" || a == "-h") {
            std::puts(
                "usage: qel-client [--pipe NAME] [--token-file PATH | --no-auth] [REQUEST ...]");
            return 0;
        } else {
            requests.push_back(a);
        }
    }

    std::optional<PipeClient> client = PipeClient::connect(pipe);
    if (!client) {
        std::fprintf(stderr, "qel-client: cannot connect to %s\n", narrow(pipe).c_str());
        return 1;
    }
    auto exchange = [&](const std::string& line) {
        if (!client->write(line + "\n"))
            return false;
        const std::optional<std::string> reply = client->read_line();
        if (!reply)
            return false;
        print(*reply + "\n");
        return true;
    };
    if (auth) {
        const std::optional<std::string> token = read_token(token_file);
        if (!token) {
            std::fprintf(stderr, "qel-client: cannot read the token file %s\n",
                         narrow(token_file).c_str());
            return 1;
        }
        if (!exchange(R"({"method":"auth","params":{"token":")" + *token + "\"}}"))
            return 1;
    }
    if (requests.empty()) {
        for (std::string line; std::getline(std::cin, line);) {
            // A blank line gets no reply from the agent: do not wait for one.
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            if (!exchange(line))
                return 1;
        }
    } else {
        for (const std::string& r : requests) {
            if (!exchange(r))
                return 1;
        }
    }
    return 0;
}
