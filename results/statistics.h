// The statistics the station, the report and the benchmarks give, by one
// definition each:
//
// - the median is the middle value, or the mean of the two middle ones for an
//   even count;
// - the p-th percentile is the nearest rank: the smallest value with at least
//   p % of the values at or below it, the ceil(p / 100 * n)-th smallest;
// - the standard deviation is the sample's, sqrt(sum((x - mean)^2) / (n - 1));
// - Cpk is one-sided, against the one limit a measure has: (USL - mean) / (3 sd)
//   for an upper limit, (mean - LSL) / (3 sd) for a lower one.
//
// The report asks the database for the values at these ranks, so the ranks
// are given too.
#pragma once

#include <cstdint>
#include <optional>
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

// Of any values; 0 for none, and the deviation 0 for fewer than two.
double mean(const std::vector<double>& values);
double sampleSd(const std::vector<double>& values);
// Nothing where it is not defined: a deviation of 0.
std::optional<double> cpk(double mean, double sd, double limit, bool upper);

}  // namespace results
