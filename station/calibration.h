// Slots calibrated with a golden unit.
//
// A signal generator plays one satellite at a fixed power into every slot;
// each slot's cable and splitter lose some of it.  A golden unit, one known
// to read `expected` dB-Hz of that satellite, is measured in each slot, and
// the slot's offset (expected minus measured) is kept.  A signal test adds
// its slot's latest offset to the mean it measures.  A slot whose latest
// calibration is missing, too old, or has an offset beyond the largest
// allowed cannot test a unit: that is the station's fault, never the unit's.
//
// The Calibrator measures the golden unit in every slot at once, as a run
// tests units (a signal test of the golden unit, no reset), and keeps each
// slot's calibration through a keeper the front end gives it over its store.
// It runs on Qt's event loop and never waits: each slot's outcome comes as
// a signal once the store has answered.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "gpslink/resetcommand.h"
#include "results/calibration.h"
#include "station/config.h"

namespace station {

class Station;

// Why the slot's latest calibration cannot be used now ("no calibration",
// "calibrated 26.0 h ago, more than 24.0 h", "offset 7.2 dB is beyond 6
// dB"); empty when it can.
QString calibrationProblem(const std::optional<results::Calibration>& latest, const QDateTime& now,
                           double maxAgeS, double maxOffsetDb);

// A slot's RF limits from its golden unit's figures (newest first): each
// figure's mean ± k·σ (sample standard deviation) over the latest n runs
// that report it; nothing when fewer than n report any.
std::optional<RfLimits> learnRfLimits(const std::vector<results::FrontEndFigures>& runs, int n,
                                      double k);

// Gives a unit with a signal test its slot's calibration: the offset and
// its id, with rfGoldenRuns for a family that reports its front end's
// figures (or "auto") its RF limits, or the problem in the station's words
// ("slot 3 needs calibration: /dev/ttyUSB2, no calibration", "... 2 golden
// runs with RF figures, fewer than 5").  With "auto" RF limits that cannot
// be learned are no problem yet: rfProblem keeps why, for rfLimitsFor().  A
// unit without a signal test is left as it is.
void applyCalibration(UnitConfig& unit, const std::optional<results::Calibration>& latest,
                      const QDateTime& now);

// The family found: the RF limits kept for a family that reports its front
// end's figures and dropped for any other.  The problem (as
// calibrationProblem words it) when the family reports them and its slot's
// limits could not be learned; empty when the unit may be tested.
QString rfLimitsFor(UnitConfig& unit, gpslink::ReceiverFamily found);

// What calibrating one slot came to.
struct CalibrationOutcome {
    QString port;
    QString golden;
    double expected = 0;
    std::optional<double> measured;  // the golden unit's mean C/N0 in the slot; empty: not seen
    std::optional<double> offset;    // expected - measured
    std::optional<qint64> id;        // the calibration kept; empty: none
    QString result;                  // ok, offset-too-large, signal-not-seen
    std::optional<double> drift;     // offset minus the slot's previous offset
    bool driftFlagged = false;       // |drift| > results::kDriftFlagDb
    QString status;                  // how the measurement went, in the station's words
    QString error;                   // why it could not be kept; empty when it was
    QStringList alarms;              // raised by its offset: "CHART RULE" each

    bool calibrated() const { return result == codeOf(Reason::Ok) && id && error.isEmpty(); }
    // port, offset, measured, expected, golden, id, result, drift,
    // drift_flagged, status, and error and alarms when there are.
    QJsonObject toJson() const;
};

// The outcome of a slot's measurement before it is kept: the offset and
// whether it is usable (offset-too-large beyond maxOffsetDb either way).
CalibrationOutcome judgeCalibration(const QString& port, const QString& golden, double expected,
                                    std::optional<double> measured, double maxOffsetDb);
// Notes the drift from the slot's previous calibration.
void noteDrift(CalibrationOutcome& outcome, const std::optional<results::Calibration>& previous);

class Calibrator : public QObject {
    Q_OBJECT
public:
    // Keeps a calibration, and calls done on the caller's thread once it is
    // kept or has failed (results::StoreWorker::keepCalibration does).
    using Keeper = std::function<void(const results::Calibration&,
                                      std::function<void(const results::CalibrationKept&)> done)>;

    // units: one per slot, from unitConfigs() of a plan with the
    // signal test alone (its satellite, samples and time-out), the station
    // and operator set; golden: the golden unit's serial number.  Without a
    // keeper nothing is kept.
    Calibrator(std::vector<UnitConfig> units, QString golden, double expected, double maxOffsetDb,
               Keeper keeper, QObject* parent = nullptr);
    ~Calibrator() override;

    // The measurements run as a station's units: for showing their progress.
    Station& station() { return *station_; }

    // With a signal generator at this level (dBm) throughout: each slot's
    // offset is kept as its path loss, `expected` being what the golden
    // unit reads at that level at its antenna port.
    void setGeneratorLevel(double dBm) { levelDbm_ = dBm; }
    void start();
    // Ends every measurement under way; their slots are not calibrated.
    void interrupt();

    const std::vector<CalibrationOutcome>& outcomes() const { return outcomes_; }
    // kOk when every slot was calibrated; kStationFault when a calibration
    // could not be kept; kInterrupted when stopped; else kSomeFailed.
    int exitStatus() const;

signals:
    // A slot's outcome, once kept (or not to be kept).
    void slotCalibrated(const station::CalibrationOutcome& outcome);
    // Every slot has its outcome.
    void finished();

private:
    void measured(const CycleResult& run);
    void done(const CalibrationOutcome& outcome);

    Station* station_;  // a child
    QString golden_;
    double expected_;
    double maxOffsetDb_;
    Keeper keeper_;
    std::vector<CalibrationOutcome> outcomes_;
    int slots_ = 0;
    bool interrupted_ = false;
    std::optional<double> levelDbm_;
};

}  // namespace station
