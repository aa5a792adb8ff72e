#pragma once
// Installing the process's one log pipeline: console text lines, or JSON lines through the
// bounded queue into the daily log file.

#include <filesystem>
#include <memory>

#include "service/logging/file_writer.h"

namespace qel::logging {

// Releasing the guard writes out the queued lines (waiting at most 100 ms + 1 s).
class LogGuard {
  public:
    explicit LogGuard(std::unique_ptr<DailyFileWriter> writer) : writer_(std::move(writer)) {}
    LogGuard(LogGuard&&) noexcept = default;
    LogGuard& operator=(LogGuard&&) noexcept = default;
    ~LogGuard() {
        if (writer_)
            writer_->finish();
    }

  private:
    std::unique_ptr<DailyFileWriter> writer_;
};

// Colours unless NO_COLOR is set to a non-empty value.
void init_console_logging();
// The day's file is opened through `open` (and again at each UTC midnight).
LogGuard init_file_logging(OpenLogFile open);

}  // namespace qel::logging
