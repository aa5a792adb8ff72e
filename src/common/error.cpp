#include "common/error.h"

#include <fmt/format.h>

namespace qel {

Error& Error::context(std::string outer) & {
    chain_.insert(chain_.begin(), std::move(outer));
    return *this;
}

std::string Error::full() const {
    return fmt::format("{}", fmt::join(chain_, ": "));
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
