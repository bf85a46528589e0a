// The results store and report on real SQLite files.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QTemporaryDir>
#include <cmath>

#include "results/report.h"
#include "results_helpers.h"
#include "results_sample.h"

using namespace results;
using namespace results::testing;

namespace {

struct Db {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.sqlite"));
    QStringList warnings;
    std::unique_ptr<Store> open(int busyTimeoutMs = 10000) {
        QString why;
        Store::Options o;
        o.busyTimeoutMs = busyTimeoutMs;
        Target t;
        t.path = path;
        auto s = Store::open(t, &why, o, [this](const QString& w) { warnings << w; });
        EXPECT_TRUE(s) << why.toStdString();
        return s;
    }
};

int report(const QStringList& args, QString* out, QString* err = nullptr) {
    QString o, e;
    QTextStream os(&o), es(&e);
    const int status = runReport(args, os, es);
    os.flush();
    es.flush();
    if (out) *out = o;
    if (err) *err = e;
    return status;
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
        EXPECT_EQ(t.has_value(), c.display != nullptr) << c.arg;
        if (t) {
            EXPECT_EQ(t->display().toStdString(), c.display);
        }
        EXPECT_TRUE(why.contains(QLatin1String(c.error))) << c.arg << " -> " << why.toStdString();
        EXPECT_FALSE(why.contains(QLatin1String("hunter2"))) << why.toStdString();
    }
    EXPECT_TRUE(parseTarget(QStringLiteral("rel/r.sqlite"), nullptr)->path.startsWith('/'));
}

TEST(ResultsStore, CreatesReopensAndKeepsEveryField) {
    Db db;
    QJsonObject r = sampleResult(QStringLiteral("b1"), 4);  // a failure: nulls in it
    r.remove(QStringLiteral("id"));
    r.insert(QStringLiteral("started"), QStringLiteral("2026-12-07T02:02:03.456+01:00"));
    {
        auto s = db.open();
        EXPECT_EQ(s->schemaVersion(), latestSchemaVersion());
        EXPECT_EQ(s->save(r), Store::Saved::Stored);
        EXPECT_EQ(s->save(r), Store::Saved::Stored);  // the same id again
    }
    auto s = db.open();
    EXPECT_EQ(s->schemaVersion(), latestSchemaVersion());
    QSqlQuery q(s->database());
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT * FROM results")));
    ASSERT_TRUE(q.next());
    EXPECT_FALSE(QUuid::fromString(q.value(QStringLiteral("id")).toString()).isNull());
    EXPECT_EQ(q.value(QStringLiteral("id")).toString(), r.value(QStringLiteral("id")).toString());
    EXPECT_EQ(q.value(QStringLiteral("started")).toString(), "2026-12-07T01:02:03.456Z");
    EXPECT_EQ(q.value(QStringLiteral("limits")).toString(), R"({"max_ttff_s":60,"min_sats":4})");
    for (const Column& c : resultColumns()) {
        const QString name = QLatin1String(c.name);
        if (name == "id" || name == "started" || name == "limits") continue;
        const QVariant v = q.value(name);
        const QJsonValue want = r.value(name);
        if (want.isNull())
            EXPECT_TRUE(v.isNull()) << c.name;
        else if (want.isBool())
            EXPECT_EQ(v.toBool(), want.toBool()) << c.name;
        else if (want.isDouble())
            EXPECT_EQ(v.toDouble(), want.toDouble()) << c.name;
        else
            EXPECT_EQ(v.toString(), want.toString()) << c.name;
    }
    EXPECT_FALSE(q.next()) << "one row per id";
}

TEST(ResultsStore, RefusesADatabaseItCannotUse) {
    QTemporaryDir dir;
    const QString garbage = dir.filePath(QStringLiteral("garbage.sqlite"));
    QFile f(garbage);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    const QString newer = dir.filePath(QStringLiteral("newer.sqlite"));
    {
        Target t;
        t.path = newer;
        QString why;
        auto s = Store::open(t, &why);
        QSqlQuery(s->database()).exec(QStringLiteral("INSERT INTO schema_version VALUES (99, '')"));
    }
    struct Case {
        QString path;
        bool create;
        const char* error;
    } cases[] = {
        {garbage, true, "not a database"},
        {newer, true, "newer than this program"},
        {dir.filePath(QStringLiteral("absent.sqlite")), false, "no such file"},
        {garbage + QStringLiteral("/under-a-file.sqlite"), true, "cannot create the folder"},
    };
    for (const Case& c : cases) {
        Target t;
        t.path = c.path;
        Store::Options o;
        o.create = c.create;
        QString why;
        EXPECT_FALSE(Store::open(t, &why, o)) << c.error;
        EXPECT_TRUE(why.contains(c.path)) << why.toStdString();
        EXPECT_TRUE(why.contains(QLatin1String(c.error))) << why.toStdString();
    }
}

TEST(ResultsStore, SeveralProcessesWriteOneFile) {
    Db db;
    concurrentWriters(db.path, 4, 150);
}

// A writer killed at any moment leaves whole rows only, and every id it
// printed is stored.
TEST(ResultsStore, KillLeavesWholeRows) {
    Db db;
    int expected = 0;
    for (int kill : {1, 17, 60}) {
        auto p = startWriter(db.path, QStringLiteral("k%1").arg(kill), 1000000);
        QByteArray out;
        ASSERT_TRUE(waitUntil([&] {
            p->waitForReadyRead(10);
            out += p->readAllStandardOutput();
            return out.count('\n') >= kill;
        }));
        ::kill(static_cast<pid_t>(p->processId()), SIGKILL);
        p->waitForFinished();
        out += p->readAllStandardOutput();
        auto s = db.open();
        const auto stored = storedIds(s->database());
        for (const QByteArray& line : out.split('\n'))
            if (line.size() > 2) {
                EXPECT_TRUE(stored.contains(QString::fromLatin1(line.mid(2))));
            }
        expected = stored.size();
        QSqlQuery q(s->database());
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next());
        EXPECT_EQ(q.value(0).toString(), "ok");
        ASSERT_TRUE(
            q.exec(QStringLiteral("SELECT station, cycle, unit, status, limits, version "
                                  "FROM results")));
        while (q.next()) {
            const QJsonObject want = sampleResult(q.value(0).toString(), q.value(1).toInt());
            EXPECT_EQ(q.value(2).toString(), want.value("unit").toString());
            EXPECT_EQ(q.value(3).toString(), want.value("status").toString());
            EXPECT_FALSE(q.value(4).isNull());
            EXPECT_EQ(q.value(5).toString(), "2.0.0");
        }
    }
    EXPECT_GE(expected, 1 + 17 + 60);
}

// A database that stops taking writes mid-run: results go to the spool with
// one warning, and the next start moves them in once.
TEST(ResultsStore, SpoolsWhileTheDatabaseFailsAndMovesItInOnce) {
    Db db;
    auto s = db.open(50);
    QJsonObject first = sampleResult(QStringLiteral("b"), 0);
    ASSERT_EQ(s->save(first), Store::Saved::Stored);
    {
        QSqlDatabase blocker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "blocker");
        blocker.setDatabaseName(db.path);
        ASSERT_TRUE(blocker.open());
        QSqlQuery hold(blocker);
        ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")))
            << hold.lastError().text().toStdString();
        for (int i = 1; i < 4; ++i) {
            QJsonObject r = sampleResult(QStringLiteral("b"), i);
            EXPECT_EQ(s->save(r), Store::Saved::Spooled);
        }
        EXPECT_EQ(db.warnings.size(), 1);
        EXPECT_TRUE(db.warnings.value(0).contains(db.path + ".spool"));
        hold.exec(QStringLiteral("ROLLBACK"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("blocker"));
    s.reset();
    // A spooled line for a result already stored, and a line cut by a kill.
    QFile spool(db.path + ".spool");
    ASSERT_TRUE(spool.open(QIODevice::Append));
    spool.write(QJsonDocument(first).toJson(QJsonDocument::Compact) + "\n{\"id\":\"cut-sh");
    spool.close();
    s = db.open();
    EXPECT_FALSE(QFile::exists(db.path + ".spool"));
    const auto stored = storedIds(s->database());
    EXPECT_EQ(stored.size(), 4);
    EXPECT_EQ(maxCount(stored), 1);
    EXPECT_TRUE(db.warnings.last().contains("moved 3 spooled results"))
        << db.warnings.last().toStdString();
    EXPECT_TRUE(db.warnings.last().contains("1 were already there, 1 unfinished"));
}

// Known rows and their figures, worked out by hand.
class ResultsReport : public ::testing::Test {
protected:
    void SetUp() override {
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
            objects << QJsonObject{{"station", r.station},
                                   {"unit", r.unit},
                                   {"lot", r.lot},
                                   {"started", r.started},
                                   {"result", r.result},
                                   {"reason", r.reason},
                                   {"ttff_s", r.ttff < 0 ? QJsonValue() : QJsonValue(r.ttff)},
                                   {"status", "Cold Start, \"OK\"\nnext"}};
        }
        QString why;
        ASSERT_EQ(db.open()->saveBatch(objects, &why), 8) << why.toStdString();
    }
    Db db;
};

TEST_F(ResultsReport, FiguresMatchTheHandCount) {
    struct Case {
        QStringList args;
        const char* scope;  // "overall" or a station
        int results, tested, passed, firstPass, ttffCount;
        double mean, median, p95, max;
    } cases[] = {
        {{}, "overall", 8, 4, 3, 2, 6, 260.0 / 6, 35, 90, 90},
        {{}, "bench-1", 4, 2, 2, 1, 3, 160.0 / 3, 40, 90, 90},
        {{}, "bench-2", 4, 2, 1, 1, 3, 100.0 / 3, 20, 70, 70},
        {{"--lot", "L1"}, "overall", 4, 2, 2, 1, 3, 160.0 / 3, 40, 90, 90},
        {{"--station", "bench-2"}, "overall", 4, 2, 1, 1, 3, 100.0 / 3, 20, 70, 70},
        {{"--since", "2026-12-02", "--until", "2026-12-02"},
         "overall",
         3,
         2,
         1,
         1,
         2,
         40,
         40,
         70,
         70},
        {{"--unit", "U1"}, "overall", 2, 1, 1, 0, 1, 30, 30, 30, 30},
        {{"--since", "2026-12-01T09:00:00Z", "--until", "2026-12-01T10:00:00Z"},
         "overall",
         2,
         2,
         2,
         2,
         2,
         35,
         35,
         40,
         40},
        {{"--since", "2027-01-01"}, "overall", 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        QString out, err;
        ASSERT_EQ(report(QStringList{"--db", db.path, "--json"} + c.args, &out, &err), 0)
            << err.toStdString();
        const QJsonObject all = QJsonDocument::fromJson(out.toUtf8()).object();
        const QJsonObject f = QLatin1String(c.scope) == QLatin1String("overall")
                                  ? all["overall"].toObject()
                                  : all["stations"][c.scope].toObject();
        const std::string what = (c.args.join(' ') + " " + c.scope).toStdString();
        EXPECT_EQ(f["results"].toInt(), c.results) << what;
        EXPECT_EQ(f["units_tested"].toInt(), c.tested) << what;
        EXPECT_EQ(f["units_passed"].toInt(), c.passed) << what;
        EXPECT_EQ(f["units_first_pass"].toInt(), c.firstPass) << what;
        const QJsonObject t = f["ttff_s"].toObject();
        EXPECT_EQ(t["count"].toInt(), c.ttffCount) << what;
        EXPECT_NEAR(t["mean"].toDouble(), c.mean, 1e-9) << what;
        EXPECT_EQ(t["median"].toDouble(), c.median) << what;
        EXPECT_EQ(t["p95"].toDouble(), c.p95) << what;
        EXPECT_EQ(t["max"].toDouble(), c.max) << what;
    }
    QString out;
    ASSERT_EQ(report({"--db", db.path, "--json"}, &out), 0);
    const QJsonArray failures =
        QJsonDocument::fromJson(out.toUtf8())["overall"]["failures"].toArray();
    ASSERT_EQ(failures.size(), 3);
    EXPECT_EQ(failures[0].toObject(),
              (QJsonObject{{"result", "fail"}, {"reason", "ttff-over-limit"}, {"count", 2}}));
    EXPECT_EQ(
        failures[2].toObject(),
        (QJsonObject{{"result", "station-fault"}, {"reason", "port-unavailable"}, {"count", 1}}));
    ASSERT_EQ(report({"--db", db.path}, &out), 0);
    EXPECT_TRUE(out.contains("First-pass yield   50.0 %  (2 of 4 units passed their first test)"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("median 35.00  p95 90.00")) << out.toStdString();
}

// RFC 4180: fields split at commas outside quotes, "" inside quotes is ".
QList<QStringList> readCsv(const QString& text) {
    QList<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"')
            field += text[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            rows.last() << std::exchange(field, QString());
        else if (!quoted && c == '\r')
            continue;
        else if (!quoted && c == '\n')
            rows.last() << std::exchange(field, QString()), rows << QStringList();
        else
            field += c;
    }
    if (rows.last().isEmpty()) rows.removeLast();
    return rows;
}

TEST_F(ResultsReport, CsvReadsBack) {
    const QString file = db.dir.filePath(QStringLiteral("out.csv"));
    ASSERT_EQ(report({"--db", db.path, "--csv", file, "--station", "bench-2"}, nullptr), 0);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const auto rows = readCsv(QString::fromUtf8(f.readAll()));
    ASSERT_EQ(rows.size(), 1 + 4);
    const QStringList& header = rows[0];
    EXPECT_EQ(header.size(), int(resultColumns().size()) + 1);
    for (int i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), header.size());
        const auto field = [&](const char* name) { return rows[i][header.indexOf(name)]; };
        EXPECT_EQ(field("station"), "bench-2");
        EXPECT_EQ(field("status"), "Cold Start, \"OK\"\nnext");
    }
    EXPECT_EQ(rows[1][header.indexOf("ttff_s")], "10");
    EXPECT_EQ(rows[3][header.indexOf("ttff_s")], "");
    EXPECT_EQ(rows[3][header.indexOf("reason")], "port-unavailable");
}

TEST_F(ResultsReport, NamesEachMistake) {
    struct Case {
        QStringList args;
        int status;
        const char* error;
    } cases[] = {
        {{"--since", "2026-13-01"}, 2, "--since \"2026-13-01\" is not a date"},
        {{"--since", "2026-12-03", "--until", "2026-12-01"}, 2, "--since is after --until"},
        {{"--csv", "x.csv", "--json"}, 2, "not both"},
        {{"--bogus"}, 2, "bogus"},
        {{"extra"}, 2, "unexpected argument \"extra\""},
        {{"--db", "postgresql://u:hunter2@h/d"}, 2, "PGPASSWORD"},
        {{"--db", "/nonexistent/r.sqlite"}, 3, "/nonexistent/r.sqlite: no such file"},
        {{"--csv", "/nonexistent/out.csv"}, 3, "cannot write /nonexistent/out.csv"},
    };
    for (const Case& c : cases) {
        QStringList args = c.args;
        if (!args.contains("--db")) args << "--db" << db.path;
        QString err;
        EXPECT_EQ(report(args, nullptr, &err), c.status) << c.error;
        EXPECT_TRUE(err.contains(QLatin1String(c.error))) << err.toStdString();
        EXPECT_FALSE(err.contains("hunter2"));
    }
}
