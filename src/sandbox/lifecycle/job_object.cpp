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

}  // namespace

Result<win::UniqueHandle> bind_job_object(std::uint32_t pid) {
    // A job that ends up holding no sing-box is closed again when this returns.
    win::UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job)
        return map_create_job_error();

    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    static_assert(sizeof(limits) == 144);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        return map_set_job_information_error();
    }
    win::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, pid));
    if (!process)
        return map_open_process_error(pid);
    if (!AssignProcessToJobObject(job.get(), process.get()))
        return map_assign_job_error();
    return job;
}

}  // namespace qel::sandbox
