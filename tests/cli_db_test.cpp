// gps-coldstart-cli with its results database: stations sharing one SQLite
// file, a database that cannot be opened, and a line's PostgreSQL server that
// fails during a run.
#include <QSqlDatabase>
#include <QSqlQuery>

#include "clirun.h"
#include "pgserver.h"

namespace {

using namespace clirun;
using results::testing::PgServer;

// The ids printed by the runs, as the file holds them.
QStringList storedIds(const QString& file) {
    QStringList ids;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query("SELECT id FROM results ORDER BY id", db);
            while (query.next()) ids << query.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase("check");
    return ids;
}

TEST(CliDatabase, TwoStationsShareOneSqliteFile) {
    QTemporaryDir dir;
    const QString file = dir.filePath("line.sqlite");
    Bench bench;
    Cli a, b;
    a.start({"--json", "--quiet", "--db", file, "--lot", "L-1",
             bench.add("a1", receiver(Behaviour::Normal)),
             bench.add("a2", receiver(Behaviour::Normal))});
    b.start({"--json", "--quiet", "--db", file, "--operator", "kim",
             bench.add("b1", receiver(Behaviour::Normal)),
             bench.add("b2", receiver(Behaviour::Silent))});
    EXPECT_EQ(a.finish(60000), 0);
    EXPECT_EQ(b.finish(60000), 1);
    QStringList printed;
    for (Cli* run : {&a, &b})
        for (const QJsonObject& o : run->objects()) printed << o.value("id").toString();
    printed.sort();
    ASSERT_EQ(printed.size(), 4);
    EXPECT_EQ(storedIds(file), printed);
    EXPECT_EQ(a.objects().at(0).value("lot").toString(), "L-1");
    EXPECT_EQ(b.objects().at(0).value("operator").toString(), "kim");
}

// A database that cannot take results stops the run before any port opens.
TEST(CliDatabase, AnUnusableDatabaseOpensNoPort) {
    Bench bench;
    const QString port = bench.add("normal", receiver(Behaviour::Normal));
    Cli cli;
    cli.start({"--db", "/proc/no-such-folder/results.sqlite", port});
    EXPECT_EQ(cli.finish(10000), 3);
    EXPECT_NE(cli.progressText().find("/proc/no-such-folder/results.sqlite: cannot create the "
                                      "folder /proc/no-such-folder"),
              std::string::npos)
        << cli.progressText();
    EXPECT_TRUE(cli.objects().empty());
    EXPECT_EQ(0, bench.starts("normal"));
}

TEST(CliDatabase, LineServerAndItsOutage) {
    if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PgServer server;
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    Bench bench;
    // Refused before any port opens, naming the database but not the password.
    struct Refusal {
        const char *password, *db, *error;
    } refusals[] = {
        {"wrong-secret", "postgres", "password authentication failed"},
        {PgServer::kPassword, "absentdb", "\"absentdb\" does not exist"},
    };
    for (const Refusal& r : refusals) {
        qputenv("PGPASSWORD", r.password);
        Cli refused;
        refused.start({"--db", server.url(r.db), bench.add(r.db, receiver(Behaviour::Normal))});
        EXPECT_EQ(refused.finish(20000), 3);
        const QString message = QString::fromStdString(refused.progressText());
        EXPECT_TRUE(message.contains(server.url(r.db)) && message.contains(r.error))
            << message.toStdString();
        EXPECT_FALSE(message.contains(r.password)) << message.toStdString();
        EXPECT_EQ(0, bench.starts(r.db));
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    const QString url = server.url("postgres");
    Cli a, b;
    a.start({"--json", "--quiet", "--db", url, "--station", "s-a",
             bench.add("a", receiver(Behaviour::Normal))});
    b.start({"--json", "--quiet", "--db", url, "--station", "s-b",
             bench.add("b", receiver(Behaviour::Normal))});
    EXPECT_EQ(a.finish(60000), 0);
    EXPECT_EQ(b.finish(60000), 0);

    // The server goes down during a run: the result is spooled, printed, and
    // moved in once the server is back.
    Cli c;
    c.start(
        {"--json", "--db", url, "--station", "s-c", bench.add("c", receiver(Behaviour::Normal))});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return c.progressText().find("UTC Time") != std::string::npos; }, 30000));
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(c.finish(60000), 4);
    ASSERT_EQ(c.objects().size(), 1u);
    const QString warning = QString::fromStdString(c.progressText());
    EXPECT_TRUE(warning.contains(c.dataHome.path() + "/gps-coldstart/spool/")) << c.progressText();
    EXPECT_FALSE(warning.contains(PgServer::kPassword));
    ASSERT_TRUE(server.start());
    for (int run = 0; run < 2; ++run) {  // the second finds nothing more to move in
        QProcess report;  // as the same user: the spool is in that user's data folder
        report.setProcessEnvironment(c.process.processEnvironment());
        report.start(COLDSTART_CLI, {"report", "--db", url, "--json"});
        ASSERT_TRUE(report.waitForFinished(30000));
        EXPECT_EQ(report.exitCode(), 0) << report.readAllStandardError().toStdString();
        const QJsonObject overall = QJsonDocument::fromJson(report.readAllStandardOutput())
                                        .object()
                                        .value("overall")
                                        .toObject();
        EXPECT_EQ(overall.value("results").toInt(), 3);
        EXPECT_EQ(overall.value("outcomes").toObject().value("pass").toInt(), 3);
    }
}

}  // namespace
