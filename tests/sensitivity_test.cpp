// Sensitivity searches and the sweep that steps one generator for many units,
// in milliseconds of test time: units with planted thresholds, found to
// within the search's resolution, the level never changed under a dwell.
#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <limits>
#include <vector>

#include "sim/generatorpoll.h"
#include "station/generatorsweep.h"
#include "station/sensitivity.h"
#include "station/sequencer.h"
#include "station/station.h"
#include "testkit/levelsource.h"
#include "testkit/runbench.h"
#include "testkit/sweepbench.h"

namespace station {
namespace {

using testkit::Bench;
using testkit::coldStart;
using testkit::epoch;
using testkit::Epoch;
using testkit::rfUnit;

TEST(AcquisitionSearch, FindsAPlantedThresholdWithinHalfADbInSixColdStarts) {
    const AcquisitionSearch::Settings window{-130, 32, 6};  // -162 .. -130
    for (double threshold : {-131.2, -145.0, -146.3, -147.75, -150.01, -161.6}) {
        AcquisitionSearch search(window);
        while (const auto level = search.nextLevel()) search.outcome(*level >= threshold);
        SCOPED_TRACE(threshold);
        EXPECT_EQ(search.coldStarts(), 6);
        ASSERT_TRUE(search.sensitivityDbm());
        // A level it fixed at, and no more than the resolution above the threshold.
        EXPECT_GE(*search.sensitivityDbm(), threshold);
        EXPECT_LE(*search.sensitivityDbm() - threshold, 0.5);
        EXPECT_DOUBLE_EQ(search.resolutionDb(), 0.5);
    }
    // Never a fix: no answer; always one: the lowest level tried.
    AcquisitionSearch deaf(window), keen(window);
    while (deaf.nextLevel()) deaf.outcome(false);
    while (keen.nextLevel()) keen.outcome(true);
    EXPECT_FALSE(deaf.sensitivityDbm());
    EXPECT_DOUBLE_EQ(*keen.sensitivityDbm(), -161.5);
}

TEST(TrackingSearch, StepsDownUntilTheFixIsLost) {
    TrackingSearch search({-150, 2, -170});
    while (const auto level = search.nextLevel()) search.outcome(*level >= -161.0);
    EXPECT_DOUBLE_EQ(*search.sensitivityDbm(), -160);
    EXPECT_EQ(search.steps(), 7);  // -150 .. -160 held, -162 lost

    TrackingSearch floor({-150, 2, -156}), lost({-150, 2, -170});
    while (floor.nextLevel()) floor.outcome(true);
    lost.outcome(false);
    EXPECT_DOUBLE_EQ(*floor.sensitivityDbm(), -156);
    EXPECT_EQ(floor.steps(), 4);
    EXPECT_TRUE(lost.done());
    EXPECT_FALSE(lost.sensitivityDbm());
}

TEST(ReceiverModel, ObeysTheGeneratorsLevelAndItsThresholds) {
    auto unit = rfUnit(-147, -160, 5);
    // No signal: no fix, no satellite.
    for (int s = 0; s < 60; ++s) EXPECT_FALSE(epoch(unit).fix || !epoch(unit).cn0.empty());
    // -125 dBm less 5 dB of loss: -130 dBm at the port, 44 dB-Hz less the
    // 2 dB noise figure, each satellite about its own spread.
    unit.setRfLevel(-125);
    const auto fixed = coldStart(unit, 120);
    ASSERT_TRUE(fixed);
    EXPECT_NEAR(*fixed, 30, 2);
    const Epoch e = epoch(unit);
    ASSERT_EQ(e.cn0.size(), 8u);
    double mean = 0;
    for (int c : e.cn0) mean += c / 8.0;
    EXPECT_NEAR(mean, 42, 1);
    EXPECT_GE(*std::max_element(e.cn0.begin(), e.cn0.end()) -
                  *std::min_element(e.cn0.begin(), e.cn0.end()),
              4);
    // Held down to the tracking threshold, lost below it, not had again
    // below the acquisition threshold however long it runs.
    unit.setRfLevel(-159 + 5);
    for (int s = 0; s < 10; ++s) EXPECT_TRUE(epoch(unit).fix);
    unit.setRfLevel(-161 + 5);
    EXPECT_FALSE(epoch(unit).fix);
    unit.setRfLevel(-147.5 + 5);
    for (int s = 0; s < 600; ++s) ASSERT_FALSE(epoch(unit).fix);
    EXPECT_FALSE(coldStart(unit, 600));
    unit.setRfLevel(-147 + 5);
    EXPECT_TRUE(coldStart(unit, 60));
    unit.setRfLevel(std::nullopt);  // the output off
    EXPECT_FALSE(epoch(unit).fix);
}

TEST(ReceiverModel, AUnitLessSensitiveThanTheGoldenFailsAtThePlansLevel) {
    // The golden unit acquires down to -147 dBm; the plan's level keeps a
    // margin of 0.5 dB above it.  A unit 1.5 dB less sensitive does not fix.
    auto golden = rfUnit(-147, -160, 4), weak = rfUnit(-145.5, -160, 4);
    const double level = -146.5 + 4;
    golden.setRfLevel(level);
    weak.setRfLevel(level);
    EXPECT_TRUE(coldStart(golden, 60));
    EXPECT_FALSE(coldStart(weak, 60));
}

TEST(LevelSweep, EightSlotsSearchInLockStepEachWithinHalfADb) {
    Bench bench;
    // Six units of one make within 2 dB of each other, one 1.5 dB less
    // sensitive, one whose port dies after two cold starts.
    const std::vector<double> thresholds = {-146.2, -146.9, -147.4, -145.8,
                                            -147.1, -146.6, -144.6, -146.0};
    for (std::size_t i = 0; i < thresholds.size(); ++i)
        bench.add(thresholds[i], 3 + 0.1 * i, 0, i == 7 ? 2 : 99);
    const qint64 took = bench.run();
    ASSERT_TRUE(bench.ended);

    EXPECT_FALSE(bench.changedUnderADwell);
    for (const auto& s : bench.units) {
        if (s.gone) continue;
        SCOPED_TRACE(s.threshold);
        EXPECT_EQ(s.search.coldStarts(), 6);
        const double found = *s.search.sensitivityDbm() - s.loss;
        EXPECT_GE(found, s.threshold - 1e-9);
        EXPECT_LE(found - s.threshold, 0.5);
    }
    EXPECT_EQ(bench.units[7].search.coldStarts(), 2);
    // Shared: far less than the units' cold starts one after another.
    const qint64 serial = 7 * 6 * Bench::timeoutMs;
    EXPECT_LT(took, serial / 3) << bench.sweep.levelChanges() << " levels";
}

TEST(LevelSweep, ASlowSlotIsNotWaitedForAndAFaultEndsItForEverySlot) {
    Bench bench;
    bench.add(-146);
    bench.add(-146, 3, 20000);  // asks 20 s after each dwell
    bench.run();
    EXPECT_FALSE(bench.changedUnderADwell);
    for (const auto& s : bench.units) EXPECT_LE(*s.search.sensitivityDbm() - s.loss + 146, 0.5);

    LevelSweep sweep({2000});
    const int a = sweep.join(), b = sweep.join(), c = sweep.join();
    sweep.request(a, -140);
    sweep.request(b, -150);
    EXPECT_FALSE(sweep.take(0));  // c has not asked: the others wait for it a while
    sweep.request(c, -150);
    EXPECT_EQ(sweep.take(500), -150);  // every slot has asked: most want -150
    sweep.levelSet(-150);
    EXPECT_TRUE(sweep.dwelling(b) && sweep.dwelling(c) && sweep.waiting(a));
    sweep.release(b);
    sweep.request(b, -150);  // another level is waited for: b waits too
    EXPECT_TRUE(sweep.waiting(b));
    sweep.release(c);  // c does not ask again: a is served 2 s after it asked
    EXPECT_FALSE(sweep.take(1999));
    EXPECT_EQ(sweep.take(2000), -140);
    sweep.fault("SG: -222,\"Data out of range\"");
    EXPECT_TRUE(sweep.faulted());
    for (int slot : {a, b, c}) EXPECT_FALSE(sweep.dwelling(slot) || sweep.waiting(slot));
    sweep.request(a, -140);
    EXPECT_FALSE(sweep.take(10000));
}

// A unit's cycle with the sensitivity tests after its fix test: the
// sequencer, a simulated receiver behind 4 dB of path loss, and a sweep of
// one slot whose generator sets each level at once (or fails at its third).
struct Cycle {
    explicit Cycle(QStringList tests, double acquisitionDbm, int failAtSetting = 0)
        : unit(rfUnit(acquisitionDbm, -158, 4)),
          failAt(failAtSetting),
          plan(config(std::move(tests))),
          sequencer(plan, port, clock, hooks()) {
        watcher.onGga = [this](const Gga& gga) {
            if (sequencer.fix().commanded() && gga.timeMs) line.confirmed = true;
            sequencer.gga(gga);
        };
        watcher.onSecond = [this](const Second& s) { sequencer.second(s); };
        watcher.onSentence = [this](std::string_view body) { sequencer.sentence(body); };
        sequencer.setSweep({&sweep, sweep.join(), 4, 4});
    }

    // From the cycle's cold start at the plan's level to its verdict.
    void run() {
        generate(-130 + 4);
        sequencer.beginCycle();
        unit.receive(plan.command);
        sequencer.fix().commandOut(clock.nowNs());
        for (int s = 0; s < 3600 && !closed; ++s) {
            const qint64 next = clock.nowMs() + 1000 - clock.nowMs() % 1000;
            for (auto due = sequencer.nextDeadlineMs(); due && *due < next;
                 due = sequencer.nextDeadlineMs()) {
                clock.set(std::max(clock.nowMs(), *due));
                sequencer.tick();
                follow();
            }
            clock.set(next);
            sequencer.received();
            watcher.feed(unit.tick());
            follow();
        }
    }
    // What the sequencer wrote goes to the unit; the sweep's level to the generator.
    void follow() {
        unit.receive(std::exchange(port.written, {}));
        if (const auto level = sweep.take(clock.nowMs())) {
            if (++settings == failAt) return sweep.fault("SG 1: -222,\"Data out of range\"");
            generate(*level);
            sweep.levelSet(*level);
        }
    }
    void generate(double dBm) { unit.setRfLevel(dBm); }

    static UnitConfig config(QStringList tests) {
        UnitConfig plan;
        plan.tests = std::move(tests);
        plan.fixTimeoutS = 60;
        plan.command =
            station::startCommand(gpslink::ReceiverFamily::Sirf, gpslink::StartType::Cold);
        plan.limits.most(Measure::Acquisition) = -146;
        return plan;
    }
    Sequencer::Hooks hooks() {
        Sequencer::Hooks h;
        h.identityFault = [] { return std::optional<Reason>(); };
        h.note = [this](const QString& n) { notes << n; };
        h.line = [this] { return line; };
        h.secondSoFar = [this] { return watcher.second(); };
        h.powerRetry = [] {};
        h.closed = [this](Reason r) { closed = r; };
        h.changed = [] {};
        return h;
    }

    gpssim::ReceiverModel unit;
    int failAt, settings = 0;
    UnitConfig plan;
    LevelSweep sweep{{2000}};
    testing::ManualClock clock;
    testing::MemoryPort port;
    Watcher watcher;
    FixTest::Line line;
    QStringList notes;
    std::optional<Reason> closed;
    Sequencer sequencer;
};

TEST(SensitivityRun, FindsTheUnitsLevelsAfterItsFixAndHoldsThemToTheLimits) {
    Cycle good({"fix", "acquisition", "tracking"}, -147.3);
    good.run();
    ASSERT_EQ(good.closed, Reason::Ok) << good.notes.join("; ").toStdString();
    CycleResult r;
    good.sequencer.record(r);
    EXPECT_EQ(r.value(results::Field::ColdStarts), 6);
    ASSERT_TRUE(r.measured(Measure::Acquisition));
    EXPECT_GE(*r.measured(Measure::Acquisition), -147.3);
    EXPECT_LE(*r.measured(Measure::Acquisition), -146.8);
    EXPECT_DOUBLE_EQ(*r.measured(Measure::Tracking), -158);  // 1 dB steps from -130
    EXPECT_EQ(r.levelDbm, -130);

    // 1.5 dB less sensitive than the limit allows: the unit's fail.
    Cycle weak({"fix", "acquisition"}, -144.5);
    weak.run();
    EXPECT_EQ(weak.closed, Reason::AcquisitionOverLimit);

    // The generator fails at its third setting: the station's fault.
    Cycle faulted({"fix", "acquisition"}, -147.3, 3);
    faulted.run();
    EXPECT_EQ(faulted.closed, Reason::InstrumentFault);
    EXPECT_TRUE(faulted.notes.join(" ").contains("Data out of range"));
    CycleResult cut;
    faulted.sequencer.record(cut);
    EXPECT_FALSE(cut.measured(Measure::Acquisition));  // a search cut short found no level
}

// A search leaves the generator at its last level: the next cycle's cold
// start waits for the plan's, set once another slot's dwell has ended, and
// holds it against that slot's next request until its own search asks.
TEST(SensitivityRun, TheNextCycleWaitsForThePlansLevel) {
    Cycle c({"fix", "acquisition"}, -147.3);
    c.run();
    ASSERT_EQ(c.closed, Reason::Ok) << c.notes.join("; ").toStdString();
    ASSERT_NE(c.sweep.level(), -126);
    const int other = c.sweep.join();
    c.sweep.request(other, -150);
    ASSERT_EQ(c.sweep.take(c.clock.nowMs() + 5000), -150);
    c.sweep.levelSet(-150);

    EXPECT_TRUE(c.sequencer.waitsForLevel());
    EXPECT_FALSE(c.sweep.take(c.clock.nowMs() + 10000));  // the other slot dwells
    c.sweep.release(other);
    ASSERT_EQ(c.sweep.take(c.clock.nowMs() + 20000), -126);  // -130 dBm behind 4 dB
    EXPECT_TRUE(c.sequencer.waitsForLevel());
    c.sweep.levelSet(-126);
    EXPECT_FALSE(c.sequencer.waitsForLevel());

    c.sweep.request(other, -150);
    c.sequencer.beginCycle();
    EXPECT_FALSE(c.sweep.take(c.clock.nowMs() + 40000));
    EXPECT_EQ(c.sweep.level(), -126);
}

// The hold test, a row of its own: the fix kept at a level the unit tracks
// (down to -158 dBm) passes, lost at one it does not fails; without the
// generator the plan is refused.
TEST(HoldRun, PassesAFixKeptAtTheLevelAndFailsOneLost) {
    for (const auto& [level, expected] :
         {std::pair{-155.0, Reason::Ok}, std::pair{-160.0, Reason::FixLost}}) {
        Cycle c({"fix", "hold"}, -147.3);
        setting("hold_level_dbm").setNumber(c.plan, level);
        setting("hold_time").setNumber(c.plan, 10);
        c.run();
        EXPECT_EQ(c.closed, expected) << level << c.notes.join("; ").toStdString();
        EXPECT_EQ(c.sweep.level(), level + 4);  // at the slot's own loss
    }
    PlanSettings plan;
    plan.tests = QStringList{"fix", "hold"};
    QString why;
    EXPECT_FALSE(checkStart(plan, &why));
    EXPECT_TRUE(why.contains("--generator")) << why.toStdString();
}

// The generator under the sweep: opened and set to the plan's level at the
// slots' mean loss, its fault named with its identity and the output off.
TEST(GeneratorSweep, SetsThePlansLevelAndSwitchesOffOnAFault) {
    testkit::FakeLevelSource generator;
    generator.failAtSetting = 3;
    GeneratorSweep sweep(generator, {3, 4, 5}, -145);
    int ready = 0, off = 0;
    QString fault;
    QObject::connect(&sweep, &GeneratorSweep::ready, [&] { ++ready; });
    QObject::connect(&sweep, &GeneratorSweep::off, [&] { ++off; });
    QObject::connect(&sweep, &GeneratorSweep::faulted, [&](const QString& m) { fault = m; });
    sweep.open();
    ASSERT_EQ(ready, 1);
    EXPECT_EQ(generator.levels, std::vector<double>{-141});
    EXPECT_EQ(sweep.slot(2).lossDb, 5);
    EXPECT_EQ(sweep.slot(2).sweepLossDb, 4);

    // The three slots ask for one level: it is set once for all of them.
    LevelSweep& levels = *sweep.slot(0).sweep;
    for (std::size_t i = 0; i < 3; ++i) levels.request(sweep.slot(i).slot, -150);
    ASSERT_TRUE(QTest::qWaitFor([&] { return generator.levels.size() == 2; }, 30000));
    EXPECT_EQ(generator.levels.back(), -150);
    EXPECT_TRUE(levels.dwelling(2));
    for (std::size_t i = 0; i < 3; ++i) levels.release(sweep.slot(i).slot);
    levels.request(0, -155);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fault.isEmpty(); }, 30000));  // after 2 s
    EXPECT_EQ(fault, QStringLiteral("-222,\"Data out of range\""));         // as the source said it
    EXPECT_TRUE(levels.faulted());
    EXPECT_FALSE(generator.on);
    EXPECT_EQ(off, 1);
}

// The slots' path losses are their calibrations', read after the station
// was given its generator: the first level is set at their mean.
TEST(GeneratorSweep, TheStationSetsItsLevelAtTheCalibratedLosses) {
    testkit::FakeLevelSource generator;
    std::vector<UnitConfig> units(2);
    for (UnitConfig& unit : units) {
        unit.device = QStringLiteral("/nonexistent/tty");
        unit.tests = QStringList{"fix", "acquisition"};
        unit.levelDbm = -140;
    }
    Station station(std::move(units));
    station.setLevelSource(&generator);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (double loss : {3.0, 5.0}) {
        results::Calibration calibration;
        calibration.time = now;
        calibration.offset = loss;
        calibration.levelDbm = -130;
        station.units()[loss > 4]->setCalibration(calibration, now);
    }
    station.start();
    ASSERT_FALSE(generator.levels.empty());
    EXPECT_DOUBLE_EQ(generator.levels.front(), -136);
    station.interrupt();
}

// The simulated receiver's side: the generator's output state and level
// asked over SCPI, the output off or the connection lost read as no signal.
TEST(GeneratorPoll, ReadsTheLevelOrNoSignal) {
    QString host;
    quint16 port = 0;
    EXPECT_TRUE(gpssim::parseGeneratorUrl("tcp://10.0.0.7", host, port) && port == 5025);
    for (const char* bad : {"10.0.0.7:5025", "tcp://", "tcp://h:0", "udp://h:5025", "tcp://h/x"})
        EXPECT_FALSE(gpssim::parseGeneratorUrl(bad, host, port)) << bad;

    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QByteArray output = "1";
    QTcpSocket* client = nullptr;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        client = server.nextPendingConnection();
        QObject::connect(client, &QTcpSocket::readyRead, [&] {
            for (const QByteArray& line : client->readAll().split('\n'))
                if (line == "OUTP?")
                    client->write(output + "\n");
                else if (line == "SOUR:POW?")
                    client->write("-1.250000E+02\n");
        });
    });
    {
        // Destroyed while connected: its closing socket is heard by no one.
        auto* gone = new gpssim::GeneratorPoll(QStringLiteral("127.0.0.1"), server.serverPort());
        int levels = 0;
        QObject::connect(gone, &gpssim::GeneratorPoll::level, [&] { ++levels; });
        gone->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return levels > 0; }, 30000));
        const int before = levels;
        delete gone;
        EXPECT_EQ(levels, before);
    }
    gpssim::GeneratorPoll poll(QStringLiteral("127.0.0.1"), server.serverPort());
    std::vector<std::optional<double>> heard;
    QObject::connect(&poll, &gpssim::GeneratorPoll::level,
                     [&](std::optional<double> dBm) { heard.push_back(dBm); });
    poll.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !heard.empty(); }, 30000));
    EXPECT_EQ(heard.back(), -125);
    output = "0";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !heard.back(); }, 30000));
    output = "1";
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.back() == -125.0; }, 30000));
    client->abort();
    server.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !heard.back(); }, 30000));
}

}  // namespace
}  // namespace station
