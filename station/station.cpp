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
            if (--running_ == 0) emit finished();
        });
        units_.push_back(unit);
    }
}

void Station::start() {
    if (started_) return;
    started_ = true;
    running_ = int(units_.size());
    if (running_ == 0) {
        emit finished();
        return;
    }
    for (UnitRun* unit : units_) unit->start();
}

void Station::interrupt() {
    interrupted_ = true;
    for (UnitRun* unit : units_) unit->interrupt();
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
    return fault ? kStationFault : refused ? kRefused : kOk;
}

}  // namespace station
