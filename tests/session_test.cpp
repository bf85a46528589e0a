// The session both front ends run their units under, without a port, a
// terminal or a window: units whose ports do not exist end before opening
// them, and the store is a SQLite file of the test's own.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include "cli/options.h"
#include "session/session.h"
#include "station/station.h"

namespace {

using session::EndStep;
using session::Read;
using session::Session;

// The units a station started with these options runs.
std::vector<station::UnitConfig> unitsFrom(const QStringList& arguments) {
    const cli::Parsed parsed = cli::parseArguments(QStringList{"gps-coldstart-cli"} + arguments);
    EXPECT_EQ(parsed.action, cli::Parsed::Run) << parsed.text.toStdString();
    return parsed.options.units;
}

std::unique_ptr<results::StoreWorker> sqliteStore(const QTemporaryDir& dir) {
    QString error;
    auto store =
        results::StoreWorker::open(*results::parseTarget(dir.filePath("r.sqlite"), &error), &error);
    EXPECT_TRUE(store) << error.toStdString();
    return store;
}

TEST(Session, ReadsAStudyUnlessTheRunIsOneOfItThenASignalTestsCalibration) {
    station::UnitConfig unit;
    EXPECT_EQ(session::nextRead(unit, false, false), Read::Nothing);
    unit.qualifiedBy = "GRR-9";
    EXPECT_EQ(session::nextRead(unit, false, false), Read::Study);
    EXPECT_EQ(session::nextRead(unit, true, false), Read::Nothing);
    unit.study = "GRR-9";  // a study's own run is how the station gets qualified
    EXPECT_EQ(session::nextRead(unit, false, false), Read::Nothing);
    unit.tests = {"signal"};
    EXPECT_EQ(session::nextRead(unit, false, false), Read::Calibration);
    EXPECT_EQ(session::nextRead(unit, false, true), Read::Nothing);
}

// A headless session ends once every unit has ended and every result is
// kept; results waiting for the line are waited for, up to deliver_wait_s.
TEST(Session, EndsOnceEveryResultIsKeptAndTheLineHasHadThemOrWasWaitedFor) {
    const struct {
        session::EndState state;
        EndStep step;
    } cases[] = {
        {{false, 0, false, 30, false, false}, EndStep::NotYet},     // units still run
        {{true, 1, false, 30, false, false}, EndStep::NotYet},      // a result not kept
        {{true, 0, false, 30, false, false}, EndStep::End},         // every result delivered
        {{true, 0, true, 30, false, false}, EndStep::WaitForLine},  // results wait for the line
        {{true, 0, true, 30, true, false}, EndStep::NotYet},        // ... and are waited for
        {{true, 0, true, 30, false, true}, EndStep::End},           // waited long enough
        {{true, 0, true, 0, false, false}, EndStep::End},           // no wait asked for
        {{true, 1, true, 30, false, true}, EndStep::NotYet},        // kept first, always
    };
    for (const auto& c : cases)
        EXPECT_EQ(session::endStep(c.state), c.step)
            << c.state.unitsEnded << c.state.pending << c.state.undelivered << c.state.waitS
            << c.state.waiting << c.state.waitedEnough;
}

// A plan qualified by a gauge study the station has not passed tests no unit:
// its result says why, its port is not opened, and the station's exit status
// is a station fault's.  Without a database the study cannot be read at all.
TEST(Session, AStationNotQualifiedTestsNoUnit) {
    const struct {
        bool stored;
        const char* status;
    } cases[] = {
        {true, "gauge study \"GRR-9\" has no results"},
        {false, "gauge study \"GRR-9\" cannot be read without a database"},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        station::Station station(
            unitsFrom({"--qualified-by", "GRR-9", dir.filePath("no-such-port") + "=SN1"}));
        Session session(station.units().front()->config(), c.stored ? sqliteStore(dir) : nullptr);
        session.follow(station.units().front(), 0);
        QSignalSpy kept(&session, &Session::kept);
        QObject::connect(&station, &station::Station::finished, &session, &Session::unitsEnded);
        QSignalSpy settled(&session, &Session::settled);
        session.prepare(station.units(), [&] { station.start(); });
        ASSERT_TRUE(settled.wait(10000)) << c.status;
        ASSERT_EQ(kept.size(), 1);
        const QJsonObject r = kept.at(0).at(1).toJsonObject();
        EXPECT_EQ(r.value("reason").toString(), "station-not-qualified");
        EXPECT_EQ(r.value("status").toString(), c.status);
        EXPECT_EQ(r.value("id").isString(), c.stored);  // given by the store
        EXPECT_EQ(session.exitStatus(station.exitStatus()), station::kStationFault);
    }
}

// With --hold-on-alarm a slot with an open alarm tests no unit (its port is
// not opened) until the alarm is cleared; then it runs again.
TEST(Session, ASlotHeldOnAnAlarmTestsNoUnitUntilCleared) {
    QTemporaryDir dir;
    const QString port = dir.filePath("no-such-port");
    {
        QString error;
        auto store =
            results::Store::open(*results::parseTarget(dir.filePath("r.sqlite"), &error), &error);
        ASSERT_TRUE(store) << error.toStdString();
        QSqlQuery q(store->database());
        q.prepare(
            "INSERT INTO alarms (raised_at, station, port, chart, rule, value, baseline_id)"
            " VALUES ('2026-12-01T08:00:00.000Z', 'line-1', ?, 'ttff', 'we1', 99, 1)");
        q.addBindValue(port);
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
    }
    for (const char* reason : {"slot-held", "port-unavailable"}) {
        station::Station station(
            unitsFrom({"--hold-on-alarm", "--station", "line-1", port + "=SN1"}));
        Session session(station.units().front()->config(), sqliteStore(dir));
        session.follow(station.units().front(), 0);
        QSignalSpy kept(&session, &Session::kept);
        QObject::connect(&station, &station::Station::finished, &session, &Session::unitsEnded);
        QSignalSpy settled(&session, &Session::settled);
        session.prepare(station.units(), [&] { station.start(); });
        ASSERT_TRUE(settled.wait(10000)) << reason;
        ASSERT_EQ(kept.size(), 1);
        EXPECT_EQ(kept.at(0).at(1).toJsonObject().value("reason").toString(), reason);
        if (QLatin1String(reason) != QLatin1String("slot-held")) break;
        QString error;
        auto store =
            results::Store::open(*results::parseTarget(dir.filePath("r.sqlite"), &error), &error);
        ASSERT_TRUE(store);
        ASSERT_EQ(store->spc().clear("line-1", port, "qe", "checked",
                                     QDateTime::currentDateTimeUtc(), &error),
                  1);
    }
}

// Stopped while the study is read, the station does not start and its
// session ends as interrupted (it used to wait forever).
TEST(Session, AStationStoppedWhileItsStudyIsReadEndsInterrupted) {
    QTemporaryDir dir;
    station::Station station(
        unitsFrom({"--qualified-by", "GRR-9", dir.filePath("p1"), dir.filePath("p2")}));
    Session session(station.units().front()->config(), sqliteStore(dir));
    QObject::connect(&station, &station::Station::finished, &session, &Session::unitsEnded);
    QSignalSpy settled(&session, &Session::settled);
    QSignalSpy kept(&session, &Session::kept);
    bool started = false;
    session.prepare(station.units(), [&] {
        started = true;
        station.start();
    });
    station.interrupt();  // the answer is still on its way
    ASSERT_TRUE(QTest::qWaitFor([&] { return settled.size() == 1; }, 10000));
    EXPECT_EQ(session.exitStatus(station.exitStatus()), station::kInterrupted);
    // The answer comes (before that of a question asked after it), and starts nothing.
    bool answered = false;
    session.store()->qualification("GRR-9", 1,
                                   [&](const QString&, const QString&) { answered = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 10000));
    EXPECT_FALSE(started);
    EXPECT_EQ(kept.size(), 0);
}

// A signal test takes its own slot's latest calibration, aged by the
// session's clock; once read, a slot's next unit takes it at once, until the
// slots are calibrated again.  Without a database there is none.
TEST(Session, ASignalTestTakesItsSlotsLatestCalibration) {
    QTemporaryDir dir;
    const QStringList plan = {"--test", "signal", "--cn0-sv", "GPS:1", "--station", "s1"};
    const QString p1 = dir.filePath("p1"), p2 = dir.filePath("p2");
    const std::vector<station::UnitConfig> units = unitsFrom(plan + QStringList{p1, p2});
    auto store = sqliteStore(dir);
    const QDateTime calibrated = QDateTime::fromString("2026-03-02T08:00:00Z", Qt::ISODate);
    for (const double offset : {1.5, 2.5}) {  // the latest counts
        results::Calibration c;
        c.time = calibrated.addSecs(offset > 2 ? 60 : 0);
        c.station = "s1";
        c.port = p1;
        c.golden = "G1";
        c.expected = 45;
        c.measured = 45 - offset;
        c.offset = offset;
        bool keptIt = false;
        store->keepCalibration(c, [&](const results::CalibrationKept& k) { keptIt = bool(k.id); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return keptIt; }, 10000));
    }
    QDateTime now = calibrated.addSecs(3600);
    Session session(units.front(), std::move(store), [&] { return now; });

    station::UnitRun one(units[0]), two(units[1]);
    bool ready = false;
    session.prepare({&one, &two}, [&] { ready = true; });
    EXPECT_FALSE(ready);  // read on the store's thread
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready; }, 10000));
    EXPECT_EQ(one.config().offset, 2.5);
    EXPECT_TRUE(one.config().calibrationProblem.isEmpty())
        << one.config().calibrationProblem.toStdString();
    EXPECT_FALSE(two.config().offset);
    EXPECT_EQ(two.config().calibrationProblem,
              QStringLiteral("slot 2 needs calibration: %1, no calibration").arg(p2));

    // The next unit in slot 1 at once, and aged by the clock given.
    now = calibrated.addDays(400);
    station::UnitRun next(units[0]);
    ready = false;
    session.prepare({&next}, [&] { ready = true; });
    EXPECT_TRUE(ready);
    EXPECT_TRUE(next.config().calibrationProblem.contains("calibrated 9600.0 h ago"))
        << next.config().calibrationProblem.toStdString();

    // A calibration of the slots begins: read again.
    session.setCalibrating(true);
    station::UnitRun after(units[0]);
    ready = false;
    session.prepare({&after}, [&] { ready = true; });
    EXPECT_FALSE(ready);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready; }, 10000));

    Session without(units.front(), nullptr);
    station::UnitRun alone(units[0]);
    ready = false;
    without.prepare({&alone}, [&] { ready = true; });
    EXPECT_TRUE(ready);
    EXPECT_TRUE(alone.config().calibrationProblem.endsWith("no calibration"));
}

// A unit the line refused is kept beside the results, at the session's time,
// and never among them.
TEST(Session, ARefusedUnitIsKeptBesideTheResults) {
    QTemporaryDir dir;
    station::Station station(unitsFrom({"--station", "s1", "--lot", "L7", "--route-check",
                                        "echo '{\"allow\": false, \"reason\": \"on hold\"}'",
                                        dir.filePath("p1") + "=SN1"}));
    const QDateTime now = QDateTime::fromString("2026-03-02T08:00:00Z", Qt::ISODate);
    Session session(station.units().front()->config(), sqliteStore(dir), [&] { return now; });
    session.follow(station.units().front(), 0);
    QObject::connect(&station, &station::Station::finished, &session, &Session::unitsEnded);
    QSignalSpy settled(&session, &Session::settled);
    QSignalSpy kept(&session, &Session::kept);
    session.prepare(station.units(), [&] { station.start(); });
    ASSERT_TRUE(settled.wait(10000));
    EXPECT_EQ(kept.size(), 0);
    EXPECT_EQ(session.exitStatus(station.exitStatus()), station::kRefused);
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(dir.filePath("r.sqlite"));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("SELECT unit, lot, reason, time FROM route_refusals"));
        ASSERT_TRUE(q.next());
        EXPECT_EQ(q.value(0).toString() + " " + q.value(1).toString() + " " + q.value(2).toString(),
                  "SN1 L7 on hold");
        EXPECT_TRUE(q.value(3).toString().startsWith("2026-03-02T08:00:00"))
            << q.value(3).toString().toStdString();
        EXPECT_FALSE(q.next());
    }
    QSqlDatabase::removeDatabase("check");
}

}  // namespace
