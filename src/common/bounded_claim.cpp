#include "common/bounded_claim.h"

#include <fmt/format.h>

#include <exception>
#include <memory>
#include <utility>

#include "common/duration_text.h"

namespace qel {
namespace {

Claim failed(const std::string& folder, const std::string& why) {
    Claim c;
    c.folder = Error(fmt::format("cannot claim {}: {}", folder, why));
    return c;
}

}  // namespace

void Claim::log_notes(log::Target target) const {
    for (const std::string& note : notes)
        log::warn(target, "{}", note);
}

void ClaimProgress::at(std::string folder) {
    std::lock_guard lock(m_);
    folder_ = std::move(folder);
}

std::string ClaimProgress::folder() const {
    std::lock_guard lock(m_);
    return folder_;
}

Claim run_claim(SerialWorker& worker, std::string folder, std::chrono::milliseconds bound,
                log::Target target, ClaimStep step) {
    auto progress = std::make_shared<ClaimProgress>();
    progress->at(folder);
    const auto job = [progress, step = std::move(step), folder]() -> Claim {
        try {
            return step(*progress);
        } catch (const std::exception& e) {
            return failed(folder, e.what());
        } catch (...) {
            return failed(folder, "unknown exception");
        }
    };
    // What a claim moves aside after its caller gave up is told all the same.
    const auto late = [target](Claim c) { c.log_notes(target); };
    SerialWorker::Outcome<Claim> out = worker.run(job, bound, late);
    switch (out.end) {
        case SerialWorker::End::finished:
            return std::move(*out.value);
        case SerialWorker::End::never_started:
            return failed(folder, fmt::format("the claim did not start within {}, another claim "
                                              "was still running",
                                              duration_text(bound)));
        case SerialWorker::End::overran:
            return failed(progress->folder(),
                          fmt::format("the claim did not finish within {}", duration_text(bound)));
        case SerialWorker::End::no_thread:
            break;
    }
    return failed(folder, "no thread to run the claim on: " + out.no_thread->full());
}

}  // namespace qel
