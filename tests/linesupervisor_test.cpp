// The line's own faults (no data, another rate, silence) in milliseconds of
// test time, each at the moment the link's ticks would find it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpslink/resetcommand.h"
#include "station/lineinput.h"
#include "station/linesupervisor.h"
#include "station/watcher.h"

namespace station {
namespace {

using Fault = LineSupervisor::Fault;

// What happens on the line, at a moment: 'w' the link starts watching, 'c'
// its connect step, 'b' bytes, 'g' bytes with a GGA time, 's' bytes with a
// checked sentence, 'x' the command out, 'k' its confirmation, 'p' stopped.
struct Event {
    qint64 ms;
    char what;
};
// Bytes every period from..to (excluded).
void bytes(std::vector<Event>& events, qint64 from, qint64 to, qint64 period = 1000,
           char what = 'b') {
    for (qint64 t = from; t < to; t += period) events.push_back({t, what});
}

struct Outcome {
    std::optional<Fault> fault;
    qint64 atMs = -1;
};

// Runs the events in order, ticking at every deadline that falls due before
// the next one, then until endMs.
Outcome run(const std::vector<Event>& events, qint64 endMs,
            LineSupervisor::Settings settings = LineSupervisor::Settings()) {
    LineSupervisor line(settings);
    Outcome out;
    auto until = [&](qint64 ms) {
        while (!line.fault() && line.nextDeadlineMs() && *line.nextDeadlineMs() <= ms) {
            const qint64 due = *line.nextDeadlineMs();
            line.tick(due);
            if (line.fault()) out = {line.fault(), due};
        }
    };
    for (const Event& e : events) {
        until(e.ms);
        if (line.fault()) return out;
        switch (e.what) {
            case 'w':
                line.watch(e.ms);
                break;
            case 'c':
                line.connected(e.ms);
                break;
            case 'x':
                line.commanded(e.ms);
                break;
            case 'k':
                line.confirmed(e.ms);
                break;
            case 'p':
                line.stop();
                break;
            default:
                if (e.what == 'g') line.timedGga();
                if (e.what == 's') line.sentence();
                line.received(e.ms);
        }
        if (line.fault()) return {line.fault(), e.ms};
    }
    until(endMs);
    return out;
}

TEST(LineSupervisor, NoDataIsNothingInTheThreeTicksAfterTheConnectStep) {
    // Watching from 0, the connect step at 700: due at its third tick.
    Outcome out = run({{0, 'w'}, {700, 'c'}}, 10000);
    EXPECT_EQ(out.fault, Fault::NoData);
    EXPECT_EQ(out.atMs, 3700);
    // A byte just before it, and the line is not dead; it falls silent later.
    out = run({{0, 'w'}, {700, 'c'}, {3699, 'g'}}, 20000);
    EXPECT_EQ(out.fault, Fault::Silent);
    // Once anything came in the run, no later cycle is without data.
    out = run({{0, 'w'}, {0, 'c'}, {500, 'g'}, {600, 'p'}, {5000, 'c'}, {5100, 'x'}}, 60000);
    EXPECT_FALSE(out.fault);
    // Stopped, it judges nothing.
    out = run({{0, 'w'}, {0, 'c'}, {1000, 'p'}}, 60000);
    EXPECT_FALSE(out.fault);
}

TEST(LineSupervisor, AnotherRateIsInputInTheFifthToSeventhSecondWithoutAGgaTime) {
    std::vector<Event> garbage{{0, 'w'}, {0, 'c'}};
    bytes(garbage, 300, 20000, 250);
    Outcome out = run(garbage, 20000);
    EXPECT_EQ(out.fault, Fault::AnotherRate);
    EXPECT_EQ(out.atMs, 4300);  // four seconds after the first bytes

    // A GGA time at any moment before the window: the rate is right.
    std::vector<Event> timed{{0, 'w'}, {0, 'c'}, {300, 'b'}, {3000, 'g'}};
    bytes(timed, 3250, 20000, 250);
    EXPECT_FALSE(run(timed, 20000).fault);

    // Quiet through the window: nothing to judge it by, and the line is silent.
    out = run({{0, 'w'}, {0, 'c'}, {300, 'b'}, {3900, 'b'}, {7400, 'b'}}, 20000);
    EXPECT_EQ(out.fault, Fault::Silent);

    // Checked sentences without a time prove it only where the rule says
    // so, and only since the connect step.
    std::vector<Event> untimed{{0, 'w'}, {0, 'c'}};
    bytes(untimed, 300, 9000, 250, 's');
    EXPECT_EQ(run(untimed, 9000).fault, Fault::AnotherRate);
    EXPECT_FALSE(run(untimed, 9000, {true}).fault);
    std::vector<Event> beforeConnect{{0, 'w'}, {300, 's'}, {1200, 'c'}};
    bytes(beforeConnect, 1300, 9000, 250);
    EXPECT_EQ(run(beforeConnect, 9000, {true}).fault, Fault::AnotherRate);
}

TEST(LineSupervisor, SilenceIsSixTicksWithoutAByteBetweenThem) {
    // The last byte at 1500: the tick at 2000 saw it, 3000..8000 did not.
    Outcome out = run({{0, 'w'}, {0, 'c'}, {1500, 'g'}}, 30000);
    EXPECT_EQ(out.fault, Fault::Silent);
    EXPECT_EQ(out.atMs, 8000);
    // A byte at a tick's moment comes after it: a second more.
    out = run({{0, 'w'}, {0, 'c'}, {2000, 'g'}}, 30000);
    EXPECT_EQ(out.atMs, 9000);
    // The ticks keep the link's start as their phase, not the connect step's.
    out = run({{0, 'w'}, {600, 'c'}, {1500, 'g'}}, 30000);
    EXPECT_EQ(out.atMs, 8000);
    // In a later cycle, the connect step's.
    out = run({{0, 'w'}, {0, 'c'}, {100, 'g'}, {200, 'p'}, {5600, 'c'}, {5700, 'g'}}, 30000);
    EXPECT_EQ(out.atMs, 12600);
}

TEST(LineSupervisor, TheCommandAwaitingItsAnswerIsNotSilence) {
    // Commanded at 1500 and silent for long: the fix test times that.
    EXPECT_FALSE(run({{0, 'w'}, {0, 'c'}, {1200, 'g'}, {1500, 'x'}}, 60000).fault);
    // Confirmed at 20000: the ticks count again, the bytes before the
    // command still unseen by them; silent from there on.
    const Outcome out =
        run({{0, 'w'}, {0, 'c'}, {1200, 'g'}, {1500, 'x'}, {20000, 'g'}, {20000, 'k'}}, 60000);
    EXPECT_EQ(out.fault, Fault::Silent);
    EXPECT_EQ(out.atMs, 27000);
    // Silent ticks counted before the command are kept through it.
    const Outcome kept = run({{0, 'w'}, {0, 'c'}, {200, 'g'}, {3500, 'x'}, {3600, 'k'}}, 60000);
    EXPECT_EQ(kept.atMs, 7000);
}

// As the run feeds it, one read of the port at a time (lineinput.h): a GGA
// with its time field filled counts (a receiver's clock counting up from
// zero too, as the link has it); an empty time field proves the rate only to
// a rule that takes checked sentences.  A unit that sends only binary
// packets talks: another rate, not no data.
TEST(LineSupervisor, FedByEachReadOfThePort) {
    const auto run = [](const std::string& bytes, bool sentencesProveRate) {
        LineSupervisor line(LineSupervisor::Settings{sentencesProveRate});
        Watcher watcher;
        watcher.onGga = [&](const Gga& gga) {
            if (gga.timeMs) line.timedGga();
        };
        watcher.onSentence = [&](std::string_view) { line.sentence(); };
        LineInput input(watcher, line);
        line.watch(0);
        line.connected(0);
        for (qint64 ms = 200; ms < 10000 && !line.fault(); ms += 1000) {
            line.tick(ms);
            if (!line.fault()) input.read(bytes, ms);
        }
        return line.fault();
    };
    const auto gga = [](const std::string& time) {
        return gpslink::nmeaCommand("GPGGA," + time + ",,,,,0,00,,,M,,M,,");
    };
    EXPECT_EQ(run(gga(""), false), Fault::AnotherRate);
    EXPECT_FALSE(run(gga(""), true));
    EXPECT_FALSE(run(gga("000001.00"), false));
    EXPECT_FALSE(run(gga("123519.00"), false));
    const std::string navPvt = gpslink::ubxFrame(0x01, 0x07, std::string(92, '\0'));
    for (const bool proves : {false, true}) EXPECT_EQ(run(navPvt, proves), Fault::AnotherRate);
}

}  // namespace
}  // namespace station
