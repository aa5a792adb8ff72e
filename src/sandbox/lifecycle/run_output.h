#pragma once
// What one sing-box run wrote, as its pumps read it: the lines on their way into the shared
// ring, and the run's own last lines for the start-up failure text.
//
// The start holds the sandbox lock through its start-up wait, so lines cannot enter the ring
// meanwhile. The pumps therefore keep reading into this record, and each pump's forwarder
// moves its lines into the ring once it can take the lock.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/async/notify.h"

namespace qel::sandbox {

// Lines of one stream waiting for the ring.
class PendingLines {
  public:
    // More than this waiting would push the oldest of them out of the ring at once anyway.
    static constexpr std::size_t kMax = 200;

    void push(std::string line);
    void close();
    // Everything waiting; empty with `closed` true once the stream has ended and all is out.
    std::deque<std::string> take(bool& closed);
    std::shared_ptr<async::Notify> changed() const { return changed_; }

  private:
    std::mutex m_;
    std::deque<std::string> lines_;
    bool closed_ = false;
    std::shared_ptr<async::Notify> changed_ = async::Notify::create();
};

// The last lines of a run, both streams in the order they were read.
class RunOutput {
  public:
    static constexpr std::size_t kLastLines = 20;

    explicit RunOutput(int streams) : open_(streams) {}
    void add(std::string line);
    void stream_ended();
    bool all_ended() const;
    std::vector<std::string> last_lines() const;
    std::shared_ptr<async::Notify> ended() const { return ended_; }

  private:
    mutable std::mutex m_;
    std::deque<std::string> last_;
    int open_;
    std::shared_ptr<async::Notify> ended_ = async::Notify::create();
};

}  // namespace qel::sandbox
