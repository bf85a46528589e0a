#include "results/statistics.h"

#include <algorithm>
#include <cmath>

namespace results {

std::pair<std::int64_t, std::int64_t> medianRanks(std::int64_t n) {
    return {(n + 1) / 2, (n + 2) / 2};
}

std::int64_t nearestRankOf(std::int64_t n, double p) {
    const auto rank = static_cast<std::int64_t>(std::ceil(p / 100.0 * double(n) - 1e-9));
    return std::clamp<std::int64_t>(rank, 1, std::max<std::int64_t>(n, 1));
}

double median(const std::vector<double>& sorted) {
    if (sorted.empty()) return 0;
    const auto [low, high] = medianRanks(std::int64_t(sorted.size()));
    return (sorted[std::size_t(low - 1)] + sorted[std::size_t(high - 1)]) / 2;
}

double nearestRank(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    return sorted[std::size_t(nearestRankOf(std::int64_t(sorted.size()), p) - 1)];
}

}  // namespace results
