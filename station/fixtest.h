// The fix test of one cycle: the reset proved, the time to first fix, the
// fix held to its limits.  No clock and no port: the run tells it what the
// receiver said and when, and asks for the verdict so far and the next moment
// at which it may have to act.
//
// - The command is out when its last byte has been handed to the device;
//   the TTFF counts from then.
// - The reset counts as taken only when the stream shows it: a GGA without a
//   fix or without a time after the unit had a fix, a GGA time under
//   00:00:10 (the receiver's clock restarted), or two seconds of silence.
//   Without requireReset a fix before any such sign is taken as well.
// - The first GGA with a real fix (qualities 1 to 5) after that is the fix.
//   Manual input and simulation (7, 8) fail at once; an estimate (6) may
//   still become a fix, and fails only when none comes in time.
// - The fix's second is whole when the next second begins or 1.5 s after the
//   fix, whichever comes first; then the limits decide.
// - Time-outs from the command: confirmTimeoutS for a GGA time (the link's
//   confirmation), for the reset when it is required, and for a device that
//   went away to come back; fixTimeoutS for the fix.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

#include "station/result.h"
#include "station/watcher.h"

namespace station {

class FixTest {
public:
    struct Settings {
        bool requireReset = true;
        int confirmTimeoutS = 30;
        int fixTimeoutS = 300;
        Limits limits;
    };
    // What the run knows of the line beside the stream, when a deadline falls due.
    struct Line {
        bool confirmed = false;   // the link saw a GGA time after the command
        bool deviceAway = false;  // the device went away and has not come back
    };

    explicit FixTest(Settings settings) : settings_(std::move(settings)) {}

    // The command's last byte went to the device; times on the run's steady clock.
    void commandOut(qint64 atNs);
    // Bytes came from the receiver.
    void received(qint64 nowMs);
    // A GGA sentence, as the watcher decoded it.
    void gga(const Gga& gga, qint64 nowNs);
    // A second ended; the fix's second is whole once the next began.
    void secondEnded(const Second& second);
    // A deadline fell due (or any moment after it): acts on what is due.
    // secondSoFar: the second under way, taken as the fix's when it is not
    // over 1.5 s after the fix.
    void tick(qint64 nowMs, const Line& line, const Second& secondSoFar);
    // The next moment tick() may act; empty: nothing to wait for.
    std::optional<qint64> nextDeadlineMs(qint64 nowMs, const Line& line) const;

    bool commanded() const { return commandAtMs_.has_value(); }
    std::optional<qint64> commandAtMs() const { return commandAtMs_; }
    bool resetSeen() const { return resetVerified_; }
    // The verdict: the limits' once the fix's second is whole, or what ended
    // the test before a fix.
    std::optional<Reason> verdict() const { return verdict_; }
    // A fix whose second is not yet whole.
    bool fixPending() const { return fix_.has_value() && !verdict_; }
    std::optional<double> ttffS() const { return ttffS_; }
    const std::optional<Gga>& fix() const { return fix_; }
    const Second& atFix() const { return atFix_; }
    // What the test saw beside its verdict ("GGA fix quality 8, not a fix
    // from satellites", "the device did not come back"); empty when nothing.
    const QString& note() const { return note_; }

    // The fix test's measures, taken from the fix and its second.
    static Figures figuresOf(double ttffS, const Gga& fix, const Second& second);
    // The limits' verdict on them.
    static Reason judge(const Limits& limits, const Figures& figures);

private:
    void end(Reason reason, QString note = {});
    void decide(const Second& second);

    // One moment each; nextDeadlineMs and tick read them from here.
    std::optional<qint64> skyWholeAt() const;
    std::optional<qint64> silenceAt() const;
    std::optional<qint64> confirmationAt() const;
    std::optional<qint64> fixTimeoutAt() const;

    Settings settings_;
    std::optional<qint64> commandAtMs_;
    qint64 commandAtNs_ = 0;
    qint64 lastReceiveMs_ = 0;
    bool hadFix_ = false;  // a GGA with any fix quality since the cycle began
    bool resetVerified_ = false;
    int unrealFix_ = 0;  // the quality of a GGA that would have been the fix but is not real
    std::optional<double> ttffS_;
    std::optional<Gga> fix_;
    qint64 fixAtMs_ = 0;
    Second atFix_;
    std::optional<Reason> verdict_;
    QString note_;
};

}  // namespace station
