#include "results/htmlreport.h"
#include "vocabulary/reasons.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlQuery>
#include <algorithm>
#include <cmath>
#include <functional>

#include "results/query.h"
#include "results/statistics.h"
#include "results/summaries.h"
#include "results/svgchart.h"

namespace results {

namespace {

// Units and tests per key (a column or an expression of one) in one pass each;
// as in the report, only a pass or a fail tests a unit.
bool fillYields(const QSqlDatabase& db, const Where& w, const QString& key, QList<Yield>& out,
                QString* error) {
    QMap<QString, Yield> byKey;
    QSqlQuery q(db);
    if (!run(
            q,
            QStringLiteral("WITH us AS ("
                           " SELECT %2 AS k, unit, MIN(started) AS f,"
                           "  MIN(CASE WHEN %3 THEN started END) AS fp"
                           " FROM results WHERE %1 AND unit <> ''"
                           " AND %4 GROUP BY %2, unit)"
                           " SELECT k, COUNT(*), COUNT(fp), SUM(CASE WHEN fp = f THEN 1 ELSE 0 END)"
                           " FROM us GROUP BY k")
                .arg(w.sql, key, resultIs(Outcome::Pass), testsAUnit()),
            w, error))
        return false;
    while (q.next()) {
        Yield& y = byKey[q.value(0).toString()];
        y.units = q.value(1).toLongLong();
        y.passed = q.value(2).toLongLong();
        y.firstPass = q.value(3).toLongLong();
    }
    if (!drained(q, error)) return false;
    if (!run(q,
             QStringLiteral("SELECT %2, COUNT(*),"
                            " SUM(CASE WHEN %3 THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN %4 THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN %5 THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN retest THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN retest AND %6 THEN 1 ELSE 0 END)"
                            " FROM results WHERE %1 GROUP BY %2")
                 .arg(w.sql, key, resultIs(Outcome::Fail), resultIs(Outcome::StationFault),
                      resultIs(Outcome::Interrupted), resultIs(Outcome::Pass)),
             w, error))
        return false;
    while (q.next()) {
        Yield& y = byKey[q.value(0).toString()];
        y.tests = q.value(1).toLongLong();
        y.failed = q.value(2).toLongLong();
        y.faults = q.value(3).toLongLong();
        y.interrupted = q.value(4).toLongLong();
        y.retests = q.value(5).toLongLong();
        y.retestsPassed = q.value(6).toLongLong();
    }
    if (!drained(q, error)) return false;
    for (auto it = byKey.begin(); it != byKey.end(); ++it) {
        it->key = it.key();
        out << *it;
    }
    return true;
}

// The calibrations in the selection's station and times, per slot, oldest
// first, each with its drift since the slot's previous calibration (one
// before the selection's start included).
bool fillCalibrations(const QSqlDatabase& db, const Filter& f, QList<SlotCalibrations>& out,
                      QString* error) {
    Where w{QStringLiteral("1 = 1"), {}};
    for (const auto& [value, condition] :
         {std::pair{f.station, "station = ?"}, {f.since, "time >= ?"}, {f.untilBefore, "time < ?"}})
        if (!value.isEmpty()) w.sql += QStringLiteral(" AND ") + condition, w.values << value;
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT id, time, station, port, operator, golden, expected, measured,"
                            " \"offset\", level_dbm FROM calibrations WHERE %1"
                            " ORDER BY station, port, time, id")
                 .arg(w.sql),
             w, error))
        return false;
    while (q.next()) {
        if (out.isEmpty() || out.back().station != q.value(2).toString() ||
            out.back().port != q.value(3).toString())
            out << SlotCalibrations{q.value(2).toString(), q.value(3).toString(), {}};
        auto& history = out.back().history;
        CalibrationPoint c{q.value(0).toLongLong(),
                           q.value(1).toString(),
                           q.value(4).toString(),
                           q.value(5).toString(),
                           q.value(6).toDouble(),
                           q.value(7).toDouble(),
                           q.value(8).toDouble(),
                           {},
                           {}};
        if (!q.isNull(9)) c.levelDbm = q.value(9).toDouble();
        if (!history.empty()) c.drift = c.offset - history.back().offset;
        history.push_back(c);
    }
    if (!drained(q, error)) return false;
    if (f.since.isEmpty()) return true;
    for (SlotCalibrations& slot : out) {
        const Where before{QString(), {slot.station, slot.port, slot.history.front().time}};
        if (!run(q,
                 QStringLiteral("SELECT \"offset\" FROM calibrations"
                                " WHERE station = ? AND port = ? AND time < ?"
                                " ORDER BY time DESC, id DESC LIMIT 1"),
                 before, error))
            return false;
        if (q.next())
            slot.history.front().drift = slot.history.front().offset - q.value(0).toDouble();
        if (!drained(q, error)) return false;
    }
    return true;
}

QString html(const QString& text) {
    return chart::escape(text);
}
QString num(double v, int decimals) {
    return chart::number(v, decimals);
}
QString percentOf(qint64 part, qint64 whole) {
    return Figures::percent(whole ? std::optional(double(part) / double(whole)) : std::nullopt);
}
// A port's last path part, for a chart's narrow labels.
QString shortPort(const QString& port) {
    return port.mid(port.lastIndexOf('/') + 1);
}

// Digits compared as numbers, so that ttyUSB2 comes before ttyUSB10.
bool naturalLess(const QString& a, const QString& b) {
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit()) ++ei;
            while (ej < b.size() && b[ej].isDigit()) ++ej;
            const qulonglong x = a.mid(i, ei - i).toULongLong(), y = b.mid(j, ej - j).toULongLong();
            if (x != y) return x < y;
            i = ei, j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// A table cell: text (escaped here), right-aligned when a number, and the
// name a test finds the figure by.
struct Cell {
    Cell(const QString& text, const QString& figure = {}, bool number = true)
        : text(text), figure(figure), number(number) {}
    QString text;
    QString figure;
    bool number;
};
Cell label(const QString& text) {
    return Cell{text, {}, false};
}

class Page {
public:
    void raw(const QString& text) { out_ += text; }
    void heading(const QString& id, const QString& title) {
        out_ += QStringLiteral("<section id=\"%1\">\n<h2>%2</h2>\n").arg(id, html(title));
    }
    void end() { out_ += QStringLiteral("</section>\n"); }
    void paragraph(const QString& text, const char* cls = "note") {
        out_ += (*cls ? QStringLiteral("<p class=\"%1\">").arg(QLatin1String(cls))
                      : QStringLiteral("<p>")) +
                html(text) + QStringLiteral("</p>\n");
    }
    void figure(const QString& svg, const QString& caption) {
        out_ += QStringLiteral("<figure>\n") + svg +
                QStringLiteral("<figcaption>%1</figcaption>\n</figure>\n").arg(html(caption));
    }
    void table(const QString& caption, const QStringList& header, const QList<QList<Cell>>& rows) {
        out_ += QStringLiteral("<table>\n<caption>%1</caption>\n<thead><tr>").arg(html(caption));
        for (const QString& h : header) out_ += QStringLiteral("<th>%1</th>").arg(html(h));
        out_ += QStringLiteral("</tr></thead>\n<tbody>\n");
        for (const auto& row : rows) {
            out_ += QStringLiteral("<tr>");
            for (const Cell& c : row) {
                out_ += QStringLiteral("<td");
                if (c.number) out_ += QStringLiteral(" class=\"n\"");
                if (!c.figure.isEmpty())
                    out_ += QStringLiteral(" data-figure=\"%1\"").arg(html(c.figure));
                out_ += '>' + html(c.text) + QStringLiteral("</td>");
            }
            out_ += QStringLiteral("</tr>\n");
        }
        out_ += QStringLiteral("</tbody>\n</table>\n");
    }
    QByteArray bytes() const { return out_.toUtf8(); }

private:
    QString out_;
};

const char kStyle[] = R"(
@page { size: A4; margin: 14mm 12mm; }
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; font-size: 10pt;
       color: #222; max-width: 186mm; margin: 0 auto; padding: 8px; }
h1 { font-size: 16pt; margin: 0 0 4px; }
h2 { font-size: 13pt; border-bottom: 1px solid #999; margin: 18px 0 6px; break-after: avoid; }
p { margin: 4px 0; }
figure { margin: 10px 0 4px; break-inside: avoid; }
figure svg { display: block; width: 100%; max-width: 640px; height: auto; }
figcaption { font-size: 9pt; color: #444; }
table { border-collapse: collapse; font-size: 9pt; margin: 4px 0 12px; }
caption { text-align: left; font-size: 9pt; color: #444; padding-bottom: 2px; }
th, td { border: 1px solid #bbb; padding: 1px 6px; }
th { background: #eee; text-align: left; font-weight: 600; }
td, code { white-space: nowrap; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
tr { break-inside: avoid; }
.note { font-size: 9pt; color: #444; }
dl { font-size: 9pt; } dt { font-weight: 600; } dd { margin: 0 0 4px 16px; }
@media print { body { max-width: none; padding: 0; } }
)";

void overallSection(Page& page, const Figures& f) {
    page.heading(QStringLiteral("overall"), QStringLiteral("Overall"));
    const qint64 faults = f.outcomes.value(codeOf(Outcome::StationFault));
    const qint64 interrupted = f.outcomes.value(codeOf(Outcome::Interrupted));
    page.table(
        QStringLiteral("The selected results"), {QStringLiteral("Figure"), QStringLiteral("Value")},
        {
            {label(QStringLiteral("Results")), {QString::number(f.results), "results"}},
            {label(QStringLiteral("Passed")),
             {QString::number(f.outcomes.value(codeOf(Outcome::Pass))), "outcome.pass"}},
            {label(QStringLiteral("Failed")),
             {QString::number(f.outcomes.value(codeOf(Outcome::Fail))), "outcome.fail"}},
            {label(QStringLiteral("Station faults")),
             {QString::number(faults), "outcome.station-fault"}},
            {label(QStringLiteral("Interrupted")),
             {QString::number(interrupted), "outcome.interrupted"}},
            {label(QStringLiteral("Units tested")),
             {QString::number(f.unitsTested), "units_tested"}},
            {label(QStringLiteral("Units passed")),
             {QString::number(f.unitsPassed), "units_passed"}},
            {label(QStringLiteral("Units passed at their first test")),
             {QString::number(f.unitsFirstPass), "units_first_pass"}},
            {label(QStringLiteral("First-pass yield")),
             {Figures::percent(f.firstPassYield()), "first_pass_yield"}},
            {label(QStringLiteral("Final yield")),
             {percentOf(f.unitsPassed, f.unitsTested), "final_yield"}},
            {label(QStringLiteral("Resets not proven")), {f.resets.words(), "resets_not_proven"}},
        });
    page.end();
}

void yieldFigure(Page& page, const QList<Yield>& yields, const QString& what,
                 const QString& prefix) {
    if (yields.isEmpty()) return;
    QStringList names;
    chart::Series first{QStringLiteral("first pass"), QLatin1String(chart::colour::kPrimary), {}};
    chart::Series finalYield{QStringLiteral("final"), QLatin1String(chart::colour::kSecondary), {}};
    QList<QList<Cell>> rows;
    for (const Yield& y : yields) {
        const QString name = y.key.isEmpty() ? QStringLiteral("(none)") : y.key;
        names << name;
        auto share = [&](qint64 part) {
            return y.units ? std::optional(100.0 * double(part) / double(y.units)) : std::nullopt;
        };
        first.values.push_back(share(y.firstPass));
        finalYield.values.push_back(share(y.passed));
        const QString key = prefix + y.key + '.';
        rows << QList<Cell>{label(name),
                            {QString::number(y.units), key + "units_tested"},
                            {QString::number(y.firstPass), key + "units_first_pass"},
                            {percentOf(y.firstPass, y.units), key + "first_pass_yield"},
                            {QString::number(y.passed), key + "units_passed"},
                            {percentOf(y.passed, y.units), key + "final_yield"},
                            {QString::number(y.tests), key + "results"},
                            {QString::number(y.failed), key + "outcome.fail"},
                            {QString::number(y.faults), key + "outcome.station-fault"},
                            {QString::number(y.interrupted), key + "outcome.interrupted"}};
    }
    const QString title = QStringLiteral("Yield per %1").arg(what);
    page.figure(
        chart::barChart({title, what == QLatin1String("day") ? QStringLiteral("day (UTC)") : what,
                         QStringLiteral("units (%)"), 640, 260},
                        names, {first, finalYield}, 100, 1, {}),
        QStringLiteral("First-pass and final yield of the units tested per %1; the "
                       "numbers are in the table below.")
            .arg(what));
    page.table(title,
               {what == QLatin1String("day") ? QStringLiteral("Day (UTC)") : QStringLiteral("Lot"),
                QStringLiteral("Units tested"), QStringLiteral("First pass"),
                QStringLiteral("First-pass yield"), QStringLiteral("Passed"),
                QStringLiteral("Final yield"), QStringLiteral("Tests"), QStringLiteral("Failed"),
                QStringLiteral("Station faults"), QStringLiteral("Interrupted")},
               rows);
}

void yieldSection(Page& page, const Distributions& d) {
    page.heading(QStringLiteral("yield"), QStringLiteral("Yield"));
    yieldFigure(page, d.lots, QStringLiteral("lot"), QStringLiteral("lot."));
    yieldFigure(page, d.days, QStringLiteral("day"), QStringLiteral("day."));
    page.paragraph(QStringLiteral(
        "A station fault or an interruption counts as a test that did not pass; they are "
        "counted apart above, so that a drop in yield that comes from the station shows as "
        "such."));
    page.end();
}

void retestFigure(Page& page, const QList<Yield>& yields, const QString& what,
                  const QString& prefix) {
    QStringList names;
    chart::Series first{QStringLiteral("first tests"), QLatin1String(chart::colour::kPrimary), {}};
    chart::Series again{QStringLiteral("retests"), QLatin1String(chart::colour::kSecondary), {}};
    QList<QList<Cell>> rows;
    for (const Yield& y : yields) {
        const QString name = y.key.isEmpty() ? QStringLiteral("(none)") : y.key;
        names << name;
        first.values.push_back(double(y.tests - y.retests));
        again.values.push_back(double(y.retests));
        const QString key = prefix + y.key + '.';
        rows << QList<Cell>{label(name),
                            {QString::number(y.tests)},
                            {QString::number(y.tests - y.retests), key + "first_tests"},
                            {QString::number(y.retests), key + "retests"},
                            {QString::number(y.retestsPassed), key + "retests_passed"},
                            {percentOf(y.retests, y.tests)}};
    }
    const QString title = QStringLiteral("Tests and retests per %1").arg(what);
    const bool day = what == QLatin1String("day");
    page.figure(chart::barChart({title, day ? QStringLiteral("day (UTC)") : what,
                                 QStringLiteral("results"), 640, 240},
                                names, {first, again}, 0, 0, {}),
                QStringLiteral("Per %1: the results of first tests and of retests.").arg(what));
    page.table(title,
               {day ? QStringLiteral("Day (UTC)") : QStringLiteral("Lot"), QStringLiteral("Tests"),
                QStringLiteral("First tests"), QStringLiteral("Retests"),
                QStringLiteral("Retests passed"), QStringLiteral("Retests of the tests")},
               rows);
}

void retestSection(Page& page, const Distributions& d) {
    page.heading(QStringLiteral("retests"), QStringLiteral("Retests"));
    qint64 retests = 0;
    for (const Yield& y : d.lots) retests += y.retests;
    page.raw(QStringLiteral("<p class=\"note\">A retest is a test of a unit that already had a "
                            "result in its lot (the row's <code>retest</code>). Retests: "
                            "<span data-figure=\"retests\">%1</span> of %2 results.</p>\n")
                 .arg(retests)
                 .arg(d.summary.overall.results));
    if (retests > 0) {
        retestFigure(page, d.lots, QStringLiteral("lot"), QStringLiteral("retest.lot."));
        retestFigure(page, d.days, QStringLiteral("day"), QStringLiteral("retest.day."));
    }
    page.end();
}

// A limit's value as written: "60", "40.5".
QString limitValue(double v) {
    return num(v, v == std::round(v) ? 0 : 2);
}

// "≤ 60 s", "≥ 36 dB-Hz", or a window "40 to 44 dB-Hz"; empty without limits.
QString limitText(const PageMeasure& m) {
    const QString unit = m.unit.isEmpty() ? QString() : ' ' + m.unit;
    if (m.low && m.limit)
        return QStringLiteral("%1 to %2%3")
            .arg(limitValue(m.low->value), limitValue(m.limit->value), unit);
    if (m.low) return QStringLiteral("\u2265 ") + limitValue(m.low->value) + unit;
    if (!m.limit) return {};
    return QStringLiteral("%1 %2%3")
        .arg(m.upper ? QChar(0x2264) : QChar(0x2265))
        .arg(limitValue(m.limit->value), unit);
}

// The limits' keys in "limits": "max_ttff_s", "cn0_low and cn0_high".
QString limitKeys(const PageMeasure& m, const QString& joint) {
    QStringList keys;
    for (const char* key : {m.lowKey, m.limitKey})
        if (key) keys << QLatin1String(key);
    return keys.join(joint);
}

// "<= 60 s, the most frequent max_ttff_s among the selected results (392 of 438)"
QString limitSaid(const PageMeasure& m) {
    QStringList counts;
    qint64 of = 0;
    for (const auto* l : {&m.low, &m.limit})
        if (*l) counts << QString::number((*l)->results), of = (*l)->of;
    return QStringLiteral("%1, the most frequent %2 among the selected results (%3 of %4)")
        .arg(limitText(m), limitKeys(m, QStringLiteral(" and ")),
             counts.join(QStringLiteral(" and ")))
        .arg(of);
}

bool limitsPartly(const PageMeasure& m) {
    return (m.limit && m.limit->results != m.limit->of) || (m.low && m.low->results != m.low->of);
}

// The sentence over a chart that draws the limits.
void saySaidLimit(Page& page, const PageMeasure& m) {
    page.paragraph(m.limit || m.low ? QStringLiteral("Limit ") + limitSaid(m) + '.'
                                    : QStringLiteral("No %1 is stored with the selected results.")
                                          .arg(limitKeys(m, QStringLiteral(" or "))),
                   "");
}

// The limits as a chart draws them: "limit 60 s", or "low 40 dB-Hz" and "high 44 dB-Hz".
chart::Markers markers(const PageMeasure& m) {
    const QString unit = m.unit.isEmpty() ? QString() : ' ' + m.unit;
    chart::Markers out;
    if (m.low)
        out.push_back({m.low->value, (m.limit ? QStringLiteral("low ") : QStringLiteral("limit ")) +
                                         limitValue(m.low->value) + unit});
    if (m.limit)
        out.push_back(
            {m.limit->value, (m.low ? QStringLiteral("high ") : QStringLiteral("limit ")) +
                                 limitValue(m.limit->value) + unit});
    return out;
}

bool withinLimits(const PageMeasure& m, double v) {
    return (!m.limit || (m.upper ? v <= m.limit->value : v >= m.limit->value)) &&
           (!m.low || v >= m.low->value);
}

// A measure's histogram and cumulative distribution against its limits, each
// with its table; id names the figures ("ttff.within_limit").
void distributionFigures(Page& page, const PageMeasure& m, const QString& id, const QString& name) {
    const QString axis = QStringLiteral("%1 (%2)").arg(name, m.unit);
    const QString title = name.left(1).toUpper() + name.mid(1);
    saySaidLimit(page, m);
    const auto bins = chart::bins(m.sorted);
    const double width = bins.front().high - bins.front().low;
    const int decimals = std::max(0, int(-std::floor(std::log10(width) + 1e-9)));
    page.figure(chart::histogram({title + QStringLiteral(" histogram"), axis,
                                  QStringLiteral("results"), 640, 260},
                                 bins, markers(m)),
                QStringLiteral("Results per %1 bin of %2 %3; every result with a value, whatever "
                               "its verdict.")
                    .arg(name, num(width, decimals), m.unit));
    QList<QList<Cell>> rows, shares;
    qint64 below = 0;
    const qint64 n = qint64(m.sorted.size());
    for (const chart::Bin& b : bins) {
        below += b.count;
        rows << QList<Cell>{
            {num(b.low, decimals)}, {num(b.high, decimals)}, {QString::number(b.count)}};
        shares << QList<Cell>{
            {num(b.high, decimals)}, {QString::number(below)}, {percentOf(below, n)}};
    }
    page.table(title + QStringLiteral(" histogram"),
               {QStringLiteral("From (%1)").arg(m.unit), QStringLiteral("Under (%1)").arg(m.unit),
                QStringLiteral("Results")},
               rows);
    page.figure(
        chart::cumulative({title + QStringLiteral(" cumulative distribution"), axis,
                           QStringLiteral("results at or under"), 640, 260},
                          m.sorted, markers(m)),
        QStringLiteral("The share of the results whose %1 is at or under each value.").arg(name));
    QString caption =
        QStringLiteral("%1 cumulative distribution: the results under each bin's upper edge")
            .arg(title);
    if (m.limit || m.low) {
        const qint64 count = std::count_if(m.sorted.begin(), m.sorted.end(),
                                           [&](double v) { return withinLimits(m, v); });
        const QString said = m.low && m.limit    ? QStringLiteral("within the limits")
                             : m.low || !m.upper ? QStringLiteral("at or over the limit")
                                                 : QStringLiteral("at or under the limit");
        caption += QStringLiteral(", and ") + said;
        shares.prepend(QList<Cell>{
            {said + QStringLiteral(", ") + (m.low && m.limit ? limitText(m) : limitText(m).mid(2)),
             {},
             false},
            {QString::number(count), id + ".within_limit"},
            {percentOf(count, n), id + ".within_limit_share"}});
    }
    page.table(caption,
               {QStringLiteral("Under (%1)").arg(m.unit), QStringLiteral("Results"),
                QStringLiteral("Share")},
               shares);
}

void ttffSection(Page& page, const PageMeasure& ttff) {
    page.heading(QStringLiteral("ttff"), QStringLiteral("Time to first fix"));
    if (ttff.sorted.empty())
        page.paragraph(QStringLiteral("No selected result has a TTFF."));
    else
        distributionFigures(page, ttff, QStringLiteral("ttff"), QStringLiteral("TTFF"));
    page.end();
}

// Box plots of a measure per port, side by side, with their table; id names
// the figures ("cn0./dev/ttyUSB0.median").
void boxFigure(Page& page, const QMap<QString, std::vector<double>>& byPort, const PageMeasure& m,
               const QString& id, const QString& title) {
    QStringList ports = byPort.keys();
    std::sort(ports.begin(), ports.end(), naturalLess);
    std::vector<chart::Box> boxes;
    QList<QList<Cell>> rows;
    for (const QString& port : ports) {
        const auto& values = byPort[port];
        const chart::Box b = chart::box(shortPort(port), values);
        boxes.push_back(b);
        rows << QList<Cell>{label(port.isEmpty() ? QStringLiteral("(none)") : port),
                            {QString::number(b.n)},
                            {num(values.front(), 2)},
                            {num(b.q1, 2)},
                            {num(b.median, 2), id + '.' + port + ".median"},
                            {num(b.q3, 2)},
                            {num(values.back(), 2)},
                            {num(mean(values), 2)},
                            {QString::number(b.outliers.size())}};
    }
    page.figure(
        chart::boxPlot({title, QStringLiteral("slot (port)"), m.unit, 640, 280}, boxes, markers(m)),
        QStringLiteral("Per port: the box from the first to the third quartile, the median "
                       "across it, whiskers to the furthest values within 1.5 box heights, "
                       "circles beyond them."));
    page.table(QStringLiteral("%1 (%2) per slot").arg(title.section(',', 0, 0), m.unit),
               {QStringLiteral("Port"), QStringLiteral("n"), QStringLiteral("Min"),
                QStringLiteral("Q1"), QStringLiteral("Median"), QStringLiteral("Q3"),
                QStringLiteral("Max"), QStringLiteral("Mean"), QStringLiteral("Outliers")},
               rows);
}

void signalSection(Page& page, const Distributions& d) {
    const PageMeasure& m = d.measures[kSignal];
    if (m.sorted.empty()) return;
    page.heading(QStringLiteral("signal"), QStringLiteral("Signal test C/N0"));
    const QString sv = d.signalSv.isEmpty()
                           ? QString()
                           : QStringLiteral(" (%1)").arg(d.signalSv.join(QStringLiteral(", ")));
    page.paragraph(QStringLiteral("The C/N0 the units reported for the generator's satellite%1, "
                                  "the mean of each test's one-second readings, corrected by the "
                                  "slot's calibration offset.")
                       .arg(sv));
    distributionFigures(page, m, QStringLiteral("signal"), QStringLiteral("signal C/N0"));
    boxFigure(page, d.signalByPort, m, QStringLiteral("signal"),
              QStringLiteral("Signal test C/N0, corrected, per slot"));
    page.end();
}

// A measure drawn as its row says, beyond those with a section of their own.
// Nothing when no selected result has the measure.
void measureSection(Page& page, const PageMeasure& m) {
    if (m.sorted.empty()) return;
    const QString id = QLatin1String(m.key);
    page.heading(id, m.name);
    // In a sentence a name in capitals stays so ("AGC count"), a word does not.
    const QString said = m.name.size() > 1 && m.name[1].isLower()
                             ? m.name.left(1).toLower() + m.name.mid(1)
                             : m.name;
    if (m.row->chart == Chart::Distribution || m.row->chart == Chart::Both)
        distributionFigures(page, m, id, said);
    if (m.row->chart == Chart::PerSlot || m.row->chart == Chart::Both)
        boxFigure(page, m.byPort, m, id, m.name + QStringLiteral(", per slot"));
    page.end();
}

void cn0Section(Page& page, const Distributions& d, const PageMeasure& cn0) {
    page.heading(QStringLiteral("cn0"), QStringLiteral("C/N0 per slot"));
    if (d.cn0ByPort.isEmpty()) {
        page.paragraph(QStringLiteral("No selected result has a C/N0."));
    } else {
        saySaidLimit(page, cn0);
        boxFigure(page, d.cn0ByPort, cn0, QStringLiteral("cn0"),
                  QStringLiteral("C/N0 of the four strongest satellites, per slot"));
    }
    page.end();
}

// An individuals control chart's limits: the centre is the mean offset, and
// σ is estimated from the mean moving range (the mean difference between
// consecutive calibrations, divided by d2 = 1.128), so that a slot's slow
// drift does not widen its own limits.  None for fewer than two.
std::optional<chart::ControlLimits> controlLimits(const std::vector<double>& v) {
    if (v.size() < 2) return std::nullopt;
    double ranges = 0;
    for (std::size_t i = 1; i < v.size(); ++i) ranges += std::abs(v[i] - v[i - 1]);
    const double centre = mean(v), sigma = ranges / double(v.size() - 1) / 1.128;
    return chart::ControlLimits{centre, centre - 3 * sigma, centre + 3 * sigma};
}

void calibrationSection(Page& page, const Distributions& d) {
    if (d.calibrations.isEmpty() && d.measures[kSignal].sorted.empty()) return;
    page.heading(QStringLiteral("calibrations"), QStringLiteral("Calibration offsets per slot"));
    if (d.calibrations.isEmpty()) {
        page.paragraph(QStringLiteral("No calibration in the selection's stations and times."));
        page.end();
        return;
    }
    page.raw(QStringLiteral(
        "<p class=\"note\">Each slot's offsets (expected minus measured C/N0 of the golden unit; "
        "made at a generator's level, the slot's path loss) in time order, selected by the "
        "report's station and times. Control limits: the mean "
        "offset &#177; 3&#963;, &#963; estimated as the mean moving range (the mean difference "
        "between consecutive offsets) / 1.128. A ring marks a drift of more than 1 dB since the "
        "slot's previous calibration; a red point lies outside the control limits. The "
        "<code>--max-offset</code> a station ran with is not stored: offsets beyond the default "
        "6 dB are named in the tables.</p>\n"));
    QList<QList<Cell>> summary;
    for (const SlotCalibrations& slot : d.calibrations) {
        std::vector<double> offsets;
        int drifts = 0;
        for (const CalibrationPoint& c : slot.history) {
            offsets.push_back(c.offset);
            drifts += c.drift && std::abs(*c.drift) > kDriftFlagDb;
        }
        const auto limits = controlLimits(offsets);
        int outside = 0;
        for (double v : offsets) outside += limits && (v < limits->lower || v > limits->upper);
        const QString key = QStringLiteral("cal.%1.%2.").arg(slot.station, slot.port);
        const QString none = QStringLiteral("\u2014");
        summary << QList<Cell>{label(slot.station),
                               label(slot.port),
                               {QString::number(offsets.size()), key + "count"},
                               {num(mean(offsets), 2), key + "centre"},
                               {limits ? num(limits->lower, 2) : none, key + "lcl"},
                               {limits ? num(limits->upper, 2) : none, key + "ucl"},
                               {num(offsets.back(), 2), key + "latest"},
                               {QString::number(drifts), key + "drifts"},
                               {QString::number(outside), key + "outside"}};
    }
    page.table(QStringLiteral("Each slot's offsets (dB) and control limits"),
               {QStringLiteral("Station"), QStringLiteral("Port"), QStringLiteral("Calibrations"),
                QStringLiteral("Centre"), QStringLiteral("LCL"), QStringLiteral("UCL"),
                QStringLiteral("Latest"), QStringLiteral("Drifts over 1 dB"),
                QStringLiteral("Outside the limits")},
               summary);
    for (const SlotCalibrations& slot : d.calibrations) {
        QStringList times;
        std::vector<double> offsets;
        std::vector<bool> flagged;
        for (const CalibrationPoint& c : slot.history) {
            times << c.time.mid(5, 11).replace('T', ' ');
            offsets.push_back(c.offset);
            flagged.push_back(c.drift && std::abs(*c.drift) > kDriftFlagDb);
        }
        const auto limits = controlLimits(offsets);
        const QString title =
            QStringLiteral("%1 %2: calibration offset")
                .arg(slot.station.isEmpty() ? QStringLiteral("(no station)") : slot.station,
                     slot.port);
        if (limits)
            page.figure(chart::controlChart({title, QStringLiteral("calibrated (UTC)"),
                                             QStringLiteral("offset (dB)"), 640, 220},
                                            times, offsets, *limits, flagged),
                        QStringLiteral("%1's offsets in time order with the centre line and "
                                       "control limits.")
                            .arg(slot.port));
        else
            page.paragraph(
                QStringLiteral("%1: one calibration, no control limits yet.").arg(title));
        QList<QList<Cell>> rows;
        for (const CalibrationPoint& c : slot.history) {
            QStringList notes;
            if (c.drift && std::abs(*c.drift) > kDriftFlagDb)
                notes << QStringLiteral("drift > 1 dB");
            if (limits && (c.offset < limits->lower || c.offset > limits->upper))
                notes << QStringLiteral("outside limits");
            if (std::abs(c.offset) > 6) notes << QStringLiteral("beyond 6 dB");
            rows << QList<Cell>{
                label(c.time.left(19).replace('T', ' ')),
                label(c.operatorName),
                label(c.golden),
                {c.levelDbm ? num(*c.levelDbm, 1) : QStringLiteral("\u2014"),
                 QStringLiteral("cal.%1.%2.%3.level").arg(slot.station, slot.port).arg(c.id)},
                {num(c.expected, 2)},
                {num(c.measured, 2)},
                {num(c.offset, 2)},
                {c.drift ? num(*c.drift, 2) : QStringLiteral("\u2014")},
                label(notes.join(QStringLiteral("; ")))};
        }
        page.table(
            title,
            {QStringLiteral("Time (UTC)"), QStringLiteral("Operator"),
             QStringLiteral("Golden unit"), QStringLiteral("Generator level (dBm)"),
             QStringLiteral("Expected (dB-Hz)"), QStringLiteral("Measured (dB-Hz)"),
             QStringLiteral("Offset (dB)"), QStringLiteral("Drift (dB)"), QStringLiteral("Note")},
            rows);
    }
    page.end();
}

void statisticsSection(Page& page, const Distributions& d) {
    page.heading(QStringLiteral("statistics"), QStringLiteral("Statistics"));
    QList<QList<Cell>> rows;
    for (const PageMeasure& m : d.measures) {
        const QString key = QStringLiteral("stat.") + QLatin1String(m.key) + '.';
        const QString name =
            m.unit.isEmpty() ? m.name : QStringLiteral("%1 (%2)").arg(m.name, m.unit);
        if (m.sorted.empty()) {
            // A test that did not run (the signal test: its C/N0 and RF figures) has
            // nothing to count; a fix test's measure without a value is news.
            if (m.row->test == Test::Fix)
                rows << QList<Cell>{label(name), {QStringLiteral("0"), key + "count"}};
            continue;
        }
        const double mu = mean(m.sorted), sd = sampleSd(m.sorted);
        std::optional<double> low, high;
        if (m.limit) (m.upper ? high : low) = m.limit->value;
        if (m.low) low = m.low->value;
        const std::optional<double> capability = cpkAgainst(mu, sd, low, high);
        const QString none = QStringLiteral("\u2014");
        rows << QList<Cell>{label(name),
                            {QString::number(m.sorted.size()), key + "count"},
                            {num(mu, 2), key + "mean"},
                            {m.sorted.size() > 1 ? num(sd, 2) : none, key + "sd"},
                            {num(m.sorted.front(), 2), key + "min"},
                            {num(m.sorted.back(), 2), key + "max"},
                            {num(median(m.sorted), 2), key + "median"},
                            {num(nearestRank(m.sorted, 95), 2), key + "p95"},
                            {m.limit || m.low ? limitText(m) : none, key + "limit"},
                            {capability ? num(*capability, 2) : none, key + "cpk"}};
    }
    page.table(QStringLiteral("Every selected result with a value, whatever its verdict"),
               {QStringLiteral("Measure"), QStringLiteral("n"), QStringLiteral("Mean"),
                QStringLiteral("\u03c3"), QStringLiteral("Min"), QStringLiteral("Max"),
                QStringLiteral("Median"), QStringLiteral("p95"), QStringLiteral("Limit"),
                QStringLiteral("Cpk")},
               rows);
    for (const PageMeasure& m : d.measures)
        if (limitsPartly(m))
            page.paragraph(QStringLiteral("%1: limit %2.").arg(m.name, limitSaid(m)));
    page.end();
}

// Units per hour and handling time per station and slot (results/pace.h).
void paceSection(Page& page, const Summary& s) {
    page.heading(QStringLiteral("pace"), QStringLiteral("Units per hour"));
    page.paragraph(QStringLiteral(
        "A slot's results per working hour: its tests (start to end) and the handling between "
        "one unit's end and the next one's start; a gap of more than 5 minutes is idle time and "
        "counts as neither. A station's units per hour are the sum of its slots', the line's the "
        "sum of its stations'. Handling: the mean of the gaps counted."));
    const QString none = QStringLiteral("\u2014");
    auto row = [&](const QString& station, const QString& port, const Pace& p,
                   std::optional<double> rate, const ResetCounts& resets, const QString& key) {
        const auto handling = p.handlingMean();
        return QList<Cell>{label(station),
                           label(port),
                           {QString::number(p.results), key + "results"},
                           {rate ? num(*rate, 1) : none, key + "units_per_hour"},
                           {QString::number(p.gaps), key + "handling_count"},
                           {handling ? num(*handling, 1) : none, key + "handling_mean"},
                           {resets.words(), key + "resets_not_proven"}};
    };
    QList<QList<Cell>> rows;
    for (auto st = s.stations.cbegin(); st != s.stations.cend(); ++st) {
        QStringList ports = st->ports.keys();
        for (const QString& port : st->portResets.keys())
            if (!ports.contains(port)) ports << port;
        std::sort(ports.begin(), ports.end(), naturalLess);
        for (const QString& port : ports) {
            const Pace p = st->ports.value(port);
            rows << row(st.key(), port, p, p.unitsPerHour(), st->portResets.value(port),
                        QStringLiteral("pace.%1.%2.").arg(st.key(), port));
        }
        rows << row(st.key(), QStringLiteral("every slot"), st->pace, st->unitsPerHour, st->resets,
                    QStringLiteral("pace.%1.").arg(st.key()));
    }
    rows << row(QStringLiteral("every station"), QString(), s.overall.pace, s.overall.unitsPerHour,
                s.overall.resets, QStringLiteral("pace."));
    page.table(QStringLiteral("Units per hour, handling time and resets not proven per slot"),
               {QStringLiteral("Station"), QStringLiteral("Port"), QStringLiteral("Results"),
                QStringLiteral("Units per hour"), QStringLiteral("Handling gaps"),
                QStringLiteral("Mean handling (s)"), QStringLiteral("Resets not proven")},
               rows);
    page.end();
}

void failuresSection(Page& page, const Figures& f) {
    page.heading(QStringLiteral("failures"), QStringLiteral("Failures by reason"));
    if (f.failures.isEmpty()) {
        page.paragraph(QStringLiteral("Every selected result passed."));
        page.end();
        return;
    }
    QStringList names;
    chart::Series counts{QStringLiteral("results"), QLatin1String(chart::colour::kLimit), {}};
    QList<QList<Cell>> rows;
    for (const Failure& x : f.failures) {
        names << x.reason;
        counts.values.push_back(double(x.count));
        rows << QList<Cell>{label(x.result),
                            label(x.reason),
                            {QString::number(x.count), "failure." + x.result + '.' + x.reason},
                            {percentOf(x.count, f.results)}};
    }
    page.figure(
        chart::barChart({QStringLiteral("Failures by reason"), QStringLiteral("reason"),
                         QStringLiteral("results"), 640, 320},
                        names, {counts}, 0, 0, {}),
        QStringLiteral("Every result that did not pass, by its reason, most frequent first."));
    page.table(QStringLiteral("Failures by reason"),
               {QStringLiteral("Result"), QStringLiteral("Reason"), QStringLiteral("Results"),
                QStringLiteral("Share of all results")},
               rows);
    page.end();
}

// A lot's units whose latest test failed, each with every limit it failed
// and the result to read its bytes by (report --evidence-text).
void failedUnitsSection(Page& page, const QList<FailedUnit>& units) {
    page.heading(QStringLiteral("failed-units"), QStringLiteral("Failed units"));
    if (units.isEmpty()) {
        page.paragraph(QStringLiteral("No unit's latest test failed."));
        page.end();
        return;
    }
    QList<QList<Cell>> rows;
    for (const FailedUnit& u : units)
        rows << QList<Cell>{
            label(u.latest.unit.isEmpty() ? QStringLiteral("(none)") : u.latest.unit),
            label(u.latest.station),
            label(shortPort(u.latest.port)),
            label(u.latest.reason),
            label(failedLimitWords(u.latest).join(QStringLiteral("; "))),
            label(u.latest.started.left(19).replace('T', ' ')),
            {QString::number(u.failures)},
            label(u.latest.id)};
    page.table(
        QStringLiteral("The units whose latest test failed (%1), by the time of that test")
            .arg(units.size()),
        {QStringLiteral("Unit"), QStringLiteral("Station"), QStringLiteral("Slot"),
         QStringLiteral("Reason"), QStringLiteral("Limits failed"), QStringLiteral("Started (UTC)"),
         QStringLiteral("Failures"), QStringLiteral("Result")},
        rows);
    page.paragraph(QStringLiteral(
        "A unit's bytes of its test: gps-coldstart-cli report --evidence-text RESULT FILE "
        "(the result's first characters or the unit's serial will do)."));
    page.end();
}

// The page's head and heading, up to the end of its header.
void pageHead(Page& page, const PageHeading& heading, const QString& name) {
    const QString title =
        heading.selection.isEmpty() ? name : name + QStringLiteral(": ") + heading.selection;
    page.raw(
        QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>%1</title>\n<style>%2</style>\n</head>\n<body>\n<header>\n"
                       "<h1>%3</h1>\n")
            .arg(html(title), QLatin1String(kStyle), html(name)));
    page.paragraph(
        QStringLiteral("Selection: %1.")
            .arg(heading.selection.isEmpty() ? QStringLiteral("every result") : heading.selection),
        "");
    page.paragraph(QStringLiteral("Database %1; made %2 by gps-coldstart %3.")
                       .arg(heading.database, heading.made, QStringLiteral(COLDSTART_VERSION)));
    page.raw(QStringLiteral("</header>\n"));
}

const char kDefinitions[] = R"(<section id="definitions">
<h2>Definitions</h2>
<dl>
<dt>Units tested, passed, first pass</dt><dd>A unit is a non-empty serial. Units passed: serials with at least one pass. A unit's first test is its earliest selected one (per lot: in that lot; per day: on that day).</dd>
<dt>First-pass yield, final yield</dt><dd>Units whose first test passed, and units passed, each divided by the units tested.</dd>
<dt>Resets not proven</dt><dd>Of the passes whose start command went out, those in whose stream the receiver never showed that it restarted (reset_verified false): their TTFF may not be that of the start asked for.</dd>
<dt>Mean, &#963;</dt><dd>The arithmetic mean and the sample standard deviation, &#8730;(&#931;(x &#8722; mean)&#178; / (n &#8722; 1)).</dd>
<dt>Median, p95, quartiles</dt><dd>The median is the middle value, or the mean of the two middle ones. The p-th percentile is the nearest rank, the &#8968;p/100&#183;n&#8969;-th smallest value; the quartiles Q1 and Q3 are the 25th and 75th.</dd>
<dt>Histogram</dt><dd>Equal bins from each edge up to, not including, the next; the width is 1, 2 or 5 times a power of ten, the smallest giving at most &#8730;n bins (5 to 30).</dd>
<dt>Box plot</dt><dd>The box from Q1 to Q3 with the median across it; the whiskers reach the furthest values within 1.5&#183;(Q3 &#8722; Q1) of the box; circles are the values beyond.</dd>
<dt>Cpk</dt><dd>One-sided, against the limit in force: (limit &#8722; mean) / (3&#963;) for a maximum, (mean &#8722; limit) / (3&#963;) for a minimum; against a window (the signal test's low and high), the smaller of the two. The limit in force is the one most of the selected results were judged under.</dd>
<dt>Retest</dt><dd>A test of a unit that already had a result in its lot, as the station stored it.</dd>
<dt>Signal test C/N0</dt><dd>The mean of a test's one-second C/N0 readings of the generator's satellite, plus the slot's calibration offset.</dd>
<dt>Acquisition sensitivity, tracking sensitivity</dt><dd>The weakest level at the slot's antenna port, in dBm, at which a cold start fixed within the fix time-out (found by halving a 32 dB window in 6 cold starts, to within 0.5 dB), and down to which a fix held, stepped down from the test's level: the generator's level less the slot's path loss from its calibration. Lower (more negative) is better: the limit is a maximum.</dd>
<dt>Control chart</dt><dd>A slot's calibration offsets in time order. Centre: their mean; control limits: centre &#177; 3&#963;, &#963; = MR&#773; / 1.128, MR&#773; the mean absolute difference between consecutive offsets. Drift: the change of the offset since the slot's previous calibration; more than 1 dB is flagged.</dd>
</dl>
</section>
)";

}  // namespace

std::optional<Distributions> distributions(const QSqlDatabase& db, const Filter& filter,
                                           QString* error) {
    QString why;
    auto failed = [&]() {
        if (error) *error = why;
        return std::nullopt;
    };
    // Every figure of the page from one moment of the database (its
    // summaries built first, if they are not yet).
    prepareSummaries(db, filter, {}, &why);
    why.clear();
    const Snapshot moment(db);
    const auto counted =
        moment.begun(&why) ? tally(db, filter, &why, Source::Summaries) : std::nullopt;
    if (!counted) return failed();
    Distributions d;
    d.summary = summaryOf(*counted);
    for (const MeasureRow& row : kMeasures) {
        PageMeasure m{keyOf(row),
                      nullptr,
                      QLatin1String(row.label),
                      QLatin1String(row.unit),
                      true,
                      {},
                      {},
                      nullptr,
                      {},
                      &row,
                      {}};
        // A window's upper limit is the measure's limit and its lower one beside it.
        if (row.most.key)
            m.limitKey = row.most.key, m.lowKey = row.least.key;
        else
            m.limitKey = row.least.key, m.upper = false;
        d.measures.push_back(std::move(m));
    }
    const Where w = where(filter);
    if (!fillYields(db, w, QStringLiteral("lot"), d.lots, &why) ||
        !fillYields(db, w, QStringLiteral("substr(started, 1, 10)"), d.days, &why) ||
        !fillCalibrations(db, filter, d.calibrations, &why))
        return failed();
    // The limit in force of each measure, by the report's one rule.
    for (PageMeasure& m : d.measures) {
        if (m.limitKey) m.limit = limitInForce(counted->values.limits, m.limitKey, m.upper);
        if (m.lowKey) m.low = limitInForce(counted->values.limits, m.lowKey, false);
    }

    // The measures' columns in d.measures' order, then the signal's satellite.
    QStringList columns, any;
    for (const PageMeasure& m : d.measures)
        columns << QLatin1String(m.key),
            any << QLatin1String(m.key) + QStringLiteral(" IS NOT NULL");
    const int svColumn = int(d.measures.size()) + 1;
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT port, %1, signal_sv FROM results WHERE %2 AND (%3)")
                 .arg(columns.join(QStringLiteral(", ")), w.sql, any.join(QStringLiteral(" OR "))),
             w, &why))
        return failed();
    QSet<QString> svs;
    while (q.next()) {
        const QString port = q.value(0).toString();
        for (std::size_t i = 0; i < d.measures.size(); ++i) {
            PageMeasure& m = d.measures[i];
            if (q.isNull(int(i) + 1)) continue;
            const double value = q.value(int(i) + 1).toDouble();
            m.sorted.push_back(value);
            if (m.row->chart == Chart::PerSlot || m.row->chart == Chart::Both)
                m.byPort[port].push_back(value);
        }
        if (!q.isNull(kSignal + 1) && !q.value(svColumn).toString().isEmpty())
            svs.insert(q.value(svColumn).toString());
    }
    if (!drained(q, &why)) return failed();
    for (PageMeasure& m : d.measures) {
        std::sort(m.sorted.begin(), m.sorted.end());
        for (auto& values : m.byPort) std::sort(values.begin(), values.end());
    }
    d.cn0ByPort = d.measures[kCn0].byPort;
    d.signalByPort = d.measures[kSignal].byPort;
    d.signalSv = svs.values();
    std::sort(d.signalSv.begin(), d.signalSv.end());
    if (!filter.lot.isEmpty()) {
        d.failedUnits = failedUnits(db, filter, &why);
        if (!d.failedUnits) return failed();
    }
    return d;
}

QByteArray htmlPage(const Distributions& d, const PageHeading& heading,
                    const QByteArray& studySection) {
    Page page;
    pageHead(page, heading, QStringLiteral("Cold-start results"));
    const Figures& f = d.summary.overall;
    if (f.results == 0) {
        page.paragraph(QStringLiteral("No results match this selection."), "");
    } else {
        overallSection(page, f);
        yieldSection(page, d);
        retestSection(page, d);
        paceSection(page, d.summary);
        ttffSection(page, d.measures[kTtff]);
        signalSection(page, d);
        cn0Section(page, d, d.measures[kCn0]);
        for (const PageMeasure& m : d.measures)
            if (m.row->chart != Chart::None && m.row->measure != Measure::Ttff &&
                m.row->measure != Measure::SkyCn0 && m.row->measure != Measure::SignalCn0)
                measureSection(page, m);
        calibrationSection(page, d);
        statisticsSection(page, d);
        failuresSection(page, f);
        if (d.failedUnits) failedUnitsSection(page, *d.failedUnits);
        page.raw(QLatin1String(kDefinitions));
    }
    page.raw(QString::fromUtf8(studySection));
    page.raw(QStringLiteral("</body>\n</html>\n"));
    return page.bytes();
}

QByteArray studyPage(const PageHeading& heading, const QByteArray& sections) {
    Page page;
    pageHead(page, heading, QStringLiteral("Gauge study"));
    page.raw(QString::fromUtf8(sections));
    page.raw(QStringLiteral("</body>\n</html>\n"));
    return page.bytes();
}

}  // namespace results
