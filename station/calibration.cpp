#include "station/calibration.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QLocale>
#include <cmath>
#include <utility>

#include "results/statistics.h"
#include "station/families.h"
#include "station/frontend.h"
#include "station/station.h"
#include "station/testtypes.h"

namespace station {

namespace {

QString number(double value) {
    return QLocale::c().toString(value, 'g', QLocale::FloatingPointShortest);
}

// "90 s", "25 min", "26.5 h".
QString ageText(double seconds) {
    if (seconds < 120) return QStringLiteral("%1 s").arg(std::round(seconds));
    if (seconds < 7200) return QStringLiteral("%1 min").arg(std::round(seconds / 60));
    return QStringLiteral("%1 h").arg(QString::number(seconds / 3600, 'f', 1));
}

QJsonValue orNull(const std::optional<double>& value) {
    return value ? QJsonValue(*value) : QJsonValue();
}

QString needsCalibration(const UnitConfig& unit, const QString& why) {
    return QStringLiteral("slot %1 needs calibration: %2, %3").arg(unit.slot).arg(unit.port, why);
}

}  // namespace

QString calibrationProblem(const std::optional<results::Calibration>& latest, const QDateTime& now,
                           double maxAgeS, double maxOffsetDb) {
    if (!latest) return QStringLiteral("no calibration");
    const double ageS = double(latest->time.msecsTo(now)) / 1000.0;
    if (ageS > maxAgeS)
        return QStringLiteral("calibrated %1 ago, more than %2")
            .arg(ageText(ageS), ageText(maxAgeS));
    if (std::abs(latest->offset) > maxOffsetDb)
        return QStringLiteral("offset %1 dB is beyond %2 dB")
            .arg(QString::number(latest->offset, 'f', 1), number(maxOffsetDb));
    return {};
}

std::optional<RfLimits> learnRfLimits(const std::vector<results::FrontEndFigures>& runs, int n,
                                      double k) {
    std::array<std::vector<double>, results::kMeasureCount> values;
    int reported = 0;
    for (const results::FrontEndFigures& run : runs) {
        if (reported == n) break;
        if (!run.any()) continue;
        ++reported;
        for (std::size_t m = 0; m < results::kMeasureCount; ++m)
            if (run.values[m]) values[m].push_back(*run.values[m]);
    }
    if (reported < n || n < 1) return std::nullopt;
    RfLimits limits;
    for (std::size_t m = 0; m < results::kMeasureCount; ++m) {
        if (values[m].size() < std::size_t(n)) continue;
        const double mean = results::mean(values[m]);
        const double sd = values[m].size() > 1 ? results::sampleSd(values[m]) : 0;
        limits.limits[m] = RfLimit{mean - k * sd, mean + k * sd};
    }
    return limits;
}

void applyCalibration(UnitConfig& unit, const std::optional<results::Calibration>& latest,
                      const QDateTime& now) {
    if (!unit.needsCalibration()) return;
    QString why = calibrationProblem(latest, now, unit.calibrationMaxAgeS, unit.maxOffsetDb);
    // A test that reads levels at the antenna port (a sensitivity test) needs
    // the slot's path loss, from a calibration made at a known generator level.
    bool levels = false;
    for (const TestTypeRow& test : testTypes())
        levels |= test.readsPathLoss && unit.tests.contains(QLatin1String(test.name));
    if (why.isEmpty() && levels && !latest->levelDbm)
        why = QStringLiteral("calibrated without a generator level, so no path loss");
    unit.pathLossDb =
        why.isEmpty() && latest->levelDbm ? std::optional(latest->offset) : std::nullopt;
    unit.rfLimits.reset();
    unit.rfProblem.clear();
    const auto family = familyNamed(unit.receiver.toStdString());
    const bool found = !family;  // "auto": the family is found once the port is open
    if (why.isEmpty() && unit.rfGoldenRuns > 0 && (found || reportsFigures(*family))) {
        unit.rfLimits = learnRfLimits(latest->goldenRuns, unit.rfGoldenRuns, unit.rfK);
        if (!unit.rfLimits) {
            int reported = 0;
            for (const results::FrontEndFigures& run : latest->goldenRuns) reported += run.any();
            (found ? unit.rfProblem : why) =
                QStringLiteral("%1 golden runs with RF figures, fewer than %2")
                    .arg(reported)
                    .arg(unit.rfGoldenRuns);
        }
    }
    if (!why.isEmpty()) {
        unit.offset.reset();
        unit.calibrationId.reset();
        unit.calibrationProblem = needsCalibration(unit, why);
        return;
    }
    unit.offset = latest->offset;
    unit.calibrationId = latest->id;
    unit.calibrationProblem.clear();
}

QString rfLimitsFor(UnitConfig& unit, gpslink::ReceiverFamily found) {
    const QString why = std::exchange(unit.rfProblem, {});
    if (!reportsFigures(found)) {
        unit.rfLimits.reset();
        return {};
    }
    return why.isEmpty() ? QString() : needsCalibration(unit, why);
}

QJsonObject CalibrationOutcome::toJson() const {
    QJsonObject o{
        {"port", port},
        {"offset", orNull(offset)},
        {"measured", orNull(measured)},
        {"expected", expected},
        {"golden", golden},
        {"id", id ? QJsonValue(*id) : QJsonValue()},
        {"result", result},
        {"drift", orNull(drift)},
        {"drift_flagged", driftFlagged},
        {"status", status},
    };
    if (!error.isEmpty()) o.insert("error", error);
    if (!alarms.isEmpty()) o.insert("alarms", QJsonArray::fromStringList(alarms));
    return o;
}

CalibrationOutcome judgeCalibration(const QString& port, const QString& golden, double expected,
                                    std::optional<double> measured, double maxOffsetDb) {
    CalibrationOutcome o;
    o.port = port;
    o.golden = golden;
    o.expected = expected;
    o.measured = measured;
    if (!measured) {
        o.result = codeOf(Reason::SignalNotSeen);
        return o;
    }
    o.offset = expected - *measured;
    o.result = codeOf(std::abs(*o.offset) > maxOffsetDb ? Reason::OffsetTooLarge : Reason::Ok);
    return o;
}

void noteDrift(CalibrationOutcome& outcome, const std::optional<results::Calibration>& previous) {
    if (!previous || !outcome.offset) return;
    outcome.drift = *outcome.offset - previous->offset;
    outcome.driftFlagged = std::abs(*outcome.drift) > results::kDriftFlagDb;
}

Calibrator::Calibrator(std::vector<UnitConfig> units, QString golden, double expected,
                       double maxOffsetDb, Keeper keeper, QObject* parent)
    : QObject(parent),
      golden_(std::move(golden)),
      expected_(expected),
      maxOffsetDb_(maxOffsetDb),
      keeper_(std::move(keeper)),
      slots_(int(units.size())) {
    for (UnitConfig& slot : units) {
        slot.tests = QStringList{QStringLiteral("signal")};
        slot.unit = golden_;
        slot.limits = {};  // the golden unit is measured, not judged
        slot.offset.reset();
        slot.calibrationId.reset();
        slot.calibrationProblem.clear();
    }
    station_ = new Station(std::move(units), this);
    connect(station_, &Station::cycleEnded, this,
            [this](UnitRun*, const CycleResult& run) { measured(run); });
}

Calibrator::~Calibrator() = default;

void Calibrator::start() {
    if (slots_ == 0) {
        emit finished();
        return;
    }
    station_->start();
}

void Calibrator::interrupt() {
    interrupted_ = true;
    station_->interrupt();
}

void Calibrator::measured(const CycleResult& run) {
    std::optional<double> mean;
    if (run.signal && run.signal->reason == Reason::Ok) mean = run.signal->rawMean();
    CalibrationOutcome outcome = judgeCalibration(run.port, golden_, expected_, mean, maxOffsetDb_);
    outcome.status = run.status;
    if (!mean || !keeper_) {
        done(outcome);
        return;
    }
    // An offset too large is kept too: the slot stays out of use until it
    // is calibrated again.
    results::Calibration c;
    c.time = run.ended;
    c.station = run.station;
    c.port = run.port;
    c.operatorName = run.operatorName;
    c.golden = golden_;
    c.expected = expected_;
    c.measured = *mean;
    c.offset = *outcome.offset;
    c.figures = run.signal->figures;
    c.levelDbm = levelDbm_;
    keeper_(c, [this, outcome](const results::CalibrationKept& kept) mutable {
        outcome.id = kept.id;
        outcome.error = kept.error;
        outcome.alarms = kept.alarms;
        noteDrift(outcome, kept.previous);
        done(outcome);
    });
}

void Calibrator::done(const CalibrationOutcome& outcome) {
    outcomes_.push_back(outcome);
    emit slotCalibrated(outcome);
    if (int(outcomes_.size()) == slots_) emit finished();
}

int Calibrator::exitStatus() const {
    if (interrupted_) return kInterrupted;
    bool keptAll = true, all = true;
    for (const CalibrationOutcome& o : outcomes_) {
        keptAll &= o.error.isEmpty();
        all &= o.calibrated();
    }
    if (!keptAll) return kStationFault;
    return all ? kOk : kSomeFailed;
}

}  // namespace station
