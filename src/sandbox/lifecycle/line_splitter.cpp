#include "sandbox/lifecycle/line_splitter.h"

#include <cstring>

#include "common/utf.h"

namespace qel::sandbox {

bool LineSplitter::complete(const Emit& emit, bool had_line_feed) {
    std::string line;
    line.swap(line_);
    const bool truncated = truncated_;
    truncated_ = false;
    if (truncated) {
        cut_to_utf8_boundary(line);
    } else if (had_line_feed && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (!is_valid_utf8(line))
        return false;
    if (truncated)
        line += kTruncatedMark;
    emit(std::move(line));
    return true;
}

bool LineSplitter::feed(std::string_view bytes, const Emit& emit) {
    while (!bytes.empty()) {
        const auto* lf = static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
        const std::size_t upto = lf ? static_cast<std::size_t>(lf - bytes.data()) : bytes.size();
        if (!truncated_) {
            const std::size_t room = kMaxLine - line_.size();
            line_.append(bytes.data(), std::min(upto, room));
            if (upto > room)
                truncated_ = true;
        }
        if (!lf)
            return true;
        if (!complete(emit, true))
            return false;
        bytes.remove_prefix(upto + 1);
    }
    return true;
}

bool LineSplitter::finish(const Emit& emit) {
    if (line_.empty() && !truncated_)
        return true;
    return complete(emit, false);
}

}  // namespace qel::sandbox
