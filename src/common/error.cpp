#include "common/error.h"

#include <fmt/format.h>

namespace qel {

std::string Error::full() const {
    std::string out;
    for (std::size_t i = 0; i < chain_.size(); ++i) {
        if (i)
            out += ": ";
        out += chain_[i];
    }
    return out;
}

std::string Error::debug() const {
    std::string out = chain_.front();
    if (chain_.size() == 1)
        return out;
    out += "\n\nCaused by:";
    const bool numbered = chain_.size() > 2;
    for (std::size_t i = 1; i < chain_.size(); ++i) {
        if (numbered) {
            out += fmt::format("\n{:>5}: {}", i - 1, chain_[i]);
        } else {
            out += "\n    " + chain_[i];
        }
    }
    return out;
}

}  // namespace qel
