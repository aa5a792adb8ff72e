#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

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
    // The release gives the writer only 1 s; a loaded machine may need longer for 128,000
    // lines, and what is tested here is which lines are kept, not how fast.
    ASSERT_TRUE(queue->wait_written(std::chrono::seconds(120)));
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

// Lines kept in memory, for the file that the opener hands out.
class MemoryFile final : public LogFile {
  public:
    MemoryFile(std::mutex& m, std::vector<std::string>& lines) : m_(m), lines_(lines) {}
    bool append(std::string_view line) override {
        std::lock_guard lock(m_);
        lines_.emplace_back(line);
        return true;
    }

  private:
    std::mutex& m_;
    std::vector<std::string>& lines_;
};

TEST(DailyFileWriter, AFileThatCannotBeOpenedIsTriedAgainOnlyAfterAPause) {
    std::mutex m;
    std::vector<std::string> opened, written;
    bool refuse = true;
    const OpenLogFile open = [&](const std::string& name) -> std::unique_ptr<LogFile> {
        std::lock_guard lock(m);
        opened.push_back(name);
        if (refuse)
            return nullptr;
        return std::make_unique<MemoryFile>(m, written);
    };
    const auto start = sys_days{year{2024} / June / 1} + hours(12);
    std::atomic<system_clock::time_point> clock{start};
    auto queue = std::make_shared<LineQueue>(16);
    DailyFileWriter writer(open, queue, [&clock] { return clock.load(); });
    writer.start();
    ASSERT_TRUE(queue->try_push("lost\n"));
    ASSERT_TRUE(queue->wait_written(seconds(10)));
    {
        std::lock_guard lock(m);
        refuse = false;
    }
    // Not tried again for every line: the opener may be costly, and fail again.
    ASSERT_TRUE(queue->try_push("lost too\n"));
    ASSERT_TRUE(queue->wait_written(seconds(10)));
    clock = start + kLogReopenPause;
    ASSERT_TRUE(queue->try_push("kept\n"));
    ASSERT_TRUE(queue->wait_written(seconds(10)));
    writer.finish();
    std::lock_guard lock(m);
    EXPECT_EQ(opened, std::vector<std::string>(2, "agent.log.2024-06-01"));
    EXPECT_EQ(written, std::vector<std::string>{"kept\n"});
}

TEST(DailyFileWriter, FinishGivesUpWhenTheMarkerFindsNoRoom) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(2);
    queue->try_push("a\n");
    queue->try_push("b\n");
    // Nothing drains the queue: the end marker cannot be queued within its 100 ms.
    EXPECT_FALSE(queue->push_end_marker(milliseconds(100)));
}

TEST(DailyFileWriter, LinesQueuedBeforeADrainAreInTheFileWhenItReturns) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(16);
    const auto now = sys_days{year{2024} / June / 1};
    // A slow writer: each line leaves the queue well before it reaches the file.
    DailyFileWriter writer(dir.path(), queue, [now] {
        std::this_thread::sleep_for(milliseconds(30));
        return now;
    });
    writer.start();
    for (const char* line : {"one\n", "two\n", "three\n"})
        ASSERT_TRUE(queue->try_push(line));
    EXPECT_TRUE(queue->wait_written(seconds(10)));
    EXPECT_EQ(read_file(dir.path() / "agent.log.2024-06-01"), "one\ntwo\nthree\n");
    writer.finish();
}

TEST(DailyFileWriter, ADrainReturnsWithinItsBoundWhenTheWriterIsStuck) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(16);
    std::mutex m;
    std::condition_variable cv;
    bool stuck = false;  // not yet for the constructor's look at the clock
    DailyFileWriter writer(dir.path(), queue, [&] {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return !stuck; });
        return system_clock::time_point(sys_days{year{2024} / June / 1});
    });
    {
        std::lock_guard lock(m);
        stuck = true;  // the writer's next look blocks before it writes the line
    }
    writer.start();
    ASSERT_TRUE(queue->try_push("never written in time\n"));
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(queue->wait_written(milliseconds(200)));
    EXPECT_LT(steady_clock::now() - t0, seconds(10));
    {
        std::lock_guard lock(m);
        stuck = false;
    }
    cv.notify_all();
    writer.finish();
}

TEST(DailyFileWriter, ADrainAfterTheWriterStoppedDoesNotWaitForIt) {
    test::TempDir dir;
    auto queue = std::make_shared<LineQueue>(16);
    const auto now = sys_days{year{2024} / June / 1};
    DailyFileWriter writer(dir.path(), queue, [now] { return now; });
    writer.start();
    writer.finish();
    ASSERT_TRUE(queue->try_push("after the end marker\n"));
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(queue->wait_written(seconds(30)));
    EXPECT_LT(steady_clock::now() - t0, seconds(10));
}

}  // namespace
}  // namespace qel::logging
