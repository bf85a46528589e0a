// A station: every unit run at once on one event loop, and the verdict over
// all of them.
#pragma once

#include <QObject>
#include <memory>
#include <vector>

#include "station/unitrun.h"

namespace station {

class Station : public QObject {
    Q_OBJECT
public:
    explicit Station(std::vector<UnitConfig> units, QObject* parent = nullptr);

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
    std::vector<UnitRun*> units_;  // children
    int running_ = 0;
    bool started_ = false;
    bool interrupted_ = false;
};

}  // namespace station
