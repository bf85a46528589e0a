// The station's fix test on any bytes a receiver or line noise can give,
// arriving at moments the input chooses, with the command, the link's
// confirmation and a device going away where the input says.  Rules: no
// crash, no sanitizer report; a verdict, once given, stands; the TTFF is
// never negative and comes with a fix; no deadline after the verdict; and a
// deadline that falls due is acted on, so that it moves or a verdict comes
// (else the run's timer would fire again at once, for ever).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "station/fixtest.h"
#include "station/watcher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    station::FixTest::Settings settings;
    settings.requireReset = data[0] & 1;
    settings.confirmTimeoutS = 1 + data[1] % 40;
    settings.fixTimeoutS = settings.confirmTimeoutS + data[2] % 60;
    if (data[0] & 2) settings.limits.most(station::Measure::Ttff) = data[3] % 50;
    if (data[0] & 4) settings.limits.least(station::Measure::Satellites) = data[3] % 13;
    if (data[0] & 8) settings.limits.least(station::Measure::SkyCn0) = data[3] % 50;
    station::FixTest test(settings);
    station::Watcher watcher;
    station::FixTest::Line line;
    qint64 now = 0;
    watcher.onGga = [&](const station::Gga& gga) { test.gga(gga, now * 1000000); };
    watcher.onSecond = [&](const station::Second& second) { test.secondEnded(second); };

    std::optional<results::Reason> verdict;
    const auto check = [&] {
        if (verdict && test.verdict() != verdict) std::abort();
        verdict = test.verdict();
        if (test.ttffS() && (*test.ttffS() < 0 || !test.fix())) std::abort();
        if (const auto due = test.nextDeadlineMs(now, line); due && verdict) std::abort();
    };
    // Then chunks: a control byte (what happens and how long after), the
    // chunk's length, its bytes.
    for (std::size_t at = 4; at + 2 <= size;) {
        const std::uint8_t control = data[at], length = data[at + 1];
        at += 2;
        now += (control >> 3) * 100;
        for (auto due = test.nextDeadlineMs(now, line); due && *due <= now && !test.verdict();
             due = test.nextDeadlineMs(now, line)) {
            test.tick(now, line, watcher.second());
            check();
            if (!test.verdict() && test.nextDeadlineMs(now, line) == due) std::abort();
        }
        switch (control & 7) {
            case 0:
                test.commandOut(now * 1000000);
                break;
            case 1:
                line.confirmed = true;
                break;
            case 2:
                line.deviceAway = !line.deviceAway;
                break;
            default:
                break;
        }
        const std::size_t take = std::min<std::size_t>(length, size - at);
        test.received(now);
        watcher.feed(std::string_view(reinterpret_cast<const char*>(data + at), take));
        at += take;
        check();
    }
    return 0;
}
