// A station's session: the rules every unit of gps-coldstart-cli and of the
// station window runs under, with no terminal and no widget.  Each front end
// makes the units' runs, starts them through the session and shows what the
// session reports in its own way (lines on standard error, the table at the
// end; tiles, banners and lines of the window).
//
// - Before a unit starts (prepare()): a plan qualified by a gauge study
//   (qualified_by) asks the store whether the study qualifies the station
//   now; without a database it cannot, and the unit ends as
//   station-not-qualified without its port opened.  A study's own runs are
//   how a station gets qualified: they are not held to one.  Then a signal
//   test takes its slot's latest calibration, read on the store's thread
//   before its port opens (one read for every slot started together); a
//   slot's calibration once read is taken again for its next unit at once,
//   until a calibration of the slots begins.  Without a database there is
//   none, and the signal test is calibration-needed.
// - Results: each cycle's result is handed to the store and kept() reports
//   it once the store has committed, spooled or lost it; without a store at
//   once, as stored.  A front end shows a result as kept only then.  A unit
//   the line refused is kept beside the results, never among them.
// - The evidence's retention (evidence_days, evidence_max_mib) holds from
//   the start; every kept result is told to the line's delivery targets,
//   what an earlier session left first.
// - The end of a headless session (unitsEnded()): once every result and
//   refusal is kept, and the line has had every result or deliver_wait_s
//   has passed (stopWaiting() cuts it short), settled().  Its exit status is
//   the units' made worse by a result that went to the spool or was lost.
// - The station's figures for the plant's monitoring (metrics_file): written
//   at the start, on each kept result, on each change of the delivery queues
//   and at the end (session/metrics.h).
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "results/deliverer.h"
#include "results/storeworker.h"
#include "session/metrics.h"
#include "station/calibration.h"
#include "station/unitrun.h"

namespace session {

// The store a station's results go to, opened with the plan's delivery
// queues; nullptr, with the reason in *error, when it cannot be opened.
std::unique_ptr<results::StoreWorker> openStore(const results::Target& target,
                                                const station::UnitConfig& plan,
                                                results::Store::Options options,
                                                results::Store::Sink warn, QString* error);
// Keeps a calibration in store (a station::Calibrator's keeper); with no
// store, nothing is kept.
station::Calibrator::Keeper calibrationKeeper(results::StoreWorker* store);

// What a unit needs read from the store before it starts.
enum class Read {
    Nothing,      // starts at once
    Study,        // the gauge study's verdict
    Calibration,  // its slot's latest calibration
    Alarms,       // whether its slot is held on an alarm
};
// The first thing unit still needs read: qualified, the study's verdict is
// in; calibrated, its slot's calibration is.  Without a store nothing is
// read: a study cannot qualify the station, and there is no calibration.
Read nextRead(const station::UnitConfig& unit, bool qualified, bool calibrated);

// Where the end of a headless session stands, and what it does next.
struct EndState {
    bool unitsEnded = false;
    int pending = 0;           // results and refusals handed to the store, not kept yet
    bool undelivered = false;  // results wait for the line
    double waitS = 0;          // deliver_wait_s
    bool waiting = false;      // for the line, until waitS has passed
    bool waitedEnough = false;
};
enum class EndStep { NotYet, WaitForLine, End };
EndStep endStep(const EndState& state);

class Session : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    // plan: the station's (its name, retention and delivery keys); store:
    // where results go, nullptr for nowhere; clock: the wall clock a
    // calibration's age and a refusal's time are read from (empty: the
    // system's, in UTC).
    Session(const station::UnitConfig& plan, std::unique_ptr<results::StoreWorker> store,
            Clock clock = {}, QObject* parent = nullptr);
    ~Session() override;

    results::StoreWorker* store() const { return store_.get(); }
    // The delivery to the line, when the plan delivers and results are
    // stored; a front end connects to its signals before startDeliveries().
    results::Deliverer* deliverer() const { return deliverer_.get(); }
    void startDeliveries();
    // The monitoring's file, when the plan names one: the control charts'
    // alarms are added to its figures (StationFigures::addAlarms()).
    MetricsFile* metrics() const { return metrics_.get(); }

    // Keeps each result of run's cycles (kept() with tag) and a refusal by
    // the line.
    void follow(station::UnitRun* run, int tag);
    // Gives each run what it needs read before it starts (see above), then
    // calls ready: at once when nothing is to be read, else on this object's
    // thread once it is.  A run stopped or deleted meanwhile gets nothing;
    // when every run has been, neither ready nor unreadable() follows.
    void prepare(const std::vector<station::UnitRun*>& runs, std::function<void()> ready);
    // A calibration of the slots begins (true) or has ended: the slots'
    // calibrations read so far are forgotten, and none read until it ends is
    // kept for later units.
    void setCalibrating(bool calibrating);
    // Each slot's path loss from the generator's output to its antenna port
    // (dB, in order), as its latest calibration gives it to a run (0 where
    // there is none, as with no store); done on this object's thread, with
    // the store's error instead when it did not answer.
    using Losses = std::function<void(const std::vector<double>& losses, const QString& error)>;
    void pathLosses(const std::vector<station::UnitConfig>& units, Losses done);

    // Results of tag handed to the store and not kept yet.
    int storing(int tag) const { return storing_.value(tag); }
    // Results and refusals handed to the store and not kept yet.
    int pending() const { return store_ ? store_->pending() : 0; }
    bool anySpooled() const { return anySpooled_; }
    // A result or a refusal neither the database nor the spool took.
    bool anyLost() const { return anyLost_; }
    // While results go to the spool: the database is opened again, which
    // moves the spool in (StoreWorker::reopened()).
    void retryDatabase();

    // A headless session's units have all ended: settled() follows once
    // every result is kept and the line has had them or has been waited for.
    void unitsEnded();
    // The wait for the line ends now: what waits stays in its queue.
    void stopWaiting();
    bool waitingForLine() const { return lineWait_.isActive(); }
    // The station's exit status, from its units' (station::Station::exitStatus()).
    int exitStatus(int unitsStatus) const;

signals:
    // A result as the store kept it (with its "id"), or, without a store, as
    // made; tag as given to follow().
    void kept(int tag, const QJsonObject& result, results::Store::Saved saved);
    // A refusal neither the database nor the spool took.
    void refusalNotKept(const station::UnitConfig& unit, const QString& error);
    // What runs needed could not be read (Study or Calibration): the store
    // did not answer, for error.  The runs are left as they are, not started.
    void unreadable(session::Read what, const QList<station::UnitRun*>& runs, const QString& error);
    // The headless session's end (see unitsEnded()).
    void settled();
    // The monitoring's file could not be written (said once until it is again).
    void metricsNotWritten(const QString& why);

private:
    using Runs = QList<QPointer<station::UnitRun>>;
    void qualify(const Runs& runs, std::function<void()> ready);
    void hold(const Runs& runs, std::function<void()> ready);
    void calibrate(const Runs& runs, std::function<void()> ready);
    void keep(int tag, const station::CycleResult& result);
    void keepRefusal(const station::UnitConfig& unit, const QString& reason);
    void onKept(int tag, const QJsonObject& result, results::Store::Saved saved);
    void checkEnd();
    void writeMetrics();
    static QList<station::UnitRun*> alive(const Runs& runs);

    std::unique_ptr<results::StoreWorker> store_;
    std::unique_ptr<results::Deliverer> deliverer_;  // goes before the store
    std::unique_ptr<MetricsFile> metrics_;
    QString station_;
    QStringList deliveries_;  // its targets' names
    Clock clock_;
    QMap<int, int> storing_;
    // Each slot's latest calibration once read, by port.
    QMap<QString, std::optional<results::Calibration>> calibrations_;
    bool calibrating_ = false;
    double lineWaitS_ = 0;
    QTimer lineWait_;
    bool unitsEnded_ = false, waitedEnough_ = false, settled_ = false;
    bool anySpooled_ = false, anyLost_ = false;
};

}  // namespace session
