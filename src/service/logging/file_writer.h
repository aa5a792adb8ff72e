#pragma once
// The service's log file: a bounded queue of formatted lines and one writer thread that
// appends them to the file of the current UTC day ("agent.log.YYYY-MM-DD").

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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

  private:
    std::size_t capacity_;
    std::mutex m_;
    std::condition_variable readable_;
    std::condition_variable writable_;
    std::deque<Entry> entries_;
};

using Clock = std::function<std::chrono::system_clock::time_point()>;

// Drains a LineQueue into the daily file of log_dir. The file for the current day is opened
// by the constructor; each write first checks whether UTC midnight has passed.
class DailyFileWriter {
  public:
    DailyFileWriter(std::filesystem::path log_dir, std::shared_ptr<LineQueue> queue,
                    Clock clock = std::chrono::system_clock::now);
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
