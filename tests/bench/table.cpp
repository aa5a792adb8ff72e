#include "table.h"

#include <fmt/format.h>

namespace qel::bench {
namespace {

std::string range(const nlohmann::json& s, const char* unit = "") {
    return fmt::format("{:.2f}{} ({:.2f}-{:.2f})", s["median"].get<double>(), unit,
                       s["min"].get<double>(), s["max"].get<double>());
}

void row(std::string& out, const std::string& figure, const std::string& value,
         const std::string& goal, bool met) {
    out += fmt::format("{:<44} {:<34} {:<18} {}\n", figure, value, goal, met ? "met" : "MISSED");
}

}  // namespace

std::string summary_table(const nlohmann::json& r) {
    std::string out =
        fmt::format("{:<44} {:<34} {:<18} {}\n", "figure", "median (min-max)", "goal", "");
    const auto& lat = r["latency"];
    row(out, "1. ping p50, agent / bare echo", range(lat["ratio_small_p50"]), "<= 1.2",
        lat["ratio_small_p50"]["median"].get<double>() <= 1.2);
    row(out, "1. 20 KiB reply p50, agent / bare echo", range(lat["ratio_large_p50"]), "<= 1.2",
        lat["ratio_large_p50"]["median"].get<double>() <= 1.2);
    row(out, "   agent ping p50 / p99 (us)",
        fmt::format("{:.0f} / {:.0f}", lat["agent_ping"]["p50_us"]["median"].get<double>(),
                    lat["agent_ping"]["p99_us"]["median"].get<double>()),
        "", true);
    const auto& c = r["concurrency"];
    row(out, "2. 64 x 1000 pings: lost or malformed",
        std::to_string(c["lost_or_malformed"].get<long>()), "0",
        c["lost_or_malformed"].get<long>() == 0);
    row(out, "2. 64 x 1000 pings: p99 / p50",
        fmt::format("{:.2f} ({:.0f} / {:.0f} us)", c["p99_over_p50"].get<double>(),
                    c["p99_us"].get<double>(), c["p50_us"].get<double>()),
        "<= 3", c["p99_over_p50"].get<double>() <= 3);
    row(out, "2. 64 x 1000 pings: throughput",
        fmt::format("{:.0f} /s", c["throughput_per_s"].get<double>()), "", true);
    const auto& s = r["startup"];
    row(out, "3. start-up, agent / empty program", fmt::format("{:.2f}", s["ratio"].get<double>()),
        "<= 1.5", s["ratio"].get<double>() <= 1.5);
    if (s.contains("ratio_to_imports_floor")) {
        const double floor_ratio = s["ratio_to_imports_floor"].get<double>();
        row(out, "3. start-up, agent / empty with its imports", fmt::format("{:.2f}", floor_ratio),
            "<= 1.5", floor_ratio <= 1.5);
    }
    row(out, "   agent to first connect (ms)", range(s["agent_ms"]), "", true);
    if (s.contains("agent_start_line_to_listening_ms")) {
        row(out, "   agent, start-up line to listening (ms)",
            range(s["agent_start_line_to_listening_ms"]), "", true);
    }
    row(out, "   empty program (ms)", range(s["empty_program_ms"]), "", true);
    if (s.contains("empty_program_with_agent_imports_ms")) {
        row(out, "   empty program, agent's DLL imports (ms)",
            range(s["empty_program_with_agent_imports_ms"]), "", true);
    }
    const auto& k = r["connect"]["beyond_700ms_ms"];
    row(out, "4. connect beyond the 700 ms wait (ms)", range(k), "<= 20",
        k["median"].get<double>() <= 20);
    const auto& f = r["footprint"];
    const double ws = f["after_cycles"]["working_set_kib"].get<double>() -
                      f["after_load"]["working_set_kib"].get<double>();
    const long h =
        f["after_cycles"]["handles"].get<long>() - f["after_load"]["handles"].get<long>();
    row(out, fmt::format("5. growth after {} connect cycles", f["cycles"].get<int>()),
        fmt::format("{:+.0f} KiB, {:+d} handles", ws, h), "none beyond noise", h <= 5 && ws < 4096);
    row(out, "   working set idle / load / cycles (KiB)",
        fmt::format("{:.0f} / {:.0f} / {:.0f}", f["idle"]["working_set_kib"].get<double>(),
                    f["after_load"]["working_set_kib"].get<double>(),
                    f["after_cycles"]["working_set_kib"].get<double>()),
        "", true);
    row(out, "   peak working set idle / load / cycles (KiB)",
        fmt::format("{:.0f} / {:.0f} / {:.0f}", f["idle"].value("peak_working_set_kib", 0.0),
                    f["after_load"].value("peak_working_set_kib", 0.0),
                    f["after_cycles"].value("peak_working_set_kib", 0.0)),
        "", true);
    row(out, "   handles idle / load / cycles",
        fmt::format("{} / {} / {}", f["idle"]["handles"].get<long>(),
                    f["after_load"]["handles"].get<long>(),
                    f["after_cycles"]["handles"].get<long>()),
        "", true);
    return out;
}

}  // namespace qel::bench
