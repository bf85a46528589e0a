#include "results/statistics.h"

#include <algorithm>
#include <cmath>
#include <numeric>

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

double mean(const std::vector<double>& values) {
    if (values.empty()) return 0;
    return std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

double sampleSd(const std::vector<double>& values) {
    if (values.size() < 2) return 0;
    const double m = mean(values);
    double squares = 0;
    for (double v : values) squares += (v - m) * (v - m);
    return std::sqrt(squares / double(values.size() - 1));
}

std::optional<double> cpk(double mean, double sd, double limit, bool upper) {
    if (!(sd > 0)) return std::nullopt;
    return (upper ? limit - mean : mean - limit) / (3 * sd);
}

}  // namespace results
