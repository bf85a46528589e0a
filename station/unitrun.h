// One receiver under test: cold starts, each proved and timed.
//
// A unit run drives the same link the window uses, with a view that keeps
// its texts instead of showing them, on a real serial port, its four timers
// on Qt's event loop.  Beside the link a watcher reads the same characters
// and the run decides, cycle by cycle:
//
// - The command is out when its last byte has been handed to the device;
//   the time to first fix counts from then, on the steady clock.
// - The reset counts as taken only when the stream shows it: a GGA without a
//   fix or without a time after the unit had a fix, a GGA time under
//   00:00:10 (the receiver's clock restarted), or two seconds of silence.
// - The first GGA with a fix after that ends the cycle; the limits decide
//   pass or fail.
// - What the link itself reports (no data, another baud rate, silence) ends
//   the cycle with the matching reason.
//
// A receiver that drops its USB port while it resets is waited for: when the
// device comes back at the same path the port is reopened and the cycle goes
// on, the time away counting in the TTFF.  Back under another name, or not
// back within the confirmation limit, it is a receiver switched off.
//
// A cycle that ends with a fix is followed by the next, through the link's
// own stop and start; any other ends the unit's run.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/result.h"
#include "station/watcher.h"

namespace gpslink {
class Link;
class LinkClock;
struct LinkReport;
}  // namespace gpslink

namespace station {

class StationPort;
class HeadlessView;

struct UnitConfig {
    QString port;    // as the user named it: a device path or "COM n"
    QString device;  // what is opened
    int baud = 9600;
    QString unit;
    QString station;
    QString operatorName;  // who runs the station
    QString lot;           // work order
    QString receiver = QStringLiteral("sirf");
    QString start = QStringLiteral("cold");
    std::string command;       // what goes out with the fifth usable GGA; empty: the link's own
    bool requireReset = true;  // an unseen reset fails the unit (hot starts may not show one)
    int cycles = 1;
    int confirmTimeoutS = 30;  // command to verified reset
    int fixTimeoutS = 300;     // command to first fix
    Limits limits;
};

// Sets the receiver family, the start type, the command they make and
// whether an unseen reset fails the unit: always, but for a hot start only
// when requireReset asks for it, since a hot start may keep its fix
// throughout.  False, with error set, for an unknown name or a start the
// family does not have.
bool configureStart(UnitConfig& unit, const QString& family, const QString& start,
                    bool requireReset, QString* error);

// What a unit's run comes to so far, as a front end shows it.
enum class Verdict {
    Idle,         // not started
    Running,      // a cycle under way
    Pass,         // every cycle passed
    Fail,         // at least one cycle failed
    Fault,        // no cycle failed, but the station could not test the unit
    Interrupted,  // stopped before a verdict
};
// A run in the given phase with these cycles behind it.
Verdict verdictOf(bool started, bool done, const Tally& tally);
// The verdict in words: "idle", "running", "PASS", "FAIL", "STATION FAULT", "stopped".
QString verdictText(Verdict verdict);

class UnitRun : public QObject {
    Q_OBJECT
public:
    enum class Phase {
        Idle,       // not started
        Watching,   // counting GGA sentences before the command
        Commanded,  // the command is out, the reset not yet seen
        ResetSeen,  // waiting for the first fix
        Done,       // every cycle ended
    };

    explicit UnitRun(UnitConfig config, QObject* parent = nullptr);
    ~UnitRun() override;

    const UnitConfig& config() const { return config_; }

    void start();
    // Ends the cycle under way as interrupted and closes the port.
    void interrupt();

    Phase phase() const { return phase_; }
    bool done() const { return phase_ == Phase::Done; }
    int cycle() const { return cycle_; }
    // The link's status text as the window would show it, lines joined by "\n".
    QString statusText() const;
    // Milliseconds since the status text or the phase last changed.
    qint64 msInState() const { return sinceChange_.elapsed(); }
    // The current cycle's TTFF once known.
    std::optional<double> ttffS() const { return ttffS_; }
    const Tally& tally() const { return tally_; }
    Verdict verdict() const { return verdictOf(phase_ != Phase::Idle, done(), tally_); }
    // The sky as the latest complete GSV groups show it.
    Sky sky() const { return watcher_.sky(); }

signals:
    // The status text or the phase changed.
    void changed();
    void cycleEnded(const station::CycleResult& result);
    void finished();

private:
    void beginCycle();
    void onViewChanged();
    void onLinkReport(const gpslink::LinkReport& report);
    void onGga(const Gga& gga);
    void onCommandWritten();
    void onDeviceLost();
    void checkReturn();
    void endAway();
    void supervise();
    void armSupervisor();
    void setPhase(Phase phase);
    void verify();
    void decide();
    void endCycle(const QString& result, const QString& reason);
    void fail(const QString& reason) { endCycle(QStringLiteral("fail"), reason); }
    void finish();
    qint64 sinceCommandMs() const;

    UnitConfig config_;
    std::unique_ptr<HeadlessView> view_;
    std::unique_ptr<StationPort> port_;
    std::unique_ptr<gpslink::Link> link_;
    std::unique_ptr<gpslink::LinkClock> clock_;
    Watcher watcher_;
    QTimer supervisor_;  // single shot, at the next moment supervise() may act
    QElapsedTimer sinceChange_;
    QElapsedTimer steady_;  // the run's steady clock

    Phase phase_ = Phase::Idle;
    int cycle_ = 0;
    QDateTime cycleStarted_;
    bool confirmed_ = false;      // a GGA time after the command, by the link's own rule
    bool hadFix_ = false;         // a GGA with a fix since the cycle began
    bool commandQueued_ = false;  // handed to the port, maybe not yet to the device
    std::optional<qint64> commandAtMs_;
    qint64 commandAtNs_ = 0;  // the same, to the nanosecond, for the TTFF
    qint64 lastReceiveMs_ = 0;
    bool resetVerified_ = false;
    std::optional<double> ttffS_;
    std::optional<Gga> fix_;
    std::optional<qint64> fixAtMs_;
    bool ending_ = false;    // the cycle's verdict is in
    bool stopping_ = false;  // the link is being stopped between cycles
    bool interrupted_ = false;
    Sky skyAtFix_;
    Tally tally_;
    QString note_;  // the station's own word on the cycle, shown under the link's status
    QFileSystemWatcher* away_ = nullptr;  // watching for the device to come back
    QStringList entriesAtDrop_;
};

}  // namespace station
