// The fix test of one cycle: the reset proved, the time to first fix, the
// fix held to its limits.  No clock and no port: the run tells it what the
// receiver said and when, and asks for the verdict so far and the next moment
// at which it may have to act.
//
// - The command is out when its last byte has been handed to the device;
//   the TTFF counts from then.
// - The reset counts as taken only when the stream shows it: a GGA without a
//   fix or without a time after the unit had a fix, a GGA without a time
//   after it had a time, a GGA time without a fix over 2 s back from the
//   last time before the command, not across midnight (the receiver's clock
//   restarted; with no time before it, none proves it), a whole second
//   after the command whose GSV lists satellites but tracks none where the
//   last before it tracked some (the sky starting over), two seconds of silence, or the family's
//   own sign (restartsign.h: a start-up message, the command acknowledged, or a start-up banner
//   followed by a GGA without a fix).
// - A power start (poweredOn()) needs no sign: the station switched the
//   unit's supply off and on itself, and the TTFF counts from the power-on.
// - A fix before any such sign is taken, its reset not proven, unless the
//   proof is required: by requireProof, or by requireReset when the unit had
//   a fix to lose.  A unit without a fix at the command that shows no sign
//   has nothing that could prove it (many receivers keep their time across
//   a restart); its fix is taken with a note that says so, as is the fix of
//   a unit that kept its fix when the proof was not required (a hot start).
// - The first GGA with a real fix (qualities 1 to 5) after that is the fix.
//   Manual input and simulation (7, 8) fail at once; an estimate (6) may
//   still become a fix, and fails only when none comes in time.
// - The fix's second is whole when the next second begins, when the line has
//   been quiet for 0.25 s after the fix (a receiver sends a second's
//   sentences in one burst), or 1.5 s after the fix, whichever comes first;
//   then the limits decide.
// - Time-outs from the command: confirmTimeoutS for a GGA time (the link's
//   confirmation), for the reset when it is required, and for a device that
//   went away to come back; fixTimeoutS for the fix.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <string>
#include <string_view>

#include "gpslink/resetcommand.h"
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
        // Every unit's reset must be proven, even one with nothing to lose.
        bool requireProof = false;
        // Whose signs of a restart count (see restartsign.h), and the start
        // command as sent, which its acknowledgement names.
        std::optional<gpslink::ReceiverFamily> family;
        std::string command;
    };
    // What proved the reset.
    enum class Sign {
        FixLost,         // a GGA without a fix or a time after a fix
        TimeLost,        // a GGA without a time after a GGA with one
        ClockRestarted,  // a GGA time without a fix back from the last before the command
        SkyLost,         // every tracked satellite lost in a whole second
        Silence,         // two seconds without a byte
        StartedUp,       // the family's start-up message
        Acknowledged,    // the family's acknowledgement of the command
        Banner,          // the family's start-up banner, then a GGA without a fix
        PoweredOn,       // the station switched the unit's supply off and on
    };
    // What the run knows of the line beside the stream, when a deadline falls due.
    struct Line {
        bool confirmed = false;   // the link saw a GGA time after the command
        bool deviceAway = false;  // the device went away and has not come back
    };

    explicit FixTest(Settings settings) : settings_(std::move(settings)) {}

    // The command's last byte went to the device; times on the run's steady clock.
    void commandOut(qint64 atNs);
    // In place of a command: the unit's supply switched off and on by the
    // station, the power-on at atNs; the restart is the station's own doing.
    void poweredOn(qint64 atNs);
    // Bytes came from the receiver.
    void received(qint64 nowMs);
    // A GGA sentence, as the watcher decoded it.
    void gga(const Gga& gga, qint64 nowNs);
    // A second ended; the fix's second is whole once the next began.
    void secondEnded(const Second& second);
    // A checked sentence's body, as the watcher passed it.
    void sentence(std::string_view body);
    // A deadline fell due (or any moment after it): acts on what is due.
    // secondSoFar: the second under way, taken as the fix's when it is not
    // over 1.5 s after the fix.
    void tick(qint64 nowMs, const Line& line, const Second& secondSoFar);
    // The next moment tick() may act; empty: nothing to wait for.
    std::optional<qint64> nextDeadlineMs(qint64 nowMs, const Line& line) const;

    bool commanded() const { return commandAtMs_.has_value(); }
    std::optional<qint64> commandAtMs() const { return commandAtMs_; }
    bool resetSeen() const { return resetVerified_; }
    std::optional<Sign> resetSign() const { return sign_; }
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
    void proven(Sign sign);
    bool proofRequired() const;

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
    // What the unit had before the command, to lose in the reset.
    bool hadFixAtCommand_ = false;
    std::optional<int> lastTimeMs_;  // of the last GGA before the command, when it had one
    bool tracking_ = false;          // the last whole second before it tracked a satellite
    int secondsSinceCommand_ = 0;    // seconds ended since the command
    bool banner_ = false;            // a start-up banner since the last GGA
    std::optional<Sign> sign_;
};

}  // namespace station
