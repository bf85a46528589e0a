// Timing of the results store and report.
//   results_bench store-sqlite FOLDER N   median time of one save() on a new SQLite file
//   results_bench store-pg N              the same on a PostgreSQL 15 server started here
//   results_bench report FOLDER ROWS      summary over ROWS stored results (filled once)
//   results_bench writers FOLDER P N      P writer processes, N results each, one SQLite file
//   results_bench scale FILE|pg ROWS      a factory's database of ROWS results built by SQL as
//                                         version 4 left it, migrated, then each selection timed
//   results_bench load FILE ROWS          only the rows as version 4 left them, not migrated,
//                                         for a program to migrate (a copy of) as a user meets it
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "results/report.h"
#include "results/statistics.h"
#include "results/store.h"
#include "results/summaries.h"
#include "testkit/pgserver.h"
#include "testkit/results_sample.h"
#include "vocabulary/reasons.h"

using namespace results;

namespace {

QTextStream out(stdout);

std::unique_ptr<Store> openOrDie(const QString& db) {
    QString why;
    const auto target = parseTarget(db, &why);
    auto store = target ? Store::open(*target, &why) : nullptr;
    if (!store) {
        out << why << Qt::endl;
        std::exit(3);
    }
    return store;
}

void printLatencies(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    out << QStringLiteral("saves %1: median %2 ms, p90 %3 ms, p99 %4 ms, max %5 ms")
               .arg(ms.size())
               .arg(median(ms), 0, 'f', 3)
               .arg(nearestRank(ms, 90), 0, 'f', 3)
               .arg(nearestRank(ms, 99), 0, 'f', 3)
               .arg(ms.back(), 0, 'f', 3)
        << Qt::endl;
}

void timeSaves(const QString& db, int n) {
    auto store = openOrDie(db);
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        QJsonObject r = testing::sampleResult(QStringLiteral("bench"), i);
        QElapsedTimer t;
        t.start();
        if (store->save(r) != Store::Saved::Stored) {
            out << "a save was not stored" << Qt::endl;
            std::exit(3);
        }
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    printLatencies(ms);
}

int report(const QString& folder, int rows) {
    const QString db = folder + QStringLiteral("/report-%1.sqlite").arg(rows);
    auto store = openOrDie(db);
    QSqlQuery count(store->database());
    count.exec(QStringLiteral("SELECT COUNT(*) FROM results"));
    const int have = count.next() ? count.value(0).toInt() : 0;
    count.finish();
    // 8 stations, each unit tested three times at one station, a result every
    // 30 s, four in five passing.
    QElapsedTimer fill;
    fill.start();
    for (int i = have; i < rows;) {
        QList<QJsonObject> batch;
        for (int k = 0; k < 20000 && i < rows; ++k, ++i) {
            QJsonObject r = testing::sampleResult(QStringLiteral("bench-%1").arg(i / 3 % 8), i);
            r.insert(QStringLiteral("unit"), QStringLiteral("SN%1").arg(i / 3));
            r.insert(QStringLiteral("started"),
                     isoTime(QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).addSecs(i * 30)));
            batch << r;
        }
        QString why;
        if (store->saveBatch(batch, &why) < 0) {
            out << why << Qt::endl;
            return 3;
        }
    }
    if (have < rows)
        out << "filled " << rows - have << " rows in " << fill.elapsed() << " ms" << Qt::endl;
    std::vector<double> ms;
    std::optional<Summary> s;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        QString why;
        s = summarize(store->database(), Filter(), &why);
        if (!s) {
            out << why << Qt::endl;
            return 3;
        }
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    out << QStringLiteral("report over %1 results: median %2 ms, min %3 ms, max %4 ms (5 runs)")
               .arg(s->overall.results)
               .arg(median(ms), 0, 'f', 1)
               .arg(ms[0], 0, 'f', 1)
               .arg(ms[4], 0, 'f', 1)
        << Qt::endl;
    printSummary(*s, out);
    return 0;
}

int writers(const QString& folder, int procs, int each) {
    const QString db = folder + QStringLiteral("/writers.sqlite");
    QFile::remove(db);
    QFile::remove(db + "-wal");
    QFile::remove(db + "-shm");
    openOrDie(db);  // the schema, made once before the writers race
    QElapsedTimer t;
    t.start();
    std::vector<std::unique_ptr<QProcess>> ps;
    for (int p = 0; p < procs; ++p) {
        ps.push_back(std::make_unique<QProcess>());
        ps.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ps.back()->start(QStringLiteral(RESULTS_WRITER),
                         {db, QStringLiteral("w%1").arg(p), QString::number(each)});
    }
    qint64 printed = 0, spooled = 0;
    for (auto& p : ps) {
        p->waitForFinished(-1);
        for (const QByteArray& line : p->readAllStandardOutput().split('\n')) {
            printed += line.size() > 2;
            spooled += line.startsWith("P ");
        }
        if (p->exitCode() != 0) out << "a writer exited with " << p->exitCode() << Qt::endl;
    }
    const qint64 elapsed = t.elapsed();
    auto store = openOrDie(db);
    QSqlQuery q(store->database());
    q.exec(QStringLiteral("SELECT COUNT(*), COUNT(DISTINCT id) FROM results"));
    q.next();
    out << QStringLiteral(
               "%1 processes x %2: %3 printed (%4 spooled), %5 rows, %6 distinct ids, "
               "%7 ms, %8 results/s")
               .arg(procs)
               .arg(each)
               .arg(printed)
               .arg(spooled)
               .arg(q.value(0).toLongLong())
               .arg(q.value(1).toLongLong())
               .arg(elapsed)
               .arg(printed * 1000 / std::max<qint64>(1, elapsed))
        << Qt::endl;
    return q.value(0).toLongLong() == procs * each && q.value(1).toLongLong() == procs * each ? 0
                                                                                              : 1;
}

// A factory's results, generated by the database itself: eight stations, a
// lot every 5,000 results, 20,000 results a day (one every 4.32 s from
// 2026-01-01), 16 slots a station.  Of every ten results nine are units'
// first tests and the tenth is the retest, at another station, of the
// block's fourth unit, which failed (TTFF over the limit or no fix); one in
// 500 is a station fault and one in 1,000 an interrupted run.  TTFF to 0.01 s
// (28 to 53 s passing, 60 to 90 s over the limit), one in three results has a
// signal test.
QString generateRows(bool pg, qint64 from, qint64 to) {
    const QString series =
        pg ? QStringLiteral("SELECT generate_series(CAST(%1 AS BIGINT), %2) AS i")
                 .arg(from)
                 .arg(to - 1)
           : QStringLiteral(
                 "WITH RECURSIVE g(i) AS (SELECT %1 UNION ALL SELECT i + 1 FROM g"
                 " WHERE i + 1 < %2) SELECT i FROM g")
                 .arg(from)
                 .arg(to);
    const QString time =
        pg ? QStringLiteral(
                 "to_char(to_timestamp(1767225600 + i * 4.32) AT TIME ZONE 'UTC',"
                 " 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")
           : QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ', 1767225600 + i * 4.32, 'unixepoch')");
    // The codes from their tables, as SQL literals.
    const auto code = [](auto outcomeOrReason) -> QString {
        return QLatin1Char('\'') + codeOf(outcomeOrReason) + QLatin1Char('\'');
    };
    return QStringLiteral(
               "INSERT INTO results (id, unit, station, lot, operator, cycle, started, ended,"
               " result, reason, status, port, device, baud, receiver, start, ttff_s,"
               " satellites, hdop, cn0_max, cn0_mean4, sv_with_snr, version, plan, retest,"
               " signal_sv, signal_samples, signal_cn0_mean, stored_at)"
               " SELECT 'r' || i, 'SN' || (i / 10 * 9 + CASE WHEN k = 9 THEN 3 ELSE k END),"
               " 'line-' || (i % 8), 'WO-' || (100000 + i / 5000), 'ann', 1, t, t, res,"
               " CASE WHEN res = %3 THEN %7 WHEN res = %4"
               "  THEN %8 WHEN res = %5 THEN %9"
               "  WHEN i % 20 = 3 THEN %10 ELSE %11 END,"
               " '', 'ttyUSB' || (i / 8 % 16), '/dev/ttyUSB' || (i / 8 % 16), 9600, 'sirf', 'cold',"
               " CASE WHEN res = %3 THEN 28 + (i * 7919 % 2500) / 100.0"
               "  WHEN res = %6 AND i % 20 <> 3 THEN 60 + (i % 3000) / 100.0 END,"
               " 6 + i * 31 % 7, 0.7 + (i * 13 % 12) / 10.0, 45, 36 + (i * 17 % 90) / 10.0, 9,"
               " '2.0.0', 'line-3', k = 9,"
               " CASE WHEN i % 3 = 0 THEN 'GPS:1' ELSE '' END,"
               " CASE WHEN i % 3 = 0 THEN 10 END,"
               " CASE WHEN i % 3 = 0 THEN 40 + (i * 23 % 400) / 100.0 END, t"
               " FROM (SELECT i, i % 10 AS k, %2 AS t,"
               "  CASE WHEN i % 500 = 7 THEN %4 WHEN i % 1000 = 17 THEN"
               "  %5 WHEN i % 10 = 3 THEN %6 ELSE %3 END AS res"
               "  FROM (%1) AS g) AS x")
        .arg(series, time, code(Outcome::Pass), code(Outcome::StationFault),
             code(Outcome::Interrupted), code(Outcome::Fail), code(Reason::Ok),
             code(Reason::PortUnavailable), code(Reason::Interrupted), code(Reason::NoFix),
             code(Reason::TtffOverLimit));
}

bool exec(QSqlQuery& q, const QString& sql) {
    if (q.exec(sql)) return true;
    out << q.lastError().text() << " in " << sql.left(120) << Qt::endl;
    return false;
}

int scale(const QString& where, qint64 rows, bool loadOnly = false) {
    std::unique_ptr<testing::PgServer> server;
    QString db = where;
    const bool pg = where == QLatin1String("pg");
    if (pg) {
        server = std::make_unique<testing::PgServer>(true);
        if (!server->ok()) {
            out << "no PostgreSQL server: " << server->error() << Qt::endl;
            return 3;
        }
        qputenv("PGPASSWORD", testing::PgServer::kPassword);
        db = server->url(QStringLiteral("postgres"));
    }
    auto store = openOrDie(db);
    QSqlQuery q(store->database());
    q.exec(QStringLiteral("SELECT COUNT(*) FROM results"));
    const qint64 have = q.next() ? q.value(0).toLongLong() : 0;
    q.finish();
    if (have == 0) {
        // The rows as version 4 keeps them, loaded without the summaries and
        // their indexes, which are made after the load.
        QElapsedTimer t;
        t.start();
        if (!pg) exec(q, QStringLiteral("PRAGMA synchronous=OFF"));
        // Nothing of the steps after 4: their columns, tables and indexes.
        if (!exec(q, QStringLiteral("DROP INDEX results_evidence_removed"))) return 3;
        for (const FieldRow& row : kFields)
            if (row.column && row.since > 5 &&
                !exec(q, QStringLiteral("ALTER TABLE results DROP COLUMN %1")
                             .arg(QLatin1String(row.name))))
                return 3;
        for (const char* sql : {"ALTER TABLE calibrations DROP COLUMN agc",
                                "ALTER TABLE calibrations DROP COLUMN noise",
                                "ALTER TABLE calibrations DROP COLUMN jamming",
                                "ALTER TABLE calibrations DROP COLUMN level_dbm",
                                "DROP TABLE spc_baselines",
                                "DROP TABLE alarms",
                                "DROP TABLE summary_outcomes",
                                "DROP TABLE summary_values",
                                "DROP TABLE summary_slots",
                                "DROP TABLE summary_limits",
                                "DROP TABLE summary_units",
                                "DROP TABLE summary_pace",
                                "DROP TABLE summary_scopes",
                                "DROP TABLE summary_start",
                                "DROP TABLE summary_resets",
                                "DROP TABLE deliveries",
                                "DROP TABLE evidence",
                                "DROP TABLE route_refusals",
                                "DROP TABLE struck_runs",
                                "DROP TABLE limit_results",
                                "DROP INDEX results_started",
                                "DROP INDEX results_lot",
                                "DROP INDEX results_unit",
                                "DROP INDEX results_station_started",
                                "DELETE FROM schema_version WHERE version > 4"})
            if (!exec(q, QLatin1String(sql))) return 3;
        constexpr qint64 kBatch = 500000;
        for (qint64 i = 0; i < rows; i += kBatch) {
            if (!exec(q, QStringLiteral("BEGIN")) ||
                !exec(q, generateRows(pg, i, std::min(rows, i + kBatch))) ||
                !exec(q, QStringLiteral("COMMIT")))
                return 3;
            out << "  rows: " << std::min(rows, i + kBatch) << " in " << t.elapsed() / 1000 << " s"
                << Qt::endl;
        }
        for (const char* sql : {"CREATE INDEX results_started ON results (started)",
                                "CREATE INDEX results_lot ON results (lot, started)",
                                "CREATE INDEX results_unit ON results (unit, started)"})
            if (!exec(q, QLatin1String(sql))) return 3;
        if (pg) exec(q, QStringLiteral("VACUUM ANALYZE results"));
        out << "loaded " << rows << " rows and their indexes in " << t.elapsed() / 1000 << " s"
            << Qt::endl;
        q.finish();
        store.reset();
        if (loadOnly) return 0;
        t.restart();
        store = openOrDie(db);  // migrates: the summaries from the rows
        out << "migrated to version " << store->schemaVersion() << " in " << t.elapsed() / 1000
            << " s" << Qt::endl;
    }
    QSqlQuery sizes(store->database());
    for (const char* table : {"results", "summary_outcomes", "summary_values", "summary_slots",
                              "summary_units", "summary_scopes"}) {
        sizes.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QLatin1String(table)));
        out << "  " << table << ": " << (sizes.next() ? sizes.value(0).toLongLong() : -1) << " rows"
            << Qt::endl;
    }
    sizes.finish();

    const qint64 n = std::max(have, rows);
    const QString middleDay = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC)
                                  .addSecs(qint64(n / 2 * 4.32))
                                  .date()
                                  .toString(Qt::ISODate);
    const QString lot = QStringLiteral("WO-%1").arg(100000 + n / 2 / 5000);
    const QString unit = QStringLiteral("SN%1").arg(n / 2 / 10 * 9 + 3);  // tested twice
    struct Selection {
        QString name;
        Filter filter;
    } selections[] = {
        {"whole report", {}},
        {"one station", {"", "", "line-3", "", ""}},
        {"one lot", {"", "", "", lot, ""}},
        {"one lot, one station", {"", "", "line-3", lot, ""}},
        {"one day", {*parseBound(middleDay, false), *parseBound(middleDay, true), "", "", ""}},
        {"one unit", {"", "", "", "", unit}},
        {"one lot, one day (rows)",
         {*parseBound(middleDay, false), *parseBound(middleDay, true), "", lot, ""}},
        {"a week (rows)",
         {*parseBound(middleDay, false),
          *parseBound(QDate::fromString(middleDay, Qt::ISODate).addDays(6).toString(Qt::ISODate),
                      true),
          "", "", ""}},
    };
    for (const Selection& s : selections) {
        std::vector<double> ms;
        std::optional<Summary> summary;
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer t;
            t.start();
            QString why;
            summary = summarize(store->database(), s.filter, &why);
            if (!summary) {
                out << why << Qt::endl;
                return 3;
            }
            ms.push_back(t.nsecsElapsed() / 1e6);
        }
        // The figures the summaries gave are the selected rows' own.
        QString agrees;
        if (s.filter.unit.isEmpty() && !s.name.contains(QLatin1String("("))) {
            QString why;
            const auto rows = summarize(store->database(), s.filter, &why, Source::Rows);
            if (!rows) {
                out << why << Qt::endl;
                return 3;
            }
            agrees = summaryJson(*rows) == summaryJson(*summary) ? QStringLiteral(", = rows")
                                                                 : QStringLiteral(", DIFFERS");
        }
        const double first = ms[0];
        std::sort(ms.begin(), ms.end());
        out << QStringLiteral("%1 (%2 results, %3 units): first %4 ms, median %5 ms, max %6 ms%7")
                   .arg(s.name, -26)
                   .arg(summary->overall.results)
                   .arg(summary->overall.unitsTested)
                   .arg(first, 0, 'f', 1)
                   .arg(median(ms), 0, 'f', 1)
                   .arg(ms.back(), 0, 'f', 1)
                   .arg(agrees)
            << Qt::endl;
    }
    // A save into the big database: the row and its summaries.
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
        QJsonObject r = testing::sampleResult(QStringLiteral("line-2"), i);
        QElapsedTimer t;
        t.start();
        if (store->save(r) != Store::Saved::Stored) {
            out << "a save was not stored" << Qt::endl;
            return 3;
        }
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    printLatencies(ms);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const QString mode = a.value(1);
    if (mode == "store-sqlite" && a.size() == 4) {
        const QString db = a[2] + QStringLiteral("/store.sqlite");
        QFile::remove(db);
        timeSaves(db, a[3].toInt());
        return 0;
    }
    if (mode == "store-pg" && a.size() == 3) {
        testing::PgServer server(true);
        if (!server.ok()) {
            out << "no PostgreSQL server: " << server.error() << Qt::endl;
            return 3;
        }
        qputenv("PGPASSWORD", testing::PgServer::kPassword);
        timeSaves(server.url(QStringLiteral("postgres")), a[2].toInt());
        return 0;
    }
    if (mode == "report" && a.size() == 4) return report(a[2], a[3].toInt());
    if (mode == "scale" && a.size() == 4) return scale(a[2], a[3].toLongLong());
    if (mode == "load" && a.size() == 4) return scale(a[2], a[3].toLongLong(), true);
    if (mode == "writers" && a.size() == 5) return writers(a[2], a[3].toInt(), a[4].toInt());
    out << "usage: results_bench store-sqlite FOLDER N | store-pg N | report FOLDER ROWS | "
           "writers FOLDER PROCESSES EACH | scale FILE|pg ROWS | load FILE ROWS"
        << Qt::endl;
    return 2;
}
