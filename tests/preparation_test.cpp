// A unit got ready for its tests without a port or a clock: the power
// switched off and on, the rate and the family found, who it is, and the
// moment its start goes out, fed what a receiver said in milliseconds of
// test time.
#include <gtest/gtest.h>

#include <string>

#include "gpslink/resetcommand.h"
#include "station/preparation.h"
#include "testkit/runbench.h"

namespace station {
namespace {

using gpslink::ReceiverFamily;

constexpr qint64 kPowerCommandMs = 100;  // how long the fixture's commands take here

std::string queries(ReceiverFamily family) {
    std::string all;
    for (const std::string& query : identityQueries(family)) all += query;
    return all;
}

// A GGA body at 12:00:00 plus s seconds; quality '0' no fix.
std::string gga(int s, char quality) {
    return "GPGGA,1200" + QString::number(s).rightJustified(2, '0').toStdString() +
           ".00,4807.038,N,01131.000,E," + quality + ",08,0.9,545.4,M,,M,,";
}

// The preparation as the run drives it: the power commands end
// kPowerCommandMs after they began, deadlines ticked as the clock passes
// them, and the unit heard only at the rate it talks at.
class Bench {
public:
    Bench(const char* sendAfter, const char* start, Preparation::Settings settings,
          int unitRate = 9600)
        : unitRate_(unitRate),
          rule_(rule(sendAfter, start)),
          prep(std::move(settings), *rule_, actions()) {}

    void run(qint64 untilMs) {
        for (;;) {
            std::optional<qint64> next = prep.nextDeadlineMs();
            if (power_ && (!next || powerEndsMs_ < *next)) next = powerEndsMs_;
            if (!next || *next > untilMs || failed) break;
            clock.set(std::max(clock.nowMs(), *next));
            if (power_ && powerEndsMs_ <= clock.nowMs()) {
                const QString failure = std::exchange(power_, std::nullopt)->first;
                prep.powerEnded(failure, clock.nowNs());
            } else {
                prep.tick(clock.nowMs());
            }
        }
        clock.set(std::max(clock.nowMs(), untilMs));
    }
    // A checked sentence from the unit at untilMs, heard if the line is at its rate.
    void say(qint64 atMs, const std::string& body) {
        run(atMs);
        prep.bytes(clock.nowMs());
        if (rate_ != unitRate_) return;
        const bool preparing = !linked;
        if (prep.sentence(body, preparing)) return;
        if (const auto g = parseGga(body)) prep.gga(*g, preparing, clock.nowMs(), clock.nowNs());
        prep.tick(clock.nowMs());
    }
    std::string verdict() const {
        return failed ? results::codeOf(*failed).toStdString() : std::string("-");
    }

    testing::ManualClock clock;
    std::string log;     // what the run was asked to do, in order
    std::string sent;    // bytes written to the unit
    QString powerFails;  // the words the next power command fails in; empty: it works
    bool linked = false;
    std::optional<Reason> failed;
    QString problem, note;
    std::optional<qint64> poweredOnNs;

private:
    static std::unique_ptr<StartRule> rule(const char* sendAfter, const char* start) {
        PlanSettings plan;
        plan.sendAfter = QLatin1String(sendAfter);
        plan.start = QLatin1String(start);
        return startRuleOf(plan);
    }
    Preparation::Actions actions() {
        Preparation::Actions a;
        a.probe.listenAt = [this](int rate) {
            log += "listen " + std::to_string(rate) + "; ";
            rate_ = rate;
            return true;
        };
        a.probe.send = [this](const std::string& bytes) { sent += bytes; };
        a.probe.rateWorked = [](int) {};
        a.lastRate = [] { return 0; };
        a.probing = [this] { linked = false; };
        a.power = [this](const QString& command) {
            log += "power " + command.toStdString() + "; ";
            power_.emplace(std::exchange(powerFails, {}), command);
            powerEndsMs_ = clock.nowMs() + kPowerCommandMs;
        };
        a.listenWhileOff = [this] {
            log += "listen while off; ";
            rate_ = unitRate_;
        };
        a.linkMayStart = [this] {
            log += "link; ";
            linked = true;
        };
        a.listening = [this] { log += "listening; "; };
        a.identityIn = [this] { log += "identity in; "; };
        a.poweredOn = [this](qint64 ns) { poweredOnNs = ns; };
        a.show = [](const QString&) {};
        a.note = [this](const QString& words) { note = words; };
        a.failed = [this](Reason reason, const QString& words) {
            failed = reason;
            problem = words;
            prep.end();  // the cycle's verdict
        };
        return a;
    }

    int unitRate_;
    int rate_ = 0;
    std::optional<std::pair<QString, QString>> power_;  // the command under way: its failure
    qint64 powerEndsMs_ = 0;
    std::unique_ptr<StartRule> rule_;

public:
    Preparation prep;
};

Preparation::Settings settings(std::optional<ReceiverFamily> family = ReceiverFamily::Ublox,
                               int baud = 9600) {
    Preparation::Settings s;
    s.probe = {baud, family, false, 0};
    s.powerOffTimeS = 2;
    return s;
}

// A power start: off for the off time, listened to meanwhile, on, then the
// probe; the power-on is the start.  Whatever the unit did while off, the
// slot is switched on again before the cycle ends on it.
TEST(Preparation, APowerStartIsOffListenedToOnAndThenTheStart) {
    const struct {
        const char* name;
        const char* offFails;  // the "off" command's failure, "" none
        const char* onFails;
        qint64 talksWhileOffAtMs;  // 0: silent
        char firstQuality;         // the first GGA after "on"
        const char* log;
        const char* verdict;
        const char* problem;
    } cases[] = {
        {"starts over", "", "", 0, '0',
         "power off; listen while off; power on; listen 9600; link; ", "-", ""},
        {"kept talking", "", "", 1500, '0', "power off; listen while off; power on; ",
         "power-failed", "kept talking with its supply off"},
        {"never went off", "", "", 0, '1', "power off; listen while off; power on; listen 9600; ",
         "power-failed", "fix"},
        {"off fails", "exited with status 3", "", 0, '0', "power off; ", "power-failed",
         "the power command (off) exited with status 3"},
        {"on fails", "", "timed out", 0, '0', "power off; listen while off; power on; ",
         "power-failed", "the power command (on) timed out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Preparation::Settings s = settings();
        s.powerStart = true;
        Bench bench("ready", "power", s);
        bench.powerFails = QLatin1String(c.offFails);
        bench.prep.begin(0);
        bench.run(50);
        bench.powerFails = QLatin1String(c.onFails);
        if (c.talksWhileOffAtMs) bench.say(c.talksWhileOffAtMs, "GPTXT,01,01,02,still here");
        bench.run(2300);  // "off" ended at 100, on at 2100, ended at 2200
        bench.say(2500, gga(0, c.firstQuality));
        bench.run(2600);
        EXPECT_EQ(bench.log, c.log);
        EXPECT_EQ(bench.verdict(), c.verdict);
        EXPECT_TRUE(bench.problem.contains(QLatin1String(c.problem)))
            << bench.problem.toStdString();
        if (bench.failed) continue;
        // The power-on's moment, the end of "on", is the command's.
        EXPECT_EQ(bench.prep.powerStarts(), qint64(2200) * 1000000);
        bench.prep.proofShown();
        EXPECT_EQ(bench.poweredOnNs, qint64(2200) * 1000000);
    }
}

// The GGA heard while the unit was got to know reaches the link with its
// text and its moment, and lets the station's rule command at once; the unit
// is asked who it is once.  (Which rule takes it, and when not: StartGate.)
TEST(Preparation, TheGgaHeardWhileGotToKnowLetsTheCommandGoAtOnce) {
    Bench bench("ready", "cold", settings());
    bench.prep.begin(0);
    bench.say(800, gga(0, '1'));
    EXPECT_EQ(bench.log, "listen 9600; link; ");
    EXPECT_FALSE(bench.prep.ready(800, true)) << "not before the link starts";
    const auto heard = bench.prep.linkStarts(true);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->line, gpslink::nmeaCommand(gga(0, '1')));
    EXPECT_EQ(heard->atNs, qint64(800) * 1000000);
    EXPECT_TRUE(bench.prep.ready(900, true));
    bench.prep.portOpened(1000);
    EXPECT_EQ(bench.sent, queries(ReceiverFamily::Ublox)) << "asked once";
}

// Who the unit is: held to the plan at once when it answered in full, else
// at the first verdict, once; a unit that gave no answer asked again after
// its reset.  Without a fix test the first turn begins once it is asked.
TEST(Preparation, TheIdentityIsHeldAtOnceWhenAnsweredElseAtTheVerdict) {
    const std::string pair020 = "PAIR020,AG3335M_V2.5.0,S,N";
    {
        Preparation::Settings s = settings(ReceiverFamily::Airoha);
        s.expectFirmware = QStringLiteral("^AG3352");
        Bench bench("ready", "cold", s);
        bench.prep.begin(0);
        bench.say(800, gga(0, '1'));
        bench.prep.portOpened(1000);
        bench.say(1100, pair020);
        EXPECT_FALSE(bench.prep.ready(1100, true));
        EXPECT_EQ(bench.verdict(), "wrong-firmware");
        EXPECT_FALSE(bench.prep.identityFault()) << "held once";
    }
    {
        Preparation::Settings s = settings(ReceiverFamily::Airoha);
        s.requireIdentity = true;
        s.testsFix = false;
        Bench bench("ready", "cold", s);
        bench.prep.begin(0);
        bench.say(800, gga(0, '1'));
        bench.prep.timeCounted(1000);  // the link heard a GGA time: asked
        EXPECT_EQ(bench.log, "listen 9600; link; listening; ");
        bench.run(4000);
        EXPECT_EQ(bench.log, "listen 9600; link; listening; identity in; ");
        EXPECT_EQ(bench.verdict(), "-");
        const std::string query = queries(ReceiverFamily::Airoha);
        bench.prep.resetSeen(4500);
        bench.prep.resetSeen(4600);
        EXPECT_EQ(bench.sent, query + query);
        EXPECT_EQ(results::codeOf(*bench.prep.identityFault()), "identity-unknown");
        EXPECT_FALSE(bench.prep.identityFault());
    }
}

// No data: the slot switched off and on once, without listening (not a power
// start), then the unit got to know again at the rate found the first time.
// A probe that fails ends the cycle with its reason and its words.
TEST(Preparation, NoDataRetriesByPowerAndAProbeFailureEndsTheCycle) {
    {
        Bench bench("ready", "cold", settings(ReceiverFamily::Mtk, 0), 4800);
        bench.prep.begin(0);
        bench.say(2000, gga(0, '1'));
        EXPECT_EQ(bench.log, "listen 9600; listen 4800; link; ");
        bench.log.clear();
        bench.run(5000);
        bench.prep.retry(5000);
        bench.run(7300);  // "off" ends at 5100, "on" begins at 7100
        bench.say(7400, gga(1, '1'));
        EXPECT_EQ(bench.log, "power off; power on; listen 4800; link; ");
    }
    {
        Bench bench("ready", "cold", settings(ReceiverFamily::Mtk, 0));
        bench.prep.begin(0);
        bench.run(60000);
        EXPECT_EQ(bench.verdict(), "no-data");
        EXPECT_EQ(bench.note, "nothing at any rate");
    }
}

}  // namespace
}  // namespace station
