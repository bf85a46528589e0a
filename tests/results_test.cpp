// The results store and report on real SQLite files, and the report's figures
// also on a PostgreSQL 15 server the test starts.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "pgserver.h"
#include "results/report.h"
#include "results/store.h"
#include "results_sample.h"

using namespace results;
using results::testing::PgServer;
using results::testing::sampleResult;

namespace {

struct Db {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.sqlite"));
    QStringList warnings;
    std::unique_ptr<Store> open(const QString& db = {}, int busyTimeoutMs = 10000) {
        QString why;
        Store::Options o;
        o.busyTimeoutMs = busyTimeoutMs;
        auto s = Store::open(*parseTarget(db.isEmpty() ? path : db, &why), &why, o,
                             [this](const QString& w) { warnings << w; });
        EXPECT_TRUE(s) << why.toStdString();
        return s;
    }
};

QStringList storedIds(const QSqlDatabase& db) {
    QStringList ids;
    QSqlQuery q(db);
    EXPECT_TRUE(q.exec(QStringLiteral("SELECT id FROM results")));
    while (q.next()) ids << q.value(0).toString();
    return ids;
}

// A stored value as the JSON value it was saved from.
QJsonValue asJson(const QVariant& v, Column::Kind kind) {
    if (v.isNull()) return QJsonValue();
    if (kind == Column::Kind::Json) return QJsonDocument::fromJson(v.toByteArray()).object();
    if (kind == Column::Kind::Bool) return v.toBool();
    return QJsonValue::fromVariant(v);
}

int report(const QStringList& args, QString* out, QString* err = nullptr) {
    QString o, e;
    QTextStream os(out ? out : &o), es(err ? err : &e);
    return runReport(args, os, es);  // each stream flushes its text when it goes
}

}  // namespace

TEST(ResultsTarget, ParsesOrNamesTheMistake) {
    struct Case {
        const char* arg;
        const char* display;  // nullptr: rejected
        const char* error;
    } cases[] = {
        {"postgresql://line@db.local/results", "postgresql://line@db.local:5432/results", ""},
        {"postgres://line@10.0.0.5:6543/r", "postgresql://line@10.0.0.5:6543/r", ""},
        {"postgresql://line@%2Ftmp%2Fpg/r", "postgresql://line@%2Ftmp%2Fpg:5432/r", ""},
        {"postgresql://line:hunter2@db/r", nullptr, "PGPASSWORD"},
        {"postgresql://db.local/results", nullptr, "no USER@"},
        {"postgresql://line@db.local", nullptr, "no /DBNAME"},
        {"postgresql://line@db.local:99999/r", nullptr, "port \"99999\""},
        {"postgresql://line@:5432/r", nullptr, "host is empty"},
        {"mysql://line@db/r", nullptr, "unknown kind"},
        {"", nullptr, "empty"},
        {"/tmp", nullptr, "is a folder"},
    };
    for (const Case& c : cases) {
        QString why;
        const auto t = parseTarget(QString::fromUtf8(c.arg), &why);
        EXPECT_EQ(t ? t->display().toStdString() : "", c.display ? c.display : "") << c.arg;
        EXPECT_TRUE(why.contains(QLatin1String(c.error))) << c.arg << " -> " << why.toStdString();
        EXPECT_FALSE(why.contains(QLatin1String("hunter2"))) << why.toStdString();
    }
    EXPECT_TRUE(parseTarget(QStringLiteral("rel/r.sqlite"), nullptr)->path.startsWith('/'));
}

// Writers at once on one file each wait their turn: none spools.
TEST(ResultsStore, SeveralWritersShareOneFile) {
    Db db;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int w = 0; w < 4; ++w) {
        writers.push_back(std::make_unique<QProcess>());
        writers.back()->start(QStringLiteral(RESULTS_WRITER), {db.path, QString::number(w), "150"});
    }
    QByteArray out;
    for (auto& p : writers) {
        EXPECT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0);
        out += p->readAllStandardOutput();
    }
    EXPECT_EQ(out.count('\n'), 600);
    EXPECT_FALSE(out.contains("P ")) << "spooled while another wrote";
    EXPECT_EQ(storedIds(db.open()->database()).size(), 600);
}

// A writer killed at any moment leaves whole rows only: every id it printed
// is stored, and every field of every row reads back as it was given.
TEST(ResultsStore, KillLeavesWholeRowsWithEveryField) {
    Db db;
    for (int kill : {1, 17, 60}) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(RESULTS_WRITER), {db.path, QString::number(kill), "1000000"});
        QByteArray out;
        const QDeadlineTimer limit(60000);
        while (out.count('\n') < kill && p.state() != QProcess::NotRunning && !limit.hasExpired())
            if (p.waitForReadyRead(100)) out += p.readAllStandardOutput();
        ASSERT_GE(out.count('\n'), kill) << "the writer stopped or stalled";
        ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
        p.waitForFinished();
        out += p.readAllStandardOutput();
        auto s = db.open();
        EXPECT_EQ(s->schemaVersion(), latestSchemaVersion());
        const QStringList stored = storedIds(s->database());
        for (const QByteArray& line : out.split('\n'))
            if (line.size() > 2) {
                EXPECT_TRUE(stored.contains(QString::fromLatin1(line.mid(2))));
            }
        QSqlQuery q(s->database());
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next());
        EXPECT_EQ(q.value(0).toString(), "ok");
        ASSERT_TRUE(q.exec(
            QStringLiteral("SELECT * FROM results WHERE station = '%1' ORDER BY seq").arg(kill)));
        int rows = 0;
        for (; q.next(); ++rows) {
            const QJsonObject want = sampleResult(q.value("station").toString(), rows);
            for (const Column& c : resultColumns())
                if (c.name != QLatin1String("id")) {
                    EXPECT_EQ(asJson(q.value(c.name), c.kind), want[c.name]) << c.name << rows;
                }
        }
        EXPECT_GE(rows, kill);
    }
}

// A database that stops taking writes mid-run: results go to the spool with
// one warning, and the next start moves them in once, skipping a result
// already stored and a last line cut by a kill.
TEST(ResultsStore, SpoolsWhileTheDatabaseFailsAndMovesItInOnce) {
    Db db;
    auto s = db.open({}, 50);
    QJsonObject first = sampleResult(QStringLiteral("b"), 0);
    ASSERT_EQ(s->save(first), Store::Saved::Stored);
    {
        QSqlDatabase blocker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "blocker");
        blocker.setDatabaseName(db.path);
        ASSERT_TRUE(blocker.open());
        QSqlQuery hold(blocker);
        ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        for (int i = 1; i < 4; ++i) {
            QJsonObject r = sampleResult(QStringLiteral("b"), i);
            EXPECT_EQ(s->save(r), Store::Saved::Spooled);
        }
        hold.exec(QStringLiteral("ROLLBACK"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("blocker"));
    ASSERT_EQ(db.warnings.size(), 1);
    EXPECT_TRUE(db.warnings[0].contains(db.path + ".spool")) << db.warnings[0].toStdString();
    s.reset();
    QFile spool(db.path + ".spool");
    ASSERT_TRUE(spool.open(QIODevice::Append));
    spool.write(QJsonDocument(first).toJson(QJsonDocument::Compact) + "\n{\"id\":\"cut-sh");
    spool.close();
    ASSERT_TRUE(s = db.open());
    EXPECT_FALSE(QFile::exists(db.path + ".spool"));
    EXPECT_EQ(storedIds(s->database()).size(), 4);
    EXPECT_TRUE(db.warnings.last().contains("moved 3 spooled results"))
        << db.warnings.last().toStdString();
    EXPECT_TRUE(db.warnings.last().contains("1 were already there, 1 unfinished"));
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
            // Fixed ids: the server's rows are stored once for all the tests.
            objects << QJsonObject{{"id", QStringLiteral("row-%1").arg(objects.size())},
                                   {"station", r.station},
                                   {"unit", r.unit},
                                   {"lot", r.lot},
                                   {"started", r.started},
                                   {"result", r.result},
                                   {"reason", r.reason},
                                   {"ttff_s", r.ttff < 0 ? QJsonValue() : QJsonValue(r.ttff)},
                                   {"status", "Cold Start, \"OK\"\nnext"}};
        }
        QString why;
        ASSERT_GE(db.open(target)->saveBatch(objects, &why), 0) << why.toStdString();
    }
    Db db;
    QString target = db.path;
    static PgServer* pg;
};
PgServer* ResultsReport::pg = nullptr;
INSTANTIATE_TEST_SUITE_P(Engines, ResultsReport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

TEST_P(ResultsReport, FiguresMatchTheHandCount) {
    struct Case {
        const char* args;
        const char* station;  // "": overall
        double results, tested, passed, firstPass, ttffCount, mean, median, p95, max;
    } cases[] = {
        {"", "", 8, 4, 3, 2, 6, 260.0 / 6, 35, 90, 90},
        {"", "bench-1", 4, 2, 2, 1, 3, 160.0 / 3, 40, 90, 90},
        {"", "bench-2", 4, 2, 1, 1, 3, 100.0 / 3, 20, 70, 70},
        {"--lot L1", "", 4, 2, 2, 1, 3, 160.0 / 3, 40, 90, 90},
        {"--station bench-2", "", 4, 2, 1, 1, 3, 100.0 / 3, 20, 70, 70},
        {"--since 2026-12-02 --until 2026-12-02", "", 3, 2, 1, 1, 2, 40, 40, 70, 70},
        {"--unit U1", "", 2, 1, 1, 0, 1, 30, 30, 30, 30},
        {"--since 2026-12-01T09:00:00Z --until 2026-12-01T10:00:00Z", "", 2, 2, 2, 2, 2, 35, 35, 40,
         40},
        {"--since 2027-01-01", "", 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        QString out, err;
        const QStringList args = QString::fromLatin1(c.args).split(' ', Qt::SkipEmptyParts);
        ASSERT_EQ(report(QStringList{"--db", target, "--json"} + args, &out, &err), 0)
            << err.toStdString();
        const QJsonObject all = QJsonDocument::fromJson(out.toUtf8()).object();
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
    QString out;
    ASSERT_EQ(report({"--db", target, "--json"}, &out), 0);
    const QJsonArray failures =
        QJsonDocument::fromJson(out.toUtf8())["overall"]["failures"].toArray();
    ASSERT_EQ(failures.size(), 3);
    EXPECT_EQ(failures[0].toObject(),
              (QJsonObject{{"result", "fail"}, {"reason", "ttff-over-limit"}, {"count", 2}}));
    EXPECT_EQ(
        failures[2].toObject(),
        (QJsonObject{{"result", "station-fault"}, {"reason", "port-unavailable"}, {"count", 1}}));
    ASSERT_EQ(report({"--db", target}, &out), 0);
    EXPECT_TRUE(out.contains("First-pass yield   50.0 %  (2 of 4 units passed their first test)"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("median 35.00  p95 90.00")) << out.toStdString();
}

// Rows of a CSV text: a quoted field may hold commas, line ends and "" for ".
QList<QStringList> readCsv(const QString& text) {
    static const QRegularExpression field(
        QStringLiteral(R"(("(?:[^"]|"")*"|[^",\r\n]*)(,|\r?\n))"));
    QList<QStringList> rows(1);
    for (auto it = field.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString f = m.captured(1);
        rows.last() << (f.startsWith('"') ? f.mid(1, f.size() - 2).replace("\"\"", "\"") : f);
        if (m.captured(2) != ",") rows << QStringList();
    }
    rows.removeLast();
    return rows;
}

TEST_P(ResultsReport, CsvReadsBack) {
    const QString file = db.dir.filePath(QStringLiteral("out.csv"));
    ASSERT_EQ(report({"--db", target, "--csv", file, "--station", "bench-2"}, nullptr), 0);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const auto rows = readCsv(QString::fromUtf8(f.readAll()));
    ASSERT_EQ(rows.size(), 1 + 4);
    const QStringList& header = rows[0];
    EXPECT_EQ(header.size(), int(resultColumns().size()) + 1);
    for (int i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), header.size());
        EXPECT_EQ(rows[i][header.indexOf("station")], "bench-2");
        EXPECT_EQ(rows[i][header.indexOf("status")], "Cold Start, \"OK\"\nnext");
    }
    EXPECT_EQ(rows[1][header.indexOf("ttff_s")], "10");
    EXPECT_EQ(rows[3][header.indexOf("ttff_s")], "");
    EXPECT_EQ(rows[3][header.indexOf("reason")], "port-unavailable");
}

// The report's usage and database mistakes, named; the engine does not matter.
TEST(ResultsReportUsage, NamesEachMistake) {
    Db db;
    const QString target = db.path;
    db.open();
    const QString garbage = db.dir.filePath(QStringLiteral("garbage.sqlite"));
    QFile f(garbage);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4096, 'x')) == 4096);
    f.close();
    const QString newer = db.dir.filePath(QStringLiteral("newer.sqlite"));
    QSqlQuery(db.open(newer)->database()).exec("INSERT INTO schema_version VALUES (99, '')");
    struct Case {
        QStringList args;
        int status;
        QString error;
    } cases[] = {
        {{"--since", "2026-13-01"}, 2, "--since \"2026-13-01\" is not a date"},
        {{"--since", "2026-12-03", "--until", "2026-12-01"}, 2, "--since is after --until"},
        {{"--csv", "x.csv", "--json"}, 2, "not both"},
        {{"--bogus"}, 2, "bogus"},
        {{"extra"}, 2, "unexpected argument \"extra\""},
        {{"--db", "/nonexistent/r.sqlite"}, 3, "/nonexistent/r.sqlite: no such file"},
        {{"--db", garbage}, 3, garbage + ": file is not a database"},
        {{"--db", newer}, 3, newer + ": its schema is version 99, newer than"},
        {{"--csv", "/nonexistent/out.csv"}, 3, "cannot write /nonexistent/out.csv"},
    };
    for (const Case& c : cases) {
        QString err;
        EXPECT_EQ(report(QStringList{"--db", target} + c.args, nullptr, &err), c.status)
            << c.error.toStdString();
        EXPECT_TRUE(err.contains(c.error)) << err.toStdString();
    }
}
