#include "service/logging/setup.h"

#include <spdlog/formatter.h>
#include <spdlog/sinks/sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "common/env.h"
#include "service/logging/filter.h"
#include "service/logging/line_format.h"

namespace qel::logging {
namespace {

log::Level from_spdlog(spdlog::level::level_enum l) {
    switch (l) {
        case spdlog::level::trace:
            return log::Level::trace;
        case spdlog::level::debug:
            return log::Level::debug;
        case spdlog::level::info:
            return log::Level::info;
        case spdlog::level::warn:
            return log::Level::warn;
        default:
            return log::Level::error;
    }
}

std::string_view sv(spdlog::string_view_t s) {
    return {s.data(), s.size()};
}

class TextLineFormatter final : public spdlog::formatter {
  public:
    explicit TextLineFormatter(bool colours) : colours_(colours) {}
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        const std::string line = format_text_line(from_spdlog(msg.level), sv(msg.logger_name),
                                                  sv(msg.payload), msg.time, colours_);
        dest.append(line.data(), line.data() + line.size());
    }
    std::unique_ptr<spdlog::formatter> clone() const override {
        return std::make_unique<TextLineFormatter>(colours_);
    }

  private:
    bool colours_;
};

// Formats on the writing thread and queues; never waits for the file.
class QueueSink final : public spdlog::sinks::sink {
  public:
    explicit QueueSink(std::shared_ptr<LineQueue> q) : q_(std::move(q)) {}
    void log(const spdlog::details::log_msg& msg) override {
        q_->try_push(format_json_line(from_spdlog(msg.level), sv(msg.logger_name), sv(msg.payload),
                                      msg.time));
    }
    void flush() override {}
    void set_pattern(const std::string&) override {}
    void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

  private:
    std::shared_ptr<LineQueue> q_;
};

}  // namespace

void init_console_logging() {
    try {
        const EnvValue no_color = read_env("NO_COLOR");
        const bool colours = !(no_color.is_set() && !no_color.value.empty());
        auto sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
        sink->set_formatter(std::make_unique<TextLineFormatter>(colours));
        log::install(std::move(sink), level_table(build_log_filter()));
    } catch (...) {
        // The agent runs on without a console log.
    }
}

LogGuard init_file_logging(OpenLogFile open) {
    auto queue = std::make_shared<LineQueue>(kLogQueueLines);
    auto writer = std::make_unique<DailyFileWriter>(std::move(open), queue);
    writer->start();
    log::install(std::make_shared<QueueSink>(queue), level_table(build_log_filter()),
                 [queue](std::chrono::milliseconds bound) { return queue->wait_written(bound); });
    return LogGuard(std::move(writer));
}

}  // namespace qel::logging
