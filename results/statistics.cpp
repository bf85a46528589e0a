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

namespace {

// The mean and the sample deviation of values each with a count (1 for a
// plain list), summed in one order for both forms.
template <class Values, class Value, class Count>
double meanOf(const Values& values, Value value, Count count) {
    double sum = 0;
    std::int64_t n = 0;
    for (const auto& x : values) {
        sum += value(x) * double(count(x));
        n += count(x);
    }
    return n ? sum / double(n) : 0;
}

template <class Values, class Value, class Count>
double sdOf(const Values& values, Value value, Count count) {
    const double m = meanOf(values, value, count);
    double squares = 0;
    std::int64_t n = 0;
    for (const auto& x : values) {
        squares += (value(x) - m) * (value(x) - m) * double(count(x));
        n += count(x);
    }
    return n < 2 ? 0 : std::sqrt(squares / double(n - 1));
}

const auto itself = [](double v) { return v; };
const auto once = [](double) { return std::int64_t(1); };
const auto first = [](const std::pair<double, std::int64_t>& x) { return x.first; };
const auto second = [](const std::pair<double, std::int64_t>& x) { return x.second; };

}  // namespace

double mean(const std::vector<double>& values) {
    return meanOf(values, itself, once);
}

double sampleSd(const std::vector<double>& values) {
    return sdOf(values, itself, once);
}

std::optional<double> cpk(double mean, double sd, double limit, bool upper) {
    if (!(sd > 0)) return std::nullopt;
    return (upper ? limit - mean : mean - limit) / (3 * sd);
}

std::optional<double> cpkAgainst(double mean, double sd, std::optional<double> low,
                                 std::optional<double> high) {
    std::optional<double> lower, upper;
    if (low) lower = cpk(mean, sd, *low, false);
    if (high) upper = cpk(mean, sd, *high, true);
    if (lower && upper) return std::min(*lower, *upper);
    return lower ? lower : upper;
}

std::int64_t countOf(const Distribution& d) {
    std::int64_t n = 0;
    for (const auto& x : d) n += x.second;
    return n;
}

double valueAtRank(const Distribution& d, std::int64_t rank) {
    std::int64_t below = 0;
    for (const auto& [value, count] : d) {
        below += count;
        if (rank <= below) return value;
    }
    return d.empty() ? 0 : d.back().first;
}

double median(const Distribution& d) {
    if (d.empty()) return 0;
    const auto [low, high] = medianRanks(countOf(d));
    return (valueAtRank(d, low) + valueAtRank(d, high)) / 2;
}

double nearestRank(const Distribution& d, double p) {
    if (d.empty()) return 0;
    return valueAtRank(d, nearestRankOf(countOf(d), p));
}

double mean(const Distribution& d) {
    return meanOf(d, first, second);
}

double sampleSd(const Distribution& d) {
    return sdOf(d, first, second);
}

}  // namespace results
