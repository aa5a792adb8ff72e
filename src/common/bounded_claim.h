#pragma once
// Claims of the data folders as their callers see them: one at a time, on one worker thread,
// and never waited for longer than a bound. A claim may have to move a folder of another
// account aside, and on Windows that move can wait for as long as the other account holds
// on to something in the folder; what waits then is the worker's thread, not the caller, who
// fails with an error that names the folder. The claims themselves are own_folder's.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "common/serial_worker.h"

namespace qel {

// What a claim did: the path of the claimed folder, or why it cannot be used; and, either
// way, what it moved aside before that.
struct Claim {
    Result<std::wstring> folder = std::wstring();
    std::vector<std::string> notes;  // one line per folder moved aside
    explicit operator bool() const { return folder.ok(); }
    // The notes as WARN events under `target`.
    void log_notes(log::Target target) const;
};

// How long a caller waits for its claim, the claims queued before it included.
inline constexpr std::chrono::milliseconds kClaimBound{5000};

// The folder a claim works on, which the claim names as it goes, for its caller's error.
class ClaimProgress {
  public:
    void at(std::string folder);
    std::string folder() const;

  private:
    mutable std::mutex m_;
    std::string folder_;
};

using ClaimStep = std::function<Claim(ClaimProgress&)>;

// Runs `step` on `worker` behind the claims before it and waits for it at most `bound` from
// this call. `folder` (UTF-8) is the folder the claim is for. When the bound passes first, the
// claim is an error that names the folder:
//   "cannot claim <folder>: the claim did not start within 5 s, another claim was still
//    running" (it will never run), or
//   "cannot claim <folder>: the claim did not finish within 5 s" (the folder the claim was
//    working on; it goes on, and the notes of what it moves aside are WARN events under
//    `target` once it ends).
// Without a thread to run on, it is "cannot claim <folder>: no thread to run the claim on: ..."
// A step that throws is the error "cannot claim <folder>: <what it threw>".
Claim run_claim(SerialWorker& worker, std::string folder, std::chrono::milliseconds bound,
                log::Target target, ClaimStep step);

}  // namespace qel
