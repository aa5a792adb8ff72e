#include "wfp_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <variant>

#include "common/utf.h"

namespace qel::test {

WfpTest::WfpTest()
    : programdata_(L"PROGRAMDATA", dir_.path()),
      state_file_(L"QEL_FWP_DOUBLE_STATE", dir_.path() + L"\\fwpuclnt-state.txt") {}

void WfpTest::SetUp() {
    ASSERT_TRUE(fwp::double_loaded()) << "fwpuclnt.dll is not the double";
    fwp::reset();
    clear_captured_events();
}

std::string WfpTest::app_path() const {
    const std::wstring path = dir_.path() + L"\\sing-box.exe";
    if (!std::filesystem::exists(path))
        std::ofstream(std::filesystem::path(path)) << "MZ";
    return to_utf8_lossy(path);
}

std::wstring WfpTest::record_path() const {
    return dir_.path() + L"\\QEL\\runtime\\kill-switch.json";
}

bool WfpTest::record_exists() const {
    return std::filesystem::exists(record_path());
}

void WfpTest::write_record_file(const std::string& text) const {
    std::filesystem::create_directories(dir_.path() + L"\\QEL\\runtime");
    std::ofstream(std::filesystem::path(record_path()), std::ios::binary) << text;
}

std::string WfpTest::read_record_file() const {
    std::ifstream in(std::filesystem::path(record_path()), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<wfp::KillSwitchRecord> WfpTest::records() const {
    if (!record_exists())
        return {};
    const std::string text = read_record_file();
    Result<wfp::ParsedRecords> r = wfp::parse_records(text);
    if (!r.ok()) {
        ADD_FAILURE() << r.error().full() << ": " << text;
        return {};
    }
    const auto* records = std::get_if<std::vector<wfp::KillSwitchRecord>>(&r.value());
    if (records == nullptr) {
        ADD_FAILURE() << "a later version: " << text;
        return {};
    }
    return *records;
}

std::vector<std::wstring> WfpTest::aside_files() const {
    std::vector<std::wstring> names;
    const std::filesystem::path folder = dir_.path() + L"\\QEL\\runtime";
    if (!std::filesystem::exists(folder))
        return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"kill-switch.json.corrupt-", 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

wfp::ProcessIdentity ended_process() {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"cmd.exe /c exit 0";
    EXPECT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    FILETIME created{}, exited{}, kernel{}, user{};
    EXPECT_TRUE(GetProcessTimes(pi.hProcess, &created, &exited, &kernel, &user));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return {pi.dwProcessId,
            static_cast<std::uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime};
}

std::vector<std::string> wfp_events() {
    static const std::string prefix = "qel_agent::wfp::";
    std::vector<std::string> out;
    for (const CapturedEvent& e : captured_events()) {
        if (e.target.rfind(prefix, 0) == 0)
            out.push_back(e.level + " " + e.target.substr(prefix.size()) + ": " + e.message);
    }
    return out;
}

std::map<std::string, std::string> call_keys() {
    std::map<std::string, std::string> keys;
    unsigned sublayers = 0, filters = 0, handles = 0;
    const auto nth = [](const char* name, unsigned n) {
        return n == 1 ? std::string(name) : name + std::to_string(n);
    };
    for (const std::string& line : fwp::journal()) {
        const std::size_t sp = line.find(' ');
        const std::string fn = line.substr(0, sp);
        const std::string detail = line.substr(sp + 1, line.find(" -> ") - sp - 1);
        if (fn == "FwpmSubLayerAdd0")
            keys[nth("S", ++sublayers)] = detail;
        else if (fn == "FwpmFilterAdd0")
            keys["A" + std::to_string(++filters)] = detail;
        else if (fn == "FwpmEngineOpen0" && line.substr(line.size() - 3) == "0x0")
            keys[nth("H", ++handles)] = detail;
    }
    return keys;
}

std::vector<std::string> expand(const std::vector<std::string>& lines,
                                const std::map<std::string, std::string>& keys) {
    std::vector<std::string> out;
    for (std::string line : lines) {
        for (const auto& [name, key] : keys) {
            const std::string marker = "{" + name + "}";
            for (std::size_t at; (at = line.find(marker)) != std::string::npos;)
                line.replace(at, marker.size(), key);
        }
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> installed_names() {
    std::vector<std::string> names;
    for (const fwpdbl::Filter& f : fwp::state().filters)
        names.push_back(f.name);
    return names;
}

}  // namespace qel::test
