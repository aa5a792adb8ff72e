#include <gtest/gtest.h>

#include "sandbox/lifecycle/line_splitter.h"
#include "sandbox/lifecycle/log_ring.h"
#include "sandbox/lifecycle/run_output.h"

namespace qel::sandbox {
namespace {

std::vector<std::string> split(const std::vector<std::string>& chunks, bool* valid = nullptr) {
    LineSplitter s;
    std::vector<std::string> lines;
    const LineSplitter::Emit emit = [&](std::string l) { lines.push_back(std::move(l)); };
    bool ok = true;
    for (const auto& c : chunks) {
        if (!(ok = s.feed(c, emit)))
            break;
    }
    if (ok)
        ok = s.finish(emit);
    if (valid)
        *valid = ok;
    return lines;
}

TEST(LineSplitter, LineEnds) {
    const struct {
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
    } cases[] = {
        {{"abc\r\n"}, {"abc"}},
        {{"abc\r\r\n"}, {"abc\r"}},
        {{"a\rb\n"}, {"a\rb"}},
        {{"xyz"}, {"xyz"}},                    // the last line without a line feed
        {{"xyz\r"}, {"xyz\r"}},                // its carriage return stays
        {{"\n"}, {""}},                        // an empty line
        {{"a", "b\nc", "d\n"}, {"ab", "cd"}},  // across reads
        {{"ab\r", "\ncd"}, {"ab", "cd"}},      // CR LF split across reads
        {{}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.chunks), c.lines);
}

TEST(LineSplitter, InvalidUtf8EndsTheStreamAndKeepsEarlierLines) {
    bool valid = true;
    EXPECT_EQ(split({"good\nbad\xff\nnever\n"}, &valid), std::vector<std::string>{"good"});
    EXPECT_FALSE(valid);
}

TEST(LineSplitter, OverlongLinesAreCutAtACharacterBoundaryAndMarked) {
    // 65535 bytes of 'a', then a two-byte character straddling the cut, then more.
    const std::string line =
        std::string(LineSplitter::kMaxLine - 1, 'a') + "\xc3\xa9" + std::string(100000, 'b');
    const auto lines = split({line + "\nnext\n"});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(LineSplitter::kMaxLine - 1, 'a') +
                            std::string(LineSplitter::kTruncatedMark));
    EXPECT_EQ(lines[1], "next");
}

TEST(LogRing, KeepsTheLast200) {
    std::deque<std::string> ring;
    for (int i = 1; i <= 450; ++i)
        push_line(ring, std::to_string(i));
    ASSERT_EQ(ring.size(), kLogRingCapacity);
    EXPECT_EQ(ring.front(), "251");
    EXPECT_EQ(ring.back(), "450");
    EXPECT_EQ(tail_start(ring, 0), 200u);
    EXPECT_EQ(ring[tail_start(ring, 3)], "448");
    EXPECT_EQ(tail_start(ring, 1000), 0u);
    EXPECT_EQ(tail_start(ring, UINT64_MAX), 0u);
    std::deque<std::string> three = {"a", "b", "c"};
    EXPECT_EQ(tail_start(three, 5), 0u);
    EXPECT_EQ(tail_start(three, 2), 1u);
}

TEST(RunOutput, LastTwentyAndTheEndOfBothStreams) {
    RunOutput run(2);
    for (int i = 0; i < 25; ++i)
        run.add(std::to_string(i));
    EXPECT_EQ(run.last_lines().size(), RunOutput::kLastLines);
    EXPECT_EQ(run.last_lines().front(), "5");
    run.stream_ended();
    EXPECT_FALSE(run.all_ended());
    run.stream_ended();
    EXPECT_TRUE(run.all_ended());
}

TEST(PendingLines, DropsTheOldestBeyondTheRingsSize) {
    PendingLines p;
    for (int i = 0; i < 250; ++i)
        p.push(std::to_string(i));
    p.close();
    bool closed = false;
    auto lines = p.take(closed);
    EXPECT_TRUE(closed);
    ASSERT_EQ(lines.size(), PendingLines::kMax);
    EXPECT_EQ(lines.front(), "50");
}

}  // namespace
}  // namespace qel::sandbox
