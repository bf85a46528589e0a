// A unit's cycle in order, without a port or a clock: the fix test, the
// signal test, the antenna, the configuration, the power retry and a device
// that went away, fed what a receiver said and when, in milliseconds of test
// time.
#include <gtest/gtest.h>

#include <QTime>
#include <algorithm>
#include <utility>

#include "gpslink/resetcommand.h"
#include "station/devicereturn.h"
#include "station/sequencer.h"
#include "station/startgate.h"
#include "station/startrule.h"
#include "station/watcher.h"
#include "testkit/runbench.h"

namespace station {
namespace {

using gpslink::nmeaCommand;

// One second of a receiver's output: GGA of the time and fix quality, GSA of
// the satellites used, one GSV group whose first satellite is GPS 1.
std::string second(int timeOfDayS, char quality, int cn0 = 42) {
    const std::string time =
        QTime(0, 0).addSecs(timeOfDayS).toString(QStringLiteral("hhmmss")).toStdString();
    std::string out = nmeaCommand("GPGGA," + time + ",4807.038,N,01131.000,E," + quality +
                                  ",08,0.9,545.4,M,,M,,");
    out += nmeaCommand("GPGSA,A,3,1,2,3,4,5,6,7,8,,,,,1.5,0.9,1.2");
    out += nmeaCommand("GPGSV,1,1,04,01,40,083," + std::to_string(cn0) +
                       ",02,40,083,40,03,40,083," + "38,04,40,083,36");
    return out;
}

// The sequencer as the unit's run drives it, its deadlines ticked as the
// test's clock passes them, and what it asked of the run kept.
class Unit {
public:
    explicit Unit(UnitConfig unit)
        : config(std::move(unit)), sequencer(config, port, clock, hooks()) {
        config.device = QStringLiteral("/dev/ttyUSB0");
        watcher.onGga = [this](const Gga& gga) {
            if (sequencer.fix().commanded() && gga.timeMs) line.confirmed = true;
            sequencer.gga(gga);
        };
        watcher.onSecond = [this](const Second& s) { sequencer.second(s); };
        watcher.onSentence = [this](std::string_view body) { sequencer.sentence(body); };
    }

    // The plan's seconds from the next one on: '1' a fix, '0' none, '-' silence.
    void seconds(std::string_view pattern, int cn0 = 42) {
        for (const char quality : pattern) {
            if (quality != '-') say(second(43200 + tod_, quality, cn0));
            ++tod_;
            nextMs_ += 1000;
        }
    }
    // Bytes at the next second, before its own.
    void say(const std::string& bytes) {
        advanceTo(nextMs_);
        sequencer.received();
        watcher.feed(bytes);
    }
    // The command's last byte out, half a second after the last second.
    void command() {
        advanceTo(nextMs_ - 500);
        sequencer.fix().commandOut(clock.nowNs());
    }
    void advanceTo(qint64 atMs) {
        for (auto due = sequencer.nextDeadlineMs(); due && *due <= atMs && !closed;
             due = sequencer.nextDeadlineMs()) {
            clock.set(std::max(clock.nowMs(), *due));
            sequencer.tick();
        }
        clock.set(std::max(clock.nowMs(), atMs));
    }
    // A cycle of a unit with a fix for ten seconds, commanded, then as the
    // pattern says; to its end.
    void commanded(std::string_view after, int cn0 = 42) {
        sequencer.beginCycle();
        line = {};
        seconds("1111111111", cn0);
        command();
        seconds(after, cn0);
    }
    void cycle(std::string_view after, int cn0 = 42) {
        commanded(after, cn0);
        advanceTo(nextMs_ + 400000);
    }
    std::string verdict() const { return closed ? results::codeOf(*closed).toStdString() : "-"; }
    bool noted(const QString& words) const {
        return std::any_of(notes.begin(), notes.end(),
                           [&](const QString& n) { return n.contains(words); });
    }

    UnitConfig config;
    testing::ManualClock clock;
    testing::MemoryPort port;
    Watcher watcher;
    FixTest::Line line;
    std::optional<Reason> identity;  // what holding the unit's identity comes to, once asked
    bool identityAsked = false;
    std::vector<QString> notes;
    int retries = 0;
    std::optional<Reason> closed;
    int closes = 0;
    Sequencer sequencer;

private:
    Sequencer::Hooks hooks() {
        Sequencer::Hooks h;
        h.identityFault = [this] {
            identityAsked = true;
            return std::exchange(identity, std::nullopt);
        };
        h.note = [this](const QString& note) { notes.push_back(note); };
        h.line = [this] { return line; };
        h.secondSoFar = [this] { return watcher.second(); };
        h.powerRetry = [this] { ++retries; };
        h.closed = [this](Reason reason) {
            closed = reason;
            ++closes;
        };
        h.changed = [] {};
        return h;
    }

    int tod_ = 0;
    qint64 nextMs_ = 0;
};

UnitConfig plan(QStringList tests) {
    UnitConfig unit;
    unit.tests = std::move(tests);
    unit.cn0Sv = QStringLiteral("GPS:1");
    unit.cn0Samples = 3;
    return unit;
}

// The fix test first, then the signal test: the signal is measured whatever
// the fix came to as long as the unit talks, the command held back from
// then on, and the cycle's reason is the first failure's; a station fault
// stands whatever came before it, and an interruption judges nothing.
TEST(Sequencer, TheTestsInTurnAndTheFirstFailureIsTheCycles) {
    {
        Unit unit(plan({"fix", "signal"}));
        unit.cycle("0001111111");
        EXPECT_EQ(unit.verdict(), "ok");
        EXPECT_EQ(unit.port.holds, 1);
        EXPECT_EQ(unit.sequencer.signal()->result().values.size(), 3u);
        CycleResult result;
        unit.sequencer.record(result);
        EXPECT_TRUE(result.ttffS.has_value());
        ASSERT_TRUE(result.signal);
        EXPECT_EQ(result.signal->reason, Reason::Ok);
    }
    {  // the fix over its limit, the signal measured all the same
        UnitConfig config = plan({"fix", "signal"});
        config.limits.most(Measure::Ttff) = 2;
        Unit unit(config);
        unit.cycle("0001111111");
        EXPECT_EQ(unit.verdict(), "ttff-over-limit");
        EXPECT_EQ(unit.sequencer.signal()->result().reason, Reason::Ok);
    }
    {  // the fix passes, the signal does not
        UnitConfig config = plan({"fix", "signal"});
        config.limits.least(Measure::SignalCn0) = 50;
        Unit unit(config);
        unit.cycle("0001111111");
        EXPECT_EQ(unit.verdict(), "signal-low");
    }
    {  // a unit gone silent ends the cycle before its signal is measured
        Unit unit(plan({"fix", "signal"}));
        unit.commanded("");
        unit.sequencer.end(Reason::ReceiverOff);
        EXPECT_EQ(unit.verdict(), "receiver-off");
        EXPECT_FALSE(unit.sequencer.signal()->started());
        EXPECT_EQ(unit.port.holds, 0);
    }
    {  // a station fault during the signal stands over the fix's failure
        UnitConfig config = plan({"fix", "signal"});
        config.limits.most(Measure::Ttff) = 2;
        Unit unit(config);
        unit.commanded("0001");
        unit.advanceTo(20000);
        ASSERT_EQ(unit.sequencer.kind(), RunTest::Kind::Measuring);
        unit.sequencer.end(Reason::PortUnavailable);
        EXPECT_EQ(unit.verdict(), "port-unavailable");
        EXPECT_EQ(unit.closes, 1);
    }
    {  // interrupted while measuring, shown as far as it came: the signal is not judged
        Unit unit(plan({"fix", "signal"}));
        unit.commanded("000111");
        Stage stage{};
        unit.sequencer.show(stage);
        EXPECT_EQ(stage.sv, QStringLiteral("GPS:1"));
        EXPECT_EQ(stage.samples, 2);
        EXPECT_EQ(stage.of, 3);
        EXPECT_EQ(stage.last, 42);
        unit.sequencer.interrupt();
        EXPECT_EQ(unit.verdict(), "interrupted");
        EXPECT_FALSE(unit.sequencer.signal()->judged());
    }
}

// The signal test alone begins once the link has the port; a satellite not
// seen within the time-out fails it, and a u-blox unit's front end is polled
// each second meanwhile.
TEST(Sequencer, TheSignalAloneBeginsWithTheLinkAndTimesOut) {
    UnitConfig config = plan({"signal"});
    config.fixTimeoutS = 5;
    Unit unit(config);
    unit.sequencer.setFamily(gpslink::ReceiverFamily::Ublox);
    unit.sequencer.beginCycle();
    EXPECT_EQ(unit.sequencer.kind(), RunTest::Kind::Fix);  // not yet: the link has no port
    EXPECT_FALSE(unit.sequencer.nextDeadlineMs());
    unit.sequencer.listening();
    EXPECT_EQ(unit.sequencer.kind(), RunTest::Kind::Measuring);
    unit.seconds("111111111", 0);  // GPS 1 listed, never with a C/N0
    EXPECT_EQ(unit.verdict(), "signal-not-seen");
    EXPECT_NE(unit.port.written.find(gpslink::ubxFrame(0x0A, 0x09, {})), std::string::npos);
    EXPECT_TRUE(unit.identityAsked);
}

// Who the unit said it is counts before the first test's verdict: a fix
// test's only when it has a fix, and the test after it still runs.
TEST(Sequencer, TheIdentityIsHeldBeforeTheFirstVerdict) {
    {
        Unit unit(plan({"fix", "signal"}));
        unit.identity = Reason::WrongFirmware;
        unit.cycle("0001111111");
        EXPECT_EQ(unit.verdict(), "wrong-firmware");
        EXPECT_TRUE(unit.sequencer.signal()->judged());
    }
    {  // no fix to hold it against, nor is the signal's verdict the first
        UnitConfig config = plan({"fix", "signal"});
        config.fixTimeoutS = 5;
        Unit unit(config);
        unit.identity = Reason::WrongFirmware;
        unit.cycle("0000000000");
        EXPECT_EQ(unit.verdict(), "no-fix");
        EXPECT_EQ(unit.sequencer.signal()->result().reason, Reason::Ok);
        EXPECT_FALSE(unit.identityAsked);
    }
}

// The antenna is read through the cycle and judges a cycle that passed; alone
// it is watched for the plan's seconds.
TEST(Sequencer, TheAntennaJudgesAPassingCycleAndIsWatchedAlone) {
    const std::string open = nmeaCommand("GPTXT,01,01,02,ANTSTATUS=OPEN");
    {
        Unit unit(plan({"fix", "antenna"}));
        unit.sequencer.beginCycle();
        unit.say(open);
        unit.seconds("1111111111");
        unit.command();
        unit.seconds("0001111");
        unit.advanceTo(60000);
        EXPECT_EQ(unit.verdict(), "antenna-open");
    }
    {  // the fix's failure comes first
        UnitConfig config = plan({"fix", "antenna"});
        config.limits.most(Measure::Ttff) = 2;
        Unit unit(config);
        unit.sequencer.beginCycle();
        unit.say(open);
        unit.seconds("1111111111");
        unit.command();
        unit.seconds("0001111");
        unit.advanceTo(60000);
        EXPECT_EQ(unit.verdict(), "ttff-over-limit");
    }
    {
        UnitConfig config = plan({"antenna"});
        config.antennaS = 4;
        config.requireAntenna = true;
        Unit unit(config);
        unit.sequencer.beginCycle();
        unit.sequencer.listening();
        EXPECT_EQ(unit.sequencer.kind(), RunTest::Kind::Observing);
        EXPECT_EQ(unit.sequencer.nextDeadlineMs(), 4000);
        unit.advanceTo(10000);
        EXPECT_EQ(unit.verdict(), "antenna-unknown");
    }
}

// The configuration is written once, after the last cycle, to a unit that
// passed (or failed, when the plan says so); a refusal fails a unit that
// passed and leaves a failure as it was.
TEST(Sequencer, TheConfigurationAfterTheLastCycleOnly) {
    Configuration configuration;
    configuration.name = QStringLiteral("L3-out-v1");
    ConfigItem item;
    item.body = "PMTK220,200";
    configuration.items[gpslink::ReceiverFamily::Mtk] = {item};
    const auto configured = [&](int cycles, bool afterFail) {
        UnitConfig config = plan({"fix", "config"});
        config.configuration = configuration;
        config.cycles = cycles;
        config.configAfterFail = afterFail;
        return config;
    };
    {
        Unit unit(configured(2, false));
        unit.sequencer.setFamily(gpslink::ReceiverFamily::Mtk);
        unit.cycle("0001111");
        EXPECT_EQ(unit.verdict(), "ok");
        EXPECT_EQ(unit.port.written, "");
        unit.closed.reset();
        unit.commanded("0001");
        unit.advanceTo(unit.clock.nowMs() + 1000);  // the fix's second whole
        EXPECT_EQ(unit.sequencer.kind(), RunTest::Kind::Configuring);
        EXPECT_EQ(unit.port.written, nmeaCommand("PMTK220,200"));
        EXPECT_EQ(unit.verdict(), "-");
        unit.say(nmeaCommand("PMTK001,220,2"));
        EXPECT_EQ(unit.verdict(), "config-rejected");
        EXPECT_TRUE(unit.noted(QStringLiteral("PMTK220")));
        CycleResult result;
        unit.sequencer.record(result);
        EXPECT_EQ(result.config, QStringLiteral("L3-out-v1"));
    }
    for (const bool afterFail : {false, true}) {
        UnitConfig config = configured(1, afterFail);
        config.limits.most(Measure::Ttff) = 2;
        Unit unit(config);
        unit.sequencer.setFamily(gpslink::ReceiverFamily::Mtk);
        unit.cycle("0001");
        EXPECT_EQ(unit.port.written.empty(), !afterFail);
        EXPECT_EQ(unit.verdict(), "ttff-over-limit");
    }
    {  // a family that cannot take it, or none known
        Unit unit(configured(1, false));
        unit.sequencer.setFamily(gpslink::ReceiverFamily::Sirf);
        unit.cycle("0001");
        EXPECT_EQ(unit.verdict(), "config-rejected");
        Unit unknown(configured(1, false));
        unknown.cycle("0001");
        EXPECT_EQ(unknown.verdict(), "config-rejected");
        EXPECT_TRUE(unknown.noted(QStringLiteral("family is not known")));
    }
}

// No data at all: with power retry the slot is switched off and on once,
// then no data is the verdict; without it, at once; never after an
// interruption.
TEST(Sequencer, NoDataRetriesByPowerOnce) {
    UnitConfig config = plan({"fix"});
    config.powerRetry = true;
    Unit unit(config);
    unit.sequencer.beginCycle();
    unit.sequencer.end(Reason::NoData);
    EXPECT_EQ(unit.retries, 1);
    EXPECT_EQ(unit.verdict(), "-");
    unit.sequencer.end(Reason::NoData);
    EXPECT_EQ(unit.retries, 1);
    EXPECT_EQ(unit.verdict(), "no-data");

    Unit once(plan({"fix"}));
    once.sequencer.beginCycle();
    once.sequencer.end(Reason::NoData);
    EXPECT_EQ(once.retries, 0);
    EXPECT_EQ(once.verdict(), "no-data");
}

// A device that went away during the reset is waited for until the
// confirmation limit, then the receiver is off, saying so; one back under
// another name is off at once.
TEST(Sequencer, ADeviceAwayIsReceiverOffAtTheLimitOrBackElsewhere) {
    UnitConfig config = plan({"fix"});
    config.confirmTimeoutS = 5;
    Unit unit(config);
    unit.commanded("");
    unit.line.deviceAway = true;
    unit.advanceTo(9500 + 4999);
    EXPECT_EQ(unit.verdict(), "-");
    unit.advanceTo(9500 + 5000);
    EXPECT_EQ(unit.verdict(), "receiver-off");
    EXPECT_TRUE(unit.noted(QStringLiteral("did not come back at /dev/ttyUSB0")));

    // Back under another name of its family, a character device that was not
    // there when it went: the unit off.  Entries there before, another
    // family, other files and its own name (reopened by the run) are not.
    const QStringList devices = {"ttyUSB1", "ttyUSB9", "ttyACM0", "gps-2"};
    const auto isDevice = [&](const QString& entry) { return devices.contains(entry); };
    const QStringList before = {"ttyUSB1"};
    EXPECT_EQ(
        cameBackAs("ttyUSB0", before, {"ttyUSB1", "ttyACM0", "ttyUSB.lock", "ttyUSB3"}, isDevice),
        std::nullopt);
    EXPECT_EQ(cameBackAs("ttyUSB0", before, {"ttyUSB0", "ttyUSB1"}, isDevice), std::nullopt);
    EXPECT_EQ(cameBackAs("ttyUSB0", before, {"ttyUSB1", "ttyUSB9"}, isDevice), "ttyUSB9");
    EXPECT_EQ(cameBackAs("gps-1", {}, {"gps-2"}, isDevice), "gps-2");

    // Gone before its command or after its fix: off at once.  During its
    // reset: waited for, until it is back at its path or elsewhere.
    const struct {
        bool commanded, fixed, backAtPath;
        QStringList now;
        bool waits;
        DeviceAway::Seen seen;
        const char* note;
    } cases[] = {
        {false, false, false, {}, false, {}, "the device went away"},
        {true, true, false, {}, false, {}, "the device went away"},
        {true,
         false,
         false,
         {"ttyUSB1"},
         true,
         DeviceAway::Seen::Away,
         "the device went away during the reset; waiting for it"},
        {true, false, true, {"ttyUSB0", "ttyUSB1"}, true, DeviceAway::Seen::Back, ""},
        {true,
         false,
         false,
         {"ttyUSB1", "ttyUSB9"},
         true,
         DeviceAway::Seen::Elsewhere,
         "the receiver came back as /dev/ttyUSB9, not at /dev/ttyUSB0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        DeviceAway away(QStringLiteral("/dev/ttyUSB0"));
        EXPECT_EQ(away.lost(c.commanded, c.fixed, before), c.waits);
        if (c.waits) {
            EXPECT_EQ(away.seen(c.backAtPath, c.now, isDevice), c.seen);
        }
        EXPECT_EQ(away.note(), c.note);
    }
}

// Each start rule in every form the plan gives it: who sends the command and
// when, and how a line without GGA times and the answer after it are taken.
TEST(StartRule, EachRuleSaysWhenTheCommandGoes) {
    const auto rule = [](const char* sendAfter, const char* start, bool fix) {
        PlanSettings plan;
        plan.sendAfter = QLatin1String(sendAfter);
        plan.start = QLatin1String(start);
        plan.tests = fix ? QStringList{"fix"} : QStringList{"signal"};
        return startRuleOf(plan);
    };
    const StartRule::Heard nothing{false, false}, heard{true, false}, asked{false, true},
        ready{true, true};

    const auto time = rule("time", "cold", true);
    EXPECT_TRUE(time->linkSends());
    EXPECT_FALSE(time->connectsAtOnce() || time->commandNow(ready) || time->rateHeardRight(true) ||
                 time->anyGgaAnswers() || time->waitsForReceiver() || time->takesHeardGga());
    EXPECT_FALSE(rule("time", "cold", false)->linkSends());  // listening only

    const auto whenReady = rule("ready", "cold", true);
    EXPECT_FALSE(whenReady->linkSends());
    EXPECT_TRUE(whenReady->connectsAtOnce() && whenReady->anyGgaAnswers() &&
                whenReady->waitsForReceiver() && whenReady->takesHeardGga());
    EXPECT_TRUE(whenReady->commandNow(ready));
    EXPECT_FALSE(whenReady->commandNow(nothing) || whenReady->commandNow(heard) ||
                 whenReady->commandNow(asked));
    EXPECT_TRUE(whenReady->rateHeardRight(true));
    EXPECT_FALSE(whenReady->rateHeardRight(false));
    EXPECT_FALSE(rule("ready", "cold", false)->commandNow(ready));

    for (const char* sendAfter : {"ready", "time"}) {
        SCOPED_TRACE(sendAfter);
        const auto power = rule(sendAfter, "power", true);
        EXPECT_FALSE(power->linkSends() || power->commandNow(ready) || power->takesHeardGga());
        EXPECT_TRUE(power->connectsAtOnce() && power->anyGgaAnswers());
        const bool afterReady = sendAfter == std::string("ready");
        EXPECT_EQ(power->rateHeardRight(true), afterReady);
        EXPECT_EQ(power->waitsForReceiver(), afterReady);
    }
}

// The unit's last GGA while it was got to know, handed to the link and the
// fix test as their first when the rule takes it: only with the port still
// open, at the rate it was heard at, once; and a checked sentence counts for
// the command only after the connect step.
TEST(StartGate, TheGgaHeardWhileGotToKnowAndTheSentencesSinceTheConnect) {
    PlanSettings plan;
    plan.sendAfter = QStringLiteral("ready");
    plan.tests = QStringList{"fix"};
    const auto ready = startRuleOf(plan);
    const std::string line = nmeaCommand("GPGGA,120001,4807.038,N,01131.000,E,0,00,,,M,,M,,");
    const auto hear = [&](StartGate& gate) {
        gate.heardGgaLine(line);
        gate.heardGga(*parseGga("GPGGA,120001,4807.038,N,01131.000,E,0,00,,,M,,M,,"), 7000);
    };

    StartGate gate(*ready);
    hear(gate);
    EXPECT_FALSE(gate.commandNow(true));
    const auto heard = gate.linkStarts(true);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->line, line);
    EXPECT_EQ(heard->atNs, 7000);
    EXPECT_EQ(heard->gga.timeMs, 12 * 3600000 + 1000);
    EXPECT_TRUE(gate.heardSinceOpen());
    EXPECT_FALSE(gate.commandNow(false));  // the family's queries first
    EXPECT_TRUE(gate.commandNow(true));
    EXPECT_FALSE(gate.linkStarts(true));  // once

    gate.beginCycle();
    hear(gate);
    EXPECT_FALSE(gate.linkStarts(false));  // the port was closed meanwhile
    EXPECT_FALSE(gate.linkStarts(true));   // and it is not kept for later
    hear(gate);
    gate.relistened();  // another rate
    EXPECT_FALSE(gate.linkStarts(true));

    // Without it, a checked sentence before the connect step does not count.
    gate.beginCycle();
    gate.sentence();
    EXPECT_FALSE(gate.opened() || gate.commandNow(true));
    gate.portOpened();
    gate.sentence();
    EXPECT_TRUE(gate.heardSinceOpen() && gate.commandNow(true));

    // The window's rule and a power start take nothing heard before.
    plan.sendAfter = QStringLiteral("time");
    const auto time = startRuleOf(plan);
    plan.start = QStringLiteral("power");
    const auto power = startRuleOf(plan);
    for (const StartRule* rule : {time.get(), power.get()}) {
        StartGate other(*rule);
        hear(other);
        EXPECT_FALSE(other.linkStarts(true));
        EXPECT_FALSE(other.heardSinceOpen());
    }
}

}  // namespace
}  // namespace station
