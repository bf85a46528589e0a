#include "results/report.h"

#include <QCommandLineParser>
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

namespace {

// The WHERE clause of a filter, with its values in placeholder order.
struct Where {
    QString sql;
    QVariantList values;
};

Where where(const Filter& f) {
    Where w{QStringLiteral("1 = 1"), {}};
    auto add = [&](const QString& value, const char* condition) {
        if (value.isEmpty()) return;
        w.sql += QStringLiteral(" AND ") + QLatin1String(condition);
        w.values << value;
    };
    add(f.since, "started >= ?");
    add(f.untilBefore, "started < ?");
    add(f.station, "station = ?");
    add(f.lot, "lot = ?");
    add(f.unit, "unit = ?");
    return w;
}

bool run(QSqlQuery& q, const QString& sql, const Where& w, QString* error) {
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        *error = q.lastError().text();
        return false;
    }
    for (const QVariant& v : w.values) q.addBindValue(v);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

// The same questions asked once per station and once over all stations.
struct Grouping {
    QString key;        // "station, " or ""
    QString groupBy;    // " GROUP BY station" or ""
    QString partition;  // "PARTITION BY station" or ""
};

bool fill(const QSqlDatabase& db, const Where& w, const Grouping& g,
          const std::function<Figures&(const QString&)>& figuresOf, QString* error) {
    QSqlQuery q(db);
    const int k = g.key.isEmpty() ? 0 : 1;
    auto group = [&]() { return k ? q.value(0).toString() : QString(); };

    // Outcomes and failures.
    if (!run(q,
             QStringLiteral("SELECT %1result, reason, COUNT(*) FROM results WHERE %2"
                            " GROUP BY %1result, reason")
                 .arg(g.key, w.sql),
             w, error))
        return false;
    while (q.next()) {
        Figures& f = figuresOf(group());
        const QString result = q.value(k).toString();
        const qint64 n = q.value(k + 2).toLongLong();
        f.results += n;
        f.outcomes[result] += n;
        if (result != QLatin1String("pass"))
            f.failures.append({result, q.value(k + 1).toString(), n});
    }

    // Units: tested, passed at least once, passed their first test.
    if (!run(q,
             QStringLiteral(
                 "SELECT %1COUNT(*), SUM(any_pass), SUM(first_pass) FROM ("
                 " SELECT %1unit,"
                 "  MAX(CASE WHEN result = 'pass' THEN 1 ELSE 0 END) AS any_pass,"
                 "  MAX(CASE WHEN rn = 1 AND result = 'pass' THEN 1 ELSE 0 END) AS first_pass"
                 " FROM (SELECT %1unit, result,"
                 "  ROW_NUMBER() OVER (PARTITION BY %1unit ORDER BY started, seq) AS rn"
                 "  FROM results WHERE %2 AND unit <> '') s"
                 " GROUP BY %1unit) u%3")
                 .arg(g.key, w.sql, g.groupBy),
             w, error))
        return false;
    while (q.next()) {
        if (q.value(k).toLongLong() == 0) continue;
        Figures& f = figuresOf(group());
        f.unitsTested = q.value(k).toLongLong();
        f.unitsPassed = q.value(k + 1).toLongLong();
        f.unitsFirstPass = q.value(k + 2).toLongLong();
    }

    // TTFF count, mean and maximum.
    if (!run(q,
             QStringLiteral("SELECT %1COUNT(ttff_s), AVG(ttff_s), MAX(ttff_s) FROM results"
                            " WHERE %2 AND ttff_s IS NOT NULL%3")
                 .arg(g.key, w.sql, g.groupBy),
             w, error))
        return false;
    while (q.next()) {
        if (q.value(k).toLongLong() == 0) continue;
        TtffStats& t = figuresOf(group()).ttff;
        t.count = q.value(k).toLongLong();
        t.mean = q.value(k + 1).toDouble();
        t.max = q.value(k + 2).toDouble();
    }

    // Median (mean of the two middle ranks) and 95th percentile (nearest
    // rank, the ceil(0.95 n)-th smallest): only those ranks leave the database.
    if (!run(q,
             QStringLiteral(
                 "SELECT %1n, rn, ttff_s FROM ("
                 " SELECT %1ttff_s,"
                 "  ROW_NUMBER() OVER (%3 ORDER BY ttff_s) AS rn,"
                 "  COUNT(*) OVER (%3) AS n"
                 " FROM results WHERE %2 AND ttff_s IS NOT NULL) t"
                 " WHERE rn = (n + 1) / 2 OR rn = (n + 2) / 2 OR rn = (95 * n + 99) / 100")
                 .arg(g.key, w.sql, g.partition),
             w, error))
        return false;
    while (q.next()) {
        TtffStats& t = figuresOf(group()).ttff;
        const qint64 n = q.value(k).toLongLong();
        const qint64 rank = q.value(k + 1).toLongLong();
        const double v = q.value(k + 2).toDouble();
        if (rank == (n + 1) / 2) t.median += v / 2;
        if (rank == (n + 2) / 2) t.median += v / 2;
        if (rank == (95 * n + 99) / 100) t.p95 = v;
    }
    return true;
}

QString percentOf(qint64 part, qint64 whole) {
    return whole ? QString::number(100.0 * part / whole, 'f', 1) + QStringLiteral(" %")
                 : QStringLiteral("-");
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
               .arg(percentOf(f.unitsPassed, f.unitsTested))
        << QStringLiteral("  First-pass yield   %1  (%2 of %3 units passed their first test)\n")
               .arg(percentOf(f.unitsFirstPass, f.unitsTested))
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
        {"first_pass_yield",
         f.unitsTested ? QJsonValue(double(f.unitsFirstPass) / f.unitsTested) : QJsonValue()},
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
    const Grouping overall{QString(), QString(), QString()};
    const Grouping perStation{QStringLiteral("station, "), QStringLiteral(" GROUP BY station"),
                              QStringLiteral("PARTITION BY station")};
    QString why;
    if (!fill(
            db, w, overall, [&](const QString&) -> Figures& { return s.overall; }, &why) ||
        !fill(
            db, w, perStation, [&](const QString& k) -> Figures& { return s.stations[k]; }, &why)) {
        if (error) *error = why;
        return std::nullopt;
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
    if (out.write(chunk) != chunk.size()) {
        if (error) *error = out.errorString();
        return false;
    }
    return true;
}

int runReport(const QStringList& args, QTextStream& out, QTextStream& err) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Summarizes stored results: units tested and passed, first-pass yield, failures by "
        "reason, TTFF statistics, per station and overall."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral(
            "The results database: a SQLite file or postgresql://USER@HOST[:PORT]/DBNAME "
            "(default %1).")
            .arg(defaultTarget().path),
        QStringLiteral("DB"));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Results started on or after DATE (YYYY-MM-DD, "
                                                  "UTC, or an ISO 8601 time)."),
                                   QStringLiteral("DATE"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("Results started on or before DATE (the whole "
                                                  "day for YYYY-MM-DD)."),
                                   QStringLiteral("DATE"));
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("Only this station."), QStringLiteral("NAME"));
    const QCommandLineOption lot(QStringLiteral("lot"), QStringLiteral("Only this lot."),
                                 QStringLiteral("NAME"));
    const QCommandLineOption unit(QStringLiteral("unit"), QStringLiteral("Only this serial."),
                                  QStringLiteral("SERIAL"));
    const QCommandLineOption csv(
        QStringLiteral("csv"),
        QStringLiteral("Write the matching results, one per row, to FILE (- for standard output)."),
        QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the summary as one JSON object."));
    p.addOptions({help, db, since, until, station, lot, unit, csv, json});

    const QString name = QStringLiteral("gps-coldstart-cli report");
    if (!p.parse(QStringList{name} + args)) {
        err << name << ": " << p.errorText() << '\n';
        return kReportUsage;
    }
    if (p.isSet(help)) {
        out << p.helpText().replace(QStringLiteral("[options]"),
                                    QStringLiteral("report [options]"));
        return kReportOk;
    }
    auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return kReportUsage;
    };
    if (!p.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments()[0]));
    if (p.isSet(csv) && p.isSet(json))
        return usage(QStringLiteral("give --csv or --json, not both"));

    Filter filter;
    for (auto [option, upper, field] : {std::tuple{&since, false, &filter.since},
                                        std::tuple{&until, true, &filter.untilBefore}}) {
        if (!p.isSet(*option)) continue;
        const auto bound = parseBound(p.value(*option), upper);
        if (!bound) {
            return usage(
                QStringLiteral("--%1 \"%2\" is not a date (YYYY-MM-DD) or an ISO 8601 time")
                    .arg(option->names().constFirst(), p.value(*option)));
        }
        *field = *bound;
    }
    if (!filter.since.isEmpty() && !filter.untilBefore.isEmpty() &&
        filter.since >= filter.untilBefore)
        return usage(QStringLiteral("--since is after --until"));
    filter.station = p.value(station);
    filter.lot = p.value(lot);
    filter.unit = p.value(unit);

    Target target = defaultTarget();
    if (p.isSet(db)) {
        QString why;
        const auto parsed = parseTarget(p.value(db), &why);
        if (!parsed) return usage(why);
        target = *parsed;
    }
    QString why;
    Store::Options options;
    options.create = false;
    const auto store = Store::open(target, &why, options, [&](const QString& text) {
        err << "gps-coldstart: " << text << '\n';
    });
    if (!store) {
        err << name << ": " << why << '\n';
        return kReportDatabase;
    }

    if (p.isSet(csv)) {
        const QString path = p.value(csv);
        if (path == QLatin1String("-")) {
            out.flush();
            QFile stdoutFile;
            if (!stdoutFile.open(stdout, QIODevice::WriteOnly) ||
                !writeCsv(store->database(), filter, stdoutFile, &why)) {
                err << name << ": cannot write the CSV: " << why << '\n';
                return kReportDatabase;
            }
            return kReportOk;
        }
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            err << name << ": cannot write " << path << ": " << file.errorString() << '\n';
            return kReportDatabase;
        }
        if (!writeCsv(store->database(), filter, file, &why) || !file.commit()) {
            err << name << ": cannot write " << path << ": "
                << (why.isEmpty() ? file.errorString() : why) << '\n';
            return kReportDatabase;
        }
        return kReportOk;
    }

    const auto summary = summarize(store->database(), filter, &why);
    if (!summary) {
        err << name << ": " << target.display() << ": " << why << '\n';
        return kReportDatabase;
    }
    if (p.isSet(json)) {
        QJsonObject o = summaryJson(*summary);
        o.insert(QStringLiteral("database"), target.display());
        out << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
    } else {
        out << "Results in " << target.display() << '\n';
        printSummary(*summary, out);
    }
    return kReportOk;
}

}  // namespace results
