// The results store and report on real SQLite files, and the report's figures
// also on a PostgreSQL 15 server the test starts.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>
#include <tuple>

#include "cli/reportcommand.h"
#include "cli/spccommand.h"
#include "results/gauge.h"
#include "results/gaugereport.h"
#include "results/htmlreport.h"
#include "results/lookup.h"
#include "results/measures.h"
#include "results/packer.h"
#include "results/query.h"
#include "results/report.h"
#include "results/statistics.h"
#include "results/store.h"
#include "results/storeworker.h"
#include "results/summaries.h"
#include "testkit/pgserver.h"
#include "testkit/results_sample.h"
#include "vocabulary/evidence.h"
#include "vocabulary/limitresults.h"

using namespace results;
using results::testing::PgServer;
using results::testing::sampleResult;
using results::testing::storedRows;

namespace {

struct Db {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.sqlite"));
    QStringList warnings;
    std::unique_ptr<Store> open(const QString& db = {}) {
        QString why;
        auto s = Store::open(*parseTarget(db.isEmpty() ? path : db, &why), &why, {},
                             [this](const QString& w) { warnings << w; });
        EXPECT_TRUE(s) << why.toStdString();
        return s;
    }
};

// A stored value as the JSON value it was saved from.
QJsonValue asJson(const QVariant& v, Column::Kind kind) {
    if (v.isNull()) return QJsonValue();
    if (kind == Column::Kind::Json) {
        const QJsonDocument json = QJsonDocument::fromJson(v.toByteArray());
        return json.isArray() ? QJsonValue(json.array()) : QJsonValue(json.object());
    }
    if (kind == Column::Kind::Bool) return v.toBool();
    return QJsonValue::fromVariant(v);
}

// A file of `bytes` in `dir`, by its path.
QString fileOf(const QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
    const QString path = dir.filePath(QLatin1String(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    return path;
}

// The database as version 5 left it: nothing of the steps after it.
void toVersion5(QSqlQuery& q) {
    ASSERT_TRUE(q.exec(QStringLiteral("DROP INDEX results_evidence_removed")));
    for (const char* column :
         {"antenna", "antenna_changes", "config", "config_sha256", "agc", "noise", "jamming",
          "study", "evidence_sha256", "evidence_removed", "level_dbm", "acquisition_dbm",
          "tracking_dbm", "cold_starts", "generator"})
        ASSERT_TRUE(q.exec(QStringLiteral("ALTER TABLE results DROP COLUMN %1").arg(column)))
            << column;
    for (const char* column : {"agc", "noise", "jamming", "level_dbm"})
        ASSERT_TRUE(q.exec(QStringLiteral("ALTER TABLE calibrations DROP COLUMN %1").arg(column)))
            << column;
    for (const char* sql :
         {"DROP TABLE summary_pace", "DROP TABLE summary_resets", "DROP TABLE deliveries",
          "DROP TABLE evidence", "DROP TABLE route_refusals", "DROP TABLE summary_scopes",
          "DROP TABLE summary_start", "DROP TABLE struck_runs", "DROP TABLE limit_results",
          "DROP TABLE spc_baselines", "DROP TABLE alarms",
          "CREATE TABLE unit_tests (kind TEXT NOT NULL, name TEXT NOT NULL, unit TEXT NOT NULL,"
          " station TEXT NOT NULL, first_at TEXT NOT NULL, pass_at TEXT,"
          " PRIMARY KEY (kind, name, unit, station))",
          "DELETE FROM schema_version WHERE version > 5"})
        ASSERT_TRUE(q.exec(QLatin1String(sql))) << sql;
}

// The summary rows (as text) of the scopes built so far: those the first
// reports after a migration built.
QStringList ofBuiltScopes(const QStringList& rows, const QSqlDatabase& d) {
    QStringList built, out;
    QSqlQuery q(QStringLiteral("SELECT kind, name FROM summary_scopes"), d);
    while (q.next()) built << q.value(0).toString() + ' ' + q.value(1).toString() + ' ';
    for (const QString& row : rows)
        for (const QString& scope : built)
            if (row.section(' ', 1).startsWith(scope)) out << row;
    return out;
}

// The database as version 4 left it: no summaries either.
void toVersion4(QSqlQuery& q) {
    toVersion5(q);
    for (const char* sql :
         {"DROP TABLE summary_outcomes", "DROP TABLE summary_values", "DROP TABLE summary_slots",
          "DROP TABLE summary_limits", "DROP TABLE unit_tests", "DROP TABLE summary_units",
          "DROP INDEX results_station_started", "DELETE FROM schema_version WHERE version > 4"})
        ASSERT_TRUE(q.exec(QLatin1String(sql))) << sql;
}

int report(const QStringList& args, QString* out, QString* err = nullptr) {
    QString o, e;
    QTextStream os(out ? out : &o), es(err ? err : &e);
    return cli::runReport(args, os, es);  // each stream flushes its text when it goes
}

QString reportText(const QStringList& args) {
    QString out, err;
    EXPECT_EQ(report(args, &out, &err), 0) << err.toStdString();
    return out;
}

// A selection's summary as JSON, from the kept summaries or from the rows.
QJsonObject summaryOf(const QSqlDatabase& d, const Filter& f, Source source = Source::Summaries) {
    QString why;
    const auto summary = summarize(d, f, &why, source);
    EXPECT_TRUE(summary) << why.toStdString();
    return summary ? summaryJson(*summary) : QJsonObject();
}

// The page `report --html` writes.
QString reportPage(const QStringList& args) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("page.html"));
    reportText(args + QStringList{"--html", path});
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return QString::fromUtf8(f.readAll());
}

const QJsonObject reportJson(const QStringList& args) {
    return QJsonDocument::fromJson(reportText(args + QStringList{"--json"}).toUtf8()).object();
}

// The database taken back to an older version by `back`, then opened again:
// opening migrates it.
std::unique_ptr<Store> migrated(std::unique_ptr<Store> s, void (*back)(QSqlQuery&), Db& db,
                                const QString& target) {
    {
        QSqlQuery q(s->database());
        back(q);
    }
    s.reset();
    return db.open(target);
}

// The tables under a heading of docs/RESULTS.md, each as rows of cells (the
// header row first), code quotes taken off.
QList<QList<QStringList>> docTables(const QString& heading) {
    QFile f(QStringLiteral(COLDSTART_RESULTS_MD));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    QList<QList<QStringList>> tables;
    bool under = false, inTable = false;
    for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
        if (line.startsWith('#')) under = line.endsWith(heading);
        const bool row = under && line.startsWith('|');
        if (row && !line.startsWith(QLatin1String("|---"))) {
            if (!inTable) tables.append(QList<QStringList>());
            QStringList cells = line.split('|').mid(1);
            cells.removeLast();
            for (QString& c : cells) c = c.trimmed().remove('`');
            tables.last() << cells;
        }
        inTable = row;
    }
    return tables;
}

const QString kExample = QStringLiteral("Worked example of the quality statistics");

// A lot's or a day's yields on the page: units tested/first pass/passed, then
// tests: failed/station faults/interrupted.
QString yieldText(const Yield& y) {
    QStringList n;
    for (qint64 v : {y.units, y.firstPass, y.passed, y.tests, y.failed, y.faults, y.interrupted})
        n << QString::number(v);
    return QStringLiteral("%1 %2/%3/%4 %5:%6/%7/%8")
        .arg(y.key, n[0], n[1], n[2], n[3], n[4], n[5], n[6]);
}

}  // namespace

// A distribution's figures are those of its values written out: the ranks
// exactly, the sums up to rounding.  Cpk in a window is its nearer side's.
// The limit in force is the most frequent, a tie going to the stricter.
TEST(ResultsStatistics, DistributionsGiveTheFiguresOfTheirValues) {
    const QList<QStringList> rows = docTables(kExample).value(0);
    ASSERT_GT(rows.size(), 4);
    for (int column : {2, 3}) {
        std::vector<double> values;
        for (const QStringList& row : rows.mid(1)) values.push_back(row[column].toDouble());
        std::sort(values.begin(), values.end());
        Distribution d;
        for (double v : values)
            if (!d.empty() && d.back().first == v)
                ++d.back().second;
            else
                d.emplace_back(v, 1);
        ASSERT_LT(d.size(), values.size()) << "the example has repeated values";
        EXPECT_EQ(countOf(d), std::int64_t(values.size()));
        for (double p = 1; p <= 100; ++p) EXPECT_EQ(nearestRank(d, p), nearestRank(values, p)) << p;
        EXPECT_EQ(median(d), median(values));
        EXPECT_DOUBLE_EQ(mean(d), mean(values));
        EXPECT_DOUBLE_EQ(sampleSd(d), sampleSd(values));
    }
    EXPECT_EQ(cpkAgainst(40, 2, 37, 46), cpk(40, 2, 37, false));
    EXPECT_EQ(cpkAgainst(40, 2, 34, 43), cpk(40, 2, 43, true));
    EXPECT_EQ(cpkAgainst(40, 2, std::nullopt, 43), cpk(40, 2, 43, true));
    EXPECT_FALSE(cpkAgainst(40, 2, std::nullopt, std::nullopt));

    const LimitCounts limits{
        {{"max_ttff_s", {{60, 3}, {90, 3}}}, {"min_sats", {{4, 1}, {5, 3}, {6, 2}}}}, 6};
    EXPECT_EQ(limitInForce(limits, "max_ttff_s", true)->value, 60);
    EXPECT_EQ(limitInForce(limits, "min_sats", false)->value, 5);
    EXPECT_EQ(limitInForce(limits, "min_sats", false)->results, 3);
    EXPECT_FALSE(limitInForce(limits, "min_cn0", false));

    // A level in dBm is marginal within its row's band of a maximum, not a
    // tenth of the limit's distance from zero (14.5 dB); and the text report
    // keeps its columns beside the longest measure's name.
    Values levels;
    levels.all = levels.passed = {{-150, 1}, {-146, 1}, {-145, 1}};
    Quality q;
    q.measures.push_back(
        measureStats(rowOf(Measure::Acquisition), levels, std::nullopt, LimitInForce{-145, 3, 3}));
    EXPECT_EQ(q.measures.back().marginal, 2);
    q.measures.push_back(measureStats(rowOf(Measure::Ttff), {{{30, 3}}, {{30, 3}}}, {}, {}));
    QString text;
    QTextStream out(&text);
    printQuality(q, out);
    out.flush();
    const QStringList lines = text.split('\n');
    QList<qsizetype> counts;
    for (const QString& line : lines)
        if (line.startsWith("  Acquisition") || line.startsWith("  TTFF"))
            counts << line.indexOf(" 3 ");
    EXPECT_EQ(counts.size(), 3);  // two statistics and a marginal line
    EXPECT_EQ(counts.value(0), counts.value(1)) << text.toStdString();
}

// A server's address in PostgreSQL's URI grammar: what it names, the
// options the driver is handed (the station's defaults, each replaced by the
// address's own), and the mistake named, never with the password in it.
TEST(ResultsTarget, ParsesOrNamesTheMistake) {
    struct Case {
        const char* arg;
        const char* display;   // nullptr: rejected
        const char* expected;  // in the message, or (accepted) in the driver's options
    } cases[] = {
        {"postgresql://line@db.local/results", "postgresql://line@db.local:5432/results",
         "connect_timeout='5';keepalives_idle='5';keepalives_interval='2';keepalives_count='2';"
         "tcp_user_timeout='10000';application_name='gps-coldstart'"},
        {"postgres://line@10.0.0.5:6543/r", "postgresql://line@10.0.0.5:6543/r", ""},
        {"POSTGRESQL://line@[fe80::1]:6000/r", "postgresql://line@[fe80::1]:6000/r", ""},
        {"postgresql://line@%2Ftmp%2Fpg/r", "postgresql://line@%2Ftmp%2Fpg:5432/r", ""},
        {"postgresql:///r?host=%2Fvar%2Frun%2Fpostgresql&user=l%C3%A9&port=5433",
         "postgresql://l\xC3\xA9@%2Fvar%2Frun%2Fpostgresql:5433/r", ""},
        {"postgresql://line:hunter2@db/r", "postgresql://line:***@db:5432/r", ""},
        {"postgresql://line@db/r?password=hunter2", "postgresql://line:***@db:5432/r", ""},
        {"postgresql://line@db/r?sslmode=verify-full&sslrootcert=%2Fetc%2Fca%20dir%2Fit's.crt"
         "&sslcert=c.crt&sslkey=k.key&connect_timeout=9&application_name=bench%207",
         "postgresql://line@db:5432/r",
         "connect_timeout='9';keepalives_idle='5';keepalives_interval='2';keepalives_count='2';"
         "tcp_user_timeout='10000';application_name='bench 7';sslmode='verify-full';"
         "sslrootcert='/etc/ca dir/it\\'s.crt';sslcert='c.crt';sslkey='k.key'"},
        {"postgresql://line:hunter2@db/r?sslmode=sure", nullptr,
         "parameter sslmode: \"sure\" is not one of disable, allow, prefer, require, verify-ca, "
         "verify-full"},
        {"postgresql://line@db/r?password=hunter2&sslmod=require", nullptr,
         "unknown parameter \"sslmod\""},
        {"postgresql://line@db/r?connect_timeout=0", nullptr, "from 1 to 3600"},
        {"postgresql://line@db/r?sslmode", nullptr, "\"sslmode\" is not NAME=VALUE"},
        {"postgresql://line@db/r?sslmode=require&sslmode=disable", nullptr, "given twice"},
        {"postgresql://line@db/r?application_name=a;b", nullptr, "cannot contain ';'"},
        {"postgresql://line:hunter2%zz@db/r", nullptr, "the password has a malformed %XX"},
        {"postgresql://line@db/r%2", nullptr, "the database name has a malformed"},
        {"postgresql://line@db/r%00", nullptr, "encoded NUL"},
        {"postgresql://line@a,b:5433/r", nullptr, "a list of hosts is not supported"},
        {"postgresql://line@db/a/b", nullptr, "has a / (write it %2F)"},
        {"postgresql://db.local/results", nullptr, "no USER@"},
        {"postgresql://line@db.local", nullptr, "no /DBNAME"},
        {"postgresql://line:hunter2/@db", nullptr, "postgresql://line:***@db: no /DBNAME"},
        {"postgresql://line@db.local:99999/r", nullptr, "port \"99999\""},
        {"postgresql://line@:5432/r", nullptr, "host is empty"},
        {"mysql://line:hunter2@db/r", nullptr, "unknown kind"},
        {"", nullptr, "empty"},
        {"/tmp", nullptr, "is a folder"},
    };
    for (const Case& c : cases) {
        QString why;
        const auto t = parseTarget(QString::fromUtf8(c.arg), &why);
        EXPECT_EQ(t ? t->display().toStdString() : "", c.display ? c.display : "") << c.arg;
        const QString said = t ? t->connectOptions() : why;
        EXPECT_TRUE(said.contains(QString::fromUtf8(c.expected)))
            << c.arg << " -> " << said.toStdString();
        EXPECT_FALSE(said.contains(QLatin1String("hunter2"))) << said.toStdString();
        EXPECT_FALSE(redactedAddress(QString::fromUtf8(c.arg)).contains(QLatin1String("hunter2")));
        if (t && QByteArray(c.arg).contains("hunter2")) {
            EXPECT_EQ(t->password, "hunter2");
        }
    }
    EXPECT_TRUE(parseTarget(QStringLiteral("rel/r.sqlite"), nullptr)->path.startsWith('/'));
}

// Writers at once on one file each wait their turn, so none spools; a writer
// killed at any moment leaves whole rows only.  Every id printed is stored,
// and every field of every row reads back as it was given.
TEST(ResultsStore, WritersTakeTurnsAndAKillLeavesWholeRows) {
    Db db;
    QByteArray out;
    QProcess writers[4];
    for (int w = 0; w < 4; ++w)
        writers[w].start(QStringLiteral(RESULTS_WRITER),
                         {db.path, QStringLiteral("w%1").arg(w), "150"});
    for (QProcess& p : writers) {
        EXPECT_TRUE(p.waitForFinished(120000));
        EXPECT_EQ(p.exitCode(), 0);
        out += p.readAllStandardOutput();
    }
    EXPECT_FALSE(out.contains("P ")) << "spooled while another wrote";
    for (int kill : {1, 17, 60}) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(RESULTS_WRITER), {db.path, QString::number(kill), "1000000"});
        QByteArray printed;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return (printed += p.readAllStandardOutput()).count('\n') >= kill; }, 60000))
            << "the writer stopped or stalled";
        p.kill();
        p.waitForFinished();
        out += printed + p.readAllStandardOutput();
    }
    auto s = db.open();
    EXPECT_EQ(s->schemaVersion(), latestSchemaVersion());
    const QStringList stored = storedRows(s->database());
    for (const QByteArray& line : out.split('\n'))
        if (line.size() > 2) {
            EXPECT_TRUE(stored.contains(QString::fromLatin1(line.mid(2))));
        }
    QSqlQuery q(s->database());
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next());
    EXPECT_EQ(q.value(0).toString(), "ok");
    int checked = 0;
    for (const QString station : {"w0", "w1", "w2", "w3", "1", "17", "60"}) {
        ASSERT_TRUE(q.exec(QStringLiteral("SELECT * FROM results WHERE station = '%1' ORDER BY seq")
                               .arg(station)));
        for (int row = 0; q.next(); ++row, ++checked) {
            const QJsonObject want = sampleResult(station, row);
            for (const Column& c : resultColumns())
                if (c.name != QLatin1String("id")) {
                    const QString name = QLatin1String(c.name);
                    QJsonValue field = name.startsWith("signal_")
                                           ? want["signal"].toObject().value(name.mid(7))
                                           : want.value(name);
                    if (field.isUndefined() && c.kind == Column::Kind::Text) field = "";
                    if (field.isUndefined()) field = QJsonValue();
                    EXPECT_EQ(asJson(q.value(c.name), c.kind), field) << c.name << row;
                }
        }
    }
    EXPECT_EQ(checked, stored.size()) << "rows of no writer";
}

// A spool left by a failing run is moved in once at the next start, skipping
// a result already stored and a last line cut by a kill.  Then the worker
// keeps results in the order handed over while its caller goes on: the
// caller holds the file's write lock across its save() calls and only then
// lets go, so a save() that waited for the database would wait on its own
// caller until the busy limit, and spool.
TEST(ResultsStore, MovesASpoolInOnceThenKeepsInOrderOffTheCallersThread) {
    Db db;
    QByteArray spool;
    for (int i = 0; i < 4; ++i) {
        QJsonObject r = sampleResult(QStringLiteral("b"), i);
        r["id"] = QStringLiteral("b-%1").arg(i);
        if (i == 0) {
            ASSERT_EQ(db.open()->save(r), Store::Saved::Stored);
        }
        spool += QJsonDocument(r).toJson(QJsonDocument::Compact) + '\n';
    }
    const QString spoolFile = fileOf(db.dir, "r.sqlite.spool", spool + "{\"id\":\"cut-sh");
    QString why;
    Store::Options patient;
    patient.busyTimeoutMs = 30000;
    auto worker = StoreWorker::open(*parseTarget(db.path, &why), &why, patient,
                                    [&](const QString& w) { db.warnings << w; });
    ASSERT_TRUE(worker) << why.toStdString();
    EXPECT_FALSE(QFile::exists(spoolFile));
    const QString moved = db.warnings.value(0);
    EXPECT_TRUE(moved.contains("moved 3 spooled results")) << moved.toStdString();
    EXPECT_TRUE(moved.contains("1 were already there, 1 unfinished"));

    QStringList kept;
    QObject::connect(
        worker.get(), &StoreWorker::kept, [&](int tag, const QJsonObject& r, Store::Saved saved) {
            kept << QStringLiteral("%1 %2 %3").arg(tag).arg(r["id"].toString()).arg(int(saved));
        });
    QSignalSpy drained(worker.get(), &StoreWorker::drained);
    auto holder = db.open();
    QSqlQuery lock(holder->database());
    ASSERT_TRUE(lock.exec("BEGIN IMMEDIATE"));
    for (int i = 0; i < 3; ++i) worker->save({{"id", QStringLiteral("q-%1").arg(i)}}, i);
    EXPECT_EQ(worker->pending(), 3);
    ASSERT_TRUE(lock.exec("COMMIT"));
    ASSERT_TRUE(drained.wait(60000));
    EXPECT_EQ(kept.join(", "), "0 q-0 0, 1 q-1 0, 2 q-2 0") << "tag, id, 0: stored";
    EXPECT_EQ(storedRows(holder->database()).join(' '), "b-0 b-1 b-2 b-3 q-0 q-1 q-2");

    // A file of the first schema version takes its rows into the newest.
    worker.reset();
    lock.finish();
    auto toVersion1 = [](QSqlQuery& q) {
        toVersion4(q);
        for (const char* column :
             {"plan", "plan_sha256", "retest", "firmware", "hardware", "unique_id",
              "satellites_gga", "sky", "tests", "signal_sv", "signal_samples", "signal_cn0_mean",
              "signal_cn0_sd", "signal_cn0_raw_mean", "signal_offset", "signal_calibration_id",
              "signal_values"})
            ASSERT_TRUE(q.exec(QStringLiteral("ALTER TABLE results DROP COLUMN %1").arg(column)));
        ASSERT_TRUE(q.exec("DROP TABLE calibrations") &&
                    q.exec("DELETE FROM schema_version WHERE version > 1"));
    };
    auto s = migrated(std::move(holder), toVersion1, db, db.path);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->schemaVersion(), latestSchemaVersion());
    QJsonObject r = sampleResult(QStringLiteral("b"), 4);
    ASSERT_EQ(s->save(r), Store::Saved::Stored);
    EXPECT_EQ(storedRows(s->database(), "plan"), QStringList(7, "") << "line-3");
}

// Known rows and their figures, worked out by hand, in a SQLite file and on a
// PostgreSQL server of the test's own when PostgreSQL 15 is installed.
class ResultsReport : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        if (PgServer::available()) pg = new PgServer;
        qputenv("PGPASSWORD", PgServer::kPassword);
    }
    static void TearDownTestSuite() { delete std::exchange(pg, nullptr); }
    void SetUp() override {
        if (GetParam()) {
            if (!pg) GTEST_SKIP() << "PostgreSQL 15 is not installed";
            ASSERT_TRUE(pg->ok()) << pg->error().toStdString();
            target = pg->url(QStringLiteral("postgres"));
        }
        struct Row {
            const char *station, *unit, *lot, *started, *result, *reason;
            double ttff;  // < 0: none
        } rows[] = {
            {"bench-1", "U1", "L1", "2026-12-01T08:00:00.000Z", "fail", "no-fix", -1},
            {"bench-1", "U1", "L1", "2026-12-01T09:00:00.000Z", "pass", "ok", 30},
            {"bench-1", "U2", "L1", "2026-12-01T10:00:00.000Z", "pass", "ok", 40},
            {"bench-2", "U3", "L2", "2026-12-02T08:00:00.000Z", "pass", "ok", 10},
            {"bench-2", "U3", "L2", "2026-12-02T09:00:00.000Z", "fail", "ttff-over-limit", 70},
            {"bench-2", "U4", "L2", "2026-12-02T10:00:00.000Z", "station-fault", "port-unavailable",
             -1},
            {"bench-2", "", "L2", "2026-12-03T10:00:00.000Z", "pass", "ok", 20},
            {"bench-1", "U2", "L1", "2026-12-03T11:00:00.000Z", "fail", "ttff-over-limit", 90},
        };
        QList<QJsonObject> objects;
        for (const Row& r : rows) {
            QJsonObject o{{"station", r.station}, {"unit", r.unit},     {"lot", r.lot},
                          {"started", r.started}, {"result", r.result}, {"reason", r.reason}};
            o["id"] = QStringLiteral("row-%1").arg(objects.size());  // the server's, stored once
            o["status"] = "Cold Start, \"OK\"\nnext";
            if (r.ttff >= 0) o["ttff_s"] = r.ttff;
            objects << o;
        }
        QString why;
        ASSERT_GE(db.open(target)->saveBatch(objects, &why), 0) << why.toStdString();
    }
    // A database of the test's own, so that the other tests' figures stay as they are.
    QString own(const QString& name) {
        if (!GetParam()) return db.dir.filePath(name + ".sqlite");
        const auto server = db.open(target);
        QSqlQuery q(server->database());
        EXPECT_TRUE(q.exec("DROP DATABASE IF EXISTS " + name) && q.exec("CREATE DATABASE " + name));
        return pg->url(name);
    }
    Db db;
    QString target = db.path;
    static PgServer* pg;
};
PgServer* ResultsReport::pg = nullptr;
INSTANTIATE_TEST_SUITE_P(Engines, ResultsReport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

// The figures of the summary and the rows of the CSV export.
TEST_P(ResultsReport, FiguresAndCsvMatchTheHandCount) {
    struct Case {
        const char* args;
        const char* station;  // "": overall
        double results, tested, passed, firstPass, ttffCount, mean, median, p95, max;
    } cases[] = {
        {"", "", 8, 3, 3, 2, 6, 260.0 / 6, 35, 90, 90},  // U4's station fault is no test
        {"", "bench-1", 4, 2, 2, 1, 3, 160.0 / 3, 40, 90, 90},
        {"", "bench-2", 4, 1, 1, 1, 3, 100.0 / 3, 20, 70, 70},
        {"--lot L1", "", 4, 2, 2, 1, 3, 160.0 / 3, 40, 90, 90},
        {"--since 2026-12-02 --until 2026-12-02", "", 3, 1, 1, 1, 2, 40, 40, 70, 70},
        {"--unit U1", "", 2, 1, 1, 0, 1, 30, 30, 30, 30},
        {"--since 2026-12-01T09:00:00Z --until 2026-12-01T10:00:00Z", "", 2, 2, 2, 2, 2, 35, 35, 40,
         40},
        {"--since 2027-01-01", "", 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const QJsonObject all = reportJson(QStringList{"--db", target} +
                                           QString(c.args).split(' ', Qt::SkipEmptyParts));
        const QJsonObject f =
            *c.station ? all["stations"][c.station].toObject() : all["overall"].toObject();
        const QJsonObject t = f["ttff_s"].toObject();
        EXPECT_EQ(QList<double>({f["results"].toDouble(), f["units_tested"].toDouble(),
                                 f["units_passed"].toDouble(), f["units_first_pass"].toDouble(),
                                 t["count"].toDouble(), t["median"].toDouble(), t["p95"].toDouble(),
                                 t["max"].toDouble()}),
                  QList<double>({c.results, c.tested, c.passed, c.firstPass, c.ttffCount, c.median,
                                 c.p95, c.max}))
            << c.args << " " << c.station;
        EXPECT_NEAR(t["mean"].toDouble(), c.mean, 1e-9) << c.args << " " << c.station;
    }
    const QJsonArray failures = reportJson({"--db", target})["overall"]["failures"].toArray();
    ASSERT_EQ(failures.size(), 3);
    EXPECT_EQ(failures[0].toObject(),
              (QJsonObject{{"result", "fail"}, {"reason", "ttff-over-limit"}, {"count", 2}}));
    EXPECT_EQ(
        failures[2].toObject(),
        (QJsonObject{{"result", "station-fault"}, {"reason", "port-unavailable"}, {"count", 1}}));
    const QString out = reportText({"--db", target});
    EXPECT_TRUE(out.contains("First-pass yield   66.7 %  (2 of 3 units passed their first test)"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("median 35.00  p95 90.00")) << out.toStdString();

    // The page's yields per lot and per day.
    QString why;
    const auto d = distributions(db.open(target)->database(), {}, &why);
    ASSERT_TRUE(d) << why.toStdString();
    QStringList yields;
    for (const Yield& y : d->lots + d->days) yields << yieldText(y);
    EXPECT_EQ(yields,
              QStringList({"L1 2/1/2 4:2/0/0", "L2 1/1/1 4:1/1/0", "2026-12-01 2/1/2 3:1/0/0",
                           "2026-12-02 1/1/1 3:1/1/0", "2026-12-03 1/0/0 2:1/0/0"}));

    // The header, then the rows in time order: a field that holds a comma, a
    // quote or a line end is quoted, a missing value is empty.
    const QString file = db.dir.filePath(QStringLiteral("out.csv"));
    ASSERT_EQ(report({"--db", target, "--csv", file, "--station", "bench-2"}, nullptr), 0);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray csv = f.readAll();
    EXPECT_TRUE(csv.startsWith(
        "id,unit,station,lot,operator,cycle,started,ended,result,reason,status,port,device,baud,"
        "receiver,start,cold_start_sent,confirmed,reset_verified,ttff_s,satellites,hdop,cn0_max,"
        "cn0_mean4,sv_with_snr,limits,version,plan,plan_sha256,retest,firmware,hardware,unique_id,"
        "satellites_gga,sky,tests,signal_sv,signal_samples,signal_cn0_mean,signal_cn0_sd,"
        "signal_cn0_raw_mean,signal_offset,signal_calibration_id,signal_values,antenna,"
        "antenna_changes,config,config_sha256,agc,noise,jamming,study,evidence_sha256,"
        "evidence_removed,level_dbm,acquisition_dbm,tracking_dbm,cold_starts,generator,"
        "stored_at\r\n"
        "row-3,U3,bench-2,L2,,,2026-12-02T08:00:00.000Z,,pass,ok,\"Cold Start, \"\"OK\"\"\nnext\","
        ",,,,,,,,10,,,,,,,,,,,"))
        << csv.toStdString();
    EXPECT_EQ(csv.count("\r\n"), 1 + 4) << "the header and bench-2's rows";
}

// A gauge study's results: kept out of the line's figures (from the
// summaries and from the rows), analyzed by --grr over units × slots ×
// repeats with the tolerance from their limits, and by --type1 over one
// unit's repeats in one slot.
TEST_P(ResultsReport, GaugeStudiesAreKeptApartAndAnalyzed) {
    const double ttff[3][2][2] = {
        {{31, 32}, {33, 33.5}}, {{40, 41}, {41.5, 40.5}}, {{25, 26}, {27, 25.5}}};
    const double golden[] = {30, 30.5, 29.5, 31, 30};
    QList<QJsonObject> objects;
    std::vector<results::gauge::Observation> expected;
    auto add = [&](const char* study, const QString& unit, const QString& port, double value) {
        QJsonObject r{{"station", "bench-1"}, {"unit", unit},     {"lot", "L1"},
                      {"port", port},         {"result", "pass"}, {"reason", "ok"},
                      {"ttff_s", value},      {"study", study}};
        r["id"] = QStringLiteral("study-%1").arg(objects.size());
        r["started"] =
            QStringLiteral("2026-12-04T08:%1:00.000Z").arg(objects.size(), 2, 10, QLatin1Char('0'));
        r["limits"] = QJsonObject{{"max_ttff_s", 60}};
        objects << r;
    };
    for (int u = 0; u < 3; ++u)
        for (int s = 0; s < 2; ++s)
            for (double v : ttff[u][s]) {
                const QString unit = QStringLiteral("G%1").arg(u + 1);
                const QString port = QStringLiteral("/dev/ttyUSB%1").arg(s);
                add("S1", unit, port, v);
                expected.push_back({unit.toStdString(), port.toStdString(), v});
            }
    for (double v : golden) add("T1", QStringLiteral("G9"), QStringLiteral("/dev/ttyUSB0"), v);
    QString why;
    ASSERT_GE(db.open(target)->saveBatch(objects, &why), 0) << why.toStdString();

    // The line's figures are those of the production rows alone.
    EXPECT_EQ(reportJson({"--db", target})["overall"]["results"].toInt(), 8);
    EXPECT_EQ(reportJson({"--db", target, "--unit", "G1"})["overall"]["results"].toInt(), 0);

    results::gauge::GrrOptions options;
    options.tolerance = 60;  // from a maximum only: from a natural zero
    std::string problem;
    const auto g = results::gauge::analyzeGrr(expected, options, &problem);
    ASSERT_TRUE(g) << problem;
    const QJsonObject measures = reportJson({"--db", target, "--grr", "S1"})["measures"].toObject();
    EXPECT_EQ(measures.keys(), QStringList{"ttff_s"});
    const QJsonObject t = measures["ttff_s"].toObject();
    EXPECT_EQ(QList<int>({t["parts"].toInt(), t["appraisers"].toInt(), t["trials"].toInt()}),
              QList<int>({3, 2, 2}));
    EXPECT_EQ(t["tolerance"].toDouble(), 60);
    EXPECT_NEAR(t["grr"]["pct_study"].toDouble(), g->grr.pctStudy, 1e-9);
    EXPECT_NEAR(t["grr"]["pct_tolerance"].toDouble(), *g->grr.pctTolerance, 1e-9);
    EXPECT_EQ(t["verdict"].toString(), QLatin1String(results::gauge::verdictWord(g->verdict)));
    const QString text = reportText({"--db", target, "--grr", "S1"});
    EXPECT_TRUE(text.contains("3 units x 2 slots x 2 trials")) << text.toStdString();
    // The rows' limits say which measures decide the station's qualification.
    const QString qualified =
        QStringLiteral("Station qualified: %1")
            .arg(g->verdict == results::gauge::Verdict::Rejected ? "no (" : "yes. ");
    const QString decided = QStringLiteral("Decided by TTFF (s)");
    EXPECT_TRUE(
        text.contains(qualified) &&
        text.contains(decided +
                      QLatin1Char(g->verdict == results::gauge::Verdict::Rejected ? '.' : ':')))
        << text.toStdString();
    const QString html = reportPage({"--db", target, "--grr", "S1"});
    EXPECT_TRUE(html.contains("Gauge R&amp;R: study S1") && html.contains("TTFF (s) *") &&
                html.contains(qualified) && html.contains(decided))
        << html.toStdString();

    const QJsonObject one = reportJson({"--db", target, "--type1", "T1", "--reference",
                                        "ttff_s=30"})["measures"]["ttff_s"]
                                .toObject();
    const double sd = sampleSd(std::vector<double>(std::begin(golden), std::end(golden)));
    EXPECT_NEAR(one["cg"].toDouble(), 0.2 * 60 / (6 * sd), 1e-9);
    EXPECT_NEAR(one["cgk"].toDouble(), (0.1 * 60 - 0.2) / (3 * sd), 1e-9);
    EXPECT_TRUE(reportJson({"--db", target, "--type1", "S1"})["measures"]["ttff_s"]["error"]
                    .toString()
                    .contains("3 units and 2 slots"));
}

// The worked example of docs/RESULTS.md, read from there: its rows stored in a
// database of their own, each figure it gives found in `report --json`, and
// the limits it proposes in `report --suggest-limits`.
TEST_P(ResultsReport, TheQualityExample) {
    const auto tables = docTables(kExample);
    ASSERT_EQ(tables.size(), 2);
    const QStringList header = tables[0][0];
    QList<QJsonObject> rows;
    for (const QStringList& cells : tables[0].mid(1)) {
        QJsonObject r{{"id", QStringLiteral("ex-%1").arg(rows.size())}, {"station", "line-1"}};
        QJsonObject limits, signal;
        for (int i = 0; i < header.size(); ++i) {
            bool number = false;
            const double v = cells[i].toDouble(&number);
            const QJsonValue value = number ? QJsonValue(v) : QJsonValue(cells[i]);
            if (header[i].startsWith("signal_"))
                signal[header[i].mid(7)] = value;
            else if (QStringList{"max_ttff_s", "cn0_low", "cn0_high"}.contains(header[i]))
                limits[header[i]] = value;
            else
                r[header[i]] = value;
        }
        r["limits"] = limits;
        r["signal"] = signal;
        rows << r;
    }
    const QString example = own("example");
    QString why;
    ASSERT_GE(db.open(example)->saveBatch(rows, &why), 0) << why.toStdString();
    const QString text = reportText({"--db", example}),
                  suggested = reportText({"--db", example, "--suggest-limits"});
    const QJsonObject json = reportJson({"--db", example});
    for (const QStringList& figure : tables[1].mid(1)) {
        const QString &path = figure[0], want = figure[2];
        if (path == "--suggest-limits") {
            EXPECT_TRUE(suggested.contains("\nOptions: " + want + '\n')) << suggested.toStdString();
            continue;
        }
        QJsonValue v = json;
        for (const QString& key : path.split('.')) {
            if (!key.startsWith("slots[")) {
                v = v[key];
                continue;
            }
            for (const QJsonValue slot : json["slots"].toArray())
                if (slot["port"] == key.mid(6).chopped(1)) v = slot;
        }
        if (want == "true" || want == "false") {
            EXPECT_EQ(v, QJsonValue(want == "true")) << path.toStdString();
            continue;
        }
        const int decimals = want.contains('.') ? int(want.size() - want.indexOf('.') - 1) : 0;
        EXPECT_TRUE(v.isDouble()) << path.toStdString();
        EXPECT_NEAR(v.toDouble(), want.toDouble(), 0.5 * std::pow(10, -decimals) + 1e-9)
            << path.toStdString();
    }
    EXPECT_TRUE(text.contains("/dev/ttyUSB2             signal      2   39.88   -1.94  LOW\n"))
        << text.toStdString();
}

// Varied results saved one by one (retests at other stations, lots and days;
// every outcome; rows without a unit): for each selection the summaries give
// what the rows give; again once the summaries are dropped and the database
// migrated from version 4, which builds none of them: each report builds its
// scope's, the same rows the saves kept; and again after saves into scopes
// built, not built and new, which add only to those built.
TEST_P(ResultsReport, SummariesAgreeWithTheRowsAfterSavesAndAfterMigrating) {
    const QString agree = own("agree");
    const char* outcomes[] = {"pass", "fail", "pass", "station-fault", "pass", "interrupted"};
    auto s = db.open(agree);
    auto resultAt = [&](int i) {
        const QString at = QStringLiteral("2026-12-0%1T%2:0").arg(1 + i / 30).arg(10 + i % 13);
        QJsonObject r{
            {"station", QStringLiteral("s%1").arg(i * 7 % 3)},
            {"lot", i % 4 ? "L1" : "L2"},
            {"unit", i % 11 == 5 ? QString() : QStringLiteral("U%1").arg(i * i % 17)},
            {"started", at + "0:00.000Z"},
            {"ended", at + QString::number(i % 7) + ":00.000Z"},
            {"result", outcomes[i * 5 % 6]},
            {"reason", i % 6 == 1 ? "no-fix" : "ok"},
            {"port", QStringLiteral("/dev/ttyUSB%1").arg(i % 4)},
            {"cn0_mean4", 38 + i % 9 * 0.25},
            {"satellites", 5 + i % 6},
            {"signal", i % 3 ? QJsonValue() : QJsonObject{{"cn0_mean", 41 + i % 5 * 0.5}}},
            {"limits", i % 5 ? QJsonObject{{"max_ttff_s", 60}}
                             : QJsonObject{{"max_ttff_s", 90}, {"min_cn0", 30}}},
            {"cold_start_sent", i % 9 != 8},
            {"reset_verified", i % 3 != 1}};
        if (i % 8) r["ttff_s"] = 20 + i % 23 * 1.37;
        if (i % 5) r["hdop"] = 0.8 + i % 4 * 0.1;
        return r;
    };
    // The passes whose command went out, and of them those not proven, of
    // lot L2 and of its slot /dev/ttyUSB0 (every fourth result, from the first).
    qint64 passes = 0, unproven = 0, slotPasses = 0, slotUnproven = 0;
    for (int i = 0; i < 90; ++i) {
        QJsonObject r = resultAt(i);
        ASSERT_EQ(s->save(r), Store::Saved::Stored);
        if (i % 4 || r["result"] != "pass" || !r["cold_start_sent"].toBool()) continue;
        passes += 1, slotPasses += 1;
        unproven += !r["reset_verified"].toBool(), slotUnproven += !r["reset_verified"].toBool();
    }
    {
        const QJsonObject l2 = reportJson({"--db", agree, "--lot", "L2"});
        EXPECT_EQ(l2["overall"]["resets_not_proven"].toObject(),
                  (QJsonObject{{"count", unproven}, {"passes", passes}}));
        qint64 portCount = 0, portPasses = 0;  // the slot is at several stations
        for (const QJsonValue& st : l2["stations"].toObject()) {
            const QJsonObject r = st["ports"]["/dev/ttyUSB0"]["resets_not_proven"].toObject();
            portCount += r["count"].toInteger(), portPasses += r["passes"].toInteger();
        }
        EXPECT_EQ(portCount, slotUnproven);
        EXPECT_EQ(portPasses, slotPasses);
        ASSERT_GT(unproven, 0);
        EXPECT_TRUE(reportText({"--db", agree, "--lot", "L2"})
                        .contains(QStringLiteral("Resets not proven  %1 of %2 passes")
                                      .arg(unproven)
                                      .arg(passes)));
    }
    auto dump = [](const MeasureValues& v) {
        QStringList out;
        auto add = [&](const QString& by, const QMap<QString, Distribution>& d) {
            for (auto m = d.cbegin(); m != d.cend(); ++m)
                for (const auto& [value, n] : *m)
                    out << QStringLiteral("%1 %2 %3x%4").arg(by, m.key()).arg(value).arg(n);
        };
        for (auto m = v.overall.cbegin(); m != v.overall.cend(); ++m)
            add("all", {{m.key(), m->all}}), add("passed", {{m.key(), m->passed}});
        for (auto st = v.stations.cbegin(); st != v.stations.cend(); ++st) add(st.key(), *st);
        for (const SlotSum& x : v.perSlot)
            out << QStringLiteral("%1 %2 %3 %4 %5")
                       .arg(x.station, x.port, x.column)
                       .arg(x.count)
                       .arg(x.sum);
        for (auto k = v.limits.byKey.cbegin(); k != v.limits.byKey.cend(); ++k)
            for (auto l = k->cbegin(); l != k->cend(); ++l)
                out << QStringLiteral("%1 %2x%3").arg(k.key()).arg(l.key()).arg(l.value());
        out << QString::number(v.limits.results);
        return out;
    };
    const Filter filters[] = {
        {},
        {"", "", "s1", "", ""},
        {"", "", "", "L1", ""},
        {"", "", "s2", "L2", ""},
        {"2026-12-02T00:00:00.000Z", "2026-12-03T00:00:00.000Z", "", "", ""},
        {"2026-12-02T00:00:00.000Z", "2026-12-03T00:00:00.000Z", "s0", "", ""},
        {"2026-12-03T00:00:00.000Z", "", "", "L1", ""},
        {"", "", "", "", "U4"}};
    // The days and the lot that only the saves after the migration's reports touch.
    const Filter later[] = {{"2026-12-01T00:00:00.000Z", "2026-12-02T00:00:00.000Z", "", "", ""},
                            {"2026-12-03T00:00:00.000Z", "2026-12-04T00:00:00.000Z", "", "", ""},
                            {"", "", "", "L3", ""}};
    // Every summary row, as the saves kept it and as the reports build it.
    auto tables = [](const QSqlDatabase& d) {
        QStringList out;
        for (const QString table :
             {"summary_outcomes", "summary_values", "summary_slots", "summary_limits",
              "summary_units", "summary_pace", "summary_resets"}) {
            QSqlQuery q(QStringLiteral("SELECT * FROM ") + table, d);
            while (q.next()) {
                QStringList row{table};
                for (int i = 0; i < q.record().count(); ++i)
                    row << (q.value(i).typeId() == QMetaType::Double
                                ? QString::number(q.value(i).toDouble(), 'g', 12)
                                : q.value(i).toString());
                out << row.join(' ');
            }
        }
        out.sort();
        return out;
    };
    const QStringList kept = tables(s->database());
    for (int pass = 0; pass < 3; ++pass) {
        if (pass == 1) {
            EXPECT_EQ(tables(s->database()), QStringList()) << "built by the migration";
        }
        QList<Filter> selections(std::begin(filters), std::end(filters));
        if (pass == 2) selections << later[0] << later[1] << later[2];
        for (const Filter& f : selections) {
            QString why;
            const QJsonObject rows = summaryOf(s->database(), f, Source::Rows);
            EXPECT_GT(rows["overall"]["units_tested"].toInt(), 0) << f.since.toStdString();
            EXPECT_EQ(summaryOf(s->database(), f), rows)
                << f.since.toStdString() << f.station.toStdString() << f.lot.toStdString() << pass;
            EXPECT_EQ(dump(*measureValues(s->database(), f, &why)),
                      dump(*measureValues(s->database(), f, &why, Source::Rows)));
        }
        if (pass == 1) {
            const QStringList built = tables(s->database());
            EXPECT_EQ(built, ofBuiltScopes(kept, s->database()));
            EXPECT_LT(built.size(), kept.size()) << "days 1 and 3 are built by no report";
            // Into the whole database and lot L1 (built), days 1 and 3 (not
            // built) and a new lot, L3; units tested before at other stations.
            for (int i = 0; i < 24; ++i) {
                QJsonObject r = resultAt(i * 5 + 3);
                r["started"] =
                    QStringLiteral("2026-12-0%1T21:%2:00.000Z").arg(i % 2 ? 1 : 3).arg(10 + i);
                r["ended"] =
                    QStringLiteral("2026-12-0%1T21:%2:30.000Z").arg(i % 2 ? 1 : 3).arg(10 + i);
                r["lot"] = i % 3 ? "L1" : "L3";
                ASSERT_EQ(s->save(r), Store::Saved::Stored);
            }
        }
        if (pass > 0) continue;
        s = migrated(std::move(s), toVersion4, db, agree);
        ASSERT_TRUE(s);
    }
}

// Two stations save into lots and days stored before the migration while
// reports build those scopes on their first need: no result is counted twice
// or missed, by outcome, value, slot, limits, units and pace, in rounds of a
// fresh migration each.
TEST_P(ResultsReport, ScopesBuiltOnFirstNeedWhileTwoStationsSave) {
    const QString race = own("race");
    auto resultAt = [](const QString& station, int i) {
        QJsonObject r = sampleResult(station, i);
        const QString at = QStringLiteral("2026-12-0%1T%2:%3:")
                               .arg(1 + i % 2)
                               .arg(10 + i / 60 % 10)
                               .arg(i % 60, 2, 10, QLatin1Char('0'));
        r["started"] = at + "00.000Z";
        r["ended"] = at + "20.000Z";
        r["unit"] = QStringLiteral("RU%1").arg(i % 13);
        r["lot"] = QStringLiteral("R%1").arg(i % 4);
        r["port"] = QStringLiteral("p%1").arg(i % 3);
        r.remove("id");
        return r;
    };
    const QList<Filter> scopes = {
        {},
        {"", "", "", "R0", ""},
        {"", "", "", "R1", ""},
        {"", "", "st-b", "R2", ""},
        {"", "", "", "R3", ""},
        {"2026-12-01T00:00:00.000Z", "2026-12-02T00:00:00.000Z", "", "", ""},
        {"2026-12-02T00:00:00.000Z", "2026-12-03T00:00:00.000Z", "st-a", "", ""}};
    auto s = db.open(race);
    int next = 0;
    for (int round = 0; round < 3; ++round) {
        // Rows stored before the summaries were kept, then a migration.
        for (int i = 0; i < 30; ++i) {
            QJsonObject r = resultAt(i % 2 ? "st-a" : "st-b", next++);
            ASSERT_EQ(s->save(r), Store::Saved::Stored);
        }
        s = migrated(std::move(s), toVersion4, db, race);
        ASSERT_TRUE(s);
        std::atomic<int> saved{0};
        auto station = [&](const QString& name, int from) {
            QString why;
            auto own = Store::open(*parseTarget(race, &why), &why);
            if (!own) return ADD_FAILURE() << why.toStdString();
            for (int i = 0; i < 40; ++i) {
                QJsonObject r = resultAt(name, from + i);
                EXPECT_EQ(own->save(r), Store::Saved::Stored);
                ++saved;
            }
        };
        std::thread a(station, QStringLiteral("st-a"), next),
            b(station, QStringLiteral("st-b"), next + 40);
        next += 80;
        // Each scope's first report, while the saves go on.
        QDeadlineTimer limit(60000);
        while (saved < 4 && !limit.hasExpired()) QThread::yieldCurrentThread();
        for (const Filter& f : scopes) summaryOf(s->database(), f);
        a.join();
        b.join();
        for (const Filter& f : scopes)
            EXPECT_EQ(summaryOf(s->database(), f), summaryOf(s->database(), f, Source::Rows))
                << round << f.lot.toStdString() << f.since.toStdString();
    }
}

// Units per hour and handling per slot, counted by hand: saved out of order,
// kept by the saves, read from the rows, and built by the reports after a migration from
// version 4 and from version 5.
TEST_P(ResultsReport, UnitsPerHourAndHandlingPerSlot) {
    const QString target = own("pace");
    // s1 port 0: tests of 30 s, handling 10 and 20 s, then an hour idle;
    // s1 port 1: the second test began 10 s before the first one's end (no
    // handling); s2: one test of 45 s and one without an end; s3: two tests
    // that began at once, the later stored after the earlier.
    struct Row {
        const char *station, *port, *lot, *started, *ended;
    } rows[] = {
        {"s1", "p0", "L2", "08:01:30", "08:02:00"}, {"s1", "p0", "L1", "08:00:00", "08:00:30"},
        {"s1", "p0", "L2", "09:00:00", "09:00:30"}, {"s1", "p0", "L1", "08:00:40", "08:01:10"},
        {"s1", "p1", "L1", "08:00:50", "08:02:00"}, {"s1", "p1", "L1", "08:00:00", "08:01:00"},
        {"s2", "p0", "L1", "08:01:00", nullptr},    {"s2", "p0", "L1", "08:00:00", "08:00:45"},
        {"s3", "p0", "L1", "08:00:00", "08:00:30"}, {"s3", "p0", "L1", "08:00:00", "08:00:20"},
    };
    auto s = db.open(target);
    for (const Row& r : rows) {
        auto at = [](const char* t) { return QStringLiteral("2026-12-01T%1.000Z").arg(t); };
        QJsonObject o{{"station", r.station}, {"port", r.port},   {"lot", r.lot},
                      {"unit", "U"},          {"result", "pass"}, {"started", at(r.started)}};
        if (r.ended) o["ended"] = at(r.ended);
        ASSERT_EQ(s->save(o), Store::Saved::Stored);
    }
    const double p0 = 4 * 3600 / 150.0, p1 = 2 * 3600 / 130.0, s3 = 2 * 3600 / 50.0;
    struct Case {
        Filter filter;
        QJsonValue unitsPerHour;
        int gaps;
        QJsonValue handling;
    } cases[] = {
        {{}, p0 + p1 + s3, 4, 7.5},
        {{"", "", "s1", "", ""}, p0 + p1, 3, 10.0},
        // A slot whose unit no other followed has no pace.
        {{"", "", "s2", "", ""}, QJsonValue(), 0, QJsonValue()},
        // L2's first handling is from L1's last unit in the slot.
        {{"", "", "", "L2", ""}, 2 * 3600 / 80.0, 1, 20.0},
        {{"2026-12-01T00:00:00.000Z", "2026-12-02T00:00:00.000Z", "", "", ""},
         p0 + p1 + s3,
         4,
         7.5},
        {{"2026-12-01T08:00:35.000Z", "", "", "", ""}, 3 * 3600 / 120.0 + 3600 / 70.0, 3, 10.0},
    };
    // Kept by the saves, then built by the reports after each migration (the
    // summary rows themselves, pace's among them, are held to the saves' in
    // SummariesAgreeWithTheRowsAfterSavesAndAfterMigrating).
    const std::pair<const char*, void (*)(QSqlQuery&)> froms[] = {
        {"saves", nullptr}, {"version 5", toVersion5}, {"version 4", toVersion4}};
    for (const auto& [from, back] : froms) {
        if (back) {
            s = migrated(std::move(s), back, db, target);
            ASSERT_TRUE(s);
        }
        for (const Case& c : cases) {
            const QJsonObject all = summaryOf(s->database(), c.filter);
            EXPECT_EQ(all, summaryOf(s->database(), c.filter, Source::Rows)) << from;
            const QJsonObject overall = all["overall"].toObject();
            const QJsonObject handling = overall["handling_s"].toObject();
            auto text = [](const QJsonArray& a) { return QJsonDocument(a).toJson().toStdString(); };
            EXPECT_EQ(text({overall["units_per_hour"], handling["count"], handling["mean"]}),
                      text({c.unitsPerHour, c.gaps, c.handling}))
                << from << ' ' << c.filter.since.toStdString() << c.filter.station.toStdString()
                << c.filter.lot.toStdString();
        }
    }
    // p1's pace, to the slot, in the text.
    const QString out = reportText({"--db", target});
    EXPECT_TRUE(out.contains("Units per hour     295.4  (handling mean 7.5 s between 4 units)\n"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("Station s2\n") &&
                out.contains("Units per hour     -  (no slot tested a unit after another within "
                             "5 minutes)\n"))
        << out.toStdString();
    EXPECT_TRUE(
        out.contains("    p1                       55.4 units/h  handling mean 0.0 s  "
                     "(2 results)\n"))
        << out.toStdString();
}

// A report is one moment of the database: a save committed by another
// connection between any two of its reads changes none of its figures.  The
// seam commits a new unit's result, then retention's removal of its evidence
// (counted by the CLI), after every statement of the report (the
// CLI's text and JSON, the page's and the station window's Lot tab's
// distributions), summary-served and row-served; each must give the figures
// the database had when it began.  Nor does a report wait for a save.
TEST_P(ResultsReport, EveryFigureOfAReportIsOfOneMoment) {
    const QString moment = own("moment");
    auto reader = db.open(moment), writer = db.open(moment);
    QList<QJsonObject> rows;
    for (int i = 0; i < 12; ++i) rows << sampleResult(QStringLiteral("m"), i);
    QString why;
    ASSERT_EQ(writer->saveBatch(rows, &why), 12) << why.toStdString();

    auto cli = [&](const QStringList& args) {
        return reportText(QStringList{"--db", moment} + args);
    };
    auto page = [&](const Filter& f) {
        const auto d = distributions(reader->database(), f, &why);
        EXPECT_TRUE(d) << why.toStdString();
        if (!d) return QString();
        QStringList out{QString::fromUtf8(QJsonDocument(summaryJson(d->summary)).toJson())};
        for (const Yield& y : d->lots + d->days) out << yieldText(y);
        for (const PageMeasure& m : d->measures)
            out << QStringLiteral("%1 %2 %3")
                       .arg(QLatin1String(m.key))
                       .arg(m.sorted.size())
                       .arg(m.limit ? m.limit->of : -1);
        return out.join('\n');
    };
    std::vector<std::function<QString()>> reports;
    for (const QStringList& args : {QStringList{"--json", "--lot", "WO-7"}, QStringList{},
                                    QStringList{"--json", "--since", "2026-12-07T00:00:00Z"}})
        reports.push_back([&, args] { return cli(args); });
    for (const Filter& f :
         {Filter{"", "", "", "WO-7", ""}, Filter{"2026-12-07T00:00:00.000Z", "", "", "", ""}})
        reports.push_back([&, f] { return page(f); });
    // A report does not wait for a station's save in the middle of its
    // transaction (SQLite writes one at a time).
    if (!GetParam()) {
        QSqlQuery saving(writer->database());
        ASSERT_TRUE(saving.exec("BEGIN IMMEDIATE"));
        EXPECT_FALSE(cli({"--json"}).isEmpty());
        ASSERT_TRUE(saving.exec("COMMIT"));
    }
    int written = 0;
    bool writing = false;
    for (const auto& make : reports) {
        const QString before = make();
        const int had = written;
        setAfterReadHook([&] {
            if (std::exchange(writing, true)) return;
            QJsonObject r = sampleResult(QStringLiteral("w"), written++);
            EXPECT_EQ(writer->save(r, evidence::header() + "w"), Store::Saved::Stored);
            // Retention removes its evidence at once, in a transaction of its own.
            QStringList said;
            EXPECT_TRUE(
                writer->applyRetention({0, 1}, QDateTime::currentDateTimeUtc(), &said, &why))
                << why.toStdString();
            writing = false;
        });
        const QString during = make();
        setAfterReadHook({});
        EXPECT_GT(written, had) << "a save during the report";
        EXPECT_EQ(during.toStdString(), before.toStdString()) << &make - &reports[0];
    }
}

// --grr-csv reads part,appraiser,trial,value rows (a header, RFC 4180
// quotes, any order) into the same analysis as the library's.
TEST(ResultsGrrCsv, ReadsTheRowsTheLibraryAnalyzes) {
    QTemporaryDir dir;
    const QString path =
        fileOf(dir, "g.csv",
               "part,appraiser,trial,value\n"
               "\"unit, 1\",A,2,10.5\n\"unit, 1\",A,1,10.1\n\"unit, 1\",\"B\",1,10.9\n"
               "\"unit, 1\",B,2,11.0\n2,A,1,12.0\n2,A,2,12.4\n2,B,1,12.6\n2,B,2,13.1\n");
    const std::vector<results::gauge::Observation> obs = {
        {"unit, 1", "A", 10.5}, {"unit, 1", "A", 10.1}, {"unit, 1", "B", 10.9},
        {"unit, 1", "B", 11.0}, {"2", "A", 12.0},       {"2", "A", 12.4},
        {"2", "B", 12.6},       {"2", "B", 13.1}};
    results::gauge::GrrOptions options;
    options.tolerance = 5;
    std::string why;
    const auto g = results::gauge::analyzeGrr(obs, options, &why);
    ASSERT_TRUE(g) << why;
    const QJsonObject o = reportJson({"--grr-csv", path, "--tolerance", "5"});
    EXPECT_EQ(o["parts"].toInt(), 2);
    EXPECT_EQ(o["trials"].toInt(), 2);
    EXPECT_NEAR(o["grr"]["variance"].toDouble(), g->grr.variance, 1e-12);
    EXPECT_NEAR(o["grr"]["pct_tolerance"].toDouble(), *g->grr.pctTolerance, 1e-9);
    EXPECT_EQ(o["ndc"].toInt(), g->ndc);
}

// A study qualifies a station unless a measure that decides (one held to a
// limit) gives no figures or rejects it, or the study is older than allowed
// (one with no results: cli_test, end to end).  Satellites all 8 in every run
// is no variation and decides nothing against the station; a measure held to
// no limit is shown but does not decide while another is held to one.
TEST(ResultsGaugeStudy, QualifiesAStationOrSaysWhyNot) {
    using results::Measure;
    auto measure = [&](Measure kind, bool limited, auto value) {
        results::StudyMeasure m{&results::rowOf(kind), {}, {}, limited};
        if (kind == Measure::Ttff) m.tolerance = 60;
        for (int u = 0; u < 3; ++u)
            for (const char* slot : {"A", "B"})
                for (int t = 0; t < 2; ++t)
                    m.observations.push_back({std::to_string(u), slot, value(u, *slot == 'B', t)});
        return m;
    };
    auto ttff = [&](double repeatSpread, double slotSpread = 0) {
        return measure(Measure::Ttff, true, [=](int u, bool b, int t) {
            return 30 + 5 * u + (t ? repeatSpread : 0) + (b ? slotSpread : 0);
        });
    };
    const auto eight = measure(Measure::Satellites, true, [](int, bool, int) { return 8.0; });
    const auto hdopSpread =
        measure(Measure::Hdop, false, [](int, bool, int t) { return t ? 0.9 : 1.7; });
    auto unbalanced = ttff(0.1);
    unbalanced.observations.pop_back();
    using M = std::vector<results::StudyMeasure>;
    const QDateTime now = QDateTime::fromString("2026-12-08T00:00:00Z", Qt::ISODate);
    const QString recent = "2026-12-01T00:00:00.000Z", old = "2026-10-01T00:00:00.000Z";
    const struct {
        const char* name;
        M measures;
        QString latest;
        const char* says;  // "": qualified
        const char* line;  // the report's line and, when not, what to do
    } cases[] = {
        {"passed", M{ttff(0.1), eight, hdopSpread}, recent, "",
         "Station qualified: yes. Decided by TTFF (s), Satellites: each acceptable"},
        {"repeats", M{ttff(20), eight}, recent,
         "gauge study \"S\" rejected the station: TTFF (s) %GRR",
         "differs most between repeats in a slot"},
        {"slots", M{ttff(0, 20)}, recent, "rejected the station: TTFF (s) %GRR",
         "TTFF (s) differs most between slots"},
        {"no figures", M{unbalanced}, recent,
         "gives no figures (TTFF (s): the study is not balanced",
         "every unit in every slot equally often"},
        {"no limit decides", M{hdopSpread}, recent, "rejected the station: HDOP %GRR",
         "Station qualified: no (HDOP rejected, %GRR 100.00 % of the study variation). Decided by "
         "HDOP."},
        {"old", M{ttff(0.1)}, old, "is 68.0 days old, older than the 30.0 days allowed",
         "Station qualified: yes"},
    };
    for (const auto& c : cases) {
        const QString why =
            results::qualificationProblem("S", c.measures, c.latest, now, 30 * 86400);
        EXPECT_TRUE(*c.says ? why.contains(QLatin1String(c.says)) : why.isEmpty())
            << c.name << ": " << why.toStdString();
        const QString text =
            results::qualificationText(results::qualificationOf(c.measures)).join('\n');
        EXPECT_TRUE(text.contains(QLatin1String(c.line))) << c.name << ": " << text.toStdString();
    }
}

// The report's usage and database mistakes, named; the engine does not matter.
TEST(ResultsReportUsage, NamesEachMistake) {
    Db db;
    db.open();
    const QString garbage = fileOf(db.dir, "garbage.sqlite", QByteArray(4096, 'x'));
    const QString newer = db.dir.filePath(QStringLiteral("newer.sqlite"));
    QSqlQuery(db.open(newer)->database()).exec("INSERT INTO schema_version VALUES (99, '')");
    // Rows and indexes whose middle pages are damaged: a report cut short says so.
    const QString damaged = db.dir.filePath(QStringLiteral("damaged.sqlite"));
    QList<QJsonObject> rows;
    for (int i = 0; i < 1500; ++i) rows << sampleResult(QStringLiteral("d"), i);
    QString why;
    ASSERT_EQ(db.open(damaged)->saveBatch(rows, &why), 1500) << why.toStdString();
    QFile pages(damaged);
    ASSERT_TRUE(pages.open(QIODevice::ReadWrite) && pages.seek(pages.size() / 3 / 4096 * 4096));
    ASSERT_EQ(pages.write(QByteArray(pages.size() / 3, '\x5a')), pages.size() / 3);
    pages.close();
    const QString cut = db.dir.filePath(QStringLiteral("cut.csv"));
    const QString csv = fileOf(db.dir, "g.csv", "1,A,1,2\n");
    const QString badCsv =
        fileOf(db.dir, "bad.csv", "part,appraiser,trial,value\n1,A,1,2\n1,A,2,x\n");
    const QString twice = fileOf(db.dir, "twice.csv", "1,A,1,2\n1,B,1,2\n1,A,1,3\n");
    struct Case {
        QStringList args;
        int status;
        QString error;
    } cases[] = {
        {{"--since", "2026-13-01"}, 2, "--since \"2026-13-01\" is not a date"},
        {{"--since", "2026-12-03", "--until", "2026-12-01"}, 2, "--since is after --until"},
        {{"--csv", "x.csv", "--json"}, 2, "only one of --csv, --json, --html and --suggest-limits"},
        {{"--bogus"}, 2, "bogus"},
        {{"extra"}, 2, "unexpected argument \"extra\""},
        {{"--db", "/nonexistent/r.sqlite"}, 3, "/nonexistent/r.sqlite: no such file"},
        {{"--db", garbage}, 3, garbage + ": file is not a database"},
        {{"--db", newer}, 3, newer + ": its schema is version 99, newer than"},
        {{"--csv", "/nonexistent/out.csv"}, 3, "cannot write /nonexistent/out.csv"},
        {{"--db", damaged, "--since", "2026-12-07T00:00:00Z"}, 3, "malformed"},
        {{"--db", damaged, "--csv", cut}, 3, "the rows stopped short"},
        {{"--grr", "S", "--type1", "S"}, 2, "only one of --grr, --grr-csv and --type1"},
        {{"--grr", "S", "--lot", "L1"}, 2, "--lot does not apply"},
        {{"--tolerance", "1"}, 2, "--tolerance goes with --grr-csv"},
        {{"--grr-csv", csv, "--tolerance", "0"}, 2, "--tolerance \"0\" is not a number above 0"},
        {{"--type1", "S", "--reference", "ttff=1"}, 2, "is not MEASURE=VALUE"},
        {{"--grr", "nosuch"}, 2, "no results of study \"nosuch\""},
        {{"--grr-csv", "/nonexistent/g.csv"}, 2, "cannot read /nonexistent/g.csv"},
        {{"--grr-csv", badCsv}, 2, "line 3: value \"x\" is not a number"},
        {{"--grr-csv", twice}, 2, "line 3: part \"1\", appraiser \"A\", trial 1 is given twice"},
        {{"--evidence", "x"}, 2, "--evidence ID needs one FILE after it"},
        {{"--evidence-raw", "x", "f", "--lot", "L"}, 2, "--evidence-raw takes no --lot"},
        {{"--evidence", "x", "--evidence-text", "y", "f"}, 2, "only one of --evidence, "},
        {{"--evidence", "nosuch", "f"}, 2, "no result has the id \"nosuch\""},
        {{"--evidence", "x", "f", "--cycle", "0"}, 2, "--cycle \"0\" is not a cycle's number"},
        {{"--started", "2026-12-07"}, 2, "--cycle and --started pick a unit's result for"},
        {{"--strike", "x"}, 2, "--strike needs --why TEXT"},
        {{"--strike", "x", "--why", "w", "--json"}, 2, "--strike takes no --json"},
        {{"--why", "w"}, 2, "--why goes with --strike"},
    };
    for (const Case& c : cases) {
        QString err;
        EXPECT_EQ(report(QStringList{"--db", db.path} + c.args, nullptr, &err), c.status)
            << c.error.toStdString();
        EXPECT_TRUE(err.contains(c.error)) << err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(cut));
}

// The framing of a unit's bytes: what goes in comes out chunk by chunk, the
// receiver's bytes alone joined, a person's text a line per sentence; past
// the cap nothing more is kept, and the evidence says how much was not.
TEST(ResultsEvidence, FramesChunksAndSaysWhatTheCapCut) {
    using namespace results::evidence;
    Recorder recorder;
    recorder.note(0, QStringLiteral("port /dev/ttyS1 opened at 9600,n,8,1"));
    recorder.add(Kind::Received, 5, "$GPGGA,1*00\r\n$GPG");
    recorder.add(Kind::Received, 7, "SA,2*00\r\n");
    recorder.add(Kind::Sent, 9, std::string_view("\xa0\xa2\x00\x19\r\n", 6));
    recorder.add(Kind::Received, 5000000, "$GPRMC*11\r\n");
    const QByteArray framed = recorder.take();
    QString why;
    const auto chunks = parse(framed, &why);
    ASSERT_TRUE(chunks) << why.toStdString();
    ASSERT_EQ(chunks->size(), 5u);
    EXPECT_EQ(chunks->at(3).bytes, QByteArray("\xa0\xa2\x00\x19\r\n", 6));
    EXPECT_EQ(received(*chunks), "$GPGGA,1*00\r\n$GPGSA,2*00\r\n$GPRMC*11\r\n");
    EXPECT_EQ(text(*chunks), QStringLiteral("    0.000 s  #  port /dev/ttyS1 opened at 9600,n,8,1\n"
                                            "    0.005 s  <  $GPGGA,1*00\n"
                                            "    0.005 s  <  $GPGSA,2*00\n"
                                            "    0.007 s  ~  nothing received for 5000.0 s\n"
                                            "    0.009 s  >  \\xa0\\xa2\\x00\\x19\n"
                                            " 5000.000 s  <  $GPRMC*11\n"));
    // A silence is timed from the last bytes received, up to the next or to the
    // evidence's last record; one shorter than kSilenceMs is none.
    const std::vector<Chunk> quiet = {{Kind::Note, 0, "opened"},
                                      {Kind::Received, 1999, "a"},
                                      {Kind::Sent, 2500, "b"},
                                      {Kind::Received, 4000, "c"},
                                      {Kind::Note, 16000, "test ended: no-data"}};
    std::vector<std::tuple<quint32, quint32, bool>> found;
    for (const Silence& x : silences(quiet)) found.emplace_back(x.fromMs, x.toMs, x.toEnd);
    EXPECT_EQ(found, (std::vector<std::tuple<quint32, quint32, bool>>{{1999, 4000, false},
                                                                      {4000, 16000, true}}));
    EXPECT_TRUE(
        text(quiet).endsWith("    4.000 s  ~  nothing received for 12.0 s\n"
                             "   16.000 s  #  test ended: no-data\n"))
        << text(quiet).toStdString();
    EXPECT_EQ(recorder.take(), header());  // each test's evidence begins anew

    Recorder capped(header().size() + 9 + 10);
    capped.add(Kind::Received, 1, "0123456789");
    capped.add(Kind::Received, 2, "abcde");
    capped.add(Kind::Sent, 3, "xyz");
    capped.add(Kind::Received, 4, "fg");
    EXPECT_TRUE(capped.cut());
    const auto cut = parse(capped.take(), &why);
    ASSERT_TRUE(cut && cut->size() == 2u) << why.toStdString();
    EXPECT_EQ(cut->at(0).bytes, "0123456789");
    EXPECT_EQ(cut->at(1).kind, Kind::Note);
    EXPECT_EQ(cut->at(1).ms, 2u);
    EXPECT_TRUE(cut->at(1).bytes.contains("7 bytes received and 3 sent"))
        << cut->at(1).bytes.data();

    const QByteArray h = header();
    const struct {
        QByteArray framed;
        const char* why;
    } broken[] = {
        {"gps-coldstart results 1\n", "does not begin with"},
        {h + QByteArray("R\0\0\0", 4), "cut short at byte 25"},
        {h + QByteArray("X\0\0\0\0\0\0\0\0", 9), "byte 25 is not a record's kind"},
        {h + QByteArray("R\0\0\0\0\0\0\0\x64", 9) + "abc", "runs past the end"},
    };
    for (const auto& b : broken) {
        why.clear();
        EXPECT_FALSE(parse(b.framed, &why));
        EXPECT_TRUE(why.contains(QLatin1String(b.why))) << why.toStdString();
    }
}

// The store's evidence is packed as qCompress packs it, so files written
// before and after read alike; the one stream kept between calls starts
// afresh each time, whatever the last call left in it.
TEST(ResultsEvidence, PackedAsQCompressPacksCallAfterCall) {
    QByteArray noise;
    for (quint32 x = 7; noise.size() < 300000;) {
        x = x * 1664525u + 1013904223u;
        noise += char(x >> 24);
    }
    QByteArray sentences;
    while (sentences.size() < 200000)
        sentences += "$GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,,,,*47\r\n";
    results::Packer packer;
    for (const QByteArray& bytes : {sentences, QByteArray("x"), noise, QByteArray(),
                                    sentences.left(999), noise.left(70000)}) {
        const QByteArray packed = packer.pack(bytes);
        EXPECT_EQ(packed, qCompress(bytes)) << bytes.size() << " bytes";
        EXPECT_EQ(qUncompress(packed), bytes);
    }
}

// Evidence kept with its result comes back byte for byte on either engine,
// and bytes that are not the ones its row's SHA-256 names never do;
// retention removes the oldest past the cap and what is older than its days,
// says so, leaves the rows marked, and the report counts them.  (Written back
// by the CLI, not recorded, and removed by days on a station: cli_test.)
TEST_P(ResultsReport, EvidenceRoundTripsAndRetentionSaysWhatGoes) {
    const QString db = own("evidence");
    auto store = this->db.open(db);
    ASSERT_TRUE(store);
    // Incompressible bytes of every value, so that the sizes kept are known.
    const auto bytes = [](int size, quint32 seed) {
        QByteArray out = evidence::header();
        for (quint32 x = seed; out.size() < size;) {
            x = x * 1664525u + 1013904223u;
            out += char(x >> 24);
        }
        return out;
    };
    const QByteArray framed[] = {bytes(20000, 1), bytes(5000, 2), bytes(5000, 3)};
    QString why;
    for (int i = 0; i < 3; ++i) {
        QJsonObject r = sampleResult(QStringLiteral("ev"), i);
        r.insert("id", QStringLiteral("ev-%1").arg(i));
        ASSERT_EQ(store->save(r, framed[i]), Store::Saved::Stored);
        EXPECT_EQ(r.value("evidence_sha256").toString(), evidence::sha256(framed[i]));
        const auto found = store->evidence(r.value("id").toString(), &why);
        ASSERT_TRUE(found) << why.toStdString();
        EXPECT_EQ(found->state, Store::Evidence::State::Kept);
        EXPECT_TRUE(found->framed == framed[i]) << i;
    }
    QJsonObject without = sampleResult(QStringLiteral("ev"), 9);
    ASSERT_EQ(store->save(without), Store::Saved::Stored);
    QSqlQuery q(store->database());
    q.prepare("UPDATE evidence SET bytes = ? WHERE result_id = 'ev-2'");
    q.addBindValue(qCompress(framed[1]));
    ASSERT_TRUE(q.exec());
    EXPECT_EQ(store->evidence("ev-2", &why)->state, Store::Evidence::State::Damaged);

    // The report's page holds none of it (nothing from outside: htmlreport_test).
    const QString shown = reportPage({"--db", db});
    for (const QString& kept : {QStringLiteral("ev-0"), QString(evidence::header().trimmed()),
                                evidence::sha256(framed[0])})
        EXPECT_FALSE(shown.contains(kept)) << kept.toStdString();

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const struct {
        int days;
        QDateTime at;
        QStringList says;  // none: nothing removed, nothing said
    } rounds[] = {
        {0, now, {"evidence of 1 results", "cap of 12000"}},
        {1, now.addDays(2), {"evidence of 2 results", "more than 1 days"}},
        {1, now.addDays(2), {}},
    };
    for (const auto& r : rounds) {
        QStringList said;
        ASSERT_TRUE(store->applyRetention({r.days, 12000}, r.at, &said, &why)) << why.toStdString();
        EXPECT_EQ(said.size(), r.says.isEmpty() ? 0 : 1) << said.join('\n').toStdString();
        for (const QString& part : r.says)
            EXPECT_TRUE(said.value(0).contains(part)) << said.value(0).toStdString();
        if (&r == rounds) {  // the cap takes the oldest only
            EXPECT_EQ(store->evidence("ev-0", &why)->state, Store::Evidence::State::Removed);
            EXPECT_EQ(store->evidence("ev-1", &why)->state, Store::Evidence::State::Kept);
        }
    }
    EXPECT_EQ(storedRows(store->database()).size(), 4);
    EXPECT_EQ(reportJson({"--db", db})["evidence_removed"].toInt(), 3);
    QString err;
    EXPECT_EQ(report({"--db", db, "--evidence", "ev-0", "-"}, nullptr, &err), 3);
    EXPECT_TRUE(err.contains("ev-0 was removed by retention on " + now.toString("yyyy-MM-dd")))
        << err.toStdString();
}

// A unit's result named as a person has it at hand: the unit's serial (its
// latest result, or one of a cycle or a start), the id or the id's beginning;
// each mistake said.  Its bytes as text begin with the unit, its slot, its
// verdict and times, and the silences.
TEST_P(ResultsReport, AResultIsFoundBySerialOrByTheBeginningOfItsId) {
    const QString target = own("lookup");
    auto store = db.open(target);
    ASSERT_TRUE(store);
    const struct {
        const char *id, *started;
        int cycle;
        const char* result;
    } runs[] = {{"aaaa1111-0", "2026-12-07T08:00:00.000Z", 1, "fail"},
                {"aaaa2222-0", "2026-12-07T08:01:00.000Z", 2, "pass"},
                {"bbbb3333-0", "2026-12-07T09:00:00.000Z", 1, "pass"}};
    evidence::Recorder recorder;
    recorder.note(0, QStringLiteral("port /dev/ttyUSB3 opened at 9600,n,8,1"));
    recorder.note(12000, QStringLiteral("test ended: no-data"));
    for (const auto& r : runs) {
        QJsonObject o{
            {"id", r.id},         {"unit", "SN1"},
            {"station", "s-1"},   {"port", "/dev/ttyUSB3"},
            {"cycle", r.cycle},   {"started", r.started},
            {"ended", r.started}, {"result", r.result},
            {"lot", "L9"},        {"reason", QLatin1String(*r.result == 'f' ? "no-data" : "ok")},
            {"status", "No data"}};
        ASSERT_EQ(store->save(o, *r.result == 'f' ? recorder.take() : QByteArray()),
                  Store::Saved::Stored);
    }
    const struct {
        const char* key;
        Pick pick;
        const char* id;  // "": a mistake
        const char* said;
    } cases[] = {
        {"SN1", {}, "bbbb3333-0", "unit SN1 has 3 such results; this is the latest"},
        {"SN1", {2, {}}, "aaaa2222-0", ""},
        {"SN1", {1, {}}, "bbbb3333-0", "2 such results"},
        {"SN1", {{}, "2026-12-07T08:00"}, "aaaa1111-0", ""},
        {"SN1", {5, {}}, "", "unit SN1 has no result of that cycle; its results: 2026-12-07T09"},
        {"aaaa2", {}, "aaaa2222-0", ""},
        {"aaaa", {}, "", "2 ids begin with \"aaaa\"; give more of the one meant: aaaa1111-0"},
        {"aaa", {}, "", "at least 4 characters"},
        {"bbbb3333-0", {1, {}}, "", "is a result's id"},
        {"SN9", {1, {}}, "", "no unit has the serial \"SN9\""},
    };
    for (const auto& c : cases) {
        QString why;
        const auto found = findResult(store->database(), c.key, c.pick, true, &why);
        ASSERT_TRUE(found) << why.toStdString();
        EXPECT_EQ(found->row ? found->row->id : QString(), QLatin1String(c.id)) << c.key;
        EXPECT_TRUE((*c.id ? found->note : found->mistake).contains(QLatin1String(c.said)))
            << c.key << ": " << (found->note + found->mistake).toStdString();
    }

    const QString file = db.dir.filePath(QStringLiteral("sn1.txt"));
    QString err;
    ASSERT_EQ(
        report({"--db", target, "--evidence-text", "SN1", "--started", "2026-12-07T08:00", file},
               nullptr, &err),
        0)
        << err.toStdString();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(
        text.startsWith("Unit SN1, cycle 1, lot L9\nSlot /dev/ttyUSB3 of station s-1\n"
                        "Verdict fail, no-data: No data\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("Silence: nothing received for 12.0 s, from 0.0 s to the end\n") &&
                text.contains("    0.000 s  ~  nothing received for 12.0 s\n"))
        << text.toStdString();
}

// A lot's report (text, JSON, page) lists the units whose latest test failed,
// with the result to read each one's bytes by; a unit that passed its retest
// and a station fault are not among them.
TEST_P(ResultsReport, ALotsReportListsItsFailedUnits) {
    const QJsonArray l1 = reportJson({"--db", target, "--lot", "L1"})["failed_units"].toArray();
    ASSERT_EQ(l1.size(), 1);
    EXPECT_EQ(l1[0].toObject(), (QJsonObject{{"unit", "U2"},
                                             {"station", "bench-1"},
                                             {"port", ""},
                                             {"reason", "ttff-over-limit"},
                                             {"id", "row-7"},
                                             {"started", "2026-12-03T11:00:00.000Z"},
                                             {"failures", 1}}));
    const QJsonArray l2 = reportJson({"--db", target, "--lot", "L2"})["failed_units"].toArray();
    ASSERT_EQ(l2.size(), 1);
    EXPECT_EQ(l2[0]["id"].toString(), "row-4");
    EXPECT_FALSE(reportJson({"--db", target}).contains("failed_units"));
    const QString text = reportText({"--db", target, "--lot", "L2"});
    EXPECT_TRUE(text.contains("\nFailed units (their latest test failed): 1\n  U3 ") &&
                text.contains("row-4"))
        << text.toStdString();
    const QString page = reportPage({"--db", target, "--lot", "L1"});
    EXPECT_TRUE(page.contains("<section id=\"failed-units\">") && page.contains(">row-7<"));
    EXPECT_FALSE(reportPage({"--db", target}).contains("failed-units"));
}

// Each limit's result is kept with its result, in the same transaction and
// through the spool alike, and read back wherever a unit's result is shown:
// its lookup, its evidence's heading, the failed units' text, JSON and page.
// A database of the step before has the table added and its results kept,
// without limits' results.
TEST_P(ResultsReport, EachLimitsResultIsKeptAndShown) {
    const QString target = own("limits");
    auto store = db.open(target);
    ASSERT_TRUE(store);
    {  // a result kept before limits' results were
        QJsonObject old{{"id", "old-1"},
                        {"unit", "SN6"},
                        {"lot", "L7"},
                        {"result", "fail"},
                        {"reason", "no-fix"}};
        QString why;
        ASSERT_EQ(store->saveBatch({old}, &why), 1) << why.toStdString();
        QSqlQuery q(store->database());
        ASSERT_TRUE(q.exec("DROP TABLE limit_results") && q.exec("DROP TABLE spc_baselines") &&
                    q.exec("DROP TABLE alarms") && q.exec("DROP INDEX results_evidence_removed") &&
                    q.exec("DELETE FROM schema_version WHERE version > 15"));
        for (const FieldRow& row : kFields) {  // the later steps' columns
            if (row.column && row.since > 16) {
                ASSERT_TRUE(q.exec(QStringLiteral("ALTER TABLE results DROP COLUMN %1")
                                       .arg(QLatin1String(row.name))));
            }
        }
        ASSERT_TRUE(q.exec("ALTER TABLE calibrations DROP COLUMN level_dbm"));
    }
    store.reset();
    store = db.open(target);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->schemaVersion(), latestSchemaVersion());
    using L = LimitOutcome;
    const std::vector<LimitResult> judged = {
        {Measure::Ttff, 22.04, {}, 15, L::Fail},
        {Measure::Satellites, 8, 4, {}, L::Pass},
        {Measure::SignalCn0, {}, 40, 50, L::NotMeasured},
        {Measure::Hdop, 2.5, {}, 2, L::Fail},
    };
    const auto result = [&](const char* id, const char* unit) {
        return QJsonObject{{"id", id},
                           {"unit", unit},
                           {"lot", "L7"},
                           {"started", QStringLiteral("2026-12-08T10:00:00.000Z")},
                           {"result", "fail"},
                           {"reason", "ttff-over-limit"},
                           {"limit_results", limitResultsJson(judged)}};
    };
    evidence::Recorder recorder;
    recorder.note(0, QStringLiteral("test ended: ttff-over-limit"));
    QJsonObject saved = result("lim-1", "SN7");
    ASSERT_EQ(store->save(saved, recorder.take()), Store::Saved::Stored);
    // The spool's line, moved in at the next opening.
    QString why;
    const QString spool = parseTarget(target, &why)->spoolPath();
    QDir().mkpath(QFileInfo(spool).path());
    QFile line(spool);
    ASSERT_TRUE(line.open(QIODevice::WriteOnly));
    line.write(QJsonDocument(result("lim-2", "SN8")).toJson(QJsonDocument::Compact) + '\n');
    line.close();
    store.reset();
    store = db.open(target);
    ASSERT_TRUE(store);
    EXPECT_FALSE(QFile::exists(spool));

    for (const char* unit : {"SN7", "SN8", "SN6"}) {
        const auto found = findResult(store->database(), unit, {}, true, &why);
        ASSERT_TRUE(found && found->row) << unit << why.toStdString();
        EXPECT_EQ(found->row->limits, qstrcmp(unit, "SN6") ? judged : std::vector<LimitResult>{})
            << unit;
    }
    const QString file = db.dir.filePath(QStringLiteral("sn7.txt"));
    ASSERT_EQ(report({"--db", target, "--evidence-text", "SN7", file}, nullptr, &why), 0)
        << why.toStdString();
    QFile text(file);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(text.readAll())
                    .contains("Limit fail: TTFF 22.0 s > 15 s\nLimit pass: 8 satellites >= 4\n"
                              "Limit not-measured: Signal C/N0 not measured (signal C/N0 from "
                              "40 to 50 dB-Hz)\nLimit fail: HDOP 2.5 > 2\n"));

    const QString listed = reportText({"--db", target, "--lot", "L7"});
    EXPECT_TRUE(listed.contains("lim-1\n    TTFF 22.0 s > 15 s\n    HDOP 2.5 > 2\n"))
        << listed.toStdString();
    const QJsonArray units = reportJson({"--db", target, "--lot", "L7"})["failed_units"].toArray();
    ASSERT_EQ(units.size(), 3);
    for (const QJsonValue& u : units)
        EXPECT_EQ(u["limit_results"].toArray().size(), u["unit"] == "SN6" ? 0 : 4);
    EXPECT_TRUE(reportPage({"--db", target, "--lot", "L7"})
                    .contains("TTFF 22.0 s &gt; 15 s; HDOP 2.5 &gt; 2"));
}

// A wrong run leaves a study unbalanced until it is struck: the strike is
// kept with who and why, the result stays, and the study's analysis, its
// text, JSON and its own page (without the line's figures) leave it out.  A
// run is struck once, and only a study's.
TEST_P(ResultsReport, AStruckRunIsLeftOutOfItsStudyAndKept) {
    const QString target = own("strike");
    QList<QJsonObject> objects;
    const double ttff[2][2][2] = {{{31, 32}, {33, 33.5}}, {{40, 41}, {41.5, 40.5}}};
    auto add = [&](const QString& unit, int slot, double value, const char* study) {
        objects << QJsonObject{{"id", QStringLiteral("run-%1").arg(objects.size())},
                               {"station", "bench-1"},
                               {"unit", unit},
                               {"port", QStringLiteral("/dev/ttyUSB%1").arg(slot)},
                               {"result", "pass"},
                               {"reason", "ok"},
                               {"ttff_s", value},
                               {"study", study},
                               {"started", QStringLiteral("2026-12-04T08:%1:00.000Z")
                                               .arg(objects.size(), 2, 10, QLatin1Char('0'))}};
    };
    for (int u = 0; u < 2; ++u)
        for (int s = 0; s < 2; ++s)
            for (double v : ttff[u][s]) add(QStringLiteral("G%1").arg(u + 1), s, v, "S2");
    add("G1", 0, 90, "S2");  // run-8: a third trial of G1 in slot 0
    add("P1", 0, 30, "");    // run-9: production
    QString why;
    ASSERT_EQ(db.open(target)->saveBatch(objects, &why), 10) << why.toStdString();
    const auto grr = [&] { return reportJson({"--db", target, "--grr", "S2"}); };
    const QJsonObject before = grr();
    EXPECT_TRUE(before["measures"]["ttff_s"]["error"].toString().contains("not balanced"));

    QString out, err;
    ASSERT_EQ(report({"--db", target, "--strike", "run-8", "--why", "wrong slot", "--by", "ann"},
                     &out, &err),
              0)
        << err.toStdString();
    EXPECT_TRUE(out.contains("Struck result run-8 (unit G1, /dev/ttyUSB0")) << out.toStdString();
    const QJsonObject after = grr();
    EXPECT_EQ(after["measures"]["ttff_s"]["trials"].toInt(), 2);
    const QJsonArray struck = after["struck"].toArray();
    ASSERT_EQ(struck.size(), 1);
    EXPECT_EQ(QStringList({struck[0]["id"].toString(), struck[0]["struck_by"].toString(),
                           struck[0]["why"].toString()}),
              QStringList({"run-8", "ann", "wrong slot"}));
    const QString page = reportPage({"--db", target, "--grr", "S2"});
    EXPECT_TRUE(page.contains("<h1>Gauge study</h1>") && page.contains("Struck runs") &&
                page.contains("wrong slot"));
    EXPECT_FALSE(page.contains("id=\"overall\"")) << "the line's figures are not the study's";

    const struct {
        const char* id;
        const char* said;
    } refused[] = {{"run-8", "result run-8 is already struck"},
                   {"run-9", "is a production result, not a study's run"},
                   {"zzzz", "no result has the id \"zzzz\""}};
    for (const auto& r : refused) {
        err.clear();
        EXPECT_EQ(report({"--db", target, "--strike", r.id, "--why", "again"}, nullptr, &err), 2);
        EXPECT_TRUE(err.contains(r.said)) << err.toStdString();
    }
    const auto store = db.open(target);
    EXPECT_EQ(storedRows(store->database()).size(), 10) << "a struck run's result stays";
}

// A calibration keeps the golden unit's front-end figures, each in its
// column; a refusal is a row of its own, an absent text empty.  (A slot's
// latest and previous calibrations: signal_test.)
TEST_P(ResultsReport, CalibrationFiguresAndRefusalsKeepTheirRows) {
    auto store = this->db.open(own("calibrations"));
    ASSERT_TRUE(store);
    Calibration c;
    c.time = QDateTime(QDate(2026, 12, 1), QTime(8, 0), Qt::UTC);
    c.station = "bench-1";
    c.port = "ttyUSB0";
    c.expected = 45;
    c.measured = 43.5;
    c.offset = 1.5;
    c.figures[Measure::Agc] = 600;
    c.figures[Measure::Jamming] = 12;
    QString why;
    ASSERT_TRUE(store->saveCalibration(c, nullptr, &why)) << why.toStdString();
    const auto kept = store->calibrations("bench-1", "ttyUSB0", 1, &why);
    ASSERT_TRUE(kept && kept->size() == 1) << why.toStdString();
    for (const MeasureRow& m : kMeasures) {
        if (m.golden) {
            EXPECT_EQ(kept->front().figures[m.measure], c.figures[m.measure]) << m.label;
        }
    }

    Refusal r;
    r.time = QDateTime(QDate(2026, 12, 1), QTime(9, 0), Qt::UTC);
    r.station = "bench-1";
    r.unit = "SN7";
    r.reason = "on hold";
    const auto a = store->saveRefusal(r, &why), b = store->saveRefusal(r, &why);
    ASSERT_TRUE(a && b) << why.toStdString();
    EXPECT_NE(*a, *b);
    QSqlQuery q(store->database());
    ASSERT_TRUE(q.exec("SELECT unit, reason, port FROM route_refusals ORDER BY id") && q.next());
    EXPECT_EQ(q.value(0).toString(), "SN7");
    EXPECT_EQ(q.value(1).toString(), "on hold");
    EXPECT_EQ(q.value(2).toString(), "") << "an absent text is empty, never NULL";
}

namespace {

int runCli(int (*command)(const QStringList&, QTextStream&, QTextStream&), const QStringList& args,
           QString* out) {
    QString o, e;
    int status;
    {
        QTextStream os(&o), es(&e);
        status = command(args, os, es);
    }
    if (out) *out = o + e;
    return status;
}

}  // namespace

// A slot's TTFF judged against the baseline an engineer froze: the result
// that breaks a rule carries the alarm it raised, kept in its transaction,
// and a rule that stays broken raises once; the station's own chart judges
// it too.  The golden offset's creep raises the CUSUM at the calibration
// that crosses its interval.  The slot is held until calibrated again or
// cleared, and the clearing is kept with who and why.
TEST_P(ResultsReport, ControlChartsRaiseAlarmsOnceWithTheirPoint) {
    const QString path = own(QStringLiteral("spc"));
    auto store = db.open(path);
    ASSERT_TRUE(store);
    const QString port = QStringLiteral("/dev/ttyUSB0");
    int minute = 0;
    auto save = [&](double ttff, const char* study = "") {
        QJsonObject r{{"station", "line-1"}, {"port", port},   {"lot", "L1"},   {"result", "pass"},
                      {"reason", "ok"},      {"ttff_s", ttff}, {"study", study}};
        r["started"] = QStringLiteral("2026-12-01T%1:%2:00.000Z")
                           .arg(8 + minute / 60, 2, 10, QLatin1Char('0'))
                           .arg(minute % 60, 2, 10, QLatin1Char('0'));
        ++minute;
        EXPECT_EQ(store->save(r), Store::Saved::Stored);
        QStringList raised;
        for (const QJsonValue& a : r.value("alarms").toArray())
            raised << a["port"].toString() + ' ' + a["chart"].toString() + ' ' +
                          a["rule"].toString();
        return raised;
    };
    // The baseline: mean 30 s, a moving range of 2 s, sigma 2 / 1.128.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(save(i % 2 ? 31 : 29), QStringList());
    QString said;
    ASSERT_EQ(runCli(cli::runSpc,
                     {"baseline", "--db", path, "--station", "line-1", "--slot", port, "--series",
                      "ttff", "--from", "2026-12-01", "--to", "2026-12-01T08:19:00Z", "--by", "qe"},
                     &said),
              0)
        << said.toStdString();
    EXPECT_TRUE(said.contains("20 points")) << said.toStdString();
    EXPECT_TRUE(said.contains("limits 24.681..35.319 s")) << said.toStdString();
    // Too few points is the engineer's mistake, named.
    EXPECT_EQ(runCli(cli::runSpc,
                     {"baseline", "--db", path, "--station", "line-1", "--series", "ttff", "--lot",
                      "nope", "--by", "qe"},
                     &said),
              2);
    EXPECT_TRUE(said.contains("0 point(s) of TTFF")) << said.toStdString();
    // The station's own chart needs its own baseline; only the slot's judges.
    // Two of three beyond 2 sigma (3.55 s) raise we2 at the second; then
    // four of five beyond 1 sigma at the fourth; the run stays broken and
    // raises nothing more until eight on one side.
    EXPECT_EQ(save(34), QStringList());
    EXPECT_EQ(save(34), QStringList({port + " ttff we2"}));
    EXPECT_EQ(save(32), QStringList());
    EXPECT_EQ(save(32), QStringList({port + " ttff we3"}));
    EXPECT_EQ(save(32), QStringList());
    EXPECT_EQ(save(32), QStringList());
    EXPECT_EQ(save(31), QStringList());
    EXPECT_EQ(save(31), QStringList({port + " ttff we4"}));
    // A gauge study's run is no point of the line's chart: not judged, and
    // no neighbour of the next unit's.
    EXPECT_EQ(save(90, "GRR-1"), QStringList());
    EXPECT_EQ(save(31), QStringList());
    EXPECT_EQ(save(45), QStringList({port + " ttff we1", port + " ttff-mr we1"}));

    QString why;
    auto held = store->spc().held("line-1", port, &why);
    ASSERT_TRUE(held) << why.toStdString();
    EXPECT_TRUE(*held);

    // The golden offset: ten calibrations about 1.5 dB (sigma 0.2 / 1.128
    // dB), frozen, then a creep of about 0.05 dB a calibration: four of
    // five beyond 1 sigma and the EWMA at the sixth, the CUSUM at the
    // seventh, two of three beyond 2 sigma and eight on one side at the
    // eighth.
    Calibration c;
    c.station = "line-1";
    c.port = port;
    c.expected = 45;
    auto calibrate = [&](int day, double offset) {
        c.time = QDateTime(QDate(2026, 12, day), QTime(7, 0), Qt::UTC);
        c.offset = offset;
        c.measured = c.expected - offset;
        QStringList alarms;
        EXPECT_TRUE(store->saveCalibration(c, nullptr, &why, &alarms)) << why.toStdString();
        return alarms;
    };
    for (int day = 2; day < 12; ++day) calibrate(day, day % 2 ? 1.6 : 1.4);
    ASSERT_EQ(runCli(cli::runSpc,
                     {"baseline", "--db", path, "--station", "line-1", "--slot", port, "--series",
                      "offset", "--from", "2026-12-02", "--to", "2026-12-11", "--by", "qe", "--why",
                      "after the fixture's repair"},
                     &said),
              0)
        << said.toStdString();
    using L = QStringList;
    const std::vector<std::pair<double, L>> creep = {{1.55, {}},
                                                     {1.6, {}},
                                                     {1.7, {}},
                                                     {1.75, {}},
                                                     {1.8, {}},
                                                     {1.85, {"offset we3", "offset-ewma ewma"}},
                                                     {1.9, {"offset-cusum cusum"}},
                                                     {1.95, {"offset we2", "offset we4"}}};
    int day = 12;
    for (const auto& [offset, raised] : creep)
        EXPECT_EQ(calibrate(day++, offset), raised) << offset;
    // Calibrated again: the TTFF alarms no longer hold the slot, but the
    // last calibration's own do, until cleared.
    held = store->spc().held("line-1", port, &why);
    ASSERT_TRUE(held);
    EXPECT_TRUE(*held);
    ASSERT_EQ(runCli(cli::runAlarms,
                     {"clear", "--db", path, "--station", "line-1", "--slot", port, "--by", "qe",
                      "--why", "golden unit swapped"},
                     &said),
              0)
        << said.toStdString();
    EXPECT_TRUE(said.contains("10 alarm(s) cleared by qe")) << said.toStdString();
    held = store->spc().held("line-1", port, &why);
    ASSERT_TRUE(held);
    EXPECT_FALSE(*held);
    EXPECT_EQ(
        runCli(cli::runAlarms,
               {"clear", "--db", path, "--station", "line-1", "--slot", port, "--by", "qe"}, &said),
        2);
    EXPECT_TRUE(said.contains("--why TEXT")) << said.toStdString();

    const QJsonArray listed =
        QJsonDocument::fromJson(reportText({"--db", path, "--alarms", "--json"}).toUtf8())
            .object()["alarms"]
            .toArray();
    ASSERT_EQ(listed.size(), 10);
    EXPECT_EQ(listed[0]["rule"], "we2");
    EXPECT_FALSE(listed[0]["result_id"].toString().isEmpty());
    EXPECT_EQ(listed[9]["chart"], "offset");
    EXPECT_EQ(listed[9]["rule"], "we4");
    EXPECT_TRUE(listed[9]["calibration_id"].isDouble());
    EXPECT_EQ(listed[9]["cleared_by"], "qe");
    EXPECT_EQ(listed[9]["cleared_why"], "golden unit swapped");
    // The page draws each chart with its limits and rings the points that
    // broke a rule.
    const QString page = reportPage({"--db", path});
    EXPECT_TRUE(page.contains("line-1 " + port + ": golden offset, CUSUM")) << page.toStdString();
    EXPECT_TRUE(page.contains("line-1 " + port + ": TTFF, individuals"));
    const QString text = reportText({"--db", path, "--alarms"});
    EXPECT_TRUE(text.contains(port + "  offset-cusum cusum (CUSUM beyond its decision interval)"))
        << text.toStdString();

    // Another slot's yield per lot: a baseline lot failing one unit in four
    // is judged from 28 units (lower limit above zero).  A lot failing every
    // other unit, the first among them, is beyond its upper limit at 25
    // and 27 units already, but raises at 28 only, once, and holds the slot.
    // A baseline that failed nothing gives the chart no width: named.
    EXPECT_EQ(runCli(cli::runSpc,
                     {"baseline", "--db", path, "--station", "line-1", "--slot", port, "--series",
                      "yield", "--lot", "L1", "--by", "qe"},
                     &said),
              2);
    EXPECT_TRUE(said.contains("0 of the 30 unit(s) in the baseline named failed"))
        << said.toStdString();
    const QString other = QStringLiteral("/dev/ttyUSB1");
    auto unit = [&](const QString& lot, bool fails) {
        QJsonObject r{{"station", "line-1"},
                      {"port", other},
                      {"lot", lot},
                      {"result", fails ? "fail" : "pass"},
                      {"reason", fails ? "too-few-satellites" : "ok"}};
        if (!fails) r["ttff_s"] = 30;
        r["started"] = QStringLiteral("2026-12-21T%1:%2:00.000Z")
                           .arg(8 + minute / 60, 2, 10, QLatin1Char('0'))
                           .arg(minute % 60, 2, 10, QLatin1Char('0'));
        ++minute;
        EXPECT_EQ(store->save(r), Store::Saved::Stored);
        return r.value("alarms").toArray().size();
    };
    for (int i = 0; i < 40; ++i) unit("B1", i % 4 == 0);
    ASSERT_EQ(runCli(cli::runSpc,
                     {"baseline", "--db", path, "--station", "line-1", "--slot", other, "--series",
                      "yield", "--lot", "B1", "--by", "qe"},
                     &said),
              0)
        << said.toStdString();
    std::vector<int> raisedAt;
    for (int n = 1; n <= 32; ++n)
        if (unit("B2", n % 2)) raisedAt.push_back(n);
    EXPECT_EQ(raisedAt, std::vector<int>{28});
    held = store->spc().held("line-1", other, &why);
    ASSERT_TRUE(held);
    EXPECT_TRUE(*held);
    const QString yieldText = reportText({"--db", path, "--alarms"});
    EXPECT_TRUE(yieldText.contains(
        other + "  yield p-limit (the lot's proportion failed beyond its limits), 0.500  open"))
        << yieldText.toStdString();
    EXPECT_TRUE(
        reportPage({"--db", path}).contains("line-1 " + other + ": yield per lot, p-chart"));
}
