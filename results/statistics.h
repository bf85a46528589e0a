// The statistics the station, the report and the benchmarks give, by one
// definition each:
//
// - the median is the middle value, or the mean of the two middle ones for an
//   even count;
// - the p-th percentile is the nearest rank: the smallest value with at least
//   p % of the values at or below it, the ceil(p / 100 * n)-th smallest;
// - the standard deviation is the sample's, sqrt(sum((x - mean)^2) / (n - 1));
// - Cpk against an upper limit is (USL - mean) / (3 sd), against a lower one
//   (mean - LSL) / (3 sd); against both, the smaller of the two.
//
// The report asks the database for the values at these ranks, so the ranks
// are given too.  Every figure is also given of a distribution: the distinct
// values, ascending, each with how many times it occurs, as a GROUP BY or a
// summary table gives them; a figure of a distribution is the figure of its
// values written out one by one (the ranks exactly, the sums up to rounding).
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
// Against whichever limits there are; nothing without one.
std::optional<double> cpkAgainst(double mean, double sd, std::optional<double> low,
                                 std::optional<double> high);

// Distinct values in ascending order, each with its count (> 0).
using Distribution = std::vector<std::pair<double, std::int64_t>>;
std::int64_t countOf(const Distribution& d);
// The value at a 1-based rank of the values written out; 0 for none.
double valueAtRank(const Distribution& d, std::int64_t rank);
double median(const Distribution& d);
double nearestRank(const Distribution& d, double p);
double mean(const Distribution& d);
double sampleSd(const Distribution& d);

}  // namespace results
