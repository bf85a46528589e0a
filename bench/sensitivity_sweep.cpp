// The acquisition sensitivity sweep's time per slot at 1, 4 and 8 count:
// simulated units of one make (thresholds spread over 2 dB about -146.5 dBm,
// path losses 3 to 3.7 dB) searched through one generator, in the sweep's
// own time (a cold start runs to its fix or to the 60 s limit; a setting
// takes 0.3 s).  Prints one line per slot count.
#include <cstdio>

#include "testkit/sweepbench.h"

int main() {
    for (int count : {1, 4, 8}) {
        testkit::Bench bench;
        for (int i = 0; i < count; ++i)
            bench.add(-147.5 + (i * 0.37 - int(i * 0.37 / 2.0) * 2.0), 3 + 0.1 * i);
        const double took = bench.run() / 1000.0;
        std::printf("%d slot%s: sweep %.0f s, %.0f s per slot, %d levels set%s\n", count,
                    count == 1 ? "" : "s", took, took / count, bench.sweep.levelChanges(),
                    bench.ended ? "" : " (did not end)");
    }
    return 0;
}
