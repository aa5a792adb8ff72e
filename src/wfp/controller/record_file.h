#pragma once
// The record file, runtime_dir()\kill-switch.json: the keys of every kill switch whose
// objects may still be installed, including those of agent processes that ended without
// removing them.

#include <functional>
#include <string>
#include <vector>

#include "wfp/controller/record.h"

namespace qel::wfp {

std::wstring record_file_path();

// The run id of this agent process, written into its records; random, made at first use.
const std::string& this_run();

// Reads the records, lets `edit` change them and writes them back when they changed, all
// under one process-wide lock. The write is atomic (a flushed temporary file moved over the
// old one); an empty list removes the file. A file that cannot be parsed is logged and
// removed; one that cannot be read is logged and left alone, and `edit` is not called.
void edit_records(const std::function<void(std::vector<KillSwitchRecord>&)>& edit);

}  // namespace qel::wfp
