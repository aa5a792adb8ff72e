// The tests' stand-in for sing-box.exe. It accepts "run -c <path>" and takes its behaviour
// from the member "qel_fake" of the configuration (the client's profile), for example
//
//   {"qel_fake": {"stdout": ["a", "b"], "stderr_hex": "ff0a", "crlf": true, "exit": 1}}
//
//   stdout, stderr           lines written with a line feed ("crlf": with CR LF)
//   stdout_raw, stderr_raw   text written as it is (e.g. without a final line feed)
//   stdout_hex, stderr_hex   bytes written as they are
//   exit                     exit code, at once after writing; without it the process runs on
//   exit_after_ms            with "exit": wait this long first
//   report_job               true: before any other output, the line "in job: yes" or
//                            "in job: no", whether the process was in a job object when its
//                            main began (IsProcessInJob; "in job: unknown" when that fails)
//
// It appends its process id to "<config folder>\fake-singbox.pids" first, so tests can check
// that no stand-in outlives what should end it.

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

void write(DWORD which, const std::string& bytes) {
    DWORD n;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

std::string from_hex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

void emit(const nlohmann::json& fake, const char* stream, DWORD which) {
    const std::string name(stream);
    const std::string eol = fake.value("crlf", false) ? "\r\n" : "\n";
    if (fake.contains(name) && fake[name].is_array()) {
        for (const auto& line : fake[name])
            write(which, line.get<std::string>() + eol);
    }
    if (fake.contains(name + "_raw"))
        write(which, fake[name + "_raw"].get<std::string>());
    if (fake.contains(name + "_hex"))
        write(which, from_hex(fake[name + "_hex"].get<std::string>()));
}

}  // namespace

int main(int argc, char** argv) {
    // Asked first, before anything else runs: a process that is bound to its job only after
    // it has started would show here.
    BOOL in_job = FALSE;
    const bool asked = IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);

    if (argc != 4 || std::string(argv[1]) != "run" || std::string(argv[2]) != "-c") {
        write(STD_ERROR_HANDLE, "usage: sing-box run -c <config>\n");
        return 2;
    }
    const std::string config = argv[3];
    const std::string folder = config.substr(0, config.find_last_of("\\/") + 1);
    std::ofstream(folder + "fake-singbox.pids", std::ios::app | std::ios::binary)
        << GetCurrentProcessId() << "\n";

    std::ifstream in(config, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json cfg = nlohmann::json::parse(text.str(), nullptr, false);
    const nlohmann::json fake =
        cfg.is_object() && cfg.contains("qel_fake") ? cfg["qel_fake"] : nlohmann::json::object();

    if (fake.value("report_job", false))
        write(STD_OUTPUT_HANDLE, !asked   ? "in job: unknown\n"
                                 : in_job ? "in job: yes\n"
                                          : "in job: no\n");
    emit(fake, "stdout", STD_OUTPUT_HANDLE);
    emit(fake, "stderr", STD_ERROR_HANDLE);
    if (fake.contains("exit")) {
        Sleep(fake.value("exit_after_ms", 0u));
        return fake["exit"].get<int>();
    }
    for (;;)
        Sleep(1000);
}
