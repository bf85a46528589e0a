// The statistics the station, the report and the benchmarks give, by one
// definition each:
//
// - the median is the middle value, or the mean of the two middle ones for an
//   even count;
// - the p-th percentile is the nearest rank: the smallest value with at least
//   p % of the values at or below it, the ceil(p / 100 * n)-th smallest.
//
// The report asks the database for the values at these ranks, so the ranks
// are given too.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace results {

// The 1-based ranks whose values' mean is the median of n values (the same
// rank twice for an odd n).
std::pair<std::int64_t, std::int64_t> medianRanks(std::int64_t n);
// The 1-based rank of the p-th percentile of n values (n > 0).
std::int64_t nearestRankOf(std::int64_t n, double p);

// Of sorted values; 0 for none.
double median(const std::vector<double>& sorted);
double nearestRank(const std::vector<double>& sorted, double p);

}  // namespace results
