#include "service/logging/file_writer.h"

#include <fmt/format.h>

namespace qel::logging {

using namespace std::chrono;

namespace {

class StreamFile final : public LogFile {
  public:
    explicit StreamFile(const std::filesystem::path& path)
        : out_(path, std::ios::binary | std::ios::app) {}
    bool is_open() const { return out_.is_open(); }
    bool append(std::string_view line) override {
        out_.write(line.data(), static_cast<std::streamsize>(line.size()));
        out_.flush();
        const bool ok = static_cast<bool>(out_);
        out_.clear();  // a lost line does not end the file
        return ok;
    }

  private:
    std::ofstream out_;
};

}  // namespace

OpenLogFile files_in(std::filesystem::path dir) {
    return [dir = std::move(dir)](const std::string& name) -> std::unique_ptr<LogFile> {
        auto file = std::make_unique<StreamFile>(dir / name);
        if (!file->is_open())
            return nullptr;
        return file;
    };
}

std::string log_file_name(system_clock::time_point t) {
    const year_month_day ymd{floor<days>(t)};
    return fmt::format("{}.{:04}-{:02}-{:02}", kLogFilePrefix, static_cast<int>(ymd.year()),
                       static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
}

bool LineQueue::try_push(std::string line) {
    {
        std::lock_guard lock(m_);
        if (entries_.size() >= capacity_)
            return false;
        entries_.push_back({std::move(line), false});
        ++queued_;
    }
    readable_.notify_one();
    return true;
}

bool LineQueue::push_end_marker(milliseconds room) {
    {
        std::unique_lock lock(m_);
        if (!writable_.wait_for(lock, room, [&] { return entries_.size() < capacity_; })) {
            return false;
        }
        entries_.push_back({{}, true});
    }
    readable_.notify_one();
    return true;
}

LineQueue::Entry LineQueue::pop() {
    Entry e;
    {
        std::unique_lock lock(m_);
        readable_.wait(lock, [&] { return !entries_.empty(); });
        e = std::move(entries_.front());
        entries_.pop_front();
    }
    writable_.notify_one();
    return e;
}

void LineQueue::mark_written() {
    bool waited_for = false;
    {
        std::lock_guard lock(m_);
        ++written_;
        waited_for = drains_ > 0;
    }
    // Drains are rare; the writer does not pay for a wake-up per line.
    if (waited_for)
        written_cv_.notify_all();
}

void LineQueue::mark_ended() {
    {
        std::lock_guard lock(m_);
        ended_ = true;
    }
    written_cv_.notify_all();
}

bool LineQueue::wait_written(milliseconds bound) {
    std::unique_lock lock(m_);
    const std::uint64_t target = queued_;
    ++drains_;
    written_cv_.wait_for(lock, bound, [&] { return written_ >= target || ended_; });
    --drains_;
    return written_ >= target;
}

// Shared with the writer thread, which may outlive the writer when the final wait runs out.
struct DailyFileWriter::State {
    OpenLogFile open;
    std::shared_ptr<LineQueue> queue;
    Clock clock;
    std::unique_ptr<LogFile> file;
    system_clock::time_point rotate_at;
    system_clock::time_point retry_at;

    std::mutex m;
    std::condition_variable finished_cv;
    bool finished = false;

    void open_for(system_clock::time_point now) {
        file.reset();
        file = open(log_file_name(now));
        rotate_at = floor<days>(now) + days(1);
        retry_at = now + kLogReopenPause;
    }

    void run() {
        for (;;) {
            LineQueue::Entry e = queue->pop();
            if (e.end)
                break;
            const auto now = clock();
            if (now >= rotate_at || (!file && now >= retry_at))
                open_for(now);
            if (file)
                file->append(e.line);  // a line that fails is lost; the next one goes on
            queue->mark_written();
        }
        queue->mark_ended();
        file.reset();
        std::lock_guard lock(m);
        finished = true;
        finished_cv.notify_all();
    }
};

DailyFileWriter::DailyFileWriter(OpenLogFile open, std::shared_ptr<LineQueue> queue, Clock clock)
    : state_(std::make_shared<State>()) {
    state_->open = std::move(open);
    state_->queue = std::move(queue);
    state_->clock = std::move(clock);
    state_->open_for(state_->clock());
}

DailyFileWriter::~DailyFileWriter() {
    if (thread_.joinable())
        finish();
}

void DailyFileWriter::start() {
    thread_ = std::thread([st = state_] { st->run(); });
}

void DailyFileWriter::finish() {
    if (!thread_.joinable())
        return;
    bool done = false;
    if (state_->queue->push_end_marker(milliseconds(100))) {
        std::unique_lock lock(state_->m);
        done = state_->finished_cv.wait_for(lock, seconds(1), [&] { return state_->finished; });
    }
    if (done) {
        thread_.join();
    } else {
        thread_.detach();  // it keeps its own reference to the state
    }
}

}  // namespace qel::logging
