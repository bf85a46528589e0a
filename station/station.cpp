#include "station/station.h"

namespace station {

Station::Station(std::vector<UnitConfig> units, QObject* parent) : QObject(parent) {
    for (UnitConfig& config : units) {
        auto* unit = new UnitRun(std::move(config), this);
        connect(unit, &UnitRun::changed, this, [this, unit] { emit unitChanged(unit); });
        connect(unit, &UnitRun::cycleEnded, this,
                [this, unit](const CycleResult& result) { emit cycleEnded(unit, result); });
        connect(unit, &UnitRun::refusedByLine, this,
                [this, unit](const QString& reason) { emit refused(unit, reason); });
        connect(unit, &UnitRun::finished, this, [this] {
            if (--running_ == 0) allEnded();
        });
        units_.push_back(unit);
    }
}

void Station::setLevelSource(LevelSource* source) {
    if (!started_) source_ = source;
}

// The sweep is made as the station starts: the slots' path losses are their
// calibrations', read from the results store after the source was given.
void Station::makeSweep() {
    std::vector<double> losses;
    for (const UnitRun* unit : units_) losses.push_back(unit->config().pathLossDb.value_or(0));
    const double level = units_.empty() ? -130 : units_.front()->config().levelDbm;
    generator_ = new GeneratorSweep(*source_, std::move(losses), level, this);
    connect(generator_, &GeneratorSweep::ready, this, [this] {
        for (std::size_t i = 0; i < units_.size(); ++i)
            units_[i]->setSweep(generator_->slot(i), generator_->identity());
        startUnits();
    });
    connect(generator_, &GeneratorSweep::faulted, this, [this](const QString& message) {
        generatorFault_ = message;
        for (UnitRun* unit : units_) unit->instrumentFault(message);
    });
    connect(generator_, &GeneratorSweep::off, this, [this] {
        if (running_ == 0) emit finished();
    });
}

void Station::start() {
    if (started_) return;
    started_ = true;
    running_ = int(units_.size());
    if (running_ == 0) return allEnded();
    if (source_) makeSweep();
    if (generator_)
        generator_->open();  // the units start once it is set
    else
        startUnits();
}

void Station::startUnits() {
    if (interrupted_) return;
    for (UnitRun* unit : units_) unit->start();
}

// Every unit has ended: the generator's output off first, where there is one.
void Station::allEnded() {
    if (generator_)
        generator_->switchOff();
    else
        emit finished();
}

void Station::interrupt() {
    interrupted_ = true;
    for (UnitRun* unit : units_) unit->interrupt();
    if (generator_) generator_->switchOff();
    // Stopped before it started (while what the units need was read): it
    // will not start, and every unit has ended.
    if (!started_) {
        started_ = true;
        emit finished();
    }
}

int Station::exitStatus() const {
    if (interrupted_) return kInterrupted;
    bool fault = false, refused = false;
    for (const UnitRun* unit : units_) {
        if (unit->tally().count(Outcome::Fail) > 0) return kSomeFailed;
        if (unit->tally().count(Outcome::StationFault) > 0) fault = true;
        refused |= unit->refused();
    }
    return fault || !generatorFault_.isEmpty() ? kStationFault : refused ? kRefused : kOk;
}

}  // namespace station
