// The station's decisions without a port or a clock: the fix test, the
// signal test, the identity check and what the line's and the fixture's
// commands answered, fed what a receiver said and when, in
// milliseconds of test time.
#include <gtest/gtest.h>
#include <set>

#include <QTime>
#include <algorithm>
#include <cstring>

#include "gpslink/resetcommand.h"
#include "sim/capture.h"
#include "station/calibration.h"
#include "station/families.h"
#include "station/fixtest.h"
#include "station/hook.h"
#include "station/identity.h"
#include "station/powercycle.h"
#include "station/powerproof.h"
#include "station/probe.h"
#include "station/restartsign.h"
#include "station/signaltest.h"
#include "station/watcher.h"
#include "station/words.h"
#include "testkit/recordings.h"

namespace station {
namespace {

// The fix test as the unit's run drives it, on a clock of its own: bursts
// arrive at their times and every deadline falls due in between.  The link's
// confirmation is a GGA with a time after the command.
class Replay {
public:
    explicit Replay(FixTest::Settings settings = {}) : test(std::move(settings)) {
        watcher.onGga = [this](const Gga& gga) {
            if (test.commanded() && gga.timeMs) line.confirmed = true;
            test.gga(gga, now_ * 1000000);
        };
        watcher.onSecond = [this](const Second& second) { test.secondEnded(second); };
        watcher.onSentence = [this](std::string_view body) { test.sentence(body); };
    }
    void command(qint64 atMs) {
        advanceTo(atMs);
        test.commandOut(atMs * 1000000);
    }
    void burst(qint64 atMs, const std::string& bytes) {
        advanceTo(atMs);
        test.received(atMs);
        watcher.feed(bytes);
    }
    void advanceTo(qint64 atMs) {
        for (auto due = test.nextDeadlineMs(now_, line); due && *due <= atMs && !test.verdict();
             due = test.nextDeadlineMs(now_, line)) {
            now_ = std::max(now_, *due);
            test.tick(now_, line, watcher.second());
        }
        now_ = atMs;
    }
    std::string verdict() const {
        return test.verdict() ? results::codeOf(*test.verdict()).toStdString() : "-";
    }

    FixTest test;
    Watcher watcher;
    FixTest::Line line;

private:
    qint64 now_ = 0;
};

// One second of a receiver's output: GGA of this time (hhmmss) and fix
// quality ("" for a null field), GSA of the satellites used, one GSV group.
std::string second(const char* time, const char* quality, int satellites = 8, int cn0 = 42) {
    std::string out =
        gpslink::nmeaCommand(std::string("GPGGA,") + time + ",4807.038,N,01131.000,E," + quality +
                             "," + std::to_string(satellites) + ",0.9,545.4,M,,M,,");
    std::string gsa = "GPGSA,A,3";
    for (int i = 1; i <= 12; ++i) gsa += i <= satellites ? "," + std::to_string(i) : ",";
    out += gpslink::nmeaCommand(gsa + ",1.5,0.9,1.2");
    out += gpslink::nmeaCommand("GPGSV,1,1,04,01,40,083," + std::to_string(cn0) + ",02,40,083," +
                                std::to_string(cn0 - 2) + ",03,40,083," + std::to_string(cn0 - 4) +
                                ",04,40,083," + std::to_string(cn0 - 6));
    return out;
}

std::string hhmmss(int seconds) {
    return QTime(0, 0).addSecs(seconds).toString(QStringLiteral("hhmmss")).toStdString();
}

// A receiver with a fix, commanded at 10 s; after that each second is what
// `after` says of it ("1" fix, "0" no fix, "" null quality, "-" silence,
// "t" its clock restarted without a fix, "8" simulation, ...).
std::string run(Replay& replay, const std::vector<std::string>& after, int satellites = 8,
                int cn0 = 42) {
    for (int s = 0; s < 10; ++s)
        replay.burst(s * 1000, second(hhmmss(43200 + s).c_str(), "1", satellites, cn0));
    replay.command(10000);
    for (std::size_t i = 0; i < after.size(); ++i) {
        const qint64 at = 10500 + qint64(i) * 1000;
        if (after[i] == "-") continue;
        const std::string time = after[i] == "t" ? hhmmss(int(i)) : hhmmss(43210 + int(i));
        replay.burst(
            at, second(time.c_str(), after[i] == "t" ? "0" : after[i].c_str(), satellites, cn0));
    }
    replay.advanceTo(10500 + qint64(after.size()) * 1000 + 400000);
    return replay.verdict();
}

std::vector<std::string> times(int n, const std::string& each) {
    return std::vector<std::string>(std::size_t(n), each);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every limit of the measures' table, as the verdict and its words use it:
// a value beyond fails with the limit's reason and is said against it, the
// limit itself passes, and a missing value fails it.
TEST(Measures, EveryLimitFailsWithItsReasonAndIsSaidAgainstIt) {
    int bounds = 0;
    for (const results::MeasureRow& m : results::kMeasures)
        for (const bool upper : {false, true}) {
            const results::Bound& b = upper ? m.most : m.least;
            if (!b.key) continue;
            ++bounds;
            SCOPED_TRACE(b.key);
            CycleResult r;
            (upper ? r.limits.most(m.measure) : r.limits.least(m.measure)) = 10;
            const double beyond = upper ? 15 : 5;
            if (m.measure == Measure::SignalCn0) {
                r.signal.emplace();
                r.signal->values = {int(beyond)};
            } else
                r.setMeasured(m.measure, beyond);
            EXPECT_EQ(r.limits.judge(m.measure, beyond), b.reason);
            EXPECT_EQ(r.limits.judge(m.measure, 10), std::nullopt);
            EXPECT_EQ(r.limits.judge(m.measure, std::nullopt), b.reason);
            r.reason = b.reason;
            if (r.signal) r.signal->reason = b.reason;
            const QString words = outcomeWords(r, 30, 300, {}, {});
            EXPECT_TRUE(words.contains(QLatin1String(upper ? " > 10" : " < 10")) &&
                        words.contains(QString::number(beyond, 'f', m.decimals)))
                << words.toStdString();
            EXPECT_EQ(r.toJson().value("limits").toObject().value(b.key).toDouble(), 10);
        }
    EXPECT_GT(bounds, 0);
}

TEST(FixTest, ProvesTheResetTimesTheFixAndHoldsItToTheLimits) {
    Limits limits;
    limits.most(results::Measure::Ttff) = 20;
    limits.least(results::Measure::Satellites) = 6;
    limits.least(results::Measure::SkyCn0) = 35;
    const struct {
        const char* name;
        std::vector<std::string> after;
        bool requireReset;
        const char* verdict;
        bool resetSeen;
        double ttff;  // 0: none
        int satellites = 8, cn0 = 42;
    } cases[] = {
        {"fix lost, then a fix", times(5, "0") + times(3, "1"), true, "ok", true, 5.5},
        {"null fix quality, then a fix", times(5, "") + times(3, "1"), true, "ok", true, 5.5},
        {"clock restarted", times(3, "t") + times(3, "1"), true, "ok", true, 3.5},
        {"silent 3 s, then a fix", times(3, "-") + times(3, "1"), true, "ok", true, 3.5},
        {"keeps its fix", times(40, "1"), true, "reset-not-taken", false, 0},
        {"keeps its fix, reset not required", times(40, "1"), false, "ok", false, 0.5},
        {"no time after the command", times(40, "-"), true, "no-confirmation", true, 0},
        {"no fix", times(2, "0"), true, "no-fix", true, 0},
        {"too slow", times(25, "0") + times(3, "1"), true, "ttff-over-limit", true, 25.5},
        {"too few satellites", times(2, "0") + times(3, "1"), true, "too-few-satellites", true, 2.5,
         5},
        {"too weak", times(2, "0") + times(3, "1"), true, "cn0-under-limit", true, 2.5, 8, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixTest::Settings settings;
        settings.requireReset = c.requireReset;
        settings.limits = limits;
        Replay replay(settings);
        EXPECT_EQ(run(replay, c.after, c.satellites, c.cn0), c.verdict);
        EXPECT_EQ(replay.test.resetSeen(), c.resetSeen);
        // A pass says when its reset was not proven.
        if (std::string(c.verdict) == "ok") {
            EXPECT_EQ(replay.test.note().contains("reset not proven"), !c.resetSeen);
        }
        if (c.ttff > 0) {
            ASSERT_TRUE(replay.test.ttffS());
            EXPECT_NEAR(*replay.test.ttffS(), c.ttff, 1e-6);
        } else {
            EXPECT_FALSE(replay.test.ttffS());
        }
    }
}

// Every limit of the plan is judged and kept, not only the first that fails:
// a unit over its TTFF and its HDOP limits has both; the reason stays the
// first failing limit in the measures' table order; a test that did not come
// to its verdict (no fix, a satellite not seen) leaves its limits not
// measured.  The result's JSON carries them as they were judged.
TEST(LimitResults, EveryLimitIsJudgedAndTheFirstFailingIsTheReason) {
    using results::LimitOutcome;
    constexpr auto Pass = LimitOutcome::Pass, Fail = LimitOutcome::Fail,
                   NotMeasured = LimitOutcome::NotMeasured;
    Limits limits;
    limits.most(Measure::Ttff) = 20;
    limits.least(Measure::Satellites) = 6;
    limits.most(Measure::Hdop) = 0.5;  // each second's GGA says 0.9
    limits.least(Measure::SignalCn0) = 40;
    limits.most(Measure::SignalCn0) = 50;
    const struct {
        const char* name;
        std::vector<std::string> after;
        int satellites;
        std::optional<std::vector<int>> signal;  // the signal test's readings, if it ran
        const char* verdict;
        std::vector<LimitOutcome> outcomes;  // TTFF, satellites, signal C/N0, HDOP
    } cases[] = {
        // clang-format off
        {"too slow, HDOP over", times(25, "0") + times(3, "1"), 8, {},
         "ttff-over-limit", {Fail, Pass, NotMeasured, Fail}},
        {"too few satellites, HDOP over, signal low", times(2, "0") + times(3, "1"), 5,
         std::vector{38, 38}, "too-few-satellites", {Pass, Fail, Fail, Fail}},
        {"too slow, HDOP over, signal not seen", times(25, "0") + times(3, "1"), 8,
         std::vector<int>{}, "ttff-over-limit", {Fail, Pass, NotMeasured, Fail}},
        {"no fix, signal in its window", times(2, "0"), 8, std::vector{45, 45},
         "no-fix", {NotMeasured, NotMeasured, Pass, NotMeasured}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixTest::Settings settings;
        settings.limits = limits;
        Replay replay(settings);
        ASSERT_EQ(run(replay, c.after, c.satellites), c.verdict);
        // The result as the unit's run makes it of the tests.
        CycleResult r;
        r.limits = limits;
        r.reason = *replay.test.verdict();
        if (const auto& fix = replay.test.fix()) {
            const Figures f = FixTest::figuresOf(*replay.test.ttffS(), *fix, replay.test.atFix());
            for (const results::MeasureRow& m : results::kMeasures)
                if (m.test == results::Test::Fix)
                    r.setMeasured(m.measure, f[std::size_t(m.measure)]);
            r.fixJudged = true;
        }
        if (c.signal) {
            SignalTest signal({"GPS:1", 2, 10, {}, {}, {}});
            signal.start(0);
            for (std::size_t i = 0; i < c.signal->size(); ++i) {
                Second s;
                s.sky.satellites.push_back(SkySatellite{"GPS", 1, (*c.signal)[i], {}});
                signal.secondEnded(s, qint64(i) * 1000);
            }
            signal.tick(20000);
            signal.judge(limits);
            r.signal = signal.result();
        }
        const std::vector<results::LimitResult> judged = r.limitResults();
        std::vector<LimitOutcome> outcomes;
        for (const results::LimitResult& l : judged) outcomes.push_back(l.outcome);
        EXPECT_EQ(outcomes, c.outcomes);
        // The reason is the first failing limit's, when the fix test ended on its limits.
        const auto first = std::find_if(judged.begin(), judged.end(), [](const auto& l) {
            return l.outcome == Fail && results::rowOf(l.measure).test == results::Test::Fix;
        });
        if (first != judged.end()) {
            EXPECT_EQ(r.limits.judge(first->measure, first->value), r.reason);
        }
        EXPECT_EQ(results::limitResultsFromJson(r.toJson().value("limit_results")), judged);
    }
}

// Each limit's result in its measure's row's words: a window's either side,
// a value missing, a limit not measured.  (A minimum's and a maximum's
// failure and pass are read in the report's tests.)
TEST(LimitResults, AreSaidInTheirMeasuresWords) {
    using results::LimitOutcome;
    using results::LimitResult;
    const struct {
        LimitResult limit;
        const char* words;
    } cases[] = {
        {{Measure::Ttff, {}, {}, 15, LimitOutcome::Fail}, "TTFF - s > 15 s"},
        {{Measure::Hdop, 0.9, {}, 2.5, LimitOutcome::Pass}, "HDOP 0.9 <= 2.5"},
        {{Measure::SignalCn0, 38.1, 40, 50, LimitOutcome::Fail}, "GPS:1 C/N0 38.10 < 40 dB-Hz"},
        {{Measure::SignalCn0, 51, 40, 50, LimitOutcome::Fail}, "GPS:1 C/N0 51.00 > 50 dB-Hz"},
        {{Measure::SignalCn0, 45, 40, 50, LimitOutcome::Pass},
         "GPS:1 C/N0 45.00 in 40 to 50 dB-Hz"},
        {{Measure::SignalCn0, {}, 40, 50, LimitOutcome::NotMeasured},
         "Signal C/N0 not measured (signal C/N0 of GPS:1 from 40 to 50 dB-Hz)"},
        {{Measure::SkyCn0, {}, 30, {}, LimitOutcome::NotMeasured},
         "Sky C/N0 not measured (C/N0 of the 4 strongest at least 30 dB-Hz)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(results::limitResultWords(c.limit, QStringLiteral("GPS:1")).toStdString(),
                  c.words);
}

// A receiver sends each second in one burst: once the line has been quiet
// for 0.25 s after the fix, its second is whole, its GSV sent after the GGA
// included, without waiting for the next second; its GSA's satellites and
// its sky are the fix's, not the GGA's figures.
TEST(FixTest, TakesTheFixsSecondWholeOnceItsBurstIsOver) {
    Replay replay;
    replay.command(0);
    replay.burst(500, second("120010", "0"));
    const std::string fix = second("120011", "1");
    const std::size_t gga = fix.find('\n') + 1;
    replay.burst(1500, fix.substr(0, gga));
    replay.burst(1600, fix.substr(gga));
    replay.advanceTo(1849);
    EXPECT_EQ(replay.verdict(), "-");
    replay.advanceTo(1850);
    EXPECT_EQ(replay.verdict(), "ok");
    EXPECT_EQ(replay.test.atFix().gsaSatellites, 8);
    EXPECT_EQ(replay.test.atFix().sky.max, 42);
    EXPECT_EQ(replay.test.atFix().sky.meanTop4, 39.0);
}

// A device that went away during the reset and is not back by the
// confirmation limit; one that is back in time goes on to its fix.
TEST(FixTest, ADeviceAwayIsWaitedForUntilTheConfirmationLimit) {
    for (const bool back : {false, true}) {
        Replay replay;
        replay.line.confirmed = true;
        replay.line.deviceAway = true;
        replay.command(0);
        replay.advanceTo(back ? 20000 : 31000);
        replay.line.deviceAway = false;
        replay.burst(32000, second("120000", "1"));
        replay.advanceTo(40000);
        EXPECT_EQ(replay.verdict(), back ? "ok" : "receiver-off");
    }
}

// Each family's own signs of a restart, in one sentence.
TEST(RestartSign, ReadsEachFamilysOwnSigns) {
    using gpslink::ReceiverFamily;
    const auto cold = [](ReceiverFamily f) {
        return station::startCommand(f, gpslink::StartType::Cold);
    };
    const struct {
        std::optional<ReceiverFamily> family;
        const char* body;
        RestartSign sign;
    } cases[] = {
        {ReceiverFamily::Mtk, "PMTK010,001", RestartSign::StartedUp},
        {ReceiverFamily::Mtk, "PMTK011,MTKGPS", RestartSign::StartedUp},
        {ReceiverFamily::Mtk, "PMTK010,002", RestartSign::None},  // an aiding notice
        {ReceiverFamily::Mtk, "PMTK001,103,3", RestartSign::Acknowledged},
        {ReceiverFamily::Mtk, "PMTK001,103,1", RestartSign::None},  // refused
        {ReceiverFamily::Mtk, "PMTK001,10,3", RestartSign::None},   // another command
        {ReceiverFamily::Mtk, "PMTK001,1030,3", RestartSign::None},
        {ReceiverFamily::Airoha, "PAIR001,006,0", RestartSign::Acknowledged},
        {ReceiverFamily::Airoha, "PAIR001,006,1", RestartSign::None},
        {ReceiverFamily::Airoha, "PAIR001,020,0", RestartSign::None},  // the identity query's
        {ReceiverFamily::Ublox, "GPTXT,01,01,02,u-blox ag - www.u-blox.com", RestartSign::Banner},
        {ReceiverFamily::Ublox, "GNTXT,01,01,02,u-blox AG - www.u-blox.com", RestartSign::Banner},
        {ReceiverFamily::Ublox, "GPTXT,01,01,02,ANTSTATUS=OK", RestartSign::None},
        {ReceiverFamily::Sirf, "PSRFTXTVersion GSW3.2.2_3.1.00.12-SDK003P1.01a ",
         RestartSign::Banner},
        {ReceiverFamily::Sirf, "PSRFTXT,TOW:  484076", RestartSign::None},
        {ReceiverFamily::Casic, "GPTXT,01,01,02,u-blox ag", RestartSign::None},  // not its own
        {std::nullopt, "PMTK010,001", RestartSign::None},  // a family not known: no sign
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string command = c.family ? cold(*c.family) : std::string();
        EXPECT_EQ(restartSign(c.family, c.body, command), c.sign);
    }
}

// The reset of a unit commanded at 10 s, proven by what the unit had before
// the command and lost in it, or by its family's sign; a unit that had
// nothing to lose and showed no sign gets its fix, its reset not proven,
// unless the proof is required.
TEST(FixTest, ProvesTheResetByWhatWasLostOrByTheFamilysSign) {
    using Sign = FixTest::Sign;
    const auto g = [](const std::string& time, const char* quality) {
        return gpslink::nmeaCommand("GPGGA," + time + ",4807.038,N,01131.000,E," + quality +
                                    ",08,0.9,545.4,M,,M,,");
    };
    const std::string gsv = gpslink::nmeaCommand("GPGSV,1,1,01,01,40,083,42");
    const std::string none = gpslink::nmeaCommand("GPGSV,1,1,01,01,40,083,");
    const std::string banner = gpslink::nmeaCommand("GPTXT,01,01,02,u-blox ag - www.u-blox.com");
    const struct {
        const char* name;
        const char* before;  // each second before the command: "1" fix, "0" time only, "" nothing
        int beforeAt;        // the time of day of the first of them
        const char* flags;   // "t": they track a satellite; "p": the proof is required
        std::optional<Sign> sign;
        const char* verdict;
        std::vector<std::string> after;  // the seconds after it, a fix in the last
    } cases[] = {
        // clang-format off
        {"time lost", "0", 43200, "t", Sign::TimeLost, "ok", {g("", "0"), g("120020", "1")}},
        {"clock back", "0", 43200, "t", Sign::ClockRestarted, "ok",
         {g("110000", "0"), g("110001", "1")}},
        {"counting from power-up, started over", "0", 0, "", Sign::ClockRestarted, "ok",
         {g("000000", "0"), g("000001", "1")}},
        // A fix's time behind the unit's own clock puts the clock right.
        {"fix behind a clock that ran ahead", "0", 43200, "", {}, "ok", {g("110000", "1")}},
        {"across midnight", "0", 86390, "t", {}, "ok", {g("000001", "0"), g("000002", "1")}},
        // Counting from 00:00:00 since power-up, commanded before its first
        // GGA and ignoring it: its clock says nothing of a restart.
        {"counting from power-up, nothing before", "", 0, "", {}, "ok",
         {g("000002", "0"), g("000003", "1")}},
        {"every satellite lost", "0", 43200, "t", Sign::SkyLost, "ok",
         {g("120011", "0") + none, g("120012", "0") + none, g("120013", "1")}},
        {"banner, then no fix", "0", 43200, "", Sign::Banner, "ok",
         {banner + g("120011", "0"), g("120012", "1")}},
        {"banner while the fix goes on", "1", 43200, "", {}, "reset-not-taken",
         {banner + g("120011", "1")}},
        {"nothing to lose, no sign", "0", 43200, "", {}, "ok", {g("120011", "1")}},
        {"nothing to lose, proof required", "0", 43200, "p", {}, "reset-not-taken",
         {g("120011", "1")}},
        {"nothing before at all", "", 43200, "", {}, "ok", {g("120011", "1")}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixTest::Settings settings;
        const bool tracking = std::strchr(c.flags, 't'), requireProof = std::strchr(c.flags, 'p');
        settings.requireProof = requireProof;
        settings.family = gpslink::ReceiverFamily::Ublox;
        Replay replay(settings);
        for (int s = 0; s < 10 && *c.before; ++s)
            replay.burst(s * 1000, g(hhmmss(c.beforeAt + s), c.before) + (tracking ? gsv : ""));
        replay.command(10000);
        for (std::size_t i = 0; i < c.after.size(); ++i)
            replay.burst(10500 + qint64(i) * 1000, c.after[i]);
        const int last = int(c.after.size());
        for (int s = 0; s < 40; ++s)  // the fix goes on
            replay.burst(10500 + qint64(last + s) * 1000, g(hhmmss(43212 + last + s), "1"));
        replay.advanceTo(60000);
        EXPECT_EQ(replay.verdict(), c.verdict);
        EXPECT_EQ(replay.test.resetSign(), c.sign);
        EXPECT_EQ(replay.test.resetSeen(), c.sign.has_value());
        if (*c.before != '1' && !c.sign && !requireProof) {
            EXPECT_NE(replay.test.note().indexOf("reset not proven"), -1);
        }
    }
}

// Every restart recording of ../shared/recordings/starts, in place, as a
// unit commanded just before it began: the reset proven by what the family
// and the stream show, or, where they show nothing of it, the fix taken
// with the reset not proven ("-": no verdict by the recording's end).  The
// u-blox banner repeated while the fix goes on is no restart: commanded just
// before it, a unit with a fix does not get its fix taken.
TEST(FixTest, ProvesTheRestartsOfRealRecordings) {
    std::string why;
    const std::string starts = sharedFolder("recordings/starts", why);
    if (starts.empty()) GTEST_SKIP() << why;
    using gpslink::ReceiverFamily;
    using Sign = FixTest::Sign;
    const struct {
        const char* file;
        std::optional<ReceiverFamily> family;  // empty: not a family the station drives
        std::optional<Sign> sign;
        const char* verdict;
        const char* commandBeforeSecond = nullptr;  // the command before its second burst with this
        double ttff = 0;                            // 0: not checked
    } cases[] = {
        {"mediatek-mt3301-sanjose-fvm11-powerup.log", ReceiverFamily::Mtk, Sign::StartedUp, "ok"},
        {"mediatek-mt3329-transystem-737a-powerup.log", ReceiverFamily::Mtk, Sign::StartedUp, "ok"},
        {"sirf-sirf2-rayming-tn200-powerup.log", ReceiverFamily::Sirf, std::nullopt, "ok"},
        {"sirf-sirf2-gsw2-binary-coldstart.log", ReceiverFamily::Sirf, std::nullopt, "-"},
        {"sirf-sirf3-blumax-gps009-powerup-banner.log", ReceiverFamily::Sirf, Sign::Banner, "ok"},
        {"skytraq-venus6-bluenext-bn9015-powerup.log", std::nullopt, std::nullopt, "ok"},
        {"skytraq-s2525f8-coldstart-nofix.log", std::nullopt, std::nullopt, "-"},
        {"st-sta8088-telit-sl869-powerup.log", std::nullopt, std::nullopt, "ok"},
        {"ublox-antaris4-lea4h-start.log", ReceiverFamily::Ublox, std::nullopt, "ok"},
        {"ublox-5-navilock-nl551e-start-banner.log", ReceiverFamily::Ublox, Sign::Banner, "ok"},
        {"ublox-5-lea5h-banner-without-reset.log", ReceiverFamily::Ublox, std::nullopt, "-",
         "u-blox ag"},
        {"qualcomm-quectel-eg25g-start.log", std::nullopt, std::nullopt, "ok"},
        {"javad-greis-reset-ack.log", std::nullopt, std::nullopt, "-"},
        // Its clock counts from 00:00:00 at power-up: nothing before it to go back from.
        {"geostar-geos1m-powerup.log", std::nullopt, std::nullopt, "ok"},
        // Time and position kept: the GGA's fix quality null until the fix.
        {"typhoon-myguide3100-start-stale-position.log", std::nullopt, std::nullopt, "ok", nullptr,
         31.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> bursts;
        ASSERT_TRUE(gpssim::loadCapture(starts + "/" + c.file, bursts, why)) << why;
        std::size_t commandAt = 0;
        for (int seen = 0; c.commandBeforeSecond && commandAt < bursts.size(); ++commandAt)
            if (bursts[commandAt].find(c.commandBeforeSecond) != std::string::npos && ++seen == 2)
                break;
        ASSERT_LT(commandAt, bursts.size());
        FixTest::Settings settings;
        settings.fixTimeoutS = 600;
        settings.family = c.family;
        if (c.family) settings.command = station::startCommand(*c.family, gpslink::StartType::Cold);
        Replay replay(settings);
        qint64 at = 1000;
        for (std::size_t i = 0; i < bursts.size(); ++i, at += 1000) {
            if (i == commandAt) replay.command(at - 500);
            replay.burst(at, bursts[i]);
        }
        replay.advanceTo(at);  // the recording's end is no silence of the receiver's
        EXPECT_EQ(replay.verdict(), c.verdict);
        EXPECT_EQ(replay.test.resetSign(), c.sign);
        if (c.commandBeforeSecond) {
            EXPECT_FALSE(replay.test.ttffS());
        }
        if (c.ttff > 0) {
            EXPECT_NEAR(replay.test.ttffS().value_or(0), c.ttff, 1e-6);
        }
    }
}

// The generator's satellite once a second: the readings of seconds in which
// it has a C/N0, the time-out counted from its first sight, the corrected
// mean held to the limits.
TEST(SignalTest, ReadsTheSatelliteAndJudgesItsMean) {
    const auto sky = [](int prn, std::optional<int> cn0) {
        Second s;
        s.sky.satellites.push_back(SkySatellite{"GPS", prn, cn0, {}});
        return s;
    };
    Limits limits;
    limits.least(results::Measure::SignalCn0) = 40;
    limits.most(results::Measure::SignalCn0) = 46;
    const struct {
        const char* name;
        std::vector<Second> seconds;  // one a second from 1 s
        std::optional<double> offset;
        const char* verdict;
        std::size_t readings;
    } cases[] = {
        {"three readings", {sky(1, 41), sky(1, 43), sky(1, 45)}, {}, "ok", 3},
        // clang-format off
        {"other satellites and empty C/N0 are not readings",
         {sky(2, 50), sky(1, std::nullopt), sky(1, 0), sky(1, 44), sky(1, 44), sky(1, 44)}, {}, "ok", 3},
        {"low", {sky(1, 38), sky(1, 39), sky(1, 40)}, {}, "signal-low", 3},
        {"high after the slot's offset", {sky(1, 44), sky(1, 45), sky(1, 46)}, 2.0, "signal-high", 3},
        // clang-format on
        {"seen twice, then lost", {sky(1, 44), sky(1, 44)}, {}, "signal-not-seen", 2},
        {"never seen", {}, {}, "signal-not-seen", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SignalTest test({"GPS:1", 3, 10, c.offset, {}, {}});
        test.start(0);
        qint64 at = 0;
        for (const Second& s : c.seconds) test.secondEnded(s, at += 1000);
        for (; !test.over(); at += 1000) test.tick(at);
        test.judge(limits);
        EXPECT_EQ(results::codeOf(*test.result().reason).toStdString(), c.verdict);
        EXPECT_EQ(test.result().values.size(), c.readings);
    }
    // The time-out runs from the first sight: seen at 9 s, read until 19 s.
    SignalTest late({"GPS:1", 3, 10, {}, {}, {}});
    late.start(0);
    late.secondEnded(sky(1, 44), 9000);
    EXPECT_EQ(late.nextDeadlineMs(), 19000);
    late.tick(18999);
    EXPECT_TRUE(late.running());

    // A unit with a fix that lists other satellites does not have it in view:
    // over after 30 such seconds in a row, long before its time-out, and said
    // so.  Listed without a C/N0 it is in view, and the count starts again;
    // without a fix the sky proves nothing.
    Second unfixed = sky(2, 45), other = unfixed, listed = unfixed;
    other.gga = listed.gga = Gga{};
    other.gga->quality = listed.gga->quality = 1;
    listed.sky.satellites.push_back(SkySatellite{"GPS", 1, std::nullopt, {}});
    SignalTest absent({"GPS:1", 3, 300, {}, {}, {}});
    absent.start(0);
    qint64 at = 0;
    for (int i = 0; i < 60; ++i) absent.secondEnded(unfixed, at += 1000);
    for (int i = 1; i < SignalTest::kNotInViewS; ++i) absent.secondEnded(other, at += 1000);
    absent.secondEnded(listed, at += 1000);
    for (int i = 1; i < SignalTest::kNotInViewS; ++i) absent.secondEnded(other, at += 1000);
    EXPECT_TRUE(absent.running());
    absent.secondEnded(other, at += 1000);
    ASSERT_TRUE(absent.over());
    absent.judge(limits);
    CycleResult r;
    r.reason = Reason::SignalNotSeen;
    r.signal = absent.result();
    EXPECT_EQ(
        outcomeWords(r, 30, 300, {}, {}).toStdString(),
        "GPS:1 not in view: the unit had a fix and listed its satellites without it for 30 s");
}

// A calibration's result is a code of the reasons' table: the golden unit not
// seen, its offset within the largest allowed either way, or beyond it.
TEST(Calibration, JudgesTheOffsetEitherWayWithTheTablesCodes) {
    const struct {
        std::optional<double> measured;
        Reason result;
    } cases[] = {
        {std::nullopt, Reason::SignalNotSeen},
        {40.0, Reason::Ok},
        {34.0, Reason::Ok},
        {33.9, Reason::OffsetTooLarge},
        {46.1, Reason::OffsetTooLarge},
    };
    for (const auto& c : cases) {
        const CalibrationOutcome o = judgeCalibration("/dev/ttyUSB0", "GOLD-1", 40, c.measured, 6);
        SCOPED_TRACE(o.result.toStdString());
        EXPECT_EQ(results::reasonFromCode(o.result), c.result);
        EXPECT_EQ(o.offset.has_value(), c.measured.has_value());
        EXPECT_FALSE(o.calibrated());  // not kept yet
    }
}

// The probe, started at 0, against a receiver that talks at one rate only, on
// a clock of its own stepped every 100 ms or only at the probe's deadlines:
// what it tried, sent and found, and when.
struct ProbeBench {
    ProbeBench(Probe::Settings settings, int talksAt, std::function<void(Probe&)> talk)
        : probe(settings, identity, port()), talksAt_(talksAt), talk_(std::move(talk)) {
        probe.start(0);
    }
    Probe::Port port() {
        Probe::Port p;
        p.listenAt = [this](int rate) {
            log += "listen " + std::to_string(rate) + "; ";
            rate_ = rate;
            return true;
        };
        p.send = [this](const std::string& bytes) { sent += bytes; };
        p.rateWorked = [this](int rate) { log += "worked " + std::to_string(rate) + "; "; };
        return p;
    }
    // Steps until the probe leaves `while`, for at most a minute.
    void runWhile(std::initializer_list<Probe::State> states) {
        for (int i = 0; i < 600 && std::count(states.begin(), states.end(), probe.state()); ++i) {
            now += 100;
            if (rate_ == talksAt_) talk_(probe);
            probe.step(now);
        }
    }
    // Steps only at the probe's own deadlines, what the receiver says coming
    // at once, until it leaves `while`.
    void runAtDeadlines(std::initializer_list<Probe::State> states) {
        for (int i = 0; i < 600 && std::count(states.begin(), states.end(), probe.state()); ++i) {
            if (rate_ == talksAt_) talk_(probe);
            const auto due = probe.nextDeadlineMs();
            if (!due) return;
            now = std::max(now, *due);
            probe.step(now);
        }
    }
    IdentityReader identity;
    Probe probe;
    std::string log, sent;
    qint64 now = 0;

private:
    int rate_ = 0, talksAt_;
    std::function<void(Probe&)> talk_;
};

TEST(Probe, FindsTheRateAndTheFamilyByListeningAndAsking) {
    using S = Probe::State;
    using gpslink::ReceiverFamily;
    const auto nmea = [](Probe& p) {
        p.heardBytes();
        p.heardSentence();
    };
    {  // the rate that last worked first, then the commonest, 1.5 s each
        ProbeBench bench({0, ReceiverFamily::Mtk, false, 38400}, 4800, nmea);
        bench.runAtDeadlines({S::Listening});
        EXPECT_EQ(bench.log, "listen 38400; listen 9600; listen 4800; worked 4800; ");
        EXPECT_EQ(bench.now, 3000);
        EXPECT_EQ(bench.probe.state(), S::LinkMayStart);
        EXPECT_EQ(bench.probe.rate(), 4800);
        EXPECT_FALSE(bench.probe.nextDeadlineMs());  // the run's move
    }
    {  // nothing at all, or only noise, at any rate
        for (const bool noise : {false, true}) {
            ProbeBench bench({}, noise ? 9600 : 0, [](Probe& p) { p.heardBytes(); });
            bench.runWhile({S::Listening});
            EXPECT_EQ(results::codeOf(*bench.probe.failure()), noise ? "baud-mismatch" : "no-data");
        }
    }
    {  // "auto": each family asked in turn, 1.5 s each, until one answers
        ProbeBench bench({9600, {}, false, 0}, 9600, nmea);
        bench.runAtDeadlines({S::Listening, S::AskingFamily});
        EXPECT_EQ(results::codeOf(*bench.probe.failure()), "family-unknown");
        EXPECT_FALSE(bench.probe.nextDeadlineMs());
        std::size_t at = 0;
        for (const char* query : {"\xb5\x62\x0a\x04", "$PQTMVERNO", "$PAIR020", "$PMTK605",
                                  "$PCAS06", "$PSTMGETSWVER", "$PSRF125"}) {
            at = bench.sent.find(query, at);
            EXPECT_NE(at, std::string::npos) << query;
        }
        EXPECT_EQ(bench.now, qint64(familyTable().size()) * 1500);
    }
    {  // asked who it is once the link runs, the command not held for the
       // answers; a unit that gave none asked once more after its reset
        ProbeBench bench({9600, ReceiverFamily::Sirf, false, 0}, 9600, nmea);
        bench.runWhile({S::Listening});
        EXPECT_FALSE(bench.probe.commandMayGo());
        bench.probe.askIdentity(bench.now);
        EXPECT_TRUE(bench.probe.commandMayGo());
        const std::string query = identityQueries(ReceiverFamily::Sirf).front();
        EXPECT_EQ(bench.sent, query);
        const qint64 asked = bench.now;
        bench.runWhile({S::AskingIdentity});
        EXPECT_EQ(bench.probe.state(), S::IdentityIn);
        EXPECT_EQ(bench.now - asked, 3000);
        EXPECT_FALSE(bench.probe.answered());
        bench.probe.askAgain(bench.now);
        bench.probe.askAgain(bench.now);
        EXPECT_EQ(bench.sent, query + query);
        EXPECT_EQ(bench.probe.state(), S::AskingIdentity);
    }
    {  // SiRF binary instead of NMEA: failed, or asked who it is in binary and
       // switched back at the line's rate; one that does not switch fails
        const auto sirf = [](Probe& p) {
            p.heardBytes();
            p.heardPacket(true);
        };
        ProbeBench stays({9600, {}, false, 0}, 9600, sirf);
        stays.runWhile({S::Listening});
        EXPECT_EQ(results::codeOf(*stays.probe.failure()), "binary-mode");
        EXPECT_EQ(stays.probe.note(), "the receiver talks SiRF binary at 9600 baud, not NMEA");
        ProbeBench switched({9600, {}, true, 0}, 9600, sirf);
        switched.runWhile({S::Listening, S::Switching});
        EXPECT_EQ(results::codeOf(*switched.probe.failure()), "binary-mode");
        std::string expected;
        for (const std::string& query : identityQueries(ReceiverFamily::Sirf, true))
            expected += query;
        EXPECT_EQ(switched.sent, expected + sirfToNmea(9600));
        ProbeBench talks({9600, {}, true, 0}, 9600, sirf);
        talks.runWhile({S::Listening});
        talks.probe.step(talks.now + 3000);  // the identity's time: the switch goes out
        talks.probe.heardSentence();
        talks.probe.step(talks.now + 3100);
        EXPECT_EQ(talks.probe.state(), S::LinkMayStart);
        EXPECT_EQ(talks.probe.family(), ReceiverFamily::Sirf);
    }
    {  // the link heard no GGA time at the rate given: the others listened
       // to, to say which one it talks at
        ProbeBench bench({9600, ReceiverFamily::Mtk, false, 0}, 4800, nmea);
        bench.probe.probeOtherRates(bench.now);
        bench.runWhile({S::ProbingRates});
        EXPECT_EQ(results::codeOf(*bench.probe.failure()), "baud-mismatch");
        EXPECT_EQ(bench.probe.note(), "the receiver talks at 4800 baud, not 9600");
    }
    {  // answered in full: done at once, and not asked again
        ProbeBench bench({9600, ReceiverFamily::Airoha, false, 0}, 9600, nmea);
        bench.runWhile({S::Listening});
        bench.probe.askIdentity(bench.now);
        EXPECT_EQ(bench.probe.nextDeadlineMs(), bench.now + 3000);
        bench.identity.sentence("PAIR020,AG3335M_V2.5.0,S,N");
        EXPECT_LE(*bench.probe.nextDeadlineMs(), bench.now);
        bench.probe.step(bench.now);
        EXPECT_EQ(bench.probe.state(), S::IdentityIn);
        EXPECT_TRUE(bench.probe.answered());
        bench.probe.askAgain(bench.now);
        EXPECT_EQ(bench.sent, identityQueries(ReceiverFamily::Airoha).front());
    }
}

TEST(Identity, HeldToWhatThePlanExpects) {
    const Identity known{"5.10 (b6b0)", "00080000", ""}, silent{};
    const struct {
        const Identity& who;
        bool require;
        const char* expect;
        const char* verdict;  // "-": passes
    } cases[] = {
        {silent, false, "", "-"},
        {silent, true, "", "identity-unknown"},
        {silent, false, "^5\\.", "identity-unknown"},
        {known, true, "^5\\.", "-"},
        {known, false, "^6\\.", "wrong-firmware"},
    };
    for (const auto& c : cases) {
        const auto fault = checkIdentity(c.who, c.require, QString::fromLatin1(c.expect));
        EXPECT_EQ(fault ? results::codeOf(fault->reason).toStdString() : "-", c.verdict)
            << c.expect;
    }
}

// How a command ended, and what it means: only a clean exit with one of the
// two answers lets a unit start or keeps it out; everything else is a fault
// named by what happened.
TEST(Hook, TheLinesAnswerAndEveryWayACommandFails) {
    using K = RouteAnswer::Kind;
    const auto ran = [](QByteArray out, int exitCode = 0, QByteArray err = {}) {
        HookEnd end;
        end.out = std::move(out);
        end.exitCode = exitCode;
        end.err = std::move(err);
        end.timeoutMs = 10000;
        return end;
    };
    HookEnd late = ran({});
    late.timedOut = true;
    HookEnd crashed = ran({}, 11, "Segmentation fault\nmore");
    crashed.crashed = true;
    HookEnd missing = ran({});
    missing.started = false;
    missing.error = QStringLiteral("execvp: No such file or directory");
    const struct {
        const char* name;
        HookEnd end;
        K kind;
        const char* text;
    } cases[] = {
        {"allowed, with blanks and more keys", ran("\n {\"allow\":true,\"route\":\"R7\"}\n"),
         K::Allow, ""},
        {"refused", ran(R"({"allow": false, "reason": "hold: burn-in missing"})"), K::Refuse,
         "hold: burn-in missing"},
        {"refused without a reason", ran(R"({"allow": false})"), K::Failed,
         "refused the unit without a reason"},
        {"refused with an empty reason", ran(R"({"allow": false, "reason": " "})"), K::Failed,
         "refused the unit without a reason"},
        {"allow as text", ran(R"({"allow": "true"})"), K::Failed,
         "answered \"{\"allow\": \"true\"}\""},
        {"not JSON", ran("OK"), K::Failed, "answered \"OK\", not {\"allow\": true}"},
        {"nothing", ran(""), K::Failed, "answered \"\""},
        {"allowed but exited 1", ran(R"({"allow": true})", 1, "db down\n"), K::Failed,
         "exited with status 1: db down"},
        {"exit 3 silently", ran({}, 3), K::Failed, "exited with status 3"},
        {"killed after its time", late, K::Failed, "gave no answer within 10 s and was killed"},
        {"crashed", crashed, K::Failed, "crashed: Segmentation fault"},
        {"could not be run", missing, K::Failed,
         "could not be run: execvp: No such file or directory"},
    };
    for (const auto& c : cases) {
        const RouteAnswer answer = routeAnswer(c.end);
        EXPECT_EQ(answer.kind, c.kind) << c.name;
        EXPECT_EQ(answer.text.left(qsizetype(qstrlen(c.text))), QLatin1String(c.text))
            << c.name << ": " << answer.text.toStdString();
        // The power switch answers with its exit alone.
        EXPECT_EQ(hookFailure(c.end).isEmpty(),
                  c.end.started && !c.end.timedOut && !c.end.crashed && c.end.exitCode == 0)
            << c.name;
    }
}

// A command's words are those /bin/sh would give it: run directly when the
// shell would only split and unquote them, the station's words appended;
// otherwise run by the shell, the station's words its positional parameters
// and nothing appended to the text.
TEST(Hook, ACommandGetsTheWordsTheShellWouldGiveIt) {
    const QStringList extra = {"2", "/dev/ttyUSB1", "on"};
    const auto shell = [&](const char* text) {
        return QStringList{"-c", QString::fromUtf8(text), "gps-coldstart-hook"} + extra;
    };
    const struct {
        const char* text;
        QString program;
        QStringList arguments;
        const char* error;
    } cases[] = {
        {"/opt/relay", "/opt/relay", extra, ""},
        {R"("/opt/my relay/switch" -v --board=3)", "/opt/my relay/switch",
         QStringList{"-v", "--board=3"} + extra, ""},
        {"SCRIPT 'board 2'", "SCRIPT", QStringList{"board 2"} + extra, ""},
        {R"(relay 'a b'"c d" e\ f "\$x \"q\" \n" '' 'a|b;c$d*')", "relay",
         QStringList{"a bc d", "e f", R"($x "q" \n)", "", "a|b;c$d*"} + extra, ""},
        {R"(relay.sh "$@" && sleep 0.2)", "/bin/sh", shell(R"(relay.sh "$@" && sleep 0.2)"), ""},
        {"relay 2>>/tmp/log", "/bin/sh", shell("relay 2>>/tmp/log"), ""},
        {R"(relay "$HOME")", "/bin/sh", shell(R"(relay "$HOME")"), ""},
        {"LANG=C relay", "/bin/sh", shell("LANG=C relay"), ""},
        {"relay # slot 2's", "/bin/sh", shell("relay # slot 2's"), ""},
        {"relay\n", "/bin/sh", shell("relay\n"), ""},
        {"relay 'board 2", "", {}, "has an unterminated single quote"},
        {R"(relay "board 2)", "", {}, "has an unterminated double quote"},
        {R"(relay board\)", "", {}, "ends with a lone backslash"},
        {R"("" on)", "", {}, "names no program"},
        {"  ", "", {}, "names no program"},
    };
    for (const auto& c : cases) {
        const HookCommand command = hookCommand(QString::fromUtf8(c.text), extra);
        EXPECT_EQ(command.program, c.program) << c.text;
        EXPECT_EQ(command.arguments, c.arguments) << c.text;
        EXPECT_EQ(command.error, QLatin1String(c.error)) << c.text;
    }
}

// A power start's proof that the unit went off and came up again: silent
// from the moment what was on its way is in until "on", then a stream that
// starts over.  Off at 1000 ms, "on" begun at 3000 ms.
// Off, the off time from the moment "off" ended, on; a command that fails
// ends it, saying which.
TEST(PowerCycle, OffForTheOffTimeThenOn) {
    using Step = PowerCycle::Step;
    PowerCycle power(2.5);
    EXPECT_EQ(power.command(), "off");
    EXPECT_EQ(power.note(), "switching the slot's power off");
    EXPECT_FALSE(power.nextDeadlineMs());
    power.commandEnded({}, 700);
    EXPECT_EQ(power.step(), Step::Off);
    EXPECT_EQ(power.command(), "");
    EXPECT_EQ(power.note(), "the slot's power is off for 2.5 s");
    EXPECT_EQ(power.nextDeadlineMs(), 3200);
    power.tick(3199);
    EXPECT_EQ(power.step(), Step::Off);
    power.tick(3200);
    EXPECT_EQ(power.command(), "on");
    EXPECT_EQ(power.note(), "switching the slot's power on");
    power.tick(9000);  // nothing to wait for while "on" runs
    EXPECT_EQ(power.step(), Step::SwitchingOn);
    power.commandEnded({}, 3300);
    EXPECT_EQ(power.step(), Step::On);
    EXPECT_EQ(power.note(), "");
    EXPECT_TRUE(power.problem().isEmpty());

    for (const bool atOff : {true, false}) {
        PowerCycle failing(1);
        if (!atOff) {
            failing.commandEnded({}, 0);
            failing.tick(1000);
        }
        failing.commandEnded(QStringLiteral("exited with status 3"), 1100);
        EXPECT_EQ(failing.step(), Step::Failed);
        EXPECT_EQ(failing.problem(), atOff ? "the power command (off) exited with status 3"
                                           : "the power command (on) exited with status 3");
        EXPECT_FALSE(failing.nextDeadlineMs());
    }
}

TEST(PowerProof, TheUnitFallsSilentAndStartsOver) {
    using State = PowerProof::State;
    Gga noFix, fix;
    fix.quality = 1;
    fix.timeMs = 72000000;
    const struct {
        const char* name;
        std::vector<qint64> bytesAt;  // from the unit, off to "on"
        std::optional<gpslink::ReceiverFamily> family;
        std::vector<const char*> sentences;  // after "on", before its first GGA
        const Gga* first;                    // its first GGA, at 3400 ms
        State state;
        const char* note;
    } cases[] = {
        // clang-format off
        {"switched", {1100, 1250}, {}, {}, &noFix, State::Proven, ""},
        {"talked on", {1100, 2000, 2900}, {}, {}, &noFix, State::Failed,
         "the unit kept talking with its supply off: bytes 1.00 s after \"off\""},
        {"never went off", {}, {}, {}, &fix, State::Failed,
         "the unit did not start over after \"on\": its first GGA, 0.40 s after, had a fix"},
        {"its start-up message", {}, gpslink::ReceiverFamily::Mtk, {"PMTK010,001"}, nullptr,
         State::Proven, ""},
        {"another family's message", {}, gpslink::ReceiverFamily::Sirf, {"PMTK010,001"}, nullptr,
         State::Waiting, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PowerProof proof(c.family);
        proof.switchedOff(1000);
        for (qint64 at : c.bytesAt) proof.received(at);
        proof.switchingOn(3000);
        proof.received(3100);  // the unit coming up
        for (const char* body : c.sentences) proof.sentence(body);
        if (c.first) proof.gga(*c.first, 3400);
        EXPECT_EQ(proof.state(), c.state);
        EXPECT_EQ(proof.note().toStdString(), c.note);
        proof.gga(fix, 4400);  // decides only a proof still waiting for its first GGA
        EXPECT_EQ(proof.state(), c.state == State::Waiting ? State::Failed : c.state);
    }
}

// A reason is never said by its bare code, unless a limit, the signal test's
// words or the run's note say it (a new reason with neither a row's words nor
// a case of its own would be).
TEST(Words, EveryReasonHasItsOwn) {
    const std::set<Reason> saidElsewhere = {Reason::SignalLow,     Reason::SignalHigh,
                                            Reason::SignalNotSeen, Reason::BinaryMode,
                                            Reason::FamilyUnknown, Reason::IdentityUnknown};
    for (const results::ReasonRow& row : results::kReasons) {
        bool aLimits = false;
        for (const results::MeasureRow& m : results::kMeasures)
            aLimits |= m.most.reason == row.reason || m.least.reason == row.reason;
        if (aLimits || saidElsewhere.count(row.reason)) continue;
        CycleResult r;
        r.reason = row.reason;
        EXPECT_NE(outcomeWords(r, 30, 300, {}, {}), QLatin1String(row.code)) << row.code;
    }
}

}  // namespace
}  // namespace station
