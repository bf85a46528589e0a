// Statistical process control without a clock or a database: the control
// charts the line is watched with, their limits from a baseline, and the
// rules that raise an alarm.
//
// A chart's limits are computed once from a baseline (the points an engineer
// names) and then frozen: every later point is judged against the same
// Limits, whatever it is.  The Shewhart charts judge a point by how many
// sigmas it lies from the centre line (zOf); the rules read those z values,
// newest last.  The CUSUM and the EWMA carry their own statistic from point
// to point and signal when it crosses their decision interval.
//
// Every rule is one row of kRules; an alarm names its row's id.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace results::spc {

// A Shewhart chart's frozen limits: the centre line, the sigma of a point
// about it, and the control limits at +-3 sigma (the lower one never below
// floor, as a range or a proportion cannot be).
struct Limits {
    double center = 0;
    double sigma = 0;
    double lcl = 0;
    double ucl = 0;
};
Limits threeSigma(double center, double sigma, std::optional<double> floor = std::nullopt);

// How many sigmas x lies from the centre line; 0 when sigma is 0.
double zOf(const Limits& limits, double x);

// The control chart constants for subgroups of n = 2..10 (as tabulated in
// Montgomery, Introduction to Statistical Quality Control, Appendix VI): d2
// (the mean range of n normal values in sigmas), A2, D3 and D4.  Nothing
// outside 2..10.
struct RangeConstants {
    double d2, a2, lowerD3, upperD4;
};
std::optional<RangeConstants> rangeConstants(int n);

// Individuals and moving range (span 2): the individuals' centre is the
// baseline's mean and their sigma the mean moving range over d2 (1.128); the
// moving ranges' centre is their mean, their limits D3 and D4 times it.
struct IndividualsLimits {
    Limits individuals;
    Limits movingRange;
};
// Nothing for fewer than two values.
std::optional<IndividualsLimits> individualsBaseline(const std::vector<double>& values);
// The moving ranges of a series: one fewer than its values.
std::vector<double> movingRanges(const std::vector<double>& values);

// X-bar and R by subgroups of one size n (2..10): the means' centre is the
// grand mean, their limits A2 times the mean range about it; the ranges'
// centre is the mean range, their limits D3 and D4 times it.
struct XbarRLimits {
    Limits means;
    Limits ranges;
};
// Nothing without subgroups, or when their sizes differ or are outside 2..10.
std::optional<XbarRLimits> xbarRBaseline(const std::vector<std::vector<double>>& subgroups);
// The same from the grand mean and the mean range of subgroups of n.
std::optional<XbarRLimits> xbarRLimits(double grandMean, double meanRange, int n);
double subgroupMean(const std::vector<double>& subgroup);
double subgroupRange(const std::vector<double>& subgroup);

// The p-chart: the baseline's proportion of nonconforming units is its
// total nonconforming over its total inspected; a sample of n units is
// judged against pbar +- 3 sqrt(pbar (1 - pbar) / n), the limits of its own
// size (0 and 1 bound them).
struct Sample {
    long long nonconforming = 0;
    long long n = 0;
};
// Nothing without units inspected.
std::optional<double> pBar(const std::vector<Sample>& baseline);
Limits pLimits(double pbar, long long n);

// The tabular CUSUM, in the units of the values: target mu0, the process's
// sigma, the allowance k and the decision interval h in sigmas.
//   C+_i = max(0, x_i - (mu0 + k sigma) + C+_{i-1})
//   C-_i = max(0, (mu0 - k sigma) - x_i + C-_{i-1})
// A point signals when either sum exceeds h sigma; N+ and N- count the
// points each sum has been above zero (the shift began N points back).
struct CusumDesign {
    double target = 0;
    double sigma = 1;
    double k = 0.5;
    double h = 5;
};
struct CusumPoint {
    double upper = 0;  // C+
    double lower = 0;  // C-
    int upperRun = 0;  // N+
    int lowerRun = 0;  // N-
    bool signal = false;
};
CusumPoint cusumStep(const CusumDesign& d, const CusumPoint& previous, double x);
std::vector<CusumPoint> cusum(const CusumDesign& d, const std::vector<double>& values);

// The EWMA with the exact, time-varying limits: z_0 = mu0,
// z_i = lambda x_i + (1 - lambda) z_{i-1}, and the i-th point (1-based)
// within mu0 +- L sigma sqrt(lambda / (2 - lambda) (1 - (1 - lambda)^(2i))).
struct EwmaDesign {
    double target = 0;
    double sigma = 1;
    double lambda = 0.1;
    double width = 2.7;  // L
};
struct EwmaPoint {
    double z = 0;
    double lcl = 0;
    double ucl = 0;
    bool signal = false;
};
EwmaPoint ewmaStep(const EwmaDesign& d, double previousZ, int i, double x);
std::vector<EwmaPoint> ewma(const EwmaDesign& d, const std::vector<double>& values);

// The rules.  The run rules read the z values of a Shewhart chart, newest
// last; the decision intervals are the CUSUM's and the EWMA's signals.
enum class Rule {
    // Western Electric (Statistical Quality Control Handbook, 1956):
    BeyondThree,   // 1: one point beyond 3 sigma
    TwoOfThree,    // 2: two of three beyond 2 sigma, on one side
    FourOfFive,    // 3: four of five beyond 1 sigma, on one side
    EightOneSide,  // 4: eight in a row on one side of the centre
    // Nelson (J. Quality Technology 16(4), 1984), where a plan asks:
    SixTrending,     // six in a row steadily increasing or decreasing
    FourteenAltern,  // fourteen in a row alternating up and down
    FifteenWithin,   // fifteen in a row within 1 sigma, either side
    EightOutside,    // eight in a row beyond 1 sigma, either side
    // The decision intervals:
    CusumInterval,  // C+ or C- beyond h sigma
    EwmaInterval,   // the EWMA beyond its limits
    // A p-chart's own: a lot's proportion beyond the limits of its n.
    ProportionLimit,
};
enum class RuleSet { WesternElectric, Nelson };
struct RuleRow {
    Rule rule;
    const char* id;  // as stored and said: "we1", "nelson3", "cusum"
    const char* text;
    int points;    // how many points the rule reads (0: the chart's own statistic)
    bool nelson;   // only where a plan asks for Nelson's rules
    bool runRule;  // read from the z values of a Shewhart chart
};
inline constexpr std::array<RuleRow, 11> kRules{{
    {Rule::BeyondThree, "we1", "one point beyond 3 sigma", 1, false, true},
    {Rule::TwoOfThree, "we2", "two of three beyond 2 sigma on one side", 3, false, true},
    {Rule::FourOfFive, "we3", "four of five beyond 1 sigma on one side", 5, false, true},
    {Rule::EightOneSide, "we4", "eight in a row on one side", 8, false, true},
    {Rule::SixTrending, "nelson3", "six in a row increasing or decreasing", 6, true, true},
    {Rule::FourteenAltern, "nelson4", "fourteen in a row alternating", 14, true, true},
    {Rule::FifteenWithin, "nelson7", "fifteen in a row within 1 sigma", 15, true, true},
    {Rule::EightOutside, "nelson8", "eight in a row beyond 1 sigma, either side", 8, true, true},
    {Rule::CusumInterval, "cusum", "CUSUM beyond its decision interval", 0, false, false},
    {Rule::EwmaInterval, "ewma", "EWMA beyond its limits", 0, false, false},
    {Rule::ProportionLimit, "p-limit", "the lot's proportion failed beyond its limits", 0, false,
     false},
}};
const RuleRow& ruleRow(Rule rule);
const RuleRow* ruleById(const std::string& id);

// Whether the run rule breaks at the newest of the z values (their last),
// reading only the points the rule reads.
bool breaksAt(Rule rule, const std::vector<double>& z, std::size_t index);
// The run rules of the set that break at z[index], in the table's order.
std::vector<Rule> brokenAt(RuleSet set, const std::vector<double>& z, std::size_t index);
// Every point at which a run rule of the set breaks, with the rule, in order.
struct Broken {
    std::size_t index;
    Rule rule;
};
std::vector<Broken> judge(RuleSet set, const std::vector<double>& z);

}  // namespace results::spc
