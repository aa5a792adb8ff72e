#pragma once
// The service's log file: a bounded queue of formatted lines and one writer thread that
// appends them to the file of the current UTC day ("agent.log.YYYY-MM-DD").

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qel::logging {

inline constexpr std::size_t kLogQueueLines = 128000;
inline constexpr std::string_view kLogFilePrefix = "agent.log";

// "agent.log.2024-01-31" for any instant of 31 January 2024 (UTC).
std::string log_file_name(std::chrono::system_clock::time_point t);

// A queue that never blocks the producer: when full, the new line is dropped.
class LineQueue {
  public:
    explicit LineQueue(std::size_t capacity = kLogQueueLines) : capacity_(capacity) {}

    bool try_push(std::string line);
    // The end marker; waits up to `room` for space when the queue is full.
    bool push_end_marker(std::chrono::milliseconds room);

    struct Entry {
        std::string line;
        bool end = false;
    };
    Entry pop();  // blocks until an entry is there

    // The writer's side: one popped line has been handed to the file (or lost); the writer
    // has stopped at the end marker.
    void mark_written();
    void mark_ended();

    // Waits, at most `bound`, until every line queued before the call has been handed to the
    // file; false when the time ran out or the writer stopped first.
    bool wait_written(std::chrono::milliseconds bound);

  private:
    std::size_t capacity_;
    std::mutex m_;
    std::condition_variable readable_;
    std::condition_variable writable_;
    std::condition_variable written_cv_;
    std::deque<Entry> entries_;
    std::uint64_t queued_ = 0;   // lines ever accepted
    std::uint64_t written_ = 0;  // of those, lines the writer is done with
    bool ended_ = false;
    std::size_t drains_ = 0;  // threads in wait_written
};

using Clock = std::function<std::chrono::system_clock::time_point()>;

// A day's log file, open for appending.
class LogFile {
  public:
    virtual ~LogFile() = default;
    // One write of the whole line; false when it did not all reach the file.
    virtual bool append(std::string_view line) = 0;
};

// Opens the log file of that name ("agent.log.2024-01-31"), created when missing; nothing
// when it cannot be opened.
using OpenLogFile = std::function<std::unique_ptr<LogFile>(const std::string& name)>;

// The files of one folder, through the standard library.
OpenLogFile files_in(std::filesystem::path dir);

// After a day's file could not be opened, the writer tries again at the next line that comes
// this much later (or on the next day); the lines in between are lost.
inline constexpr std::chrono::seconds kLogReopenPause{60};

// Drains a LineQueue into the daily log file. The file for the current day is opened by the
// constructor; each write first checks whether UTC midnight has passed.
class DailyFileWriter {
  public:
    DailyFileWriter(OpenLogFile open, std::shared_ptr<LineQueue> queue,
                    Clock clock = std::chrono::system_clock::now);
    DailyFileWriter(std::filesystem::path log_dir, std::shared_ptr<LineQueue> queue,
                    Clock clock = std::chrono::system_clock::now)
        : DailyFileWriter(files_in(std::move(log_dir)), std::move(queue), std::move(clock)) {}
    ~DailyFileWriter();

    void start();
    // Queues the end marker (waiting up to 100 ms for room) and waits up to 1 s for the
    // writer to reach it. Lines not written by then are lost.
    void finish();

  private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace qel::logging
