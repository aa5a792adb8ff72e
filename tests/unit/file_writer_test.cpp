#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "service/logging/file_writer.h"
#include "test_dir.h"

namespace qel::logging {
namespace {

using namespace std::chrono;

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(LogFileName, UtcDate) {
    EXPECT_EQ(log_file_name(sys_days{year{2024} / January / 31} + hours(23) + minutes(59)),
              "agent.log.2024-01-31");
    EXPECT_EQ(log_file_name(sys_days{year{2025} / March / 1}), "agent.log.2025-03-01");
}

TEST(DailyFileWriter, FullQueueDropsTheNewLineAndKeepsTheQueuedOnes) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(kLogQueueLines);
    // The writer is not running yet, as if it were blocked: the queue fills up.
    for (std::size_t i = 0; i < kLogQueueLines; ++i) {
        ASSERT_TRUE(queue->try_push(std::to_string(i) + "\n"));
    }
    EXPECT_FALSE(queue->try_push("dropped\n"));

    const auto now = sys_days{year{2024} / June / 1} + hours(12);
    DailyFileWriter writer(dir.path(), queue, [now] { return now; });
    writer.start();
    writer.finish();

    const std::string text = read_file(dir.path() / "agent.log.2024-06-01");
    std::istringstream lines(text);
    std::string line;
    std::size_t expected = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line, std::to_string(expected)) << "line " << expected;
        ++expected;
    }
    EXPECT_EQ(expected, kLogQueueLines);
}

TEST(DailyFileWriter, RotatesAtUtcMidnightByWriteTime) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(16);
    const auto before = sys_days{year{2024} / December / 31} + hours(23) + minutes(59) +
                        seconds(59) + milliseconds(900);
    std::atomic<system_clock::time_point> clock{before};
    DailyFileWriter writer(dir.path(), queue, [&clock] { return clock.load(); });

    queue->try_push("old day\n");
    writer.start();
    // Wait until the first line is out before moving the clock past midnight.
    for (int i = 0; i < 500 && read_file(dir.path() / "agent.log.2024-12-31").empty(); ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    clock = sys_days{year{2025} / January / 1} + milliseconds(100);
    queue->try_push("stamped before midnight, written after\n");
    writer.finish();

    EXPECT_EQ(read_file(dir.path() / "agent.log.2024-12-31"), "old day\n");
    EXPECT_EQ(read_file(dir.path() / "agent.log.2025-01-01"),
              "stamped before midnight, written after\n");
}

TEST(DailyFileWriter, SameDayRestartAppends) {
    test::TempDir dir;
    const auto now = sys_days{year{2024} / June / 1};
    for (const char* line : {"first run\n", "second run\n"}) {
        auto queue = std::make_shared<LineQueue>(16);
        DailyFileWriter writer(dir.path(), queue, [now] { return now; });
        writer.start();
        queue->try_push(line);
        writer.finish();
    }
    EXPECT_EQ(read_file(dir.path() / "agent.log.2024-06-01"), "first run\nsecond run\n");
}

TEST(DailyFileWriter, FinishGivesUpWhenTheMarkerFindsNoRoom) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(2);
    queue->try_push("a\n");
    queue->try_push("b\n");
    // Nothing drains the queue: the end marker cannot be queued within its 100 ms.
    EXPECT_FALSE(queue->push_end_marker(milliseconds(100)));
}

}  // namespace
}  // namespace qel::logging
