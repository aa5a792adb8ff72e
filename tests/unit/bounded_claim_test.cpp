// A data-folder claim as its caller sees it: an answer within the bound, and an error that
// names the folder when the claim or the claims before it take longer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bounded_claim.h"
#include "common/serial_worker.h"
#include "gate.h"
#include "log_capture.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using test::Gate;

constexpr std::chrono::milliseconds kGenerous = 10s;
constexpr auto kTarget = log::Target::sandbox_lifecycle;
const std::string kRoot = R"(C:\ProgramData\QEL)";
const std::string kRuntime = R"(C:\ProgramData\QEL\runtime)";

Claim claimed(const std::string& folder, std::vector<std::string> notes) {
    Claim c;
    c.folder = std::wstring(folder.begin(), folder.end());
    c.notes = std::move(notes);
    return c;
}

TEST(BoundedClaim, ACallerThatStopsWaitingGetsAnErrorThatNamesTheFolder) {
    struct Case {
        const char* what;
        bool queued;  // behind a claim that is blocked
        std::chrono::milliseconds bound;
        std::string error;
    } const cases[] = {
        {"blocked on data_root, while claiming runtime", false, 200ms,
         R"(cannot claim C:\ProgramData\QEL: the claim did not finish within 200 ms)"},
        {"a bound of whole seconds", false, 1000ms,
         R"(cannot claim C:\ProgramData\QEL: the claim did not finish within 1 s)"},
        {"queued behind another claim", true, 200ms,
         R"(cannot claim C:\ProgramData\QEL\runtime: the claim did not start within 200 ms, )"
         "another claim was still running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SerialWorker worker;
        auto gate = Gate::create();
        std::future<Claim> before;
        if (c.queued) {
            before = std::async(std::launch::async, [&worker, gate] {
                return run_claim(worker, kRoot, kGenerous, kTarget, [gate](ClaimProgress&) {
                    gate->pass();
                    return Claim();
                });
            });
            ASSERT_TRUE(gate->reached_within(kGenerous));
        }
        auto ran = std::make_shared<std::atomic<bool>>(false);
        const auto start = std::chrono::steady_clock::now();
        const Claim got =
            run_claim(worker, kRuntime, c.bound, kTarget, [gate, ran](ClaimProgress& progress) {
                *ran = true;
                progress.at(kRoot);
                gate->pass();
                progress.at(kRuntime);
                return Claim();
            });
        const auto waited = std::chrono::steady_clock::now() - start;
        gate->open();
        ASSERT_FALSE(got);
        EXPECT_EQ(got.folder.error().full(), c.error);
        EXPECT_TRUE(got.notes.empty());
        EXPECT_GE(waited, c.bound);
        EXPECT_LT(waited, kGenerous);
        if (c.queued) {
            EXPECT_TRUE(before.get());
            // The worker has run everything it still held: the given-up claim is not among it.
            EXPECT_TRUE(run_claim(worker, kRoot, kGenerous, kTarget,
                                  [](ClaimProgress&) { return Claim(); }));
            EXPECT_FALSE(*ran);
        }
    }
}

TEST(BoundedClaim, WhatALateClaimMovesAsideIsLoggedUnderTheCallersTarget) {
    test::clear_captured_events();
    SerialWorker worker;
    auto gate = Gate::create();
    const std::string note = "data folder: " + kRuntime +
                             " is not the agent's own (S-1-1-0 may "
                             "change it); moved it aside to " +
                             kRuntime + ".untrusted-20260101T000000Z";
    const Claim got = run_claim(worker, kRuntime, 200ms, kTarget, [gate, note](ClaimProgress&) {
        gate->pass();
        return claimed(kRuntime, {note});
    });
    ASSERT_FALSE(got);
    EXPECT_FALSE(test::has_event("WARN", note)) << "nothing was moved yet";

    gate->open();
    EXPECT_TRUE(test::wait_for_events(
        [&](const std::vector<test::CapturedEvent>& events) {
            for (const test::CapturedEvent& e : events) {
                if (e.level == "WARN" && e.target == "qel_agent::sandbox::lifecycle" &&
                    e.message == note)
                    return true;
            }
            return false;
        },
        kGenerous));
}

// A claim that ends in time is its caller's, notes and all: the caller logs them.
TEST(BoundedClaim, AClaimThatEndsInTimeIsTheCallersAnswer) {
    struct Case {
        const char* what;
        ClaimStep step;
        std::string folder_or_error;
        std::vector<std::string> notes;
    } const cases[] = {
        {"claimed",
         [](ClaimProgress&) { return claimed(kRuntime, {"moved one aside"}); },
         kRuntime,
         {"moved one aside"}},
        {"failed, after moving one aside",
         [](ClaimProgress&) {
             Claim c;
             c.folder = Error("cannot move it aside");
             c.notes = {"moved one aside"};
             return c;
         },
         "cannot move it aside",
         {"moved one aside"}},
        {"threw",
         [](ClaimProgress&) -> Claim { throw std::runtime_error("disk on fire"); },
         R"(cannot claim C:\ProgramData\QEL\runtime: disk on fire)",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::clear_captured_events();
        SerialWorker worker;
        const Claim got = run_claim(worker, kRuntime, kGenerous, kTarget, c.step);
        if (got) {
            EXPECT_EQ(got.folder.value(),
                      std::wstring(c.folder_or_error.begin(), c.folder_or_error.end()));
        } else {
            EXPECT_EQ(got.folder.error().full(), c.folder_or_error);
        }
        EXPECT_EQ(got.notes, c.notes);
        EXPECT_TRUE(test::captured_events().empty());
    }
}

}  // namespace
}  // namespace qel
