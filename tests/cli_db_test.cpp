// gps-coldstart-cli with its results database: one that cannot be opened, and
// a line's PostgreSQL server that stations share and that fails during a run.
#include "clirun.h"
#include "pgserver.h"

namespace {

using namespace clirun;
using results::testing::PgServer;

TEST(CliDatabase, LineServerAndItsOutage) {
    if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PgServer server;
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    Bench bench;
    // Refused before any port opens, naming the database but not the password.
    struct Refusal {
        const char* password;
        QString db;
        const char* error;
    } refusals[] = {
        {"wrong-secret", server.url("postgres"), "password authentication failed"},
        {PgServer::kPassword, server.url("absentdb"), "\"absentdb\" does not exist"},
        {PgServer::kPassword, "/proc/no-such-folder/results.sqlite",
         "cannot create the folder /proc/no-such-folder"},
    };
    for (const Refusal& r : refusals) {
        qputenv("PGPASSWORD", r.password);
        Cli refused;
        refused.start({"--db", r.db, bench.add(r.db, receiver(Behaviour::Normal))});
        EXPECT_EQ(refused.finish(20000), 3);
        const QString message = QString::fromStdString(refused.progressText());
        EXPECT_TRUE(message.contains(r.db) && message.contains(r.error)) << message.toStdString();
        EXPECT_FALSE(message.contains(r.password)) << message.toStdString();
        EXPECT_EQ(0, bench.starts(r.db));
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    const QString url = server.url("postgres");
    Cli a, b;
    a.start({"--json", "--quiet", "--db", url, "--station", "s-a", "--lot", "L-1",
             bench.add("a", receiver(Behaviour::Normal))});
    b.start({"--json", "--quiet", "--db", url, "--station", "s-b", "--operator", "kim",
             bench.add("b", receiver(Behaviour::Silent))});
    EXPECT_EQ(a.finish(60000), 0);
    EXPECT_EQ(b.finish(60000), 1);
    EXPECT_EQ(a.objects().at(0).value("lot").toString(), "L-1");
    EXPECT_EQ(b.objects().at(0).value("operator").toString(), "kim");

    // The server goes down during a run: the results are spooled with one
    // warning, printed, and moved in once the server is back.
    Cli c;
    c.start({"--json", "--db", url, "--station", "s-c",
             bench.add("c1", receiver(Behaviour::Normal)),
             bench.add("c2", receiver(Behaviour::Normal))});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return c.progressText().find("UTC Time") != std::string::npos; }, 30000));
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(c.finish(60000), 4);
    ASSERT_EQ(c.objects().size(), 2u);
    const QString warning = QString::fromStdString(c.progressText());
    EXPECT_EQ(warning.count(c.dataHome.path() + "/gps-coldstart/spool/"), 1) << c.progressText();
    EXPECT_FALSE(warning.contains(PgServer::kPassword));
    ASSERT_TRUE(server.start());
    QStringList printed;
    for (Cli* run : {&a, &b, &c})
        for (const QJsonObject& o : run->objects()) printed << o.value("id").toString();
    // Every printed id is stored once.
    QProcess report;  // as the same user: the spool is in that user's data folder
    report.setProcessEnvironment(c.process.processEnvironment());
    report.start(COLDSTART_CLI, {"report", "--db", url, "--csv", "-"});
    ASSERT_TRUE(report.waitForFinished(30000));
    EXPECT_EQ(report.exitCode(), 0) << report.readAllStandardError().toStdString();
    const QByteArray csv = report.readAllStandardOutput();
    EXPECT_EQ(csv.count("\r\n"), 1 + 4) << csv.toStdString();
    for (const QString& id : printed)
        EXPECT_TRUE(!id.isEmpty() && csv.contains(id.toUtf8())) << id.toStdString();
}

}  // namespace
