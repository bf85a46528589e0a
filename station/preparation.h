// A unit got ready for its cycle's tests, with no clock and no port of its
// own: the slot's power switched off and on, the receiver got to know (its
// rate and its family, probe.h), who it is, and when its start goes out.
// The run (unitrun.h) hands it what the receiver said and when, runs what it
// asks for (the fixture's power command, the line at a rate, the link
// started, the command), and ticks it at nextDeadlineMs(); a test hands it
// a clock that moves when told.
//
// - A power start first switches the slot off for the plan's off time and
//   on again (powercycle.h), listening meanwhile: the unit must fall silent
//   and start over (powerproof.h), else the cycle is power-failed, saying
//   what the unit did.  The slot is back on before that is acted on.  Its
//   TTFF counts from the moment "on" ended; nothing is sent.
// - No data at all, with power retry: the slot switched off and on, and the
//   receiver got to know again (retry()).
// - Then the probe: listening at the rate or the rates, the family from what
//   the receiver says or the families' queries.  Once both are known the
//   link may start; a probe that fails ends the cycle with its reason.
// - The unit's last GGA while it was got to know is handed to the link
//   when the rule takes it (startgate.h): the command need not wait for the
//   unit's next second.
// - Once the link has opened the port and the unit talks on it, the unit
//   is asked who it is.  Answered in full it is held to the plan at once;
//   else at the first verdict (identityFault()).  A unit that has not
//   answered in full is asked once more after its reset.
// - The start rule (startrule.h) says when the command goes: ready() is
//   true once it may.
#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "station/identity.h"
#include "station/powercycle.h"
#include "station/powerproof.h"
#include "station/probe.h"
#include "station/startgate.h"
#include "station/startrule.h"
#include "station/watcher.h"

namespace station {

class Preparation {
public:
    struct Settings {
        Probe::Settings probe;  // the rate and the family as given; lastRate read when it begins
        bool powerStart = false;
        double powerOffTimeS = 0;
        bool testsFix = true;
        bool requireIdentity = false;
        QString expectFirmware;
    };
    // What it asks of the run, which owns the port, the link and the fixture.
    struct Actions {
        Probe::Port probe;              // the line at a rate, bytes out, the rate kept
        std::function<int()> lastRate;  // the rate that last worked on the port; 0: none
        std::function<void()> probing;  // the port is the probe's until the link starts
        std::function<void(const QString&)> power;  // "off" or "on": powerEnded() when it ended
        std::function<void()> listenWhileOff;      // the port open and read while the supply is off
        std::function<void()> linkMayStart;        // the rate and the family found
        std::function<void()> listening;           // the unit asked who it is on the link's port
        std::function<void()> identityIn;          // its answers in: the start rule asked again
        std::function<void(qint64 ns)> poweredOn;  // the restart proven after a power start
        std::function<void(const QString&)> show;  // what it does, in the station's words
        std::function<void(const QString&)> note;  // what decided a verdict, beside it
        // The cycle ends for the reason; a station fault's problem in words
        // (what it was doing then goes unsaid).
        std::function<void(Reason, const QString& problem)> failed;
    };

    Preparation(Settings settings, const StartRule& rule, Actions actions);

    // The run begins: a power start's power cycle, then the probe.
    void begin(qint64 nowMs);
    // No data: the slot switched off and on once, and the probe again.
    void retry(qint64 nowMs);
    // A power start's next cycle: the slot switched off and on, then the link.
    void powerAgain(qint64 nowMs);
    // A new cycle, or the unit got to know again.
    void beginCycle();
    // The cycle has its verdict: nothing more is acted on until the next.
    void end() { ended_ = true; }

    // The fixture's power command ended, well or in the words of how it
    // failed (hook.h's hookFailure), at nowNs on the run's clock.
    void powerEnded(const QString& failure, qint64 nowNs);
    void tick(qint64 nowMs);
    std::optional<qint64> nextDeadlineMs() const;

    // What came from the unit.  preparing: before the link runs.  True when
    // the power proof ended the cycle on it.
    void bytes(qint64 nowMs);
    bool sentence(std::string_view body, bool preparing);
    bool gga(const Gga& gga, bool preparing, qint64 nowMs, qint64 nowNs);
    void packet(const Packet& packet);

    // The link: its connect step opened the port, a GGA time counted, and
    // what it starts with (the GGA heard while the unit was got to know).
    void portOpened(qint64 nowMs);
    void timeCounted(qint64 nowMs);
    std::optional<StartGate::HeardGga> linkStarts(bool portOpen);
    // A power start's power-on, taken as the command; the restart shown
    // meanwhile proven.  Empty: not a power start.
    std::optional<qint64> powerStarts();
    // What the unit showed since the power-on, taken now that it is the
    // start: the restart proven, or the cycle ended.
    void proofShown() { followProof(); }
    // The link found characters but no GGA time: the other rates listened to.
    void probeOtherRates(qint64 nowMs);
    // The reset seen: a unit that has not answered in full asked once more.
    void resetSeen(qint64 nowMs);
    // Called as anything comes while the command waits: the identity asked
    // once the unit talks on the link's port (mayAsk), its answers taken,
    // and whether the rule sends the command now.
    bool ready(qint64 nowMs, bool mayAsk);

    // Who the unit said it is held to the plan, once: its reason, the note
    // said by itself.
    std::optional<Reason> identityFault();

    bool probing() const { return probe_.has_value(); }
    bool probingRates() const { return probe_ && probe_->state() == Probe::State::ProbingRates; }
    bool asking() const { return probe_ && probe_->state() == Probe::State::AskingIdentity; }
    bool heard() const { return probe_ && probe_->heard(); }
    bool opened() const { return gate_.opened(); }
    bool proofFailed() const { return proof_ && proof_->failed(); }
    // The rate and the family found; 0 and empty: not found.
    int rate() const { return probe_ ? probe_->rate() : 0; }
    std::optional<gpslink::ReceiverFamily> family() const {
        return probe_ && probe_->family() ? probe_->family() : settings_.probe.family;
    }
    const IdentityReader& identity() const { return identity_; }
    IdentityReader& identity() { return identity_; }

private:
    enum class Then { Probe, Link };
    void powerCycle(Then then, qint64 nowMs);
    void followPower(qint64 nowMs, qint64 nowNs);
    bool followProof();
    void probe(qint64 nowMs);
    void followProbe();
    void askIdentity(qint64 nowMs);

    Settings settings_;
    const StartRule& rule_;
    Actions actions_;
    IdentityReader identity_;
    StartGate gate_;
    std::optional<Probe> probe_;
    std::optional<PowerCycle> power_;
    Then then_ = Then::Probe;
    std::optional<PowerProof> proof_;  // a power start's, from the supply's "off" on
    std::optional<qint64> onNs_;       // a power start's power-on
    bool started_ = false;             // the power-on taken as the command
    bool ended_ = false;
    bool linkAsked_ = false;  // the link told it may start, for this probe
    bool identityAsked_ = false;
    bool identityChecked_ = false;
};

}  // namespace station
