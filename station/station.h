// A station: every unit run at once on one event loop, and the verdict over
// all of them.
#pragma once

#include <QObject>
#include <memory>
#include <vector>

#include "station/generatorsweep.h"
#include "station/unitrun.h"

namespace station {

class Station : public QObject {
    Q_OBJECT
public:
    explicit Station(std::vector<UnitConfig> units, QObject* parent = nullptr);

    // Before start(): the signal generator that feeds every slot (not
    // owned; it outlives the station); none: as without one.  It is opened
    // and set to the plan's level before the first unit starts, its
    // identity kept with every result; its output is switched off at the
    // end, on its fault and on an interruption, before finished().  Its
    // fault is the station's for every slot in the sweep (instrument-fault).
    void setLevelSource(LevelSource* source);

    // Starts every unit; nothing once started or interrupted.
    void start();
    // Ends every run under way as interrupted; finished() follows, at once
    // when the station has not started.
    void interrupt();

    const std::vector<UnitRun*>& units() const { return units_; }
    bool interrupted() const { return interrupted_; }
    int exitStatus() const;

signals:
    void unitChanged(station::UnitRun* unit);
    void cycleEnded(station::UnitRun* unit, const station::CycleResult& result);
    void refused(station::UnitRun* unit, const QString& reason);
    void finished();

private:
    void startUnits();
    void allEnded();
    void makeSweep();

    std::vector<UnitRun*> units_;  // children
    LevelSource* source_ = nullptr;
    GeneratorSweep* generator_ = nullptr;  // a child, made at start()
    QString generatorFault_;
    int running_ = 0;
    bool started_ = false;
    bool interrupted_ = false;
};

}  // namespace station
