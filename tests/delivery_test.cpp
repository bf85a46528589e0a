// Telling the line every result: the decisions alone, the queue in SQLite and
// PostgreSQL, and gps-coldstart-cli delivering to a real HTTP server in this
// process and to commands.  A line's system down "for a minute" is down here
// for a few attempts, the back-off (--deliver-retry, --deliver-retry-max) set
// to fractions of a second.
#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <optional>
#include <tuple>

#include "clirun.h"
#include "results/deliverer.h"
#include "results/delivery.h"
#include "results/store.h"
#include "results/storeworker.h"
#include "testkit/pgserver.h"
#include "testkit/results_sample.h"

using namespace clirun;
using results::testing::PgServer;
using results::testing::sampleResult;

namespace {

// --- The decisions ---------------------------------------------------------

TEST(DeliveryDecisions, BackOffDoublesUpToItsCap) {
    struct Case {
        int attempts;
        double base, cap, expected;
    } cases[] = {
        {0, 5, 300, 0},     {1, 5, 300, 5},     {2, 5, 300, 10},     {3, 5, 300, 20},
        {6, 5, 300, 160},   {7, 5, 300, 300},   {9999, 5, 300, 300}, {1, 0.2, 0.5, 0.2},
        {2, 0.2, 0.5, 0.4}, {3, 0.2, 0.5, 0.5},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(results::retryDelayS(c.attempts, c.base, c.cap), c.expected)
            << "after " << c.attempts << " failures, base " << c.base << " cap " << c.cap;
}

TEST(DeliveryDecisions, OnlyTheOldestIsTriedAndOnlyWhenDue) {
    const QDateTime now = QDateTime::fromString("2026-12-08T08:00:00.000Z", Qt::ISODateWithMs);
    const auto head = [](const QDateTime& nextAt) {
        results::Delivery d;
        d.nextAt = nextAt;
        return std::optional<results::Delivery>(d);
    };
    struct Case {
        const char* name;
        std::optional<results::Delivery> head;
        results::Step::Kind kind;
        qint64 waitMs;
    } cases[] = {
        {"empty queue", std::nullopt, results::Step::Idle, 0},
        {"due in the past", head(now.addSecs(-3)), results::Step::Attempt, 0},
        {"due now", head(now), results::Step::Attempt, 0},
        {"never tried", head(QDateTime()), results::Step::Attempt, 0},
        {"backing off", head(now.addMSecs(2500)), results::Step::Wait, 2500},
    };
    for (const Case& c : cases) {
        const results::Step step = results::nextStep(c.head, now);
        EXPECT_EQ(step.kind, c.kind) << c.name;
        EXPECT_EQ(step.waitMs, c.waitMs) << c.name;
    }
}

TEST(DeliveryDecisions, WhatAnAttemptCameTo) {
    const auto command = [](int code, QByteArray out, QByteArray err = {}) {
        results::CommandEnd end;
        end.exitCode = code;
        end.output = std::move(out);
        end.errors = std::move(err);
        return results::commandAttempted(end, 30);
    };
    results::CommandEnd timedOut, crashed, notStarted;
    timedOut.timedOut = true;
    timedOut.errors = "waiting for the MES\n";
    crashed.crashed = true;
    notStarted.started = false;
    notStarted.startError = "No such file or directory";
    const auto http = [](int status, QByteArray body, QString error = {}) {
        return results::httpAttempted({status, std::move(error), std::move(body)});
    };
    struct Case {
        const char* name;
        results::Attempted attempted;
        bool delivered, rerun;
        const char* error;
    } cases[] = {
        {"exit 0, nothing said", command(0, ""), true, false, ""},
        {"exit 0, re-run", command(0, " {\"rerun\": true}\n"), true, true, ""},
        {"exit 0, rerun false", command(0, "{\"rerun\": false}"), true, false, ""},
        {"exit 0, other text", command(0, "rerun\n"), true, false, ""},
        {"exit 0, rerun not a bool", command(0, "{\"rerun\": \"yes\"}"), true, false, ""},
        {"exit 3 with errors", command(3, "{\"rerun\": true}", "a\nMES down\n\n"), false, false,
         "the command ended with exit status 3: MES down"},
        {"exit 1, silent", command(1, ""), false, false, "the command ended with exit status 1"},
        {"timed out", results::commandAttempted(timedOut, 30), false, false,
         "no end within 30 s; the command was killed: waiting for the MES"},
        {"crashed", results::commandAttempted(crashed, 30), false, false, "the command crashed"},
        {"not started", results::commandAttempted(notStarted, 30), false, false,
         "the command could not be started (No such file or directory)"},
        {"200", http(200, "ok"), true, false, ""},
        {"201 re-run", http(201, "{\"rerun\":true}"), true, true, ""},
        {"204", http(204, ""), true, false, ""},
        {"500 re-run ignored", http(500, "{\"rerun\":true}"), false, false,
         "HTTP status 500: {\"rerun\":true}"},
        {"404", http(404, "no such station\n"), false, false, "HTTP status 404: no such station"},
        {"302 not followed", http(302, ""), false, false, "HTTP status 302"},
        {"refused", http(0, "", "Connection refused"), false, false,
         "no answer from the server (Connection refused)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.attempted.delivered, c.delivered) << c.name;
        EXPECT_EQ(c.attempted.rerun, c.rerun) << c.name;
        EXPECT_EQ(c.attempted.error, QString(c.error)) << c.name;
    }
}

// A target is named after its option and its place among that option's; an
// empty one is none.
TEST(DeliveryDecisions, TargetsNamedByOptionAndPlace) {
    QStringList named;
    for (const results::DeliveryTarget& t : results::deliveryTargets(
             {"print-label", "", "log-result"}, {"http://mes/r", "http://b/r"}))
        named << t.name + "=" + t.command + t.url;
    EXPECT_EQ(named, QStringList({"deliver=print-label", "deliver-2=log-result",
                                  "deliver-url=http://mes/r", "deliver-url-2=http://b/r"}));
}

// report --undelivered: each entry's target, its last attempt's time and
// error, and who makes the next: the running station when it is still to
// come, else the next start or `deliver`.
TEST(DeliveryDecisions, AnEntrySaysItsLastAttemptAndWhoMakesTheNext) {
    const QDateTime now = QDateTime::fromString("2026-12-08T08:00:00.000Z", Qt::ISODateWithMs);
    const auto entry = [&](int attempts, qint64 lastAgoS, qint64 nextInS, const char* error) {
        results::Delivery d;
        d.target = "deliver-url";
        d.resultId = "r-1";
        d.station = "bench-1";
        d.payload = R"({"unit": "SN-A", "port": "/dev/ttyUSB0", "result": "pass"})";
        d.queuedAt = now.addSecs(-600);
        d.attempts = attempts;
        if (lastAgoS >= 0) d.attemptedAt = now.addSecs(-lastAgoS);
        d.lastError = error;
        d.nextAt = now.addSecs(nextInS);
        return d;
    };
    const QString later =
        "with the next start of station bench-1 or gps-coldstart-cli deliver "
        "--station bench-1";
    struct Case {
        const char* name;
        results::Delivery entry;
        QString said;  // the entry's two lines after its first
    } cases[] = {
        {"never tried", entry(0, -1, -600, ""), "no attempt yet\n    next " + later},
        {"backing off", entry(3, 12, 40, "no answer from the server (Connection refused)"),
         "3 attempts, the last at 2026-12-08T07:59:48.000Z (12 s ago): no answer from the server "
         "(Connection refused)\n    next at 2026-12-08T08:00:40.000Z (in 40 s) if station "
         "bench-1 runs, else " +
             later},
        {"overdue: no station runs", entry(1, 7200, -7000, "HTTP status 503"),
         "1 attempt, the last at 2026-12-08T06:00:00.000Z (2 h ago): HTTP status 503\n    next " +
             later},
        {"kept before attempts were timed", entry(2, -1, -60, "HTTP status 503"),
         "2 attempts, the last at a time not recorded: HTTP status 503\n    next " + later},
    };
    for (const Case& c : cases) {
        const QString text = results::undeliveredText({c.entry}, now);
        EXPECT_EQ(text,
                  "1 result waits for delivery to the line, oldest first:\n"
                  "  2026-12-08T07:50:00.000Z  deliver-url  station bench-1  unit SN-A  "
                  "/dev/ttyUSB0  pass  id r-1\n    " +
                      c.said + "\n")
            << c.name;
    }
    EXPECT_EQ(results::undeliveredText({}, now), "0 results wait for delivery to the line.\n");
    EXPECT_EQ(results::undeliveredJson({cases[1].entry, cases[3].entry}),
              QJsonDocument::fromJson(R"json({"count": 2, "undelivered": [
        {"id": "r-1", "station": "bench-1", "target": "deliver-url", "unit": "SN-A",
         "port": "/dev/ttyUSB0", "result": "pass", "queued_at": "2026-12-08T07:50:00.000Z",
         "attempts": 3, "last_attempt_at": "2026-12-08T07:59:48.000Z",
         "last_error": "no answer from the server (Connection refused)",
         "next_attempt_at": "2026-12-08T08:00:40.000Z"},
        {"id": "r-1", "station": "bench-1", "target": "deliver-url", "unit": "SN-A",
         "port": "/dev/ttyUSB0", "result": "pass", "queued_at": "2026-12-08T07:50:00.000Z",
         "attempts": 2, "last_attempt_at": null, "last_error": "HTTP status 503",
         "next_attempt_at": "2026-12-08T07:59:00.000Z"}]})json")
                  .object());
}

// --- The queue in the results database ------------------------------------

// The queue in a SQLite file, or on the test's own PostgreSQL server.
class DeliveryQueue : public ::testing::TestWithParam<bool> {
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
            // Each test's own station: the server's queue outlives a test.
            station = QStringLiteral("pg-%1").arg(++run);
        }
    }
    std::unique_ptr<results::Store> open(const QStringList& targets) {
        QString why;
        const auto target =
            results::parseTarget(GetParam() ? pg->url("postgres") : dir.filePath("r.db"), &why);
        EXPECT_TRUE(target) << why.toStdString();
        results::Store::Options options;
        options.deliveries = targets;
        auto store = results::Store::open(*target, &why, options);
        EXPECT_TRUE(store) << why.toStdString();
        return store;
    }
    QTemporaryDir dir;
    QString station = QStringLiteral("bench-1");
    static PgServer* pg;
    static int run;
};
PgServer* DeliveryQueue::pg = nullptr;
int DeliveryQueue::run = 0;
INSTANTIATE_TEST_SUITE_P(Engines, DeliveryQueue, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

// Results kept while the station delivers join each target's queue in
// order; those kept before, or kept again, do not.  A failed attempt holds
// the head of its own target's queue only, with its error and its time.
TEST_P(DeliveryQueue, EachTargetsResultsWaitInOrderUntilDelivered) {
    QStringList ids;
    {
        auto quiet = open({});
        ASSERT_TRUE(quiet);
        QJsonObject before = sampleResult(station, 1);
        ASSERT_EQ(quiet->save(before), results::Store::Saved::Stored);
    }
    auto store = open({"deliver", "deliver-url"});
    ASSERT_TRUE(store);
    for (int i = 2; i <= 4; ++i) {
        QJsonObject r = sampleResult(station, i);
        ASSERT_EQ(store->save(r), results::Store::Saved::Stored);
        ids << r.value("id").toString();
    }
    QJsonObject other = sampleResult(station + "-other", 9);
    ASSERT_EQ(store->save(other), results::Store::Saved::Stored);
    QString why;
    QJsonObject again = sampleResult(station, 2);
    again.insert("id", ids[0]);
    ASSERT_EQ(store->saveBatch({again}, &why), 0) << why.toStdString();

    results::QueueState state;
    const auto next = [&](const char* target) {
        auto head = store->nextDelivery(station, target, false, &state, &why);
        EXPECT_TRUE(head) << target << ": " << why.toStdString();
        return head.value_or(results::Delivery());
    };
    results::Delivery label = next("deliver");
    EXPECT_EQ(state.waiting, 3);
    EXPECT_TRUE(state.oldest.isValid());
    EXPECT_EQ(label.resultId, ids[0]);
    EXPECT_EQ(QJsonDocument::fromJson(label.payload).object().value("unit"),
              sampleResult(station, 2).value("unit"));
    results::Delivery mes = next("deliver-url");
    EXPECT_EQ(mes.resultId, ids[0]);
    EXPECT_EQ(mes.attempts, 0);
    EXPECT_FALSE(mes.attemptedAt.isValid());

    const QDateTime later = QDateTime::currentDateTimeUtc().addSecs(60);
    ASSERT_TRUE(store->recordAttempt(mes.seq, false, "HTTP status 503", later, &why));
    ASSERT_TRUE(store->recordAttempt(label.seq, true, {}, {}, &why));
    mes = next("deliver-url");
    EXPECT_EQ(mes.resultId, ids[0]);
    EXPECT_EQ(state.waiting, 3);
    EXPECT_EQ(mes.attempts, 1);
    EXPECT_TRUE(mes.attemptedAt.isValid());
    EXPECT_EQ(mes.lastError, "HTTP status 503");
    EXPECT_EQ(results::isoTime(mes.nextAt), results::isoTime(later));
    label = next("deliver");
    EXPECT_EQ(label.resultId, ids[1]);
    EXPECT_EQ(state.waiting, 2);

    const auto listed = results::undelivered(store->database(), station, &why);
    ASSERT_TRUE(listed) << why.toStdString();
    QStringList waiting;
    for (const results::Delivery& d : *listed) waiting << d.target + " " + d.resultId;
    waiting.sort();  // each target's in its order
    QStringList expected;
    for (const QString& id : ids) expected << "deliver-url " + id;
    expected << "deliver " + ids[1] << "deliver " + ids[2];
    expected.sort();
    EXPECT_EQ(waiting, expected);
}

// A database whose queue was kept before targets were: what waited still
// waits, in its order and with its attempts, until the station's first
// target takes it over; the results kept after it go behind it.
TEST_P(DeliveryQueue, AQueueFromBeforeTargetsIsTakenOverByTheFirstTarget) {
    QString why;
    {
        auto latest = open({});
        ASSERT_TRUE(latest);
        QSqlQuery q(latest->database());
        const bool pg = GetParam();
        // The queue as it was made before targets, and rows in it.
        const QString oldQueue =
            QStringLiteral(
                "CREATE TABLE deliveries (seq %1, result_id TEXT NOT NULL UNIQUE,"
                " station TEXT NOT NULL DEFAULT '', payload TEXT NOT NULL, queued_at TEXT NOT NULL,"
                " delivered %2 NOT NULL, delivered_at TEXT, attempts %3 NOT NULL,"
                " last_error TEXT NOT NULL DEFAULT '', next_at TEXT NOT NULL)")
                .arg(pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY",
                     pg ? "BOOLEAN" : "INTEGER", pg ? "BIGINT" : "INTEGER");
        // Back to the schema before targets: the steps from 14 on undone.
        ASSERT_TRUE(q.exec("DROP INDEX results_evidence_removed"));
        for (const results::FieldRow& row : results::kFields) {
            if (row.column && row.since > 13) {
                ASSERT_TRUE(q.exec(QStringLiteral("ALTER TABLE results DROP COLUMN %1")
                                       .arg(QLatin1String(row.name))))
                    << row.name;
            }
        }
        ASSERT_TRUE(q.exec("ALTER TABLE calibrations DROP COLUMN level_dbm"));
        for (const QString& sql :
             {QStringLiteral("DELETE FROM schema_version WHERE version > 13"),
              QStringLiteral("DROP TABLE struck_runs"), QStringLiteral("DROP TABLE limit_results"),
              QStringLiteral("DROP TABLE spc_baselines"), QStringLiteral("DROP TABLE alarms"),
              QStringLiteral("DROP TABLE deliveries"), oldQueue,
              QStringLiteral("CREATE INDEX deliveries_waiting ON deliveries"
                             " (station, delivered, seq)")})
            ASSERT_TRUE(q.exec(sql))
                << sql.toStdString() << ": " << q.lastError().text().toStdString();
        // Inserted out of the order kept: seq is the order.
        for (const auto& [seq, id, delivered, attempts] :
             {std::tuple{7, "old-2", false, 0}, std::tuple{3, "old-0", true, 1},
              std::tuple{5, "old-1", false, 4}}) {
            q.prepare(
                "INSERT INTO deliveries (seq, result_id, station, payload, queued_at,"
                " delivered, attempts, last_error, next_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
            for (const QVariant& v :
                 {QVariant(seq), QVariant(id), QVariant(station),
                  QVariant(QStringLiteral("{\"id\": \"%1\"}").arg(id)),
                  QVariant("2026-12-01T08:00:00.000Z"), QVariant(delivered), QVariant(attempts),
                  QVariant(attempts ? "HTTP status 503" : ""),
                  QVariant("2026-12-01T08:05:00.000Z")})
                q.addBindValue(v);
            ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
        }
        if (pg) {
            ASSERT_TRUE(q.exec("SELECT setval(pg_get_serial_sequence('deliveries', 'seq'), 7)"));
        }
    }
    auto store = open({"deliver-url", "deliver"});
    ASSERT_TRUE(store);
    EXPECT_EQ(store->schemaVersion(), results::latestSchemaVersion());
    QJsonObject fresh = sampleResult(station, 1);
    ASSERT_EQ(store->save(fresh), results::Store::Saved::Stored);

    const auto listed = results::undelivered(store->database(), station, &why);
    ASSERT_TRUE(listed) << why.toStdString();
    QStringList waiting;
    for (const results::Delivery& d : *listed)
        waiting << QStringLiteral("%1 %2 %3").arg(d.target, d.resultId).arg(d.attempts);
    const QString id = fresh.value("id").toString();
    EXPECT_EQ(waiting, QStringList({" old-1 4", " old-2 0", "deliver-url " + id + " 0",
                                    "deliver " + id + " 0"}));

    results::QueueState state;
    QStringList order;
    for (int i = 0; i < 4; ++i) {  // the first target takes the old rows over at its first read
        const auto head = store->nextDelivery(station, "deliver-url", i == 0, &state, &why);
        if (!head) break;
        order << head->resultId +
                     (i == 0 ? QStringLiteral(" of %1").arg(state.waiting) : QString());
        EXPECT_EQ(head->lastError, head->resultId == "old-1" ? "HTTP status 503" : "");
        ASSERT_TRUE(store->recordAttempt(head->seq, true, {}, {}, &why)) << why.toStdString();
    }
    EXPECT_EQ(order, QStringList({"old-1 of 3", "old-2", id}));
    const auto head = store->nextDelivery(station, "deliver", false, &state, &why);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->resultId, id);
    EXPECT_EQ(state.waiting, 1);
}

// Results that went to the spool while the database failed join the queue
// when they are moved in.
TEST(DeliveryQueueSpool, SpooledResultsJoinTheQueueWhenMovedIn) {
    QTemporaryDir dir;
    QString why;
    const auto target = results::parseTarget(dir.filePath("r.db"), &why);
    ASSERT_TRUE(target);
    QFile spool(target->spoolPath());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(spool).absolutePath()));
    ASSERT_TRUE(spool.open(QIODevice::WriteOnly));
    QStringList ids;
    for (int i = 1; i <= 2; ++i) {
        QJsonObject r = sampleResult("bench-1", i);
        r.insert("id", QStringLiteral("spooled-%1").arg(i));
        ids << r.value("id").toString();
        spool.write(QJsonDocument(r).toJson(QJsonDocument::Compact) + '\n');
    }
    spool.close();
    results::Store::Options options;
    options.deliveries = {"deliver"};
    auto store = results::Store::open(*target, &why, options, [](const QString&) {});
    ASSERT_TRUE(store) << why.toStdString();
    const auto listed = results::undelivered(store->database(), "bench-1", &why);
    ASSERT_TRUE(listed);
    QStringList waiting;
    for (const results::Delivery& d : *listed) waiting << d.resultId;
    EXPECT_EQ(waiting, ids);
}

// --- Real processes --------------------------------------------------------

// A minimal HTTP/1.1 server: each request's body is recorded and answered
// with the status and body the test chooses, then the connection closes.
class HttpServer : public QObject {
public:
    struct Request {
        QByteArray method, path, idempotencyKey, contentType, body;
    };
    std::function<std::pair<int, QByteArray>(const Request&)> answer = [](const Request&) {
        return std::pair<int, QByteArray>(200, "{}");
    };

    // On a port chosen now, not listening yet: the line's system is down.
    HttpServer() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port_ = probe.serverPort();
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    bool up() { return server_.listen(QHostAddress::LocalHost, port_); }
    void down() { server_.close(); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/line/results").arg(port_); }

    std::vector<Request> requests;
    // The results' ids as a receiver that drops repeats sees them.
    QStringList deduplicated() const {
        QStringList ids;
        for (const Request& r : requests) {
            const QString id = QJsonDocument::fromJson(r.body).object().value("id").toString();
            if (!ids.contains(id)) ids << id;
        }
        return ids;
    }

private:
    void read(QTcpSocket* socket) {
        QByteArray& data = pending_[socket];
        data += socket->readAll();
        const int end = data.indexOf("\r\n\r\n");
        if (end < 0) return;
        Request request;
        int length = 0;
        const QList<QByteArray> lines = data.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (const QByteArray& line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length") length = value.toInt();
            if (name == "idempotency-key") request.idempotencyKey = value;
            if (name == "content-type") request.contentType = value;
        }
        if (data.size() < end + 4 + length) return;
        request.body = data.mid(end + 4, length);
        pending_.remove(socket);
        requests.push_back(request);
        const auto [status, body] = answer(request);
        socket->write("HTTP/1.1 " + QByteArray::number(status) +
                      " Answer\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    quint16 port_ = 0;
    QMap<QTcpSocket*, QByteArray> pending_;
};

QStringList idsOf(const std::vector<QJsonObject>& objects) {
    QStringList ids;
    for (const QJsonObject& o : objects)
        if (o.contains("id")) ids << o.value("id").toString();
    return ids;
}

// The line's system down, then 503, then taking them: each result posted as
// printed, its id the idempotency key, once and in the order kept, the station
// waiting at its end; an answer {"rerun": true} is said on standard error.
TEST(DeliveryEndToEnd, ServerDownThenBackGetsEveryResultOnceInOrder) {
    Bench bench;
    const QString a = bench.add("a", receiver(Behaviour::Normal));
    const QString b = bench.add("b", receiver(Behaviour::Normal));
    HttpServer server;
    int refusals = 2;
    server.answer = [&](const HttpServer::Request& r) {
        const QJsonObject o = QJsonDocument::fromJson(r.body).object();
        if (refusals-- > 0) return std::pair<int, QByteArray>(503, "busy");
        const bool again = o.value("unit") == "SN-B" && o.value("cycle") == 1;
        return std::pair<int, QByteArray>(200, again ? "{\"rerun\": true}" : "{}");
    };
    QTemporaryDir dir;
    Cli cli;
    cli.start({"--json", "--station", "bench-1", "--db", dir.filePath("r.db"), "--cycles", "2",
               "--deliver-url", server.url(), "--deliver-retry", "0.2", "--deliver-retry-max",
               "0.5", "--deliver-wait", "120", a + "=SN-A", b + "=SN-B"});
    // Down until results are kept and attempts have failed.
    ASSERT_TRUE(QTest::qWaitFor([&] { return idsOf(cli.objects()).size() >= 2; }, 120000))
        << cli.progressText();
    ASSERT_TRUE(cli.shows("no answer from the server"));
    ASSERT_TRUE(server.up());
    EXPECT_EQ(cli.finish(), 0) << cli.progressText();
    std::map<QString, QJsonObject> printed;
    for (const QJsonObject& o : cli.objects()) printed[o.value("id").toString()] = o;
    const QStringList kept = idsOf(cli.objects());
    ASSERT_EQ(kept.size(), 4);
    EXPECT_EQ(server.deduplicated(), kept) << cli.progressText();
    EXPECT_EQ(server.requests.size(), 6u);  // two refused with 503, then each once
    for (const HttpServer::Request& r : server.requests) {
        EXPECT_EQ(r.method + " " + r.path + " " + r.contentType,
                  "POST /line/results application/json");
        EXPECT_EQ(QJsonDocument::fromJson(r.body).object(), printed[QString(r.idempotencyKey)]);
    }
    const std::string said = cli.progressText();
    EXPECT_NE(said.find("HTTP status 503: busy"), std::string::npos) << said;
    EXPECT_NE(said.find("the line asks for unit SN-B in " + b.toStdString() + " again (re-run)"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("unit SN-A in"), std::string::npos) << said;
}

QJsonObject undeliveredReport(const QString& db) {
    QProcess report;
    report.start(COLDSTART_CLI, {"report", "--undelivered", "--json", "--db", db});
    EXPECT_TRUE(QTest::qWaitFor([&] { return report.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(report.exitCode(), 0) << report.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(report.readAllStandardOutput()).object();
}

// A station killed while its results wait leaves them queued, listed by
// report --undelivered.  `deliver`, with no unit, waits up to --deliver-wait
// and says what is left (exit 1); then, with the line's system back, it
// delivers each result once and in order (exit 0).  (A station's next start
// takes the same queue, in the same order: DeliveryQueue.)
TEST(DeliveryEndToEnd, KilledMidQueueThenDeliverEmptiesTheQueue) {
    Bench bench;
    const QString a = bench.add("a", receiver(Behaviour::Normal));
    HttpServer server;
    QTemporaryDir dir;
    const QString db = dir.filePath("r.db");
    const QStringList delivery = {"--db",
                                  db,
                                  "--station",
                                  "bench-1",
                                  "--deliver-url",
                                  server.url(),
                                  "--deliver-retry",
                                  "0.2",
                                  "--deliver-retry-max",
                                  "0.5"};
    QStringList left;
    {
        Cli cli;
        cli.start(delivery +
                  QStringList{"--json", "--cycles", "3", "--deliver-wait", "600", a + "=SN-A"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return idsOf(cli.objects()).size() == 3; }, 120000))
            << cli.progressText();
        left = idsOf(cli.objects());
        cli.process.kill();  // SIGKILL, waiting for the line
        cli.finish();
    }
    const QJsonObject waiting = undeliveredReport(db);
    EXPECT_EQ(waiting.value("count").toInt(), 3) << QJsonDocument(waiting).toJson().toStdString();
    QStringList listed;
    for (const QJsonValue& v : waiting.value("undelivered").toArray()) {
        listed << v.toObject().value("id").toString();
        EXPECT_EQ(v.toObject().value("unit"), "SN-A");
    }
    EXPECT_EQ(listed, left);
    const QJsonValue head = waiting["undelivered"].toArray().at(0);
    EXPECT_EQ(head["target"], "deliver-url");
    EXPECT_GE(head["attempts"].toInt(), 1);
    EXPECT_TRUE(head["last_attempt_at"].isString());
    EXPECT_TRUE(head["last_error"].toString().startsWith("no answer from the server"));

    Cli down;
    down.start(QStringList{"deliver", "--deliver-wait", "0.5"} + delivery);
    EXPECT_EQ(down.finish(), 1) << down.progressText();
    EXPECT_NE(down.progressText().find("3 results wait for delivery to the line; they go with the "
                                       "next station or deliver"),
              std::string::npos)
        << down.progressText();

    ASSERT_TRUE(server.up());
    Cli up;
    up.start(QStringList{"deliver"} + delivery);
    EXPECT_EQ(up.finish(), 0) << up.progressText();
    EXPECT_EQ(server.deduplicated(), left);
    EXPECT_EQ(server.requests.size(), 3u);
    EXPECT_EQ(undeliveredReport(db).value("count").toInt(), 0);
}

// Delivery commands, each a target of its own: the JSON on its input, the
// result in its environment; one that fails is tried again with its error
// said, the exit status stays the units', and what is left is said.
TEST(DeliveryEndToEnd, CommandsThatTakeAndThatFail) {
    Bench bench;
    const QString a = bench.add("a", receiver(Behaviour::Normal));
    QTemporaryDir dir;
    const QString taken = dir.filePath("taken.jsonl");
    Cli cli;
    cli.start({"--json", "--station", "bench-1", "--db", dir.filePath("r.db"), "--deliver",
               QStringLiteral("cat >> '%1'; echo \"$GPS_COLDSTART_RESULT_ID "
                              "$GPS_COLDSTART_UNIT $GPS_COLDSTART_RESULT\" >> '%1.env'")
                   .arg(taken),
               "--deliver", "cat > /dev/null; echo 'label printer offline' >&2; exit 3",
               "--deliver-retry", "0.2", "--deliver-retry-max", "0.2", "--deliver-wait", "1",
               a + "=SN-A"});
    EXPECT_EQ(cli.finish(), 0) << cli.progressText();
    const std::vector<QJsonObject> printed = cli.objects();
    ASSERT_EQ(idsOf(printed).size(), 1);
    QFile file(taken), env(taken + ".env");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ASSERT_TRUE(env.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(file.readAll()).object(), printed[0]);
    EXPECT_EQ(env.readAll(), (idsOf(printed)[0] + " SN-A pass\n").toUtf8());
    const std::string said = cli.progressText();
    EXPECT_NE(said.find("failed (the command ended with exit status 3: label printer offline); "
                        "trying again in 0.2 s"),
              std::string::npos)
        << said;
    EXPECT_NE(
        said.find(
            "1 result waits for delivery to the line (deliver-2: 1); it goes first at the next "
            "start"),
        std::string::npos)
        << said;
}

}  // namespace

// Six stations into one PostgreSQL database and one line's system at once:
// each result stored and delivered once, each station's in its own order.
TEST(DeliveryEndToEnd, SixStationsIntoOneServerKeepAndDeliverEachResultOnce) {
    if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PgServer pg;
    ASSERT_TRUE(pg.ok()) << pg.error().toStdString();
    qputenv("PGPASSWORD", PgServer::kPassword);
    QString why;
    {
        auto admin = results::Store::open(*results::parseTarget(pg.url("postgres"), &why), &why);
        ASSERT_TRUE(admin) << why.toStdString();
        ASSERT_TRUE(QSqlQuery(admin->database()).exec("CREATE DATABASE line"));
    }
    const QString db = pg.url("line");
    HttpServer server;
    ASSERT_TRUE(server.up());
    Bench bench;
    std::vector<std::unique_ptr<Cli>> stations;
    for (int s = 1; s <= 6; ++s) {
        QStringList arguments = {"--json",         "--quiet",
                                 "--db",           db,
                                 "--station",      QStringLiteral("line-%1").arg(s),
                                 "--cycles",       "2",
                                 "--deliver-url",  server.url(),
                                 "--deliver-wait", "120"};
        for (const char* slot : {"a", "b"}) {
            const QString name = QStringLiteral("%1%2").arg(s).arg(slot);
            arguments << bench.add(name, receiver(Behaviour::Normal)) + "=SN-" + name;
        }
        stations.push_back(std::make_unique<Cli>());
        stations.back()->start(arguments);
    }
    QStringList printed;
    std::map<QString, QStringList> byStation;
    for (auto& station : stations) {
        EXPECT_EQ(station->finish(), 0) << station->progressText();
        for (const QJsonObject& o : station->objects()) {
            if (!o.contains("id")) continue;
            printed << o.value("id").toString();
            byStation[o.value("station").toString()] << o.value("id").toString();
        }
    }
    ASSERT_EQ(printed.size(), 24);
    ASSERT_EQ(QSet<QString>(printed.begin(), printed.end()).size(), 24);

    // Delivered once each, a station's in the order it kept them.
    EXPECT_EQ(server.requests.size(), 24u);
    const QStringList delivered = server.deduplicated();
    EXPECT_EQ(QSet<QString>(delivered.begin(), delivered.end()),
              QSet<QString>(printed.begin(), printed.end()));
    for (const auto& [station, ids] : byStation) {
        QStringList inOrder;
        for (const QString& id : delivered)
            if (ids.contains(id)) inOrder << id;
        EXPECT_EQ(inOrder, ids) << station.toStdString();
    }

    // Stored once each: the report's figures are the printed ones.
    QProcess report;
    report.start(COLDSTART_CLI, {"report", "--db", db, "--json"});
    ASSERT_TRUE(report.waitForFinished(120000));
    const QJsonObject figures = QJsonDocument::fromJson(report.readAllStandardOutput()).object();
    EXPECT_EQ(figures["overall"]["results"], 24) << QJsonDocument(figures).toJson().toStdString();
    EXPECT_EQ(figures["overall"]["units_tested"], 12);
    const QJsonObject perStation = figures["stations"].toObject();
    EXPECT_EQ(perStation.size(), 6);
    for (const QString& station : perStation.keys()) {
        EXPECT_EQ(perStation[station]["results"], 4) << station.toStdString();
        EXPECT_EQ(perStation[station]["units_passed"], 2) << station.toStdString();
    }
}
