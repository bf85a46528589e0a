#include "results/svgchart.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

#include "results/statistics.h"

namespace results::chart {

QString escape(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case '&':
                out += QLatin1String("&amp;");
                break;
            case '<':
                out += QLatin1String("&lt;");
                break;
            case '>':
                out += QLatin1String("&gt;");
                break;
            case '"':
                out += QLatin1String("&quot;");
                break;
            case '\'':
                out += QLatin1String("&#39;");
                break;
            default:
                // XML has no place for the other control characters.
                out +=
                    c.unicode() < 0x20 && c != '\t' && c != '\n' && c != '\r' ? QChar(0xfffd) : c;
        }
    }
    return out;
}

QString number(double value, int decimals) {
    // A value that rounds to zero is written "0", never "-0".
    if (std::abs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0;
    return QLocale::c().toString(value, 'f', decimals);
}

namespace {

constexpr double kCharWidth = 6.5;  // of the 11 px labels, on average

// The smallest of 1, 2 and 5 times a power of ten at or above rough.
double niceStep(double rough) {
    if (!(rough > 0)) return 1;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= rough * (1 - 1e-9)) return m * power;
    return 10 * power;
}

// A linear axis from lo to hi on multiples of step, drawn from px0 to px1.
struct Scale {
    double lo = 0, hi = 1, step = 1;
    double px0 = 0, px1 = 1;

    double at(double v) const { return px0 + (v - lo) / (hi - lo) * (px1 - px0); }
    int decimals() const { return std::max(0, int(-std::floor(std::log10(step) + 1e-9))); }
    std::vector<double> ticks() const {
        std::vector<double> t;
        for (double v = lo; v <= hi + step * 1e-6; v += step)
            t.push_back(std::abs(v) < step * 1e-9 ? 0 : v);
        return t;
    }
};

// About `ticks` steps over lo..hi, widened to whole steps.
Scale scaleOver(double lo, double hi, int ticks, bool whole = false) {
    if (!(hi > lo)) {
        lo -= lo == 0 ? 0 : std::max(1.0, std::abs(lo) * 0.1);
        hi += std::max(1.0, std::abs(hi) * 0.1);
    }
    Scale s;
    s.step = niceStep((hi - lo) / ticks);
    if (whole) s.step = std::max(1.0, s.step);
    s.lo = std::floor(lo / s.step + 1e-9) * s.step;
    s.hi = std::ceil(hi / s.step - 1e-9) * s.step;
    if (s.hi <= s.lo) s.hi = s.lo + s.step;
    return s;
}

// Keeps the end of a text that is longer than room characters.
QString fit(const QString& text, int room) {
    room = std::max(room, 2);
    return text.size() <= room ? text : QChar(0x2026) + text.right(room - 1);
}

QString px(double v) {
    return number(v, 1);
}

constexpr double kLeft = 58;  // the plot's left edge: room for the y axis's labels

// How category labels go under a plot: across when the longest fits its slot,
// else turned by 40 degrees, and when even that crowds them, every k-th only.
struct Labels {
    QStringList texts;
    bool turned = false;
    int every = 1;
    double drop = 0;  // the height they need beyond labels across
};

Labels layOut(const QStringList& names, double plotWidth) {
    Labels l;
    int longest = 1;
    for (const QString& n : names) {
        l.texts << fit(n, 18);
        longest = std::max(longest, int(l.texts.back().size()));
    }
    const double slot = plotWidth / std::max<qsizetype>(names.size(), 1);
    if (longest * kCharWidth + 6 <= slot) return l;
    l.turned = true;
    l.every = std::max(1, int(std::ceil(15 / slot)));
    l.drop = std::max(0.0, longest * kCharWidth * 0.643 - 6);
    return l;
}

// The SVG being written, and the plot area inside its margins.
class Svg {
public:
    Svg(const Frame& f, double rightMargin = 16, double drop = 0)
        : left_(kLeft), right_(f.width - rightMargin), top_(36), bottom_(f.height - 46 - drop) {
        text_ = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.2\" "
                    "baseProfile=\"tiny\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" "
                    "font-family=\"DejaVu Sans, Liberation Sans, Arial, sans-serif\" "
                    "font-size=\"11\" role=\"img\">\n<title>%3</title>\n"
                    "<rect x=\"0\" y=\"0\" width=\"%1\" height=\"%2\" fill=\"#ffffff\"/>\n")
                    .arg(f.width)
                    .arg(f.height)
                    .arg(escape(f.title));
        label(left_, 18, f.title, "start", 13, QStringLiteral(" font-weight=\"bold\""));
        if (!f.xLabel.isEmpty()) label((left_ + right_) / 2, f.height - 8, f.xLabel, "middle", 11);
        if (!f.yLabel.isEmpty()) {
            const double y = (top_ + bottom_) / 2;
            label(14, y, f.yLabel, "middle", 11,
                  QStringLiteral(" transform=\"rotate(-90 14 %1)\"").arg(px(y)));
        }
    }

    double left() const { return left_; }
    double right() const { return right_; }
    double top() const { return top_; }
    double bottom() const { return bottom_; }

    void line(double x1, double y1, double x2, double y2, const char* stroke, double width = 1,
              const char* extra = "") {
        text_ += QStringLiteral(
                     "<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"%5\" "
                     "stroke-width=\"%6\"%7/>\n")
                     .arg(px(x1), px(y1), px(x2), px(y2), QLatin1String(stroke), px(width),
                          QLatin1String(extra));
    }
    void rect(double x, double y, double w, double h, const QString& fill, const char* extra) {
        text_ +=
            QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"%6/>\n")
                .arg(px(x), px(y), px(std::max(w, 0.0)), px(std::max(h, 0.0)), fill,
                     QLatin1String(extra));
    }
    void circle(double x, double y, double r, const char* fill, const char* stroke,
                const char* cls) {
        text_ += QStringLiteral(
                     "<circle class=\"%6\" cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\" "
                     "stroke=\"%5\"/>\n")
                     .arg(px(x), px(y), px(r), QLatin1String(fill), QLatin1String(stroke),
                          QLatin1String(cls));
    }
    void polyline(const std::vector<std::pair<double, double>>& points, const char* stroke,
                  const char* cls) {
        QString list;
        for (const auto& [x, y] : points) list += px(x) + ',' + px(y) + ' ';
        text_ += QStringLiteral(
                     "<polyline class=\"%3\" points=\"%1\" fill=\"none\" stroke=\"%2\" "
                     "stroke-width=\"2\"/>\n")
                     .arg(list.trimmed(), QLatin1String(stroke), QLatin1String(cls));
    }
    void label(double x, double y, const QString& s, const char* anchor, int size,
               const QString& extra = {}, const char* fill = "#222222") {
        text_ += QStringLiteral(
                     "<text x=\"%1\" y=\"%2\" text-anchor=\"%3\" font-size=\"%4\" "
                     "fill=\"%5\"%6>%7</text>\n")
                     .arg(px(x), px(y), QLatin1String(anchor))
                     .arg(size)
                     .arg(QLatin1String(fill), extra, escape(s));
    }

    // The y axis: grid lines and tick labels at each step, the axis line.
    void yAxis(const Scale& s, const QString& suffix = {}) {
        for (double v : s.ticks()) {
            const double y = s.at(v);
            line(left_, y, right_, y, "#e3e3e3");
            label(left_ - 6, y + 4, number(v, s.decimals()) + suffix, "end", 11);
        }
        line(left_, top_, left_, bottom_, "#444444");
    }
    // A numeric x axis: tick marks and labels at each step, the axis line.
    void xAxis(const Scale& s) {
        for (double v : s.ticks()) {
            const double x = s.at(v);
            line(x, bottom_, x, bottom_ + 4, "#444444");
            label(x, bottom_ + 16, number(v, s.decimals()), "middle", 11);
        }
        line(left_, bottom_, right_, bottom_, "#444444");
    }
    // Category labels under the axis, centred in equal slots.
    void categories(const Labels& names) {
        const double slot = (right_ - left_) / std::max<qsizetype>(names.texts.size(), 1);
        for (qsizetype i = 0; i < names.texts.size(); i += names.every) {
            const double x = left_ + (double(i) + 0.5) * slot;
            if (names.turned)
                label(x + 4, bottom_ + 12, names.texts[i], "end", 11,
                      QStringLiteral(" transform=\"rotate(-40 %1 %2)\"")
                          .arg(px(x + 4), px(bottom_ + 12)));
            else
                label(x, bottom_ + 16, names.texts[i], "middle", 11);
        }
        line(left_, bottom_, right_, bottom_, "#444444");
    }
    // Dashed lines across the plot at values on this axis, with their labels.
    // A vertical one's label goes at the top, or near the bottom when low, on
    // its right unless it is the lower of several or has no room there.
    void markers(Markers ms, const Scale& s, bool vertical, bool low = false) {
        std::sort(ms.begin(), ms.end(),
                  [](const Marker& a, const Marker& b) { return a.value < b.value; });
        for (std::size_t i = 0; i < ms.size(); ++i) {
            const Marker& m = ms[i];
            const bool outer = i == 0 && ms.size() > 1;
            const double at = s.at(m.value);
            const char* extra = " stroke-dasharray=\"6 3\" class=\"limit\"";
            if (vertical) {
                line(at, top_, at, bottom_, colour::kLimit, 2, extra);
                const double width = m.label.size() * kCharWidth;
                const bool right = outer ? at - 8 - width < left_
                                         : at + 8 + width < right_ || at - 8 - width < left_;
                label(right ? at + 4 : at - 4, low ? bottom_ - 6 : top_ + 10, m.label,
                      right ? "start" : "end", 11, {}, colour::kLimit);
            } else {
                line(left_, at, right_, at, colour::kLimit, 2, extra);
                label(right_ - 2, outer ? at + 14 : at - 4, m.label, "end", 11, {}, colour::kLimit);
            }
        }
    }

    QString finish() { return text_ + QStringLiteral("</svg>\n"); }

private:
    double left_, right_, top_, bottom_;
    QString text_;
};

// The plot's x ticks: about one per 70 pixels.
int xTicks(const Svg& svg) {
    return std::max(2, int((svg.right() - svg.left()) / 70));
}

}  // namespace

std::vector<Bin> bins(const std::vector<double>& sorted) {
    if (sorted.empty()) return {};
    const double n = double(sorted.size());
    const int most = std::max(5, std::min(30, int(std::ceil(std::sqrt(n)))));
    const double lo = sorted.front(), hi = sorted.back();
    double width = niceStep((hi - lo) / most);
    // The edges are multiples of the width, so a range may need one bin more.
    while (std::floor(hi / width + 1e-9) - std::floor(lo / width + 1e-9) + 1 > most)
        width = niceStep(width * 1.01);
    const double first = std::floor(lo / width + 1e-9);
    const int count = int(std::floor(hi / width + 1e-9) - first) + 1;
    std::vector<Bin> out(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        out[std::size_t(i)].low = (first + i) * width;
        out[std::size_t(i)].high = (first + i + 1) * width;
    }
    for (double v : sorted) {
        const int i = std::clamp(int(std::floor(v / width + 1e-9) - first), 0, count - 1);
        ++out[std::size_t(i)].count;
    }
    return out;
}

QString histogram(const Frame& frame, const std::vector<Bin>& data, const Markers& limits) {
    Svg svg(frame);
    double lo = data.empty() ? 0 : data.front().low, hi = data.empty() ? 1 : data.back().high;
    for (const Marker& m : limits) lo = std::min(lo, m.value), hi = std::max(hi, m.value);
    Scale x = scaleOver(lo, hi, xTicks(svg));
    x.px0 = svg.left(), x.px1 = svg.right();
    long long most = 1;
    for (const Bin& b : data) most = std::max(most, b.count);
    Scale y = scaleOver(0, double(most), 5, true);
    y.px0 = svg.bottom(), y.px1 = svg.top();
    svg.yAxis(y);
    for (const Bin& b : data) {
        if (b.count == 0) continue;
        const double x0 = x.at(b.low), x1 = x.at(b.high);
        svg.rect(x0 + 0.5, y.at(double(b.count)), x1 - x0 - 1, y.at(0) - y.at(double(b.count)),
                 QLatin1String(colour::kPrimary), " class=\"bar\"");
    }
    svg.xAxis(x);
    svg.markers(limits, x, true);
    return svg.finish();
}

QString cumulative(const Frame& frame, const std::vector<double>& sorted, const Markers& limits) {
    Svg svg(frame);
    double lo = sorted.empty() ? 0 : sorted.front(), hi = sorted.empty() ? 1 : sorted.back();
    for (const Marker& m : limits) lo = std::min(lo, m.value), hi = std::max(hi, m.value);
    Scale x = scaleOver(lo, hi, xTicks(svg));
    x.px0 = svg.left(), x.px1 = svg.right();
    Scale y{0, 100, 20, svg.bottom(), svg.top()};
    svg.yAxis(y, QStringLiteral(" %"));
    if (!sorted.empty()) {
        const double n = double(sorted.size());
        std::vector<std::pair<double, double>> points{{x.at(sorted.front()), y.at(0)}};
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            if (i + 1 < sorted.size() && sorted[i + 1] == sorted[i]) continue;
            const double at = x.at(sorted[i]), level = y.at(100.0 * double(i + 1) / n);
            // Steps within half a pixel of the last are drawn as one.
            if (points.size() > 1 && at - points.back().first < 0.5) {
                points.back().second = level;
                continue;
            }
            points.emplace_back(at, points.back().second);
            points.emplace_back(at, level);
        }
        points.emplace_back(x.px1, y.at(100));
        svg.polyline(points, colour::kPrimary, "cdf");
    }
    svg.xAxis(x);
    svg.markers(limits, x, true, true);
    return svg.finish();
}

Box box(const QString& label, const std::vector<double>& sorted) {
    Box b;
    b.label = label;
    b.n = static_cast<long long>(sorted.size());
    if (sorted.empty()) return b;
    b.q1 = nearestRank(sorted, 25);
    b.median = median(sorted);
    b.q3 = nearestRank(sorted, 75);
    const double reach = 1.5 * (b.q3 - b.q1);
    b.low = b.q1, b.high = b.q3;
    for (double v : sorted) {
        if (v < b.q1 - reach || v > b.q3 + reach)
            b.outliers.push_back(v);
        else
            b.low = std::min(b.low, v), b.high = std::max(b.high, v);
    }
    return b;
}

QString boxPlot(const Frame& frame, const std::vector<Box>& boxes, const Markers& limits) {
    QStringList names;
    for (const Box& b : boxes) names << b.label;
    const Labels labels = layOut(names, frame.width - kLeft - 16);
    Svg svg(frame, 16, labels.drop);
    double lo = limits.empty() ? 0 : limits.front().value, hi = lo;
    for (const Marker& m : limits) lo = std::min(lo, m.value), hi = std::max(hi, m.value);
    bool any = !limits.empty();
    for (const Box& b : boxes) {
        if (b.n == 0) continue;
        double bLo = b.low, bHi = b.high;
        for (double v : b.outliers) bLo = std::min(bLo, v), bHi = std::max(bHi, v);
        lo = any ? std::min(lo, bLo) : bLo;
        hi = any ? std::max(hi, bHi) : bHi;
        any = true;
    }
    Scale y = scaleOver(lo, hi, 5);
    y.px0 = svg.bottom(), y.px1 = svg.top();
    svg.yAxis(y);
    const double slot = (svg.right() - svg.left()) / std::max<std::size_t>(boxes.size(), 1);
    const double half = std::min(20.0, slot * 0.3);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Box& b = boxes[i];
        if (b.n == 0) continue;
        const double c = svg.left() + (double(i) + 0.5) * slot;
        svg.line(c, y.at(b.low), c, y.at(b.q1), "#444444");
        svg.line(c, y.at(b.q3), c, y.at(b.high), "#444444");
        svg.line(c - half / 2, y.at(b.low), c + half / 2, y.at(b.low), "#444444");
        svg.line(c - half / 2, y.at(b.high), c + half / 2, y.at(b.high), "#444444");
        svg.rect(c - half, y.at(b.q3), 2 * half, y.at(b.q1) - y.at(b.q3), QStringLiteral("#cfe3f3"),
                 " stroke=\"#0072b2\" stroke-width=\"1.5\" class=\"box\"");
        svg.line(c - half, y.at(b.median), c + half, y.at(b.median), "#222222", 2.5,
                 " class=\"median\"");
        for (double v : b.outliers)
            svg.circle(c, y.at(v), 2.5, "none", colour::kPrimary, "outlier");
    }
    svg.categories(labels);
    svg.markers(limits, y, false);
    return svg.finish();
}

QString barChart(const Frame& frame, const QStringList& categories,
                 const std::vector<Series>& series, double yMax, int decimals,
                 const QString& suffix) {
    const Labels labels = layOut(categories, frame.width - kLeft - 16);
    Svg svg(frame, 16, labels.drop);
    double top = yMax;
    if (!(top > 0)) {
        top = 1;
        for (const Series& s : series)
            for (const auto& v : s.values)
                if (v) top = std::max(top, *v);
    }
    // Values written without decimals are counts: their axis steps by whole ones.
    Scale y = scaleOver(0, top, 5, decimals == 0);
    y.px0 = svg.bottom(), y.px1 = svg.top();
    svg.yAxis(y, suffix);
    const double slot = (svg.right() - svg.left()) / std::max<qsizetype>(categories.size(), 1);
    // Bars at most 60 pixels wide, each group centred in its slot.
    const double groups = double(std::max<std::size_t>(series.size(), 1));
    const double width = std::min(slot * 0.8 / groups, 60.0);
    const double inset = (slot - width * groups) / 2;
    for (std::size_t s = 0; s < series.size(); ++s) {
        for (qsizetype i = 0; i < categories.size(); ++i) {
            if (std::size_t(i) >= series[s].values.size() || !series[s].values[std::size_t(i)])
                continue;
            const double v = *series[s].values[std::size_t(i)];
            const double x0 = svg.left() + double(i) * slot + inset + double(s) * width;
            svg.rect(x0 + 0.5, y.at(v), width - 1, y.at(0) - y.at(v), series[s].colour,
                     " class=\"bar\"");
            const QString text = number(v, decimals);
            if (width >= text.size() * 5.5 + 2)
                svg.label(x0 + width / 2, y.at(v) - 3, text, "middle", 9);
        }
    }
    svg.categories(labels);
    // The legend, right-aligned on the title's line.
    double x = svg.right();
    for (auto s = series.rbegin(); s != series.rend(); ++s) {
        x -= s->name.size() * kCharWidth + 4;
        svg.label(x, 18, s->name, "start", 11);
        x -= 14;
        svg.rect(x, 9, 10, 10, s->colour, "");
        x -= 12;
    }
    return svg.finish();
}

QString controlChart(const Frame& frame, const QStringList& labels,
                     const std::vector<double>& values, const ControlLimits& limits,
                     const std::vector<bool>& flagged) {
    const Labels names = layOut(labels, frame.width - kLeft - 64);
    Svg svg(frame, 64, names.drop);
    double lo = std::min(limits.lower, limits.centre), hi = std::max(limits.upper, limits.centre);
    for (double v : values) lo = std::min(lo, v), hi = std::max(hi, v);
    Scale y = scaleOver(lo, hi, 5);
    y.px0 = svg.bottom(), y.px1 = svg.top();
    svg.yAxis(y);
    const int decimals = y.decimals() + 1;
    struct Line {
        double value;
        const char *name, *colour, *extra;
    };
    for (const Line& l :
         {Line{limits.upper, "UCL", colour::kLimit, " stroke-dasharray=\"6 3\" class=\"ucl\""},
          Line{limits.centre, "CL", "#444444", " class=\"centre\""},
          Line{limits.lower, "LCL", colour::kLimit, " stroke-dasharray=\"6 3\" class=\"lcl\""}}) {
        svg.line(svg.left(), y.at(l.value), svg.right(), y.at(l.value), l.colour, 1.5, l.extra);
        svg.label(svg.right() + 4, y.at(l.value) + 4,
                  QLatin1String(l.name) + ' ' + number(l.value, decimals), "start", 10, {},
                  l.colour);
    }
    const double slot =
        (svg.right() - svg.left()) / double(std::max<std::size_t>(values.size(), 1));
    std::vector<std::pair<double, double>> points;
    for (std::size_t i = 0; i < values.size(); ++i)
        points.emplace_back(svg.left() + (double(i) + 0.5) * slot, y.at(values[i]));
    if (!points.empty()) svg.polyline(points, colour::kPrimary, "trace");
    for (std::size_t i = 0; i < values.size(); ++i) {
        const bool outside = values[i] > limits.upper || values[i] < limits.lower;
        svg.circle(points[i].first, points[i].second, 3,
                   outside ? colour::kOutside : colour::kPrimary, "#ffffff",
                   outside ? "point outside" : "point");
        if (i < flagged.size() && flagged[i])
            svg.circle(points[i].first, points[i].second, 6.5, "none", colour::kLimit, "flagged");
    }
    svg.categories(names);
    return svg.finish();
}

}  // namespace results::chart
