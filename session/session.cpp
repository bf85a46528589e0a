#include "session/session.h"

#include <algorithm>

#include "station/config.h"
#include "station/result.h"
#include "station/words.h"

namespace session {

std::unique_ptr<results::StoreWorker> openStore(const results::Target& target,
                                                const station::UnitConfig& plan,
                                                results::Store::Options options,
                                                results::Store::Sink warn, QString* error) {
    options.deliveries = results::deliverySettingsOf(plan).targetNames();
    options.spcRules = plan.spcRules == QLatin1String("nelson")
                           ? results::spc::RuleSet::Nelson
                           : results::spc::RuleSet::WesternElectric;
    return results::StoreWorker::open(target, error, options, std::move(warn));
}

station::Calibrator::Keeper calibrationKeeper(results::StoreWorker* store) {
    if (!store) return {};
    return [store](const results::Calibration& c, auto done) {
        store->keepCalibration(c, std::move(done));
    };
}

Read nextRead(const station::UnitConfig& unit, bool qualified, bool calibrated) {
    if (!qualified && !unit.qualifiedBy.isEmpty() && unit.study.isEmpty()) return Read::Study;
    if (!calibrated && unit.needsCalibration()) return Read::Calibration;
    return Read::Nothing;
}

EndStep endStep(const EndState& s) {
    if (!s.unitsEnded || s.pending > 0) return EndStep::NotYet;
    if (s.undelivered && !s.waitedEnough) {
        if (s.waiting) return EndStep::NotYet;
        if (s.waitS > 0) return EndStep::WaitForLine;
    }
    return EndStep::End;
}

Session::Session(const station::UnitConfig& plan, std::unique_ptr<results::StoreWorker> store,
                 Clock clock, QObject* parent)
    : QObject(parent),
      store_(std::move(store)),
      station_(plan.station),
      clock_(clock ? std::move(clock) : [] { return QDateTime::currentDateTimeUtc(); }),
      lineWaitS_(plan.deliverWaitS) {
    if (!plan.metricsFile.isEmpty()) {
        metrics_ = std::make_unique<MetricsFile>(plan.metricsFile, station::programVersion());
        connect(metrics_.get(), &MetricsFile::failed, this, &Session::metricsNotWritten);
    }
    lineWait_.setSingleShot(true);
    connect(&lineWait_, &QTimer::timeout, this, [this] {
        waitedEnough_ = true;
        checkEnd();
    });
    if (!store_) return;
    store_->setRetention({plan.evidenceDays, qint64(plan.evidenceMaxMib) * 1024 * 1024});
    connect(store_.get(), &results::StoreWorker::kept, this, &Session::onKept);
    const results::DeliverySettings delivery = results::deliverySettingsOf(plan);
    if (!delivery.enabled()) return;
    deliveries_ = delivery.targetNames();
    deliverer_ = std::make_unique<results::Deliverer>(store_.get(), delivery);
    connect(deliverer_.get(), &results::Deliverer::queueChanged, this, &Session::checkEnd);
    connect(deliverer_.get(), &results::Deliverer::queueChanged, this, &Session::writeMetrics);
}

Session::~Session() = default;

void Session::startDeliveries() {
    writeMetrics();
    if (deliverer_) deliverer_->start();
}

void Session::writeMetrics() {
    if (!metrics_) return;
    if (deliverer_) {
        QList<StationFigures::Queue>& queues = metrics_->figures().queues;
        queues.clear();
        for (const results::Deliverer::TargetState& t : deliverer_->states())
            queues << StationFigures::Queue{station_, t.target, t.queue.waiting, t.queue.oldest};
    }
    metrics_->write();
}

void Session::follow(station::UnitRun* run, int tag) {
    connect(run, &station::UnitRun::cycleEnded, this,
            [this, tag](const station::CycleResult& result) { keep(tag, result); });
    connect(run, &station::UnitRun::refusedByLine, this,
            [this, run](const QString& reason) { keepRefusal(run->config(), reason); });
}

QList<station::UnitRun*> Session::alive(const Runs& runs) {
    QList<station::UnitRun*> left;
    for (const QPointer<station::UnitRun>& run : runs)
        if (run && !run->done()) left << run.data();
    return left;
}

void Session::prepare(const std::vector<station::UnitRun*>& runs, std::function<void()> ready) {
    Runs held;
    for (station::UnitRun* run : runs) held << run;
    qualify(held, std::move(ready));
}

// The runs started together are of one plan: the first's study holds for all.
void Session::qualify(const Runs& runs, std::function<void()> ready) {
    const QList<station::UnitRun*> left = alive(runs);
    if (left.isEmpty() || nextRead(left.front()->config(), false, true) != Read::Study)
        return hold(runs, std::move(ready));
    const station::UnitConfig& plan = left.front()->config();
    if (!store_) {
        for (station::UnitRun* run : left)
            run->setQualification(station::studyWithoutDatabase(plan.qualifiedBy));
        return hold(runs, std::move(ready));
    }
    store_->qualification(plan.qualifiedBy, plan.qualificationMaxAgeS,
                          [this, runs, ready](const QString& problem, const QString& error) {
                              const QList<station::UnitRun*> left = alive(runs);
                              if (left.isEmpty()) return;  // stopped meanwhile
                              if (!error.isEmpty()) {
                                  emit unreadable(Read::Study, left, error);
                                  return;
                              }
                              for (station::UnitRun* run : left) run->setQualification(problem);
                              hold(runs, ready);
                          });
}

// With hold_on_alarm: each slot with an open alarm is held.
void Session::hold(const Runs& runs, std::function<void()> ready) {
    const QList<station::UnitRun*> left = alive(runs);
    if (left.isEmpty() || !left.front()->config().holdOnAlarm || !store_)
        return calibrate(runs, std::move(ready));
    QStringList ports;
    for (station::UnitRun* run : left) ports << run->config().port;
    store_->heldSlots(
        left.front()->config().station, ports,
        [this, runs, ready](const QStringList& held, const QString& error) {
            const QList<station::UnitRun*> left = alive(runs);
            if (left.isEmpty()) return;  // stopped meanwhile
            if (!error.isEmpty()) {
                emit unreadable(Read::Alarms, left, error);
                return;
            }
            for (station::UnitRun* run : left)
                run->setHold(held.contains(run->config().port)
                                 ? QStringLiteral("slot held on an alarm: %1 (report --alarms; "
                                                  "alarms clear, or calibrate it again)")
                                       .arg(run->config().port)
                                 : QString());
            calibrate(runs, ready);
        });
}

void Session::calibrate(const Runs& runs, std::function<void()> ready) {
    const QList<station::UnitRun*> left = alive(runs);
    QStringList ports;  // to be read
    for (station::UnitRun* run : left) {
        const QString& port = run->config().port;
        const bool known = !store_ || calibrations_.contains(port);
        if (nextRead(run->config(), true, known) == Read::Calibration)
            ports << port;
        else if (run->config().needsCalibration())
            run->setCalibration(store_ ? calibrations_.value(port) : std::nullopt, clock_());
    }
    if (ports.isEmpty()) return ready();
    store_->latestCalibrations(
        left.front()->config().station, ports,
        [this, runs, ports, ready](const QMap<QString, results::Calibration>& latest,
                                   const QString& error) {
            const QList<station::UnitRun*> left = alive(runs);
            if (left.isEmpty()) return;  // stopped meanwhile
            if (!error.isEmpty()) {
                emit unreadable(Read::Calibration, left, error);
                return;
            }
            const QDateTime now = clock_();
            for (station::UnitRun* run : left) {
                const QString& port = run->config().port;
                if (!ports.contains(port)) continue;
                const auto found = latest.constFind(port);
                const auto calibration =
                    found == latest.cend() ? std::nullopt : std::optional(*found);
                // One read while the slots are calibrated is out of date at once.
                if (!calibrating_) calibrations_[port] = calibration;
                run->setCalibration(calibration, now);
            }
            ready();
        });
}

void Session::pathLosses(const std::vector<station::UnitConfig>& units, Losses done) {
    auto lossesOf = [this, units](const QMap<QString, results::Calibration>& latest) {
        std::vector<double> losses;
        const QDateTime now = clock_();
        for (station::UnitConfig unit : units) {
            const auto found = latest.constFind(unit.port);
            station::applyCalibration(
                unit, found == latest.cend() ? std::nullopt : std::optional(*found), now);
            losses.push_back(unit.pathLossDb.value_or(0));
        }
        return losses;
    };
    // A fix test alone takes no calibration, so no path loss either.
    const bool read = std::any_of(units.begin(), units.end(), [](const station::UnitConfig& u) {
        return u.needsCalibration();
    });
    if (!store_ || !read) return done(lossesOf({}), {});
    QStringList ports;
    for (const station::UnitConfig& unit : units) ports << unit.port;
    store_->latestCalibrations(
        units.front().station, ports,
        [this, ports, lossesOf, done](const QMap<QString, results::Calibration>& latest,
                                      const QString& error) {
            if (!error.isEmpty()) return done({}, error);
            // Read now, so taken by the units' first units too.
            if (!calibrating_)
                for (const QString& port : ports)
                    calibrations_[port] =
                        latest.contains(port) ? std::optional(latest.value(port)) : std::nullopt;
            done(lossesOf(latest), {});
        });
}

void Session::setCalibrating(bool calibrating) {
    calibrating_ = calibrating;
    if (calibrating) calibrations_.clear();  // read again after this one
}

void Session::keep(int tag, const station::CycleResult& result) {
    if (!store_) {
        const QJsonObject json = result.toJson();
        if (metrics_) metrics_->figures().addResult(json);
        writeMetrics();
        emit kept(tag, json, results::Store::Saved::Stored);
        checkEnd();
        return;
    }
    ++storing_[tag];
    store_->save(result.toJson(), result.evidence, tag);
}

void Session::onKept(int tag, const QJsonObject& result, results::Store::Saved saved) {
    if (--storing_[tag] <= 0) storing_.remove(tag);
    anySpooled_ |= saved == results::Store::Saved::Spooled;
    anyLost_ |= saved == results::Store::Saved::Lost;
    if (deliverer_) deliverer_->poke();
    if (metrics_) metrics_->figures().addResult(result);
    writeMetrics();
    emit kept(tag, result, saved);
    checkEnd();
}

void Session::keepRefusal(const station::UnitConfig& unit, const QString& reason) {
    if (!store_) return;
    store_->keepRefusal({clock_(), unit.station, unit.port, unit.unit, unit.lot, unit.operatorName,
                         unit.plan, reason},
                        [this, unit](const QString& error) {
                            if (!error.isEmpty()) {
                                anyLost_ = true;
                                emit refusalNotKept(unit, error);
                            }
                            checkEnd();
                        });
}

void Session::retryDatabase() {
    if (!store_ || !store_->spooling()) return;
    results::Store::Options options;
    options.busyTimeoutMs = 1000;  // a retry waits no longer than this on a busy file
    if (deliverer_) options.deliveries = deliveries_;
    store_->retry(options);
}

void Session::unitsEnded() {
    unitsEnded_ = true;
    checkEnd();
}

void Session::stopWaiting() {
    if (!lineWait_.isActive()) return;
    lineWait_.stop();
    waitedEnough_ = true;
    checkEnd();
}

void Session::checkEnd() {
    if (settled_) return;
    EndState state;
    state.unitsEnded = unitsEnded_;
    state.pending = pending();
    state.undelivered = deliverer_ && !deliverer_->drained();
    state.waitS = lineWaitS_;
    state.waiting = lineWait_.isActive();
    state.waitedEnough = waitedEnough_;
    switch (endStep(state)) {
        case EndStep::NotYet:
            return;
        case EndStep::WaitForLine:
            lineWait_.start(int(lineWaitS_ * 1000));
            return;
        case EndStep::End:
            settled_ = true;
            writeMetrics();
            emit settled();
            return;
    }
}

int Session::exitStatus(int unitsStatus) const {
    return station::finalStatus(unitsStatus, anySpooled_, anyLost_);
}

}  // namespace session
