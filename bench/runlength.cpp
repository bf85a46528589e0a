// One run left standing for hours, in-process: the link on the test doubles,
// a stream fed in fixed-size chunks and the four timers ticked once per
// simulated second.  A steady clock times the receive calls for the report
// only; nothing here depends on it.
//
//   runlength [--mode=stream] [--hours=24] [--rate=92160] [--chunk=64]
//             [--content=nmea|noise] [--phase=confirmed|starting]
//       The stream at the given characters per second (92160 is a full
//       921,600-baud line); prints the cost per receive event for every
//       hour, the largest RxBuffer seen and the peak resident set size.
//   runlength --mode=ticks [--hours=72]
//       Five runs left standing, one simulated second at a time: confirmed
//       with a burst a second; cold start sent and never confirmed while the
//       receiver streams without a time; the same with a silent receiver; the
//       button pressed twice at the start; a line at the wrong baud rate.
//       Checks that no counter leaves its range.
//
// Exits 1 when a range rule breaks or a run leaves the state it should stay in.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "bench/nmeastream.h"
#include "testkit/fakes.h"

namespace coldstart::bench {

using gpslink::testing::brokenRangeRule;
using gpslink::testing::QuietBench;
using gpslink::testing::QuietView;
namespace {

struct Options {
    std::string mode = "stream";
    double hours = -1;  // per mode: 24 for the stream, 72 for the ticks
    long rate = 92160;
    std::size_t chunk = 64;
    std::string content = "nmea";
    std::string phase = "confirmed";
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const std::size_t eq = arg.find('=');
        const std::string_view key = arg.substr(0, eq);
        const std::string value(eq == std::string_view::npos ? "" : arg.substr(eq + 1));
        if (key == "--mode") {
            o.mode = value;
        } else if (key == "--hours") {
            o.hours = std::atof(value.c_str());
        } else if (key == "--rate") {
            o.rate = std::atol(value.c_str());
        } else if (key == "--chunk") {
            o.chunk = static_cast<std::size_t>(std::atol(value.c_str()));
        } else if (key == "--content") {
            o.content = value;
        } else if (key == "--phase") {
            o.phase = value;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return false;
        }
    }
    if (o.hours < 0) o.hours = o.mode == "ticks" ? 72 : 24;
    return o.chunk > 0 && o.rate >= static_cast<long>(o.chunk) && o.hours > 0 &&
           (o.mode == "stream" || o.mode == "ticks") &&
           (o.content == "nmea" || o.content == "noise") &&
           (o.phase == "confirmed" || o.phase == "starting");
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

bool fail(const std::string& what, long second) {
    std::printf("FAILED at simulated second %ld: %s\n", second, what.c_str());
    return false;
}

// Connects and sends six one-second bursts: five GGA sentences send the cold
// start, the sixth confirms it.
bool confirmRun(QuietBench& rig) {
    rig.connect();
    for (long s = 0; s < 6; ++s) {
        rig.receive(burst(36000 + s, Clock::Known));
        rig.second();
    }
    return rig.state().Mode == 2 && rig.coldStartsSent() == 1;
}

bool runStream(const Options& o) {
    using Clock_ = std::chrono::steady_clock;
    const Clock streamClock = o.phase == "confirmed" ? Clock::Known : Clock::Starting;
    ChunkRing ring(o.content == "nmea" ? bursts(36000, 3600, streamClock) : lineNoise(1 << 20),
                   o.chunk);
    QuietBench rig;
    if (o.phase == "confirmed") {
        if (!confirmRun(rig)) return fail("the run did not reach Mode 2", 0);
    } else {
        rig.connect();
    }
    const int mode = rig.state().Mode;
    const long chunksPerSecond = o.rate / static_cast<long>(o.chunk);
    const long seconds = static_cast<long>(o.hours * 3600);
    const long rssBefore = peakRssKb();
    const long currentBefore = currentRssKb();

    std::printf(
        "stream: %s, phase %s, %ld chunks of %zu characters per simulated second "
        "(%ld characters/s), %.2f hours (%ld simulated seconds)\n",
        o.content.c_str(), o.phase.c_str(), chunksPerSecond, o.chunk,
        chunksPerSecond * static_cast<long>(o.chunk), o.hours, seconds);
    std::printf("%6s %12s %12s %14s %10s %10s\n", "hour", "events", "ns/event", "max RxBuffer",
                "VmRSS kB", "peak kB");

    std::size_t maxBuffer = 0;
    double firstHourNs = -1, lastHourNs = -1;
    double hourNs = 0;
    long hourEvents = 0;
    const auto wallStart = Clock_::now();
    for (long second = 0; second < seconds; ++second) {
        const auto start = Clock_::now();
        for (long c = 0; c < chunksPerSecond; ++c) {
            rig.receive(ring.next());
            if (rig.state().RxBuffer.size() > maxBuffer) maxBuffer = rig.state().RxBuffer.size();
        }
        hourNs += std::chrono::duration<double, std::nano>(Clock_::now() - start).count();
        hourEvents += chunksPerSecond;
        rig.second();

        const std::string broken = brokenRangeRule(rig.state(), o.chunk);
        if (!broken.empty()) return fail(broken, second);
        if (rig.state().Mode != mode) return fail("Mode changed", second);

        if ((second + 1) % 3600 == 0 || second + 1 == seconds) {
            const double perEvent = hourNs / static_cast<double>(hourEvents);
            if (firstHourNs < 0) firstHourNs = perEvent;
            lastHourNs = perEvent;
            std::printf("%6ld %12ld %12.1f %14zu %10ld %10ld\n", second / 3600 + 1, hourEvents,
                        perEvent, maxBuffer, currentRssKb(), peakRssKb());
            std::fflush(stdout);
            hourNs = 0;
            hourEvents = 0;
        }
    }
    const double wall = std::chrono::duration<double>(Clock_::now() - wallStart).count();
    const double bytes = static_cast<double>(seconds) * chunksPerSecond * o.chunk;

    if (rig.coldStartsSent() != (o.phase == "confirmed" ? 1 : 0))
        return fail("cold start sent " + std::to_string(rig.coldStartsSent()) + " times", seconds);
    std::printf("\nfirst hour %.1f ns/event, last hour %.1f ns/event (last/first %.3f)\n",
                firstHourNs, lastHourNs, lastHourNs / firstHourNs);
    std::printf("characters fed %.0f (%.2f GB) in %.1f s wall, %.1f MB/s including ticks\n", bytes,
                bytes / 1e9, wall, bytes / wall / 1e6);
    std::printf("max RxBuffer %zu characters (limit %zu + one chunk of %zu), capacity %zu\n",
                maxBuffer, gpslink::NmeaScanner::kMaxPending, o.chunk,
                rig.state().RxBuffer.capacity());
    std::printf("peak RSS before %ld kB, after %ld kB; VmRSS before %ld kB, after %ld kB\n",
                rssBefore, peakRssKb(), currentBefore, currentRssKb());
    std::printf("Mode %d, Counters[2] %d, Counters[3] %d, cold starts sent %d\n", rig.state().Mode,
                rig.state().Counters[2], rig.state().Counters[3], rig.coldStartsSent());
    if (maxBuffer > gpslink::NmeaScanner::kMaxPending + o.chunk)
        return fail("RxBuffer above its limit", seconds);
    return true;
}

// One scenario of the ticks mode: a prepared run, then every simulated second
// the given input and a tick of every enabled timer.
template <typename Prepare, typename EverySecond, typename Check>
bool scenario(const char* name, long seconds, Prepare prepare, EverySecond everySecond,
              Check check) {
    QuietBench rig;
    if (!prepare(rig)) return fail(std::string(name) + ": preparation failed", 0);
    const int mode = rig.state().Mode;
    const long rssBefore = peakRssKb();
    for (long second = 0; second < seconds; ++second) {
        everySecond(rig, second);
        rig.second();
        const std::string broken = brokenRangeRule(rig.state(), 64);
        if (!broken.empty()) return fail(std::string(name) + ": " + broken, second);
        if (rig.state().Mode != mode) return fail(std::string(name) + ": Mode changed", second);
    }
    const gpslink::LinkState& s = rig.state();
    std::printf(
        "%-13s Mode %d  Counters[1] %5d  Counters[2] %5d  Counters[3] %4d  "
        "ColdStartSeconds %5d  StartTicks %d  Timer1Ticks %5d  cold starts %d  "
        "status \"%s\"  peak RSS %ld -> %ld kB\n",
        name, s.Mode, s.Counters[1], s.Counters[2], s.Counters[3], s.ColdStartSeconds, s.StartTicks,
        s.Timer1Ticks, rig.coldStartsSent(),
        rig.view.status.substr(0, rig.view.status.find('\r')).c_str(), rssBefore, peakRssKb());
    const std::string wrong = check(rig);
    if (!wrong.empty()) return fail(std::string(name) + ": " + wrong, seconds);
    return true;
}

bool runTicks(const Options& o) {
    const long seconds = static_cast<long>(o.hours * 3600);
    std::printf("ticks: %.2f hours (%ld simulated seconds) per scenario\n", o.hours, seconds);
    const std::string noise = lineNoise(1 << 16);
    bool ok = true;

    // Confirmed, and the receiver goes on sending a burst a second.
    ok &= scenario(
        "confirmed", seconds, confirmRun,
        [](QuietBench& rig, long s) { rig.receive(burst(36006 + s, Clock::Known)); },
        [](const QuietBench& rig) -> std::string {
            if (rig.view.statusColour != gpslink::colour::Green) return "status not green";
            if (rig.view.status.rfind("Cold Start OK!", 0) != 0) return "status not confirmed";
            return rig.coldStartsSent() == 1 ? "" : "cold start not sent exactly once";
        });

    // The cold start went out and nothing confirms it: the receiver streams
    // with an empty time field.
    ok &= scenario(
        "unconfirmed", seconds,
        [](QuietBench& rig) {
            rig.connect();
            for (long s = 0; s < 5; ++s) rig.receive(burst(36000 + s, Clock::Known));
            return rig.state().Mode == 1;
        },
        [](QuietBench& rig, long s) { rig.receive(burst(s, Clock::Unknown)); },
        [](const QuietBench& rig) -> std::string {
            if (rig.view.status != "Cold Start fail!") return "not reporting the long cold start";
            return rig.coldStartsSent() == 1 ? "" : "cold start not sent exactly once";
        });

    // The same, and the receiver falls silent.
    ok &= scenario(
        "silent", seconds,
        [](QuietBench& rig) {
            rig.connect();
            for (long s = 0; s < 5; ++s) rig.receive(burst(36000 + s, Clock::Known));
            return rig.state().Mode == 1;
        },
        [](QuietBench&, long) {},
        [](const QuietBench& rig) -> std::string {
            if (rig.view.status != "Cold Start fail!(1)\r\nGPS no respond.")
                return "not reporting the missing confirmation";
            if (!rig.link.Timer_PF.enabled()) return "Timer_PF stopped";
            return rig.coldStartsSent() == 1 ? "" : "cold start not sent exactly once";
        });

    // The button pressed twice in a row: the second press finds the status
    // box still empty and arms the connect step again, so Timer1 ticks for
    // the rest of the run without connecting; the receiver streams as usual.
    ok &= scenario(
        "pressed-twice", seconds,
        [](QuietBench& rig) {
            rig.connect();
            rig.link.Cmd_Start_1_Click();
            for (long s = 0; s < 6; ++s) {
                rig.receive(burst(36000 + s, Clock::Known));
                rig.second();
            }
            return rig.link.Timer1.enabled() && rig.state().Mode == 2;
        },
        [](QuietBench& rig, long s) { rig.receive(burst(36006 + s, Clock::Known)); },
        [](const QuietBench& rig) -> std::string {
            if (!rig.link.Timer1.enabled()) return "Timer1 stopped";
            return rig.coldStartsSent() == 1 ? "" : "cold start not sent exactly once";
        });

    // A line at the wrong baud rate: about 960 characters a second of noise.
    ok &= scenario(
        "mismatch", seconds,
        [](QuietBench& rig) {
            rig.connect();
            return true;
        },
        [&noise](QuietBench& rig, long s) {
            for (int c = 0; c < 15; ++c)
                rig.receive(std::string_view(noise).substr(((s * 15 + c) % 1024) * 64, 64));
        },
        [](const QuietBench& rig) -> std::string {
            if (rig.view.status != "Baud Rate not match!") return "not reporting the baud rate";
            return rig.coldStartsSent() == 0 ? "" : "cold start sent";
        });
    return ok;
}

}  // namespace
}  // namespace coldstart::bench

int main(int argc, char** argv) {
    coldstart::bench::Options options;
    if (!coldstart::bench::parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: runlength [--mode=stream|ticks] [--hours=H] [--rate=CHARS_PER_S] "
                     "[--chunk=N] [--content=nmea|noise] [--phase=confirmed|starting]\n");
        return 2;
    }
    const bool ok = options.mode == "stream" ? coldstart::bench::runStream(options)
                                             : coldstart::bench::runTicks(options);
    std::printf("%s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
