// Sensitivity searches and the sweep that steps one generator for many units,
// in milliseconds of test time: units with planted thresholds, found to
// within the search's resolution, the level never changed under a dwell.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "gpslink/resetcommand.h"
#include "sim/receivermodel.h"
#include "station/sensitivity.h"
#include "station/watcher.h"

namespace station {
namespace {

TEST(AcquisitionSearch, FindsAPlantedThresholdWithinHalfADbInSixColdStarts) {
    const AcquisitionSearch::Settings window{-130, 32, 6};  // -162 .. -130
    for (double threshold : {-131.2, -145.0, -146.3, -147.75, -150.01, -161.6}) {
        AcquisitionSearch search(window);
        while (const auto level = search.nextLevel()) search.outcome(*level >= threshold);
        SCOPED_TRACE(threshold);
        EXPECT_EQ(search.coldStarts(), 6);
        ASSERT_TRUE(search.sensitivityDbm());
        // A level it fixed at, and no more than the resolution above the threshold.
        EXPECT_GE(*search.sensitivityDbm(), threshold);
        EXPECT_LE(*search.sensitivityDbm() - threshold, 0.5);
        EXPECT_DOUBLE_EQ(search.resolutionDb(), 0.5);
    }
    // Never a fix: no answer; always one: the lowest level tried.
    AcquisitionSearch deaf(window), keen(window);
    while (deaf.nextLevel()) deaf.outcome(false);
    while (keen.nextLevel()) keen.outcome(true);
    EXPECT_FALSE(deaf.sensitivityDbm());
    EXPECT_DOUBLE_EQ(*keen.sensitivityDbm(), -161.5);
}

TEST(TrackingSearch, StepsDownUntilTheFixIsLost) {
    TrackingSearch search({-150, 2, -170});
    while (const auto level = search.nextLevel()) search.outcome(*level >= -161.0);
    EXPECT_DOUBLE_EQ(*search.sensitivityDbm(), -160);
    EXPECT_EQ(search.steps(), 7);  // -150 .. -160 held, -162 lost

    TrackingSearch floor({-150, 2, -156}), lost({-150, 2, -170});
    while (floor.nextLevel()) floor.outcome(true);
    lost.outcome(false);
    EXPECT_DOUBLE_EQ(*floor.sensitivityDbm(), -156);
    EXPECT_EQ(floor.steps(), 4);
    EXPECT_TRUE(lost.done());
    EXPECT_FALSE(lost.sensitivityDbm());
}

// A simulated receiver's epoch: whether its GGA has a fix, and the C/N0 of
// the satellites its GSV says it tracks.
struct Epoch {
    bool fix = false;
    std::vector<int> cn0;
};
Epoch epoch(gpssim::ReceiverModel& model) {
    Epoch e;
    const std::string out = model.tick();
    for (std::size_t at = 0; (at = out.find('$', at)) != std::string::npos; ++at) {
        const std::string_view body =
            std::string_view(out).substr(at + 1, out.find('*', at) - at - 1);
        if (const auto gga = parseGga(body)) e.fix = gga->quality > 0;
        if (const auto gsv = parseGsv(body))
            for (const auto& s : gsv->satellites)
                if (s.cn0) e.cn0.push_back(*s.cn0);
    }
    return e;
}

gpssim::ReceiverModel rfUnit(double acquisitionDbm, double trackingDbm, double pathLoss = 0) {
    gpssim::ReceiverConfig config;
    config.timeToFirstFixSeconds = 30;
    config.resetSilenceSeconds = 0;
    config.rf = gpssim::RfInput{pathLoss, 2, acquisitionDbm, trackingDbm};
    return gpssim::ReceiverModel(config);
}

// Seconds from a cold start to the first fix, within a limit.
std::optional<int> coldStart(gpssim::ReceiverModel& model, int limitS) {
    model.receive(gpslink::resetCommand(gpslink::ReceiverFamily::Sirf, gpslink::StartType::Cold));
    for (int s = 1; s <= limitS; ++s)
        if (epoch(model).fix) return s;
    return std::nullopt;
}

TEST(ReceiverModel, ObeysTheGeneratorsLevelAndItsThresholds) {
    auto unit = rfUnit(-147, -160, 5);
    // No signal: no fix, no satellite.
    for (int s = 0; s < 60; ++s) EXPECT_FALSE(epoch(unit).fix || !epoch(unit).cn0.empty());
    // -125 dBm less 5 dB of loss: -130 dBm at the port, 44 dB-Hz less the
    // 2 dB noise figure, each satellite about its own spread.
    unit.setRfLevel(-125);
    const auto fixed = coldStart(unit, 120);
    ASSERT_TRUE(fixed);
    EXPECT_NEAR(*fixed, 30, 2);
    const Epoch e = epoch(unit);
    ASSERT_EQ(e.cn0.size(), 8u);
    double mean = 0;
    for (int c : e.cn0) mean += c / 8.0;
    EXPECT_NEAR(mean, 42, 1);
    EXPECT_GE(*std::max_element(e.cn0.begin(), e.cn0.end()) -
                  *std::min_element(e.cn0.begin(), e.cn0.end()),
              4);
    // Held down to the tracking threshold, lost below it, not had again
    // below the acquisition threshold however long it runs.
    unit.setRfLevel(-159 + 5);
    for (int s = 0; s < 10; ++s) EXPECT_TRUE(epoch(unit).fix);
    unit.setRfLevel(-161 + 5);
    EXPECT_FALSE(epoch(unit).fix);
    unit.setRfLevel(-147.5 + 5);
    for (int s = 0; s < 600; ++s) ASSERT_FALSE(epoch(unit).fix);
    EXPECT_FALSE(coldStart(unit, 600));
    unit.setRfLevel(-147 + 5);
    EXPECT_TRUE(coldStart(unit, 60));
    unit.setRfLevel(std::nullopt);  // the output off
    EXPECT_FALSE(epoch(unit).fix);
}

// Slots searching through one sweep, driven by events in test time: a cold
// start fixes after fixMs at or above the unit's threshold, else runs out at
// timeoutMs; the generator takes settleMs to set a level.
struct Bench {
    static constexpr qint64 fixMs = 35000, timeoutMs = 60000, settleMs = 300;
    struct Slot {
        int id = 0;
        double threshold = 0;
        AcquisitionSearch search{{-130, 32, 6}};
        qint64 askDelayMs = 0;  // from its last dwell to its next request
        int diesAfter = 99;     // cold starts, then its port dies
        std::optional<qint64> askAt, dwellEndsAt;
        bool gone = false;
    };
    LevelSweep sweep{{2000}};
    std::vector<Slot> units;
    std::optional<qint64> setDoneAt;
    double setting = 0;
    qint64 now = 0;
    bool changedUnderADwell = false;

    void add(double threshold, qint64 askDelayMs = 0, int diesAfter = 99) {
        Slot s;
        s.id = sweep.join();
        s.threshold = threshold;
        s.askDelayMs = askDelayMs;
        s.diesAfter = diesAfter;
        s.askAt = askDelayMs;
        units.push_back(s);
    }

    // Until every slot is done or gone; the moment the last dwell ended.
    qint64 run() {
        for (int guard = 0; guard < 10000; ++guard) {
            qint64 next = std::numeric_limits<qint64>::max();
            for (const Slot& s : units) {
                if (s.askAt) next = std::min(next, *s.askAt);
                if (s.dwellEndsAt) next = std::min(next, *s.dwellEndsAt);
            }
            if (setDoneAt) next = std::min(next, *setDoneAt);
            if (const auto due = sweep.nextDeadlineMs()) next = std::min(next, *due);
            if (next == std::numeric_limits<qint64>::max()) return now;
            now = std::max(now, next);
            step();
        }
        ADD_FAILURE() << "the sweep did not end";
        return now;
    }

    void step() {
        if (setDoneAt && *setDoneAt <= now) {
            setDoneAt.reset();
            sweep.levelSet(setting);
        }
        for (Slot& s : units) {
            if (s.gone) continue;
            if (s.askAt && *s.askAt <= now) {
                s.askAt.reset();
                sweep.request(s.id, *s.search.nextLevel(), now);
            }
            if (s.dwellEndsAt && *s.dwellEndsAt <= now) {
                s.dwellEndsAt.reset();
                s.search.outcome(sweep.level() >= s.threshold);
                sweep.release(s.id);
                if (s.search.coldStarts() >= s.diesAfter) {
                    s.gone = true;
                    sweep.leave(s.id);
                } else if (s.search.done()) {
                    sweep.leave(s.id);
                } else {
                    s.askAt = now + s.askDelayMs;
                }
            }
        }
        if (const auto level = sweep.take(now)) {
            for (const Slot& s : units) changedUnderADwell |= sweep.dwelling(s.id);
            setting = *level;
            setDoneAt = now + settleMs;
        }
        // A slot granted its level begins its cold start.
        for (Slot& s : units)
            if (sweep.dwelling(s.id) && !s.dwellEndsAt && !s.gone)
                s.dwellEndsAt = now + (*sweep.level() >= s.threshold ? fixMs : timeoutMs);
    }
};

TEST(LevelSweep, EightSlotsSearchInLockStepEachWithinHalfADb) {
    Bench bench;
    // Six units of one make within 2 dB of each other, one 1.5 dB less
    // sensitive, one whose port dies after two cold starts.
    const std::vector<double> thresholds = {-146.2, -146.9, -147.4, -145.8,
                                            -147.1, -146.6, -144.6, -146.0};
    for (std::size_t i = 0; i < thresholds.size(); ++i)
        bench.add(thresholds[i], 0, i == 7 ? 2 : 99);
    const qint64 took = bench.run();

    EXPECT_FALSE(bench.changedUnderADwell);
    for (const auto& s : bench.units) {
        if (s.gone) continue;
        SCOPED_TRACE(s.threshold);
        EXPECT_EQ(s.search.coldStarts(), 6);
        EXPECT_GE(*s.search.sensitivityDbm(), s.threshold);
        EXPECT_LE(*s.search.sensitivityDbm() - s.threshold, 0.5);
    }
    EXPECT_EQ(bench.units[7].search.coldStarts(), 2);
    // Shared: far less than the units' cold starts one after another.
    const qint64 serial = 7 * 6 * Bench::timeoutMs;
    EXPECT_LT(took, serial / 3) << bench.sweep.levelChanges() << " levels";
}

TEST(LevelSweep, ASlowSlotIsNotWaitedForAndAFaultEndsItForEverySlot) {
    Bench bench;
    bench.add(-146);
    bench.add(-146, 20000);  // asks 20 s after each dwell
    bench.run();
    EXPECT_FALSE(bench.changedUnderADwell);
    for (const auto& s : bench.units) EXPECT_LE(*s.search.sensitivityDbm() + 146, 0.5);

    LevelSweep sweep({2000});
    const int a = sweep.join(), b = sweep.join(), c = sweep.join();
    sweep.request(a, -140, 0);
    sweep.request(b, -150, 0);
    EXPECT_FALSE(sweep.take(1999));  // c has not asked: the others wait for it a while
    sweep.request(c, -150, 1000);
    EXPECT_EQ(sweep.take(1000), -150);  // every slot has asked: most want -150
    sweep.levelSet(-150);
    EXPECT_TRUE(sweep.dwelling(b) && sweep.dwelling(c) && sweep.waiting(a));
    sweep.release(b);
    sweep.request(b, -150, 2000);  // others wait for another level: b waits too
    EXPECT_TRUE(sweep.waiting(b));
    sweep.fault("SG: -222,\"Data out of range\"");
    EXPECT_TRUE(sweep.faulted());
    for (int slot : {a, b, c}) EXPECT_FALSE(sweep.dwelling(slot) || sweep.waiting(slot));
    sweep.request(a, -140, 3000);
    EXPECT_FALSE(sweep.take(10000));
}

}  // namespace
}  // namespace station
