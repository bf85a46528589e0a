// What a unit keeps of its cycles: the summary's TTFF figures, exact for a
// run of ordinary length and within half a bin in memory that stays put
// over a day's cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "results/statistics.h"
#include "station/result.h"

namespace station {
namespace {

struct Exact {
    double mean, median, p95, max;
};

Exact exactOf(std::vector<double> ttffs) {
    std::sort(ttffs.begin(), ttffs.end());
    return {results::mean(ttffs), results::median(ttffs), results::nearestRank(ttffs, 95),
            ttffs.back()};
}

TEST(Tally, TtffFiguresExactUpToTheKeptNumber) {
    const std::vector<std::vector<double>> cases = {
        {4.2},
        {4.2, 3.1},                // even: the mean of the middle two
        {30.004, 29.996, 30.005},  // a millisecond apart
        std::vector<double>(Tally::kExactTtffs, 12.3456),
    };
    for (const auto& ttffs : cases) {
        Tally tally;
        CycleResult cycle;
        cycle.reason = Reason::Ok;
        tally.add(CycleResult{});  // a cycle without a fix counts, its TTFF does not
        for (double t : ttffs) {
            cycle.ttffS = t;
            tally.add(cycle);
        }
        const Summary s = tally.summary();
        const Exact e = exactOf(ttffs);
        EXPECT_EQ(s.cycles, int(ttffs.size()) + 1);
        EXPECT_EQ(s.passed, int(ttffs.size()));
        EXPECT_EQ(*s.ttffMean, e.mean);
        EXPECT_EQ(*s.ttffMedian, e.median);
        EXPECT_EQ(*s.ttffP95, e.p95);
        EXPECT_EQ(*s.ttffMax, e.max);
        EXPECT_EQ(tally.ttffBinS(), 0) << ttffs.size();
    }
}

// A million cycles: the memory held for the TTFFs stays within its bound
// and the figures within half a bin of the exact ones.
TEST(Tally, AMillionCyclesInBoundedMemory) {
    struct Case {
        const char* name;
        double low, high;  // TTFFs spread evenly between
        double binS;       // the bins they end in
    };
    const Case cases[] = {
        {"a receiver's jitter", 4.0, 4.05, 0.001},  // 50 bins of 1 ms
        {"a minute's spread", 20, 80, 0.032},       // 60,000 ms in bins of 2,048 or fewer
    };
    const std::size_t bound = Tally::kMaxTtffBins * (sizeof(std::int32_t) + sizeof(std::uint32_t));
    for (const Case& c : cases) {
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> spread(c.low, c.high);
        Tally tally;
        CycleResult cycle;
        cycle.reason = Reason::Ok;
        std::vector<double> ttffs;
        for (int i = 0; i < 1000000; ++i) {
            cycle.ttffS = spread(random);
            ttffs.push_back(*cycle.ttffS);
            tally.add(cycle);
            if (i % 1000 == 0) {
                ASSERT_LE(tally.ttffBytes(), bound) << c.name << " at " << i;
            }
        }
        const Summary s = tally.summary();
        const Exact e = exactOf(ttffs);
        EXPECT_EQ(s.cycles, 1000000) << c.name;
        EXPECT_EQ(tally.ttffBinS(), c.binS) << c.name;
        EXPECT_NEAR(*s.ttffMean, e.mean, 1e-9) << c.name;
        EXPECT_EQ(*s.ttffMax, e.max) << c.name;
        EXPECT_NEAR(*s.ttffMedian, e.median, c.binS / 2) << c.name;
        EXPECT_NEAR(*s.ttffP95, e.p95, c.binS / 2) << c.name;
    }
}

}  // namespace
}  // namespace station
