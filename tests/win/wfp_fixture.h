#pragma once
// Kill-switch tests against the fwpuclnt.dll double: each test gets a fresh data folder and
// state file, the double's counters and journal start again, and the log is captured anew.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "fwp_double.h"
#include "log_capture.h"
#include "runtime_fixture.h"
#include "wfp/controller/owner.h"
#include "wfp/controller/record.h"
#include "win_test_util.h"

namespace qel::test {

class WfpTest : public RuntimeTest {
  protected:
    WfpTest();
    void SetUp() override;

    // A file that exists (the tunnel program stand-in), as UTF-8.
    std::string app_path() const;
    std::wstring record_path() const;
    bool record_exists() const;
    void write_record_file(const std::string& text) const;
    std::string read_record_file() const;
    // The record file's entries, none when there is no file; a test failure when the file is
    // not of this agent's format.
    std::vector<wfp::KillSwitchRecord> records() const;
    // Names of the files in the record's folder that begin with "kill-switch.json.corrupt-".
    std::vector<std::wstring> aside_files() const;

    WinTempDir dir_;
    ScopedEnv programdata_;
    ScopedEnv state_file_;
};

// A process that has ended: a child that was started and has exited.
wfp::ProcessIdentity ended_process();

// The events of the three kill-switch targets since the test began, each as
// "<LEVEL> <module>: <message>" with module one of engine, kill_switch, controller.
std::vector<std::string> wfp_events();

// The keys of this process's calls since the reset: "S" is the first sublayer added, "S2" the
// second, "A1", "A2", ... the filters in the order their adds were attempted (refused ones too),
// "H" the first engine handle opened, "H2" the second.
std::map<std::string, std::string> call_keys();

// Replaces every "{NAME}" by keys.at(NAME).
std::vector<std::string> expand(const std::vector<std::string>& lines,
                                const std::map<std::string, std::string>& keys);

// Display names of the installed filters, in install order.
std::vector<std::string> installed_names();

}  // namespace qel::test
