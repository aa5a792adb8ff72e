#include "sandbox/lifecycle/job_object.h"

#include <windows.h>

#include <fmt/format.h>

#include "common/win_error.h"

namespace qel::sandbox {
namespace {

std::string last_error_text() {
    return win::last_error_hresult_text();
}

Error map_create_job_error() {
    return Error("CreateJobObjectW failed: " + last_error_text());
}
Error map_set_job_information_error() {
    return Error("SetInformationJobObject failed: " + last_error_text());
}
Error map_open_process_error(std::uint32_t pid) {
    return Error(fmt::format("OpenProcess({}) failed: {}", pid, last_error_text()));
}
Error map_assign_job_error() {
    return Error("AssignProcessToJobObject failed: " + last_error_text());
}

class Owned {
  public:
    explicit Owned(HANDLE h) : h_(h) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (h_)
            CloseHandle(h_);
    }
    HANDLE get() const { return h_; }
    // The job of a successful binding: deliberately never closed (see the header).
    void keep_open_until_exit() { h_ = nullptr; }

  private:
    HANDLE h_;
};

bool valid(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

}  // namespace

Result<void> bind_job_object(std::uint32_t pid) {
    HANDLE raw_job = CreateJobObjectW(nullptr, nullptr);
    if (!valid(raw_job))
        return map_create_job_error();
    Owned job(raw_job);  // a job that holds no sing-box is closed again at once

    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    static_assert(sizeof(limits) == 144);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        return map_set_job_information_error();
    }
    HANDLE raw_process = OpenProcess(PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, pid);
    if (!valid(raw_process))
        return map_open_process_error(pid);
    Owned process(raw_process);
    if (!AssignProcessToJobObject(job.get(), process.get()))
        return map_assign_job_error();
    job.keep_open_until_exit();
    return {};
}

}  // namespace qel::sandbox
