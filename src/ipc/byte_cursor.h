#pragma once
// An iterator over the request text that tells the decoder how far the parser has read: the
// parser's events carry no positions, yet the decoder's errors name a column.

#include <cstddef>
#include <iterator>

namespace qel::ipc {

struct ReadMark {
    std::size_t taken = 0;  // bytes handed to the parser; the last one is at column `taken`
    bool past_end = false;  // the parser has asked for a byte after the last
};

class ByteCursor {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    ByteCursor() = default;
    // The reading cursor carries the mark; the end cursor is built with none.
    ByteCursor(const char* p, ReadMark* mark) : p_(p), mark_(mark) {}

    reference operator*() const { return *p_; }
    ByteCursor& operator++() {
        ++p_;
        if (mark_)
            ++mark_->taken;
        return *this;
    }
    ByteCursor operator++(int) {
        ByteCursor old = *this;
        ++*this;
        return old;
    }

    // The parser's reader compares with the end before every byte it takes, so an equal
    // comparison from the reading cursor is its request for a byte past the end.
    friend bool operator==(const ByteCursor& a, const ByteCursor& b) {
        const bool same = a.p_ == b.p_;
        if (same && a.mark_ && !b.mark_)
            a.mark_->past_end = true;
        return same;
    }

  private:
    const char* p_ = nullptr;
    ReadMark* mark_ = nullptr;
};

}  // namespace qel::ipc
