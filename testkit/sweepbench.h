// Simulated units with planted sensitivity thresholds searching through one
// generator's sweep (station/sensitivity.h), in milliseconds of test time:
// for the sensitivity tests and the sweep's benchmark.
#pragma once

#include <QtGlobal>
#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/resetcommand.h"
#include "sim/receivermodel.h"
#include "station/families.h"
#include "station/sensitivity.h"
#include "station/watcher.h"

namespace testkit {

using station::AcquisitionSearch;
using station::LevelSweep;

// A simulated receiver's epoch: whether its GGA has a fix, and the C/N0 of
// the satellites its GSV says it tracks.
struct Epoch {
    bool fix = false;
    std::vector<int> cn0;
};
inline Epoch epoch(gpssim::ReceiverModel& model) {
    Epoch e;
    const std::string out = model.tick();
    for (std::size_t at = 0; (at = out.find('$', at)) != std::string::npos; ++at) {
        const std::string_view body =
            std::string_view(out).substr(at + 1, out.find('*', at) - at - 1);
        if (const auto gga = station::parseGga(body)) e.fix = gga->quality > 0;
        if (const auto gsv = station::parseGsv(body))
            for (const auto& s : gsv->satellites)
                if (s.cn0) e.cn0.push_back(*s.cn0);
    }
    return e;
}

inline gpssim::ReceiverModel rfUnit(double acquisitionDbm, double trackingDbm,
                                    double pathLoss = 0) {
    gpssim::ReceiverConfig config;
    config.timeToFirstFixSeconds = 30;
    config.resetSilenceSeconds = 0;
    config.rf = gpssim::RfInput{pathLoss, 2, acquisitionDbm, trackingDbm};
    return gpssim::ReceiverModel(config);
}

// Seconds from a cold start to the first fix, within a limit.
inline std::optional<int> coldStart(gpssim::ReceiverModel& model, int limitS) {
    model.receive(station::startCommand(gpslink::ReceiverFamily::Sirf, gpslink::StartType::Cold));
    for (int s = 1; s <= limitS; ++s)
        if (epoch(model).fix) return s;
    return std::nullopt;
}

// Slots searching through one sweep, driven by events in test time: each
// slot's unit a simulated receiver with its planted acquisition threshold
// behind the slot's path loss, its cold start given timeoutMs to fix; the
// generator takes settleMs to set a level.  The search is in the
// generator's levels, one window for every slot (a window per slot's loss
// would share no level); the unit's sensitivity is that less the slot's loss.
struct Bench {
    static constexpr qint64 timeoutMs = 60000, settleMs = 300;
    struct Slot {
        int id = 0;
        double threshold = 0, loss = 0;
        std::optional<gpssim::ReceiverModel> unit;
        bool fixed = false;
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
    bool ended = false;

    void add(double threshold, double loss = 3, qint64 askDelayMs = 0, int diesAfter = 99) {
        Slot s;
        s.id = sweep.join();
        s.threshold = threshold;
        s.loss = loss;
        s.unit.emplace(rfUnit(threshold, -160, loss));
        s.search = AcquisitionSearch({-127, 32, 6});  // one window for every slot
        s.askDelayMs = askDelayMs;
        s.diesAfter = diesAfter;
        s.askAt = askDelayMs;
        units.push_back(s);
    }

    // Until every slot is done or gone (ended), or a step limit is reached;
    // the moment the last dwell ended.
    qint64 run() {
        for (int guard = 0; guard < 10000; ++guard) {
            qint64 next = std::numeric_limits<qint64>::max();
            for (const Slot& s : units) {
                if (s.askAt) next = std::min(next, *s.askAt);
                if (s.dwellEndsAt) next = std::min(next, *s.dwellEndsAt);
            }
            if (setDoneAt) next = std::min(next, *setDoneAt);
            if (const auto due = sweep.nextDeadlineMs()) next = std::min(next, *due);
            if (next == std::numeric_limits<qint64>::max()) {
                ended = true;
                return now;
            }
            now = std::max(now, next);
            step();
        }
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
                sweep.request(s.id, *s.search.nextLevel());
            }
            if (s.dwellEndsAt && *s.dwellEndsAt <= now) {
                s.dwellEndsAt.reset();
                s.search.outcome(s.fixed);
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
            if (sweep.dwelling(s.id) && !s.dwellEndsAt && !s.gone) {
                s.unit->setRfLevel(sweep.level());
                const auto fixedS = coldStart(*s.unit, timeoutMs / 1000);
                s.fixed = fixedS.has_value();
                s.dwellEndsAt = now + (fixedS ? *fixedS * 1000 : timeoutMs);
            }
    }
};

}  // namespace testkit
