// The line's control charts: what each one plots, and which of its rules a
// new point breaks, from a baseline frozen before it.  Without a clock or a
// database: the store reads the points and keeps the alarms
// (results/spctable.h).
//
// A baseline is frozen for a series of a slot (or of the whole station): the
// TTFF of its results, its golden unit's offset at each calibration, or its
// yield per lot.  Every chart of the series is judged against it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "results/spc.h"

namespace results::spc {

enum class Series { Ttff, Offset, Yield };
struct SeriesRow {
    Series series;
    const char* id;    // as stored and given on the command line
    const char* what;  // as said
    const char* unit;
};
inline constexpr std::array<SeriesRow, 3> kSeries{{
    {Series::Ttff, "ttff", "TTFF", "s"},
    {Series::Offset, "offset", "golden unit's C/N0 offset", "dB"},
    {Series::Yield, "yield", "yield per lot", ""},
}};
const SeriesRow& seriesRow(Series s);
const SeriesRow* seriesById(const std::string& id);

enum class Kind { Individuals, MovingRange, Proportion, Cusum, Ewma };
struct ChartRow {
    const char* id;  // named in every alarm
    Series series;
    Kind kind;
    const char* title;
};
inline constexpr std::array<ChartRow, 7> kCharts{{
    {"ttff", Series::Ttff, Kind::Individuals, "TTFF, individuals"},
    {"ttff-mr", Series::Ttff, Kind::MovingRange, "TTFF, moving range"},
    {"offset", Series::Offset, Kind::Individuals, "golden offset, individuals"},
    {"offset-mr", Series::Offset, Kind::MovingRange, "golden offset, moving range"},
    {"offset-cusum", Series::Offset, Kind::Cusum, "golden offset, CUSUM"},
    {"offset-ewma", Series::Offset, Kind::Ewma, "golden offset, EWMA"},
    {"yield", Series::Yield, Kind::Proportion, "yield per lot, p-chart"},
}};
const ChartRow* chartById(const std::string& id);

// A series' baseline, frozen: the individuals' mean and sigma (the mean
// moving range over d2) and the mean moving range; for yield the
// proportion of units that failed (center) over n units.
struct Baseline {
    double center = 0;
    double sigma = 0;
    double movingRange = 0;
    long long n = 0;
};
// Nothing from fewer than two values, or for yield from no units.
std::optional<Baseline> baselineOf(const std::vector<double>& values);
std::optional<Baseline> baselineOf(const std::vector<Sample>& lots);

// The CUSUM's and the EWMA's designs, in sigmas of the baseline.
struct Designs {
    double cusumK = 0.5;
    double cusumH = 5;
    double ewmaLambda = 0.1;
    double ewmaL = 2.7;
};

// One chart's plotted points against its frozen limits, and the rules
// broken at each (the report draws them).
struct Plotted {
    std::vector<double> values;
    std::vector<double> lcl, center, ucl;  // per point: the EWMA's and the p-chart's vary
    std::vector<Broken> broken;
};
// The chart of the points after its series' baseline (for yield, one
// Sample per lot).
Plotted plot(const ChartRow& chart, const Baseline& b, const std::vector<double>& points,
             RuleSet set, const Designs& d);
Plotted plot(const ChartRow& chart, const Baseline& b, const std::vector<Sample>& lots,
             RuleSet set);

// What the newest point raises: each rule of each chart of the series that
// breaks at the newest point and did not at the one before it (a rule that
// stays broken raises once).
struct Finding {
    const ChartRow* chart;
    Rule rule;
    double value;  // the chart's statistic at the newest point
};
std::vector<Finding> judgeNewest(Series series, const Baseline& b,
                                 const std::vector<double>& points, RuleSet set, const Designs& d);

// The p-chart's judging.  A lot's point is the proportion of its units
// failed so far, against the limits of as many units: pbar +- 3 sqrt(pbar
// (1 - pbar) / n).  While a lot holds few units one unit swings its point
// further than the normal approximation behind those limits allows (the
// first failed unit of a lot is a point at 1), so a lot is judged only from
// the size at which both its limits bind: the smallest n whose lower limit
// is above zero, n > 9 (1 - pbar) / pbar (Montgomery, Introduction to
// Statistical Quality Control, 7.2.1).  From there on each unit of the lot
// judges the point anew; it raises when the point goes beyond a limit, not
// while it stays beyond.  A lot that ends smaller is never judged: the
// page draws it all the same.  No size (0) when pbar is 0 or 1: such a
// baseline gives the chart no width.
long long pJudgedFrom(double pbar);
// What a lot's newest unit raises: `now` is the lot's units so far, the
// newest among them; `before` the same without the newest.
std::optional<Finding> judgeLot(const Baseline& b, const Sample& before, const Sample& now);

// How many of the newest points a Shewhart chart's rules read at most, plus
// the one before them: the store reads no more for TTFF.
inline constexpr int kPointsRead = 16;

}  // namespace results::spc
