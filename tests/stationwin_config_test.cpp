// What the station window takes from its command line and its stored
// settings: each mistake is named, each unusable stored value falls back to
// its default with a message, and good settings come back as saved.  And the
// verdict a slot's tile shows, from its run's phase and cycles.
#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>
#include <vector>

#include "station/unitrun.h"
#include "stationwin/config.h"

namespace stationwin {
namespace {

TEST(StationCommandLine, NamesEachMistakeAndTouchesNothing) {
    struct Case {
        QStringList args;
        const char* named;  // part of the message
    };
    const Case cases[] = {
        {{"/dev/ttyUSB0@123"}, "123"},     {{"/dev/ttyUSB0@,nosuchchip"}, "nosuchchip"},
        {{"/dev/ttyUSB0=SN1"}, "scanner"}, {{"--db", "postgresql://host/db"}, "USER@"},
        {{"--station", ""}, "--station"},  {{"--no-such-option"}, "no-such-option"},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(QStringList{"gps-coldstart-station"} + c.args);
        EXPECT_EQ(line.action, CommandLine::Fail) << c.args.join(' ').toStdString();
        EXPECT_EQ(line.exitStatus, kUsage);
        EXPECT_TRUE(line.text.contains(QLatin1String(c.named)))
            << c.args.join(' ').toStdString() << ": " << line.text.toStdString();
    }
    QStringList many{"gps-coldstart-station"};
    for (int i = 0; i < 33; ++i) many << QStringLiteral("/dev/ttyUSB%1").arg(i);
    EXPECT_EQ(parseCommandLine(many).action, CommandLine::Fail);
    many.removeLast();
    EXPECT_EQ(parseCommandLine(many).action, CommandLine::Run);
}

TEST(StationSettings, FallBackOrComeBackAsSaved) {
    QTemporaryDir dir;
    struct Case {
        const char* key;
        const char* value;
    };
    const Case cases[] = {{"baud", "12345"},  {"family", "nosuchchip"},    {"cycles", "0"},
                          {"cycles", "many"}, {"confirm_timeout_s", "-1"}, {"max_ttff_s", "1e9"},
                          {"min_cn0", "loud"}};
    const Settings defaults;
    for (const Case& c : cases) {
        QSettings store(dir.filePath(QStringLiteral("%1.conf").arg(c.key)), QSettings::IniFormat);
        store.clear();
        store.setValue(QLatin1String(c.key), QLatin1String(c.value));
        QStringList problems;
        const Settings s = Settings::load(store, &problems);
        ASSERT_EQ(problems.size(), 1) << c.key << "=" << c.value;
        EXPECT_TRUE(problems[0].contains(QLatin1String(c.value))) << problems[0].toStdString();
        EXPECT_EQ(s.baud, defaults.baud);
        EXPECT_EQ(s.family, defaults.family);
        EXPECT_EQ(s.cycles, defaults.cycles);
        EXPECT_EQ(s.confirmTimeoutS, defaults.confirmTimeoutS);
        EXPECT_FALSE(s.limits.maxTtffS);
        EXPECT_FALSE(s.limits.minCn0);
    }
    Settings saved;
    saved.ports = QStringList{"/dev/ttyUSB3@115200,ublox,hot", "COM 3"};
    saved.baud = 4800;
    saved.cycles = 3;
    saved.limits.maxTtffS = 45.5;
    saved.limits.minSats = 4;
    saved.station = "bench-7";
    saved.lot = "L-1";
    {
        QSettings store(dir.filePath("s.conf"), QSettings::IniFormat);
        saved.save(store);
    }
    QSettings store(dir.filePath("s.conf"), QSettings::IniFormat);
    QStringList problems;
    const Settings s = Settings::load(store, &problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    EXPECT_EQ(s.ports, saved.ports);
    EXPECT_EQ(s.limits.maxTtffS, 45.5);
    EXPECT_EQ(s.limits.minSats, 4);
    EXPECT_FALSE(s.limits.minCn0);
    QString error;
    const auto units = slotConfigs(s, &error);
    ASSERT_TRUE(units) << error.toStdString();
    ASSERT_EQ(units->size(), 2u);
    EXPECT_EQ((*units)[0].baud, 115200);
    EXPECT_EQ((*units)[0].receiver, "ublox");
    EXPECT_EQ((*units)[0].start, "hot");
    EXPECT_EQ((*units)[1].baud, 4800);
    EXPECT_EQ((*units)[1].receiver, "sirf");
    EXPECT_EQ((*units)[1].cycles, 3);
    EXPECT_EQ((*units)[1].station, "bench-7");
}

TEST(Verdict, FollowsThePhaseAndEveryCycle) {
    using station::Verdict;
    struct Case {
        const char* name;
        bool started, done;
        std::vector<const char*> cycles;
        Verdict verdict;
    };
    const Case cases[] = {
        {"never started", false, false, {}, Verdict::Idle},
        {"second cycle under way after a pass", true, false, {"pass"}, Verdict::Running},
        {"three passes", true, true, {"pass", "pass", "pass"}, Verdict::Pass},
        // A TTFF over the limit fails its cycle and the run goes on: a later
        // pass does not make up for it.
        {"fail then pass", true, true, {"fail", "pass"}, Verdict::Fail},
        {"stopped after a pass", true, true, {"pass", "interrupted"}, Verdict::Interrupted},
        {"stopped without a cycle", true, true, {}, Verdict::Interrupted},
    };
    for (const Case& c : cases) {
        station::Tally tally;
        for (const char* r : c.cycles) {
            station::CycleResult cycle;
            cycle.result = QString::fromLatin1(r);
            tally.add(cycle);
        }
        EXPECT_EQ(station::verdictOf(c.started, c.done, tally), c.verdict) << c.name;
    }
}

}  // namespace
}  // namespace stationwin
