#pragma once
// Percentiles and the median/min/max summary of repeated measurements.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace qel::bench {

inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

struct Spread {
    double median = 0, min = 0, max = 0;
};

inline Spread spread(const std::vector<double>& reps) {
    if (reps.empty())
        return {};
    return {percentile(reps, 0.5), *std::min_element(reps.begin(), reps.end()),
            *std::max_element(reps.begin(), reps.end())};
}

}  // namespace qel::bench
