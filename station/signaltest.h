// The signal test of one cycle: the C/N0 of the generator's satellite, once
// a second, held to its limits.  No clock and no port: the run hands it each
// second as it ends and asks for the next moment it may have to act.
//
// It takes the first N seconds in which the satellite has a C/N0 (above 0)
// after it is first seen; the time-out counts from the start until the
// satellite is first seen, then from that moment.  Too few readings by then
// is signal-not-seen; else the mean, with the slot's calibration offset, is
// held to cn0Low and cn0High.  A unit that has a fix and lists its
// satellites without the generator's, kNotInViewS seconds in a row before
// the first reading, does not have it in view (a scenario without it): the
// test ends then, signal-not-seen, rather than at the time-out.  A satellite
// listed without a C/N0 is in view.  Where the family reports its RF front end's
// figures they are averaged over the same time and, with the slot's limits
// learned from its golden unit, a C/N0 that passes is followed by them:
// each figure outside its limit, or not reported, is rf-health.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

#include "station/frontend.h"
#include "station/result.h"
#include "station/watcher.h"

namespace station {

class SignalTest {
public:
    static constexpr int kNotInViewS = 30;

    struct Settings {
        QString sv;  // "GPS:1"
        int samples = 10;
        int timeoutS = 300;
        std::optional<double> offset;  // the slot's calibration
        std::optional<qint64> calibrationId;
        std::optional<RfLimits> rf;  // the slot's, where its family reports the figures
    };
    explicit SignalTest(const Settings& settings);

    void start(qint64 nowMs);
    // A second ended: its reading of the satellite, if it has one.  True
    // when a reading was taken.
    bool secondEnded(const Second& second, qint64 nowMs);
    // The front end's figures, as the receiver reports them meanwhile.
    void frontEnd(const FrontEnd& figures);
    // A deadline fell due: the time is up unless the readings are in.
    void tick(qint64 nowMs);
    std::optional<qint64> nextDeadlineMs() const;

    bool started() const { return started_; }
    // Started, and neither the readings in nor the time up.
    bool running() const { return started_ && !over_; }
    // The readings are in or the time is up, and no verdict yet.
    bool over() const { return over_ && !result_.reason; }
    // Held to the limits: the verdict is the result's reason.
    void judge(const Limits& limits);
    bool judged() const { return result_.reason.has_value(); }

    const SignalResult& result() const { return result_; }
    // When it began, or since the satellite was first seen.
    qint64 sinceMs() const { return sinceMs_; }
    int samples() const { return samples_; }

private:
    SignalResult result_;
    std::string system_;
    int prn_ = 0;
    int samples_;
    int timeoutS_;
    bool started_ = false;
    bool over_ = false;
    qint64 sinceMs_ = 0;
    int absent_ = 0;  // seconds in a row with a fix and a sky without the satellite
    struct Sum {
        double sum = 0;
        int count = 0;
    };
    std::array<Sum, results::kMeasureCount> figures_;  // by golden measure
};

}  // namespace station
