// Charts as SVG text: histogram, cumulative distribution, box plot, bar
// chart and control chart, each with its title, axes, ticks and labels.
//
// The HTML report puts them in its page; a window draws the same text with
// Qt's QSvgRenderer (Qt Svg), so there is one drawing code for both.  That is
// why only what SVG Tiny 1.2 has is written: presentation attributes, no CSS,
// no script, no filters.  Numbers are written the C way (QLocale::c()) and
// every text is escaped for XML.  Qt Core only.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace results::chart {

// What every chart has around its plot.
struct Frame {
    QString title;   // above the plot, and the SVG's <title>
    QString xLabel;  // under the x axis
    QString yLabel;  // beside the y axis, turned
    int width = 640;
    int height = 280;
};

// A line across the plot at a value, with its label: a limit, a centre line.
struct Marker {
    double value = 0;
    QString label;
};
// A chart's limits: none, one, or a window's low and high.  Of two, the lower
// one's label goes on its outer side (left of it, or under it), so that a
// window's labels do not run into each other.
using Markers = std::vector<Marker>;

// Text for XML content and attribute values.
QString escape(const QString& text);
// A number with this many decimals, the C way ("-1234.5", never "1,234.5").
QString number(double value, int decimals);

// One bar of a histogram: values from low up to, not including, high.
struct Bin {
    double low = 0, high = 0;
    long long count = 0;
};
// Equal bins over sorted values: the width is 1, 2 or 5 times a power of ten,
// the smallest that gives at most max(5, min(30, ceil(sqrt(n)))) bins over
// the values' range, and the edges are multiples of it.  None for no values.
std::vector<Bin> bins(const std::vector<double>& sorted);
QString histogram(const Frame& frame, const std::vector<Bin>& bins, const Markers& limits);

// The share of the values at or below each value, as a step line from 0 to
// 100 %.
QString cumulative(const Frame& frame, const std::vector<double>& sorted, const Markers& limits);

// One box of a box plot: quartiles by nearest rank (the 25th and 75th
// percentile), the median, whiskers to the furthest values within 1.5 times
// the box's height of it, and the values beyond them.
struct Box {
    QString label;
    long long n = 0;
    double low = 0, q1 = 0, median = 0, q3 = 0, high = 0;
    std::vector<double> outliers;
};
Box box(const QString& label, const std::vector<double>& sorted);
// Boxes side by side, with the limits across them.
QString boxPlot(const Frame& frame, const std::vector<Box>& boxes, const Markers& limits);

// Bars in groups: one group per category, one bar per series; a missing value
// leaves its place empty.  The y axis runs from 0 to yMax (or to the largest
// value when yMax is 0); each bar's value is written above it with suffix.
struct Series {
    QString name;
    QString colour;  // "#0072b2"
    std::vector<std::optional<double>> values;
};
QString barChart(const Frame& frame, const QStringList& categories,
                 const std::vector<Series>& series, double yMax, int decimals,
                 const QString& suffix);

// Values in order, joined, with the centre line and the lower and upper
// control limits; a point outside the limits is drawn in red, and a point
// whose `flagged` is true (a rule of the caller's, such as a drift) has a
// ring around it.
struct ControlLimits {
    double centre = 0, lower = 0, upper = 0;
};
QString controlChart(const Frame& frame, const QStringList& labels,
                     const std::vector<double>& values, const ControlLimits& limits,
                     const std::vector<bool>& flagged = {});

// The colours the charts use, also for a page's legends.
namespace colour {
inline constexpr char kPrimary[] = "#0072b2";    // blue
inline constexpr char kSecondary[] = "#e69f00";  // orange
inline constexpr char kLimit[] = "#d55e00";      // vermilion
inline constexpr char kOutside[] = "#cc0000";    // red
}  // namespace colour

}  // namespace results::chart
