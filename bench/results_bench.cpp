// Timing of the results store and report.
//   results_bench store-sqlite FOLDER N   median time of one save() on a new SQLite file
//   results_bench store-pg N              the same on a PostgreSQL 15 server started here
//   results_bench report FOLDER ROWS      summary over ROWS stored results (filled once)
//   results_bench writers FOLDER P N      P writer processes, N results each, one SQLite file
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "results/report.h"
#include "results/statistics.h"
#include "results/store.h"
#include "testkit/pgserver.h"
#include "testkit/results_sample.h"

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
    if (mode == "writers" && a.size() == 5) return writers(a[2], a[3].toInt(), a[4].toInt());
    out << "usage: results_bench store-sqlite FOLDER N | store-pg N | report FOLDER ROWS | "
           "writers FOLDER PROCESSES EACH"
        << Qt::endl;
    return 2;
}
