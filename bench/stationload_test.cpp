// The load benchmark's receivers, what it reads in /proc, and one short run
// of the benchmark against the real station.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/stationload.h"
#include "station/watcher.h"

namespace coldstart::bench {
namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kSecondNs = LoadReceiver::kSecondNs;

// Everything a receiver puts on the line from `fromNs` to `toNs`, taken in
// steps of stepNs and all written.
std::string drain(LoadReceiver& rx, std::int64_t fromNs, std::int64_t toNs, std::int64_t stepNs) {
    std::string line;
    for (std::int64_t t = fromNs; t <= toNs; t += stepNs)
        for (std::string_view chunk; !(chunk = rx.due(t)).empty();) {
            line += chunk;
            rx.commit(chunk.size(), chunk.size());
        }
    return line;
}

// The GGA sentences on a line, decoded by the station's own watcher; the
// watcher drops any sentence whose checksum is wrong.
std::vector<station::Gga> ggas(const std::string& line) {
    std::vector<station::Gga> seen;
    station::Watcher watcher;
    watcher.onGga = [&](const station::Gga& gga) { seen.push_back(gga); };
    watcher.feed(line);
    return seen;
}

TEST(LoadReceiver, PacesTheLineAt115200Baud) {
    struct Case {
        const char* name;
        Pace pace;
        std::int64_t untilNs;
        std::size_t low, high;  // characters on the line by then
    };
    const Case cases[] = {
        // 11,520 characters a second: 115 in 10 ms.
        {"realistic, 10 ms into a burst", Pace::Realistic, 10 * kMs, 115, 115},
        // A burst is about 420 characters; the rest of the second is quiet.
        {"realistic, one second", Pace::Realistic, 999 * kMs, 400, 440},
        {"realistic, ten seconds", Pace::Realistic, 9999 * kMs, 4000, 4400},
        // The line never rests.
        {"saturated, one second", Pace::Saturated, 1000 * kMs, 11519, 11520},
        {"saturated, ten seconds", Pace::Saturated, 10000 * kMs, 115190, 115200},
    };
    for (const Case& c : cases) {
        LoadReceiver rx(c.pace, 0, 0);
        const std::size_t chars = drain(rx, 0, c.untilNs, kMs).size();
        EXPECT_GE(chars, c.low) << c.name;
        EXPECT_LE(chars, c.high) << c.name;
    }
}

TEST(LoadReceiver, NothingBeforeItsFirstEpochAndNothingForALateCallerToCatchUp) {
    LoadReceiver rx(Pace::Saturated, 500 * kMs, 0);
    EXPECT_TRUE(rx.due(499 * kMs).empty());
    // Three seconds late: at most what the line carries in the allowed lag
    // (1152 characters in 100 ms), not three seconds' worth.
    EXPECT_EQ(drain(rx, 3500 * kMs, 3500 * kMs, kMs).size(), 1152u);
}

TEST(LoadReceiver, ReportsTheWriteThatCompletesEachGga) {
    for (const Pace pace : {Pace::Realistic, Pace::Saturated}) {
        LoadReceiver rx(pace, 0, 0);
        std::string line;
        int completions = 0;
        for (std::int64_t t = 0; t <= 3000 * kMs; t += kMs)
            for (std::string_view chunk; !(chunk = rx.due(t)).empty();) {
                line += chunk;
                if (rx.commit(chunk.size(), chunk.size()).ggaEnds) {
                    ++completions;
                    // What has gone out ends inside "*hh" of a GGA sentence,
                    // after its last checksum character.
                    const std::size_t gga = line.rfind("$GPGGA");
                    ASSERT_NE(gga, std::string::npos);
                    const std::size_t star = line.find('*', gga);
                    ASSERT_NE(star, std::string::npos);
                    EXPECT_GE(line.size(), star + 3);
                    EXPECT_LE(line.size() - chunk.size(), star + 2);
                }
            }
        EXPECT_EQ(completions, static_cast<int>(ggas(line).size()));
        EXPECT_GE(completions, 3);
    }
}

// The start of every GGA sentence is reported once, on the chunk that holds
// its "$", and says whether its time is one the link counts.
TEST(LoadReceiver, ReportsEachGgaStartAndWhetherItsTimeCounts) {
    LoadReceiver rx(Pace::Saturated, 0, 0, 2);
    rx.command(0);
    std::string line;
    std::vector<std::size_t> flagged;  // where the chunks reported as a GGA start begin
    std::vector<bool> timeOfDay;
    for (std::int64_t t = kSecondNs; t <= kSecondNs + 200 * kMs; t += 3 * kMs)
        for (std::string_view chunk; !(chunk = rx.due(t)).empty();) {
            const std::size_t before = line.size();
            line += chunk;  // before the commit, which moves what chunk views
            const LoadReceiver::Sent sent = rx.commit(chunk.size(), chunk.size());
            if (sent.ggaBegins) {
                flagged.push_back(before);
                timeOfDay.push_back(sent.timeOfDay);
            }
        }
    // Each "$GPGGA" lies in a reported chunk, which begins at or before its
    // "$" and after the previous one.
    std::vector<std::size_t> starts;
    for (std::size_t at = line.find("$GPGGA"); at != std::string::npos;
         at = line.find("$GPGGA", at + 1))
        starts.push_back(at);
    ASSERT_EQ(flagged.size(), starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
        EXPECT_LE(flagged[i], starts[i]) << i;
        if (i > 0) {
            EXPECT_GT(flagged[i], starts[i - 1]) << i;
        }
    }
    const std::vector<station::Gga> seen = ggas(line);
    ASSERT_GE(timeOfDay.size(), 4u);
    ASSERT_GE(seen.size(), timeOfDay.size() - 1);  // the last one may be unfinished
    for (std::size_t i = 0; i + 1 < timeOfDay.size(); ++i)
        EXPECT_EQ(timeOfDay[i], *seen[i].timeMs >= 10000) << i;
    EXPECT_FALSE(timeOfDay[0]);
    EXPECT_TRUE(timeOfDay[3]);
}

TEST(LoadReceiver, AGgaWhoseEndIsLostIsNotReported) {
    LoadReceiver rx(Pace::Saturated, 0, 0);
    std::string_view chunk = rx.due(50 * kMs);  // more than the GGA sentence
    const std::size_t end = std::string(chunk).find('*') + 3;
    ASSERT_LT(end, chunk.size());
    // The line refused everything from the last checksum character on.
    EXPECT_FALSE(rx.commit(chunk.size(), end - 1).ggaEnds);
    // The next GGA is reported again.
    bool reported = false;
    for (std::int64_t t = 51 * kMs; t < 200 * kMs && !reported; t += kMs)
        while (!(chunk = rx.due(t)).empty())
            reported |= rx.commit(chunk.size(), chunk.size()).ggaEnds;
    EXPECT_TRUE(reported);
}

TEST(LoadReceiver, AfterACommandSilentThenARestartedClockThenAFix) {
    for (const Pace pace : {Pace::Realistic, Pace::Saturated}) {
        LoadReceiver rx(pace, 0, 0, 3);
        drain(rx, 0, 2500 * kMs, kMs);
        rx.command(2500 * kMs);
        EXPECT_TRUE(drain(rx, 2501 * kMs, 3499 * kMs, kMs).empty());
        const std::vector<station::Gga> after = ggas(drain(rx, 3500 * kMs, 9000 * kMs, kMs));
        ASSERT_GE(after.size(), 5u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(after[i].timeMs, i * 1000) << i;  // 00:00:00, 00:00:01, ...
            EXPECT_EQ(after[i].quality, 0) << i;
        }
        for (std::size_t i = 3; i < after.size(); ++i) {
            EXPECT_EQ(after[i].quality, 1) << i;
            ASSERT_TRUE(after[i].timeMs.has_value());
            EXPECT_GE(*after[i].timeMs, 10000) << i;  // counted again by the link
        }
        EXPECT_EQ(rx.sinceRestart(), -1);
    }
}

TEST(LoadReceiver, ACommandDropsTheRestOfTheBurst) {
    LoadReceiver rx(Pace::Realistic, 0, 0);
    const std::string head = std::string(rx.due(10 * kMs));
    rx.commit(head.size(), head.size());
    rx.command(10 * kMs);
    const std::string next = drain(rx, 1010 * kMs, 1100 * kMs, kMs);
    // The silence is followed by a whole new burst from its "$".
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next.rfind("$GPGGA,000000.000,", 0), 0u) << next.substr(0, 40);
}

TEST(Proc, CpuTicksFromStat) {
    struct Case {
        const char* text;
        std::optional<long long> ticks;
    };
    const Case cases[] = {
        {"4242 (gps-coldstart-c) S 1 4242 4242 0 -1 4194560 1400 0 0 0 731 205 0 0 20 0 1 0 "
         "100 123 45",
         936},
        // A name with blanks and a parenthesis does not shift the fields.
        {"7 (a) b (c) R 1 7 7 0 -1 0 0 0 0 0 12 3 0 0 20 0 1 0 100\n", 15},
        {"7 (x) R 1 7 7 0 -1 0 0 0 0 0 12", std::nullopt},  // stime missing
        {"7 (x) R 1 7 7 0 -1 0 0 0 0 0 1x 3 0", std::nullopt},
        {"no parenthesis", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(cpuTicksFromStat(c.text), c.ticks) << c.text;
}

TEST(Proc, FieldsFromStatus) {
    const char* const status =
        "Name:\tx\nVmPeak:\t  99999 kB\nVmRSS:\t   12560 kB\nRssAnon:\t 3000 kB\n"
        "RssFile:\t 9560 kB\nVmSwap: 12 MB\n";
    struct Case {
        const char* field;
        std::optional<long> kb;
    };
    const Case cases[] = {
        {"VmRSS", 12560},         {"RssAnon", 3000},
        {"RssFile", 9560},        {"VmHWM", std::nullopt},  // absent
        {"VmSwap", std::nullopt},                           // not in kB
        {"Rss", std::nullopt},                              // only a prefix of field names
    };
    for (const Case& c : cases) EXPECT_EQ(statusKb(status, c.field), c.kb) << c.field;
}

// Runs the benchmark with arguments; its exit status, and its output in *out.
int runBench(const std::string& arguments, std::string* out) {
    FILE* pipe = popen((std::string(STATION_LOAD) + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) *out += buf;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Proc, GrowthFromTheSamplesOfACsv) {
    std::istringstream csv(std::string(kSampleCsvHeader) +
                           "\n"
                           "1.0,t,12000,2000,10000,70,0,0,0.1,88,60\n"
                           "3599.0,t,13000,3000,10000,70,0,0,0.1,88,60\n"
                           "3601.0,t,13100,3100,10000,71,0,0,0.1,88,60\n"
                           "a torn row\n"
                           "5000.0,t,12900,2900,10000,73,0,0,0.1,88,62\n"
                           "7201.0,t,13300,3300,10000,71,0,0,0.1,88\n");  // before port_fds
    const std::vector<ProcSample> samples = samplesFromCsv(csv);
    ASSERT_EQ(samples.size(), 5u);
    const auto hour = growthFrom(samples, 3600);
    ASSERT_TRUE(hour);
    EXPECT_EQ(hour->samples, 3);
    EXPECT_EQ(hour->from.atS, 3601.0);
    EXPECT_EQ(hour->last.rss - hour->from.rss, 200);
    EXPECT_EQ(hour->last.anon - hour->from.anon, 200);
    EXPECT_EQ(hour->rssLow, 12900);
    EXPECT_EQ(hour->rssHigh, 13300);
    EXPECT_EQ(hour->fdsLow, 71);
    EXPECT_EQ(hour->fdsHigh, 73);
    EXPECT_EQ(hour->otherLow, 11);
    EXPECT_EQ(hour->otherHigh, 71);  // the row without the ports' own
    EXPECT_FALSE(growthFrom(samples, 8000));
}

// The benchmark itself against the real station: two ports, a few cycles;
// it must find the run sound and report reactions, CPU and memory.
TEST(StationLoad, ShortRunAgainstTheRealStation) {
    for (const char* mode : {"saturated", "realistic"}) {
        const std::string csv = ::testing::TempDir() + "station_load_" + mode + ".csv";
        std::remove(csv.c_str());
        std::string out;
        EXPECT_EQ(
            runBench(std::string("--ports 2 --seconds 14 --warmup 2 --sample-every 4 --csv ") +
                         csv + " --mode " + mode,
                     &out),
            0)
            << out;
        // A row at the start and one every 4 s; the station holds its two
        // ports and more open.
        std::ifstream in(csv);
        const std::vector<ProcSample> samples = samplesFromCsv(in);
        EXPECT_GE(samples.size(), 4u) << out;
        for (const ProcSample& s : samples) {
            EXPECT_GT(s.rss, 0);
            EXPECT_LE(s.portFds, 4);  // two ports, each its device and lock file
            EXPECT_GT(s.otherFds(), 2);
        }
        EXPECT_NE(out.find("after the first hour: the run did not last past 3600 s"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("run: sound"), std::string::npos) << out;
        EXPECT_NE(out.find("pass/ok"), std::string::npos) << out;
        EXPECT_NE(out.find("reaction, upper bound (from the fifth GGA) ("), std::string::npos)
            << out;
        EXPECT_NE(out.find("% of one core"), std::string::npos) << out;
    }
    // The station as the benchmark's own child, its saves held: it ends by
    // itself after its cycles, every TTFF matched with the receiver's.
    std::string out;
    EXPECT_EQ(runBench("--ports 2 --cycles 2 --hold-save 500 --seconds 120 --warmup 2", &out), 0)
        << out;
    EXPECT_NE(out.find("TTFF over the receiver's, second cycle on (2): median"), std::string::npos)
        << out;
    EXPECT_NE(out.find("station event loop: "), std::string::npos) << out;
}

TEST(StationLoad, AStationThatCannotRunIsReported) {
    struct Case {
        const char* cli;
        const char* message;
    };
    const Case cases[] = {
        {"/nonexistent/gps-coldstart-cli", "cannot start /nonexistent/gps-coldstart-cli"},
        {"/bin/false", "the station ended early (exit status 1)"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(runBench(std::string("--ports 1 --seconds 5 --warmup 1 --cli ") + c.cli, &out), 1)
            << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
}

TEST(StationLoad, UsageMistakesNameTheOption) {
    struct Case {
        const char* arguments;
        const char* named;
    };
    const Case cases[] = {
        {"--ports 0", "--ports"},
        {"--ports 300", "--ports"},
        {"--mode fast", "--mode"},
        {"--seconds x", "--seconds"},
        {"--seconds 10 --warmup 10", "--warmup"},
        {"--bogus", "bogus"},
        {"--sample-every 0", "--sample-every"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(runBench(c.arguments, &out), 2) << c.arguments;
        EXPECT_NE(out.find(c.named), std::string::npos) << c.arguments << ": " << out;
    }
}

}  // namespace
}  // namespace coldstart::bench
