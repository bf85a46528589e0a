#include "results/report.h"
#include "vocabulary/reasons.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>
#include <functional>
#include <tuple>

#include "results/query.h"
#include "results/statistics.h"
#include "results/store.h"
#include "results/summaries.h"

namespace results {

std::optional<QString> parseBound(const QString& text, bool upper) {
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        return isoTime(QDateTime(upper ? day.addDays(1) : day, QTime(0, 0), Qt::UTC));
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid()) return std::nullopt;
    if (t.timeSpec() == Qt::LocalTime) t.setTimeSpec(Qt::UTC);
    return isoTime(upper ? t.addMSecs(1) : t);
}

QString ResetCounts::words() const {
    return QStringLiteral("%1 of %2 %3")
        .arg(unproven)
        .arg(passed)
        .arg(passed == 1 ? QStringLiteral("pass") : QStringLiteral("passes"));
}

std::optional<double> Figures::firstPassYield() const {
    if (unitsTested == 0) return std::nullopt;
    return double(unitsFirstPass) / double(unitsTested);
}

QString Figures::percent(std::optional<double> fraction) {
    return fraction ? QString::number(100.0 * *fraction, 'f', 1) + QStringLiteral(" %")
                    : QStringLiteral("-");
}

namespace {

// Count, mean, maximum, median and 95th percentile of ascending (value, count) pairs.
TtffStats ttffOf(const Distribution& d) {
    TtffStats t;
    double sum = 0;
    for (const auto& [value, n] : d) {
        t.count += n;
        sum += value * double(n);
    }
    if (t.count == 0) return t;
    auto at = [&](qint64 rank) {
        qint64 seen = 0;
        for (const auto& [value, n] : d)
            if ((seen += n) >= rank) return value;
        return d.back().first;
    };
    const auto [low, high] = medianRanks(t.count);
    t.mean = sum / double(t.count);
    t.median = (at(low) + at(high)) / 2;
    t.p95 = at(nearestRankOf(t.count, 95));
    t.max = d.back().first;
    return t;
}

void printFigures(const Figures& f, QTextStream& out) {
    QStringList outcomes;
    for (auto it = f.outcomes.cbegin(); it != f.outcomes.cend(); ++it)
        outcomes << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    out << QStringLiteral("  Results            %1").arg(f.results);
    if (!outcomes.isEmpty()) out << "  (" << outcomes.join(QStringLiteral(", ")) << ')';
    out << '\n'
        << QStringLiteral("  Units tested       %1\n").arg(f.unitsTested)
        << QStringLiteral("  Units passed       %1  (%2)\n")
               .arg(f.unitsPassed)
               .arg(Figures::percent(
                   f.unitsTested ? std::optional(double(f.unitsPassed) / double(f.unitsTested))
                                 : std::nullopt))
        << QStringLiteral("  First-pass yield   %1  (%2 of %3 units passed their first test)\n")
               .arg(Figures::percent(f.firstPassYield()))
               .arg(f.unitsFirstPass)
               .arg(f.unitsTested);
    if (!f.failures.isEmpty()) {
        out << "  Failures by reason\n";
        for (const Failure& x : f.failures)
            out << QStringLiteral("    %1 %2  %3\n")
                       .arg(x.reason, -22)
                       .arg(x.count, 8)
                       .arg(x.result);
    }
    if (f.resets.passed) {
        out << QStringLiteral("  Resets not proven  %1\n").arg(f.resets.words());
        for (auto it = f.portResets.cbegin(); it != f.portResets.cend(); ++it)
            out << QStringLiteral("    %1 %2\n")
                       .arg(it.key().isEmpty() ? QStringLiteral("(none)") : it.key(), -22)
                       .arg(it->words());
    }
    const TtffStats& t = f.ttff;
    if (t.count == 0) {
        out << "  TTFF               none\n";
        return;
    }
    auto s = [](double v) { return QString::number(v, 'f', 2); };
    out << QStringLiteral("  TTFF (s)           count %1  mean %2  median %3  p95 %4  max %5\n")
               .arg(t.count)
               .arg(s(t.mean), s(t.median), s(t.p95), s(t.max));
}

QString oneDecimal(std::optional<double> v) {
    return v ? QString::number(*v, 'f', 1) : QStringLiteral("-");
}

// Units per hour, the mean handling and, for a station, each slot's.
void printPace(const Figures& f, QTextStream& out) {
    if (!f.unitsPerHour) {
        if (f.pace.results > 0)
            out << "  Units per hour     -  (no slot tested a unit after another within "
                << kIdleMs / 60000 << " minutes)\n";
        return;
    }
    out << QStringLiteral("  Units per hour     %1  (handling mean %2 s between %3 units)\n")
               .arg(oneDecimal(f.unitsPerHour), oneDecimal(f.pace.handlingMean()))
               .arg(f.pace.gaps);
    for (auto it = f.ports.cbegin(); it != f.ports.cend(); ++it)
        if (it->unitsPerHour())
            out << QStringLiteral("    %1 %2 units/h  handling mean %3 s  (%4 results)\n")
                       .arg(it.key().isEmpty() ? QStringLiteral("(none)") : it.key(), -22)
                       .arg(oneDecimal(it->unitsPerHour()), 6)
                       .arg(oneDecimal(it->handlingMean()))
                       .arg(it->results);
}

QJsonValue orNull(std::optional<double> v) {
    return v ? QJsonValue(*v) : QJsonValue();
}

QJsonObject paceJson(const Pace& p, std::optional<double> unitsPerHour) {
    return QJsonObject{
        {"results", p.results},
        {"units_per_hour", orNull(unitsPerHour)},
        {"handling_s", QJsonObject{{"count", p.gaps}, {"mean", orNull(p.handlingMean())}}}};
}

// Each station's slots' paces into its figures, and the sums over them.
void addPaces(Summary& s, const SlotPaces& paces) {
    auto addRate = [](Figures& f, std::optional<double> rate) {
        if (rate) f.unitsPerHour = f.unitsPerHour.value_or(0) + *rate;
    };
    for (auto station = paces.cbegin(); station != paces.cend(); ++station) {
        Figures& f = s.stations[station.key()];
        for (auto slot = station->cbegin(); slot != station->cend(); ++slot) {
            f.ports.insert(slot.key(), *slot);
            f.pace.add(*slot);
            addRate(f, slot->unitsPerHour());
        }
        s.overall.pace.add(f.pace);
        if (f.unitsPerHour) addRate(s.overall, f.unitsPerHour);
    }
}

QJsonObject resetsJson(const ResetCounts& r) {
    return QJsonObject{{"count", r.unproven}, {"passes", r.passed}};
}

QJsonObject figuresJson(const Figures& f) {
    QJsonObject outcomes;
    for (auto it = f.outcomes.cbegin(); it != f.outcomes.cend(); ++it)
        outcomes.insert(it.key(), it.value());
    QJsonArray failures;
    for (const Failure& x : f.failures)
        failures.append(
            QJsonObject{{"result", x.result}, {"reason", x.reason}, {"count", x.count}});
    QJsonObject ports;
    for (auto it = f.ports.cbegin(); it != f.ports.cend(); ++it)
        ports.insert(it.key(), paceJson(*it, it->unitsPerHour()));
    for (auto it = f.portResets.cbegin(); it != f.portResets.cend(); ++it) {
        QJsonObject port = ports.value(it.key()).toObject();
        port.insert(QLatin1String("resets_not_proven"), resetsJson(*it));
        ports.insert(it.key(), port);
    }
    QJsonObject ttff{{"count", f.ttff.count}};
    for (auto [name, value] : {std::pair{"mean", f.ttff.mean},
                               {"median", f.ttff.median},
                               {"p95", f.ttff.p95},
                               {"max", f.ttff.max}})
        ttff.insert(QLatin1String(name), f.ttff.count ? QJsonValue(value) : QJsonValue());
    return QJsonObject{
        {"results", f.results},
        {"outcomes", outcomes},
        {"units_tested", f.unitsTested},
        {"units_passed", f.unitsPassed},
        {"units_first_pass", f.unitsFirstPass},
        {"first_pass_yield", f.firstPassYield() ? QJsonValue(*f.firstPassYield()) : QJsonValue()},
        {"failures", failures},
        {"ttff_s", ttff},
        {"units_per_hour", orNull(f.unitsPerHour)},
        {"handling_s",
         QJsonObject{{"count", f.pace.gaps}, {"mean", orNull(f.pace.handlingMean())}}},
        {"ports", ports},
        {"resets_not_proven", resetsJson(f.resets)},
    };
}

QByteArray csvField(const QVariant& v, Column::Kind kind) {
    if (v.isNull()) return {};
    QString text;
    switch (kind) {
        case Column::Kind::Bool:
            return v.toBool() ? "true" : "false";
        case Column::Kind::Real:
            return QByteArray::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
        case Column::Kind::Int:
            return QByteArray::number(v.toLongLong());
        case Column::Kind::Text:
        case Column::Kind::Json:
            text = v.toString();
            break;
    }
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') ||
        bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

}  // namespace

std::optional<Summary> summarize(const QSqlDatabase& db, const Filter& filter, QString* error,
                                 Source source) {
    const auto t = tally(db, filter, error, source);
    if (!t) return std::nullopt;
    return summaryOf(*t);
}

Summary summaryOf(const Tally& t) {
    Summary s;
    for (auto station = t.outcomes.cbegin(); station != t.outcomes.cend(); ++station) {
        Figures& f = s.stations[station.key()];
        for (auto it = station->cbegin(); it != station->cend(); ++it) {
            const auto& [result, reason] = it.key();
            for (Figures* to : {&f, &s.overall}) {
                to->results += it.value();
                to->outcomes[result] += it.value();
            }
            if (result != codeOf(Outcome::Pass)) {
                f.failures.append({result, reason, it.value()});
                // Failures of one reason at several stations are one line overall.
                auto same = std::find_if(
                    s.overall.failures.begin(), s.overall.failures.end(),
                    [&](const Failure& m) { return m.result == result && m.reason == reason; });
                if (same == s.overall.failures.end())
                    s.overall.failures.append({result, reason, it.value()});
                else
                    same->count += it.value();
            }
        }
        const Tally::Units u = t.stationUnits.value(station.key());
        f.unitsTested = u.tested;
        f.unitsPassed = u.passed;
        f.unitsFirstPass = u.firstPass;
        f.ttff = ttffOf(t.values.stations.value(station.key()).value(QStringLiteral("ttff_s")));
    }
    s.overall.unitsTested = t.units.tested;
    s.overall.unitsPassed = t.units.passed;
    s.overall.unitsFirstPass = t.units.firstPass;
    s.overall.ttff = ttffOf(t.values.overall.value(QStringLiteral("ttff_s")).all);

    auto byCount = [](const Failure& a, const Failure& b) {
        return a.count != b.count ? a.count > b.count : a.reason < b.reason;
    };
    for (auto station = t.resets.cbegin(); station != t.resets.cend(); ++station) {
        Figures& f = s.stations[station.key()];
        for (auto port = station->cbegin(); port != station->cend(); ++port) {
            f.portResets.insert(port.key(), *port);
            f.resets.add(*port);
        }
        s.overall.resets.add(f.resets);
    }
    std::sort(s.overall.failures.begin(), s.overall.failures.end(), byCount);
    for (Figures& f : s.stations) std::sort(f.failures.begin(), f.failures.end(), byCount);
    addPaces(s, t.pace);
    return s;
}

QJsonObject summaryJson(const Summary& summary) {
    QJsonObject stations;
    for (auto it = summary.stations.cbegin(); it != summary.stations.cend(); ++it)
        stations.insert(it.key(), figuresJson(it.value()));
    return QJsonObject{{"overall", figuresJson(summary.overall)}, {"stations", stations}};
}

void printSummary(const Summary& summary, QTextStream& out) {
    out << "Overall\n";
    printFigures(summary.overall, out);
    printPace(summary.overall, out);
    for (auto it = summary.stations.cbegin(); it != summary.stations.cend(); ++it) {
        out << "\nStation " << (it.key().isEmpty() ? QStringLiteral("(none)") : it.key()) << '\n';
        printFigures(it.value(), out);
        printPace(it.value(), out);
    }
}

bool writeCsv(const QSqlDatabase& db, const Filter& filter, QIODevice& out, QString* error) {
    QStringList names;
    for (const Column& c : resultColumns()) names << QLatin1String(c.name);
    names << QStringLiteral("stored_at");
    const Where w = where(filter);
    QSqlQuery q(db);
    QString why;
    if (!run(q,
             QStringLiteral("SELECT %1 FROM results WHERE %2 ORDER BY started, seq")
                 .arg(names.join(QStringLiteral(", ")), w.sql),
             w, &why)) {
        if (error) *error = why;
        return false;
    }
    QByteArray chunk = names.join(',').toUtf8() + "\r\n";
    const auto& columns = resultColumns();
    const int n = static_cast<int>(columns.size());
    while (q.next()) {
        for (int i = 0; i < n; ++i) chunk += csvField(q.value(i), columns[i].kind) + ',';
        chunk += csvField(q.value(n), Column::Kind::Text) + "\r\n";
        if (chunk.size() > (1 << 16)) {
            if (out.write(chunk) != chunk.size()) break;
            chunk.clear();
        }
    }
    if (!drained(q, &why)) {
        if (error) *error = QStringLiteral("the rows stopped short: ") + why;
        return false;
    }
    if (out.write(chunk) != chunk.size()) {
        if (error) *error = out.errorString();
        return false;
    }
    return true;
}

}  // namespace results
