// One receiver under test: cold starts, each proved and timed.
//
// A unit run wires a real serial port, the link the window uses (through its
// driver, see gpslink/linkdriver.h), a watcher that reads the same
// characters, the run's steady clock and its timers on Qt's event loop.  The
// decisions are made without either: the cycle's tests in turn and its
// verdict by the sequencer (sequencer.h), which the run hands its clock and
// port and feeds what the receiver said; each test by its own class (the fix
// test, fixtest.h: the reset proved, the TTFF, the limits; the signal test,
// signaltest.h; antennatest.h, configtest.h); before them, the power, the
// rate and the family, who the unit is and when its start goes out by the
// preparation (preparation.h).  What the line itself comes to (no data, another baud rate,
// silence) is judged beside the link, at its ticks, by linesupervisor.h and
// ends the cycle with the matching reason; the link only counts GGA times and
// sends the command.

// A receiver that drops its USB port while it resets is waited for: when the
// device comes back at the same path the port is reopened and the cycle goes
// on, the time away counting in the TTFF.  Back under another name, or not
// back within the confirmation limit, it is a receiver switched off.
//
// A cycle that ends with a fix is followed by the next, through the link's
// own stop and start; any other ends the unit's run.
//
// Before the first cycle the run gets to know the receiver, sending nothing
// that changes a setting:
//
// - It listens, at the rate given or with "auto" at each rate in turn (the
//   rate that last worked on the port first, then 9600, 4800, 115200, 38400,
//   57600, 19200, 230400, 460800, 921600), 1.5 s at each, until a sentence
//   with a right checksum or a binary packet with a right checksum arrives.
// - A SiRF receiver that sends SiRF binary instead of NMEA is in binary mode:
//   it fails (binary-mode), or with toNmea is switched back with SiRF binary
//   message 129 at the line's rate.
// - With the family "auto" it is taken from what the receiver said by itself
//   (proprietary sentences, text banners, binary packets), else from which
//   family's identity query it answers, asked in the families' table's order, 1.5 s each.
// - Once the link has opened the port it asks the receiver for its identity
//   with its family's queries; once a checked sentence has come since the
//   link opened the port, the command goes out without waiting for the
//   answers (with --send-after time: with the link's fifth GGA time).  The
//   answers are read while the unit acquires; a unit that has not answered
//   in full is asked once more after its reset.  Answered in full, the
//   identity is held to the plan at once; else at the cycle's verdict, and a
//   unit that has said nothing by then is recorded as unknown.
//
// With a signal test the run measures the C/N0 of the generator's satellite
// once a second, from the watcher's seconds: the first N seconds in which the
// satellite has a C/N0 after it is first seen.  With the signal test alone
// the link only listens (it sends no start command) and the measurement
// begins once it has the port; with the fix test too, it begins once the
// fix test has its verdict and the receiver still talks.  The satellite not
// seen for N seconds within the fix time-out is signal-not-seen.  Each test
// has its verdict; the cycle passes when both pass, and otherwise takes the
// fix test's reason first.  The slot's calibration offset is added to the
// mean; a slot whose calibration cannot be used is a station fault
// (calibration-needed) and the port is not opened.
//
// Before a unit starts, with a route check, the line is asked whether it may
// be tested (hook.h): a refused unit does not start and has no cycle at all
// (refusedByLine(), finished()); a route check that fails is a station fault
// (route-check-failed).  A power start switches the slot's power off for the
// plan's off time and on again with the fixture's power command, then gets
// to know the receiver as any start does; its TTFF counts from the moment
// the "on" command ended, and nothing is sent.  The port is listened to
// while the supply is off: the unit must fall silent and its stream start
// over after "on" (powerproof.h), else the cycle is power-failed, saying
// what the unit did.  With power retry a unit that
// sends nothing at all (no-data) has its slot switched off and on once and
// the cycle begins again; a power command that fails is a station fault
// (power-failed).
//
// Binary packets in the stream are taken out by their own framing before the
// link and the watcher see it (see frames.h), so the link's framing never
// joins a "$" of a packet to a sentence; a read of packets only is the unit
// talking all the same (lineinput.h).
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results/calibration.h"
#include "station/antennatest.h"
#include "station/config.h"
#include "station/configtest.h"
#include "station/devicereturn.h"
#include "station/fixtest.h"
#include "station/hook.h"
#include "station/identity.h"
#include "station/lineinput.h"
#include "station/linesupervisor.h"
#include "station/preparation.h"
#include "station/result.h"
#include "station/runtest.h"
#include "station/sensitivity.h"
#include "station/sequencer.h"
#include "station/signaltest.h"
#include "station/startrule.h"
#include "station/watcher.h"
#include "vocabulary/evidence.h"

namespace gpslink {
class LinkDriver;
class LinkClock;
struct LinkReport;
}  // namespace gpslink

namespace station {

class StationPort;

class UnitRun : public QObject {
    Q_OBJECT
public:
    enum class Phase {
        Idle,         // not started
        Preparing,    // finding the rate and the family, asking the receiver who it is
        Watching,     // counting GGA sentences before the command
        Commanded,    // the command is out, the reset not yet seen
        ResetSeen,    // waiting for the first fix
        Measuring,    // the signal test: the generator's satellite's C/N0
        Observing,    // without fix or signal test: the antenna watched, the identity awaited
        Configuring,  // the configuration written, saved and read back
        Asking,       // the line's route check under way
        Powering,     // the slot's power switched off and on
        Done,         // every cycle ended
    };

    explicit UnitRun(UnitConfig config, QObject* parent = nullptr);
    ~UnitRun() override;

    const UnitConfig& config() const { return config_; }
    // Before start(): the slot's latest calibration, for a signal test (see
    // calibration.h).
    void setCalibration(const std::optional<results::Calibration>& latest, const QDateTime& now);
    // Before start(): why the station may not test the unit, or nothing.
    void setQualification(const QString& problem);
    // Before it starts: why its slot is held on an alarm; empty: it is not.
    void setHold(const QString& problem);

    // Before start(), with a signal generator: the slot's place in the
    // generator's sweep, and the generator's identity, kept with each result.
    void setSweep(SweepSlot slot, QString generator);

    void start();
    // Ends the cycle under way as interrupted and closes the port.
    void interrupt();
    // The signal generator failed: the cycle under way is the station's
    // fault (instrument-fault, what it said as its note), and no other follows.
    void instrumentFault(const QString& message);

    Phase phase() const { return phase_; }
    bool done() const { return phase_ == Phase::Done; }
    int cycle() const { return cycle_; }
    // Where the run stands in the station's words; once a cycle has ended,
    // what it came to ("TTFF 22.0 s > 15 s").  Lines joined by "\n".
    QString statusText() const;
    // Milliseconds since the phase last changed.
    qint64 msInState() const { return sinceChange_.elapsed(); }
    // The current cycle's TTFF once known.
    std::optional<double> ttffS() const { return sequencer_->fix().ttffS(); }
    const Tally& tally() const { return tally_; }
    Verdict verdict() const {
        return refused() ? Verdict::Refused : verdictOf(phase_ != Phase::Idle, done(), tally_);
    }
    // The line refused the unit: it was not tested.
    bool refused() const { return !refusal_.isEmpty(); }
    const QString& refusal() const { return refusal_; }
    // The sky of the latest whole second.
    Sky sky() const { return watcher_.sky(); }
    // Who the unit said it is, so far.
    const Identity& identity() const { return prep_->identity().identity(); }

signals:
    // The status text or the phase changed.
    void changed();
    void cycleEnded(const station::CycleResult& result);
    // The line refused the unit, for this reason; finished() follows.
    void refusedByLine(const QString& reason);
    void finished();

private:
    // The line and the fixture.
    void askLine();
    void routeAnswered(const HookEnd& end);
    void begin();
    // The power and getting to know the receiver, as the preparation asks.
    Preparation::Actions preparationActions();
    void switchPower(const QString& command);
    void listenWhileOff();
    bool linkSends() const;
    bool listenAt(int rate);
    void onPrepareInput();
    void armPreparation();
    void takeFound();
    void probeRates();  // after the link found no GGA at the rate given
    void startLink();
    void whenReady();
    void beginCycle();
    void nextCycle();
    void onLinkReport(const gpslink::LinkReport& report);
    void onGga(const Gga& gga);
    void onSecond(const Second& second);
    void followReset();
    FixTest::Line line() const;
    void onCommandWritten();
    void onDeviceLost();
    void checkReturn();
    void endAway();
    bool lineJudged() const;
    void followLine();
    void supervise();
    bool sequencerTimed() const;
    void armSupervisor();
    void setPhase(Phase phase);
    // A verdict of the line's, the station's or the unit's: the sequencer's
    // order decides what it comes to.
    void endCycle(Reason reason) { sequencer_->end(reason); }
    void closeCycle(Reason reason);
    void powerRetry();
    void followSequencer();
    void fail(Reason reason) { endCycle(reason); }
    void finish();
    qint64 sinceCommandMs() const;
    // Keeps bytes that passed the port as the cycle's evidence.
    void keep(results::evidence::Kind kind, std::string_view bytes);

    UnitConfig config_;
    QString generator_;  // the signal generator's identity; empty: none
    std::unique_ptr<StationPort> port_;
    std::unique_ptr<gpslink::LinkDriver> link_;
    std::unique_ptr<gpslink::LinkClock> clock_;
    Watcher watcher_;
    LineSupervisor line_;  // no data, another rate, silence
    LineInput input_{watcher_, line_};
    QTimer supervisor_;    // single shot, at the next moment supervise() may act
    int unreadWaits_ = 0;  // holds the due deadline has waited for bytes to be read
    QElapsedTimer sinceChange_;
    SteadyClock steady_;  // the run's steady clock
    class Port;
    std::unique_ptr<Port> runPort_;
    std::unique_ptr<Sequencer> sequencer_;  // the cycle's tests in turn, and its verdict
    std::unique_ptr<StartRule> startRule_;  // when the start goes out
    // The power, the probe, the identity and the start's moment.
    std::unique_ptr<Preparation> prep_;

    Phase phase_ = Phase::Idle;
    int cycle_ = 0;
    QDateTime cycleStarted_;
    bool commandQueued_ = false;  // handed to the port, maybe not yet to the device
    bool ending_ = false;         // the cycle's verdict is in
    bool stopping_ = false;       // the link is being stopped between cycles
    bool interrupted_ = false;
    Tally tally_;
    QString note_;                        // what became of the device, shown under the stage
    QString problem_;                     // why the port cannot be opened
    QString outcome_;                     // the cycle's end in words, once it has ended
    QFileSystemWatcher* away_ = nullptr;  // watching for the device to come back
    std::optional<DeviceAway> deviceAway_;

    QTimer prepareTimer_;  // single shot, at the preparation's next deadline
    QTimer levelWait_;     // single shot: the next cycle asks the sweep again
    std::optional<gpslink::ReceiverFamily> family_;
    bool readyQueued_ = false;
    bool ggaSinceCommand_ = false;  // a checked GGA, with a time or not, since the command

    // The cycle's bytes, timed from the port's first opening (openedMs_ on
    // the steady clock; negative before).
    results::evidence::Recorder evidence_;
    qint64 openedMs_ = -1;
    Hook hook_;        // the route check, the power switch
    QString refusal_;  // the line's reason for refusing the unit
};

}  // namespace station
