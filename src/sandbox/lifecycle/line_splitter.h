#pragma once
// Splits a child's output stream into lines.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qel::sandbox {

class LineSplitter {
  public:
    // A captured line keeps at most this many bytes (cut at a character boundary), followed
    // by kTruncatedMark; the rest of it, up to its line feed, is dropped.
    static constexpr std::size_t kMaxLine = 64 * 1024;
    static constexpr std::string_view kTruncatedMark = " [line truncated]";

    using Emit = std::function<void(std::string line)>;

    // Emits every complete line: its line feed removed, then one carriage return before it.
    // False when a line is not valid UTF-8: the stream is not read further, and nothing of
    // that line is emitted.
    bool feed(std::string_view bytes, const Emit& emit);
    // The end of the stream: bytes collected since the last line feed form the last line (a
    // carriage return at its end stays).
    bool finish(const Emit& emit);

  private:
    bool complete(const Emit& emit, bool had_line_feed);
    std::string line_;
    bool truncated_ = false;
};

}  // namespace qel::sandbox
