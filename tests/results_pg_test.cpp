// The results store and report on a real PostgreSQL 15 server the test starts.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include "pgserver.h"
#include "results/report.h"
#include "results_helpers.h"
#include "results_sample.h"

using namespace results;
using namespace results::testing;

class ResultsPg : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!PgServer::available()) return;
        dataHome = new QTemporaryDir;
        qputenv("XDG_DATA_HOME", dataHome->path().toUtf8());
        qputenv("PGPASSWORD", PgServer::kPassword);
        server = new PgServer;
    }
    static void TearDownTestSuite() {
        delete server;
        delete dataHome;
    }
    void SetUp() override {
        if (!PgServer::available())
            GTEST_SKIP() << "PostgreSQL 15 is not installed (no "
                         << PgServer::binDir().toStdString()
                         << "/initdb): the PostgreSQL tests are skipped";
        ASSERT_TRUE(server->ok()) << server->error().toStdString();
    }
    static std::unique_ptr<Store> open(const QString& db, QStringList* warnings) {
        QString why;
        auto s = Store::open(*parseTarget(server->url(db), &why), &why, Store::Options(),
                             [warnings](const QString& w) { *warnings << w; });
        EXPECT_TRUE(s) << why.toStdString();
        return s;
    }
    static PgServer* server;
    static QTemporaryDir* dataHome;
};
PgServer* ResultsPg::server = nullptr;
QTemporaryDir* ResultsPg::dataHome = nullptr;

TEST_F(ResultsPg, FourProcessesAtOnce) {
    ASSERT_TRUE(server->psql("CREATE DATABASE line1")) << server->error().toStdString();
    concurrentWriters(server->url("line1"), 4, 100);
    // The report's SQL on this engine: four in five sample results pass.
    QString out, err;
    QTextStream os(&out), es(&err);
    ASSERT_EQ(runReport({"--db", server->url("line1"), "--json"}, os, es), kReportOk)
        << err.toStdString();
    os.flush();
    const QJsonObject overall = QJsonDocument::fromJson(out.toUtf8())["overall"].toObject();
    EXPECT_EQ(overall["units_tested"].toInt(), 400);
    EXPECT_EQ(overall["units_first_pass"].toInt(), 320);
    EXPECT_EQ(overall["ttff_s"]["count"].toInt(), 320);
    EXPECT_EQ(overall["ttff_s"]["max"].toDouble(), 58.5);
}

TEST_F(ResultsPg, ServerStoppedMidRunSpoolsAndArrivesOnce) {
    ASSERT_TRUE(server->psql("CREATE DATABASE line2")) << server->error().toStdString();
    QStringList warnings;
    auto s = open("line2", &warnings);
    ASSERT_TRUE(s);
    const QString spool = s->target().spoolPath();
    EXPECT_TRUE(spool.startsWith(dataHome->path() + "/gps-coldstart/spool/"))
        << spool.toStdString();
    for (int i = 0; i < 6; ++i) {
        if (i == 3) {
            ASSERT_TRUE(server->stop()) << server->error().toStdString();
        }
        QJsonObject r = sampleResult("pg", i);
        EXPECT_EQ(s->save(r), i < 3 ? Store::Saved::Stored : Store::Saved::Spooled) << i;
    }
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains(spool));
    EXPECT_FALSE(warnings[0].contains(PgServer::kPassword));
    s.reset();
    ASSERT_TRUE(server->start()) << server->error().toStdString();
    for (int reopen = 0; reopen < 2; ++reopen) {
        s = open("line2", &warnings);
        ASSERT_TRUE(s);
        EXPECT_FALSE(QFile::exists(spool));
        const auto stored = storedIds(s->database());
        EXPECT_EQ(stored.size(), 6);
        EXPECT_EQ(maxCount(stored), 1);
    }
    EXPECT_TRUE(warnings.last().contains("moved 3 spooled results"))
        << warnings.last().toStdString();
}

TEST_F(ResultsPg, RefusesClearlyWithoutShowingThePassword) {
    struct Case {
        const char* password;
        const char* db;
        const char* error;
    } cases[] = {
        {"wrong-pw-1", "postgres", "password authentication failed"},
        {PgServer::kPassword, "absentdb", "\"absentdb\" does not exist"},
    };
    for (const Case& c : cases) {
        qputenv("PGPASSWORD", c.password);
        QString out, err;
        QTextStream os(&out), es(&err);
        EXPECT_EQ(runReport({"--db", server->url(c.db)}, os, es), kReportDatabase) << c.error;
        es.flush();
        EXPECT_TRUE(err.contains(server->url(c.db))) << err.toStdString();
        EXPECT_TRUE(err.contains(c.error)) << err.toStdString();
        EXPECT_FALSE(err.contains(c.password)) << err.toStdString();
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
}
