#include "results/report.h"

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

std::optional<double> Figures::firstPassYield() const {
    if (unitsTested == 0) return std::nullopt;
    return double(unitsFirstPass) / double(unitsTested);
}

QString Figures::percent(std::optional<double> fraction) {
    return fraction ? QString::number(100.0 * *fraction, 'f', 1) + QStringLiteral(" %")
                    : QStringLiteral("-");
}

namespace {

// Units tested, passed at least once, and passed at their first test, per
// station and overall from one pass over the results.  Only a pass or a fail
// says anything about a unit: a station fault or an interrupted run is no
// test of it.  A unit's first test is the one with the lowest "started"; it
// passed when its earliest pass is at that time.
bool fillUnits(const QSqlDatabase& db, const Where& w, Summary& s, QString* error) {
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral(
                 "WITH us AS ("
                 " SELECT station, unit, MIN(started) AS f,"
                 "  MIN(CASE WHEN result = 'pass' THEN started END) AS fp"
                 " FROM results WHERE %1 AND unit <> '' AND result IN ('pass', 'fail')"
                 " GROUP BY station, unit)"
                 " SELECT 0, station, COUNT(*), COUNT(fp), SUM(CASE WHEN fp = f THEN 1 ELSE 0 END)"
                 " FROM us GROUP BY station"
                 " UNION ALL"
                 " SELECT 1, '', COUNT(*), COUNT(fp), SUM(CASE WHEN fp = f THEN 1 ELSE 0 END)"
                 " FROM (SELECT unit, MIN(f) AS f, MIN(fp) AS fp FROM us GROUP BY unit) u")
                 .arg(w.sql),
             w, error))
        return false;
    while (q.next()) {
        if (q.value(2).toLongLong() == 0) continue;
        Figures& f = q.value(0).toInt() ? s.overall : s.stations[q.value(1).toString()];
        f.unitsTested = q.value(2).toLongLong();
        f.unitsPassed = q.value(3).toLongLong();
        f.unitsFirstPass = q.value(4).toLongLong();
    }
    return drained(q, error);
}

// The median and the 95th percentile, each value read by the database at
// its rank.
bool fillPercentiles(const QSqlDatabase& db, const Where& w, TtffStats& t, QString* error) {
    const qint64 n = t.count;
    if (n == 0) return true;
    const auto [low, high] = medianRanks(n);
    const QString pick = QStringLiteral(
                             "(SELECT ttff_s FROM results WHERE %1 AND ttff_s IS NOT NULL"
                             " ORDER BY ttff_s LIMIT 1 OFFSET %2)")
                             .arg(w.sql);
    Where all = w;
    for (int i = 1; i < 3; ++i) all.values += w.values;
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT %1, %2, %3")
                 .arg(pick.arg(low - 1), pick.arg(high - 1), pick.arg(nearestRankOf(n, 95) - 1)),
             all, error))
        return false;
    if (!q.next()) {
        if (drained(q, error)) *error = QStringLiteral("the database returned no percentiles");
        return false;
    }
    t.median = (q.value(0).toDouble() + q.value(1).toDouble()) / 2;
    t.p95 = q.value(2).toDouble();
    return true;
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

QJsonObject figuresJson(const Figures& f) {
    QJsonObject outcomes;
    for (auto it = f.outcomes.cbegin(); it != f.outcomes.cend(); ++it)
        outcomes.insert(it.key(), it.value());
    QJsonArray failures;
    for (const Failure& x : f.failures)
        failures.append(
            QJsonObject{{"result", x.result}, {"reason", x.reason}, {"count", x.count}});
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
        default:
            text = v.toString();
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

std::optional<Summary> summarize(const QSqlDatabase& db, const Filter& filter, QString* error) {
    Summary s;
    const Where w = where(filter);
    QString why;
    auto failed = [&]() {
        if (error) *error = why;
        return std::nullopt;
    };

    // Outcomes, failures and TTFF sums per station; the overall figures add them up.
    QSqlQuery q(db);
    QMap<QString, double> ttffSums;
    if (!run(q,
             QStringLiteral("SELECT station, result, reason, COUNT(*), COUNT(ttff_s), SUM(ttff_s),"
                            " MAX(ttff_s) FROM results WHERE %1 GROUP BY station, result, reason")
                 .arg(w.sql),
             w, &why))
        return failed();
    while (q.next()) {
        const QString station = q.value(0).toString();
        const QString result = q.value(1).toString();
        const qint64 n = q.value(3).toLongLong();
        const qint64 timed = q.value(4).toLongLong();
        for (Figures* f : {&s.stations[station], &s.overall}) {
            f->results += n;
            f->outcomes[result] += n;
            if (result != QLatin1String("pass"))
                f->failures.append({result, q.value(2).toString(), n});
            if (timed) {
                f->ttff.max = f->ttff.count ? std::max(f->ttff.max, q.value(6).toDouble())
                                            : q.value(6).toDouble();
                f->ttff.count += timed;
            }
        }
        ttffSums[station] += q.value(5).toDouble();
    }
    if (!drained(q, &why)) return failed();
    q.finish();
    double total = 0;
    for (auto it = s.stations.begin(); it != s.stations.end(); ++it) {
        total += ttffSums.value(it.key());
        if (it->ttff.count) it->ttff.mean = ttffSums.value(it.key()) / it->ttff.count;
    }
    if (s.overall.ttff.count) s.overall.ttff.mean = total / s.overall.ttff.count;

    // Failures of one reason at several stations are one line overall.
    QList<Failure> merged;
    for (const Failure& f : s.overall.failures) {
        auto same = std::find_if(merged.begin(), merged.end(), [&](const Failure& m) {
            return m.result == f.result && m.reason == f.reason;
        });
        if (same == merged.end())
            merged << f;
        else
            same->count += f.count;
    }
    s.overall.failures = merged;

    if (!fillUnits(db, w, s, &why) || !fillPercentiles(db, w, s.overall.ttff, &why))
        return failed();
    for (auto it = s.stations.begin(); it != s.stations.end(); ++it) {
        Where one = w;
        one.sql += QStringLiteral(" AND station = ?");
        one.values << it.key();
        if (!fillPercentiles(db, one, it->ttff, &why)) return failed();
    }

    auto byCount = [](const Failure& a, const Failure& b) {
        return a.count != b.count ? a.count > b.count : a.reason < b.reason;
    };
    std::sort(s.overall.failures.begin(), s.overall.failures.end(), byCount);
    for (Figures& f : s.stations) std::sort(f.failures.begin(), f.failures.end(), byCount);
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
    for (auto it = summary.stations.cbegin(); it != summary.stations.cend(); ++it) {
        out << "\nStation " << (it.key().isEmpty() ? QStringLiteral("(none)") : it.key()) << '\n';
        printFigures(it.value(), out);
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
