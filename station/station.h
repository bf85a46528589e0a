// A station: every unit run at once on one event loop, and the verdict over
// all of them.
#pragma once

#include <QObject>
#include <memory>
#include <vector>

#include "station/unitrun.h"

namespace station {

// Exit statuses of a station run.
enum ExitStatus {
    kAllPassed = 0,
    kSomeFailed = 1,     // at least one unit failed a cycle
    kUsage = 2,          // the command line was wrong; nothing was opened
    kStationFault = 3,   // no unit failed, but a port could not be opened
    kInterrupted = 130,  // stopped by SIGINT or SIGTERM
};

class Station : public QObject {
    Q_OBJECT
public:
    explicit Station(std::vector<UnitConfig> units, QObject* parent = nullptr);

    void start();
    // Ends every run under way as interrupted; finished() follows.
    void interrupt();

    const std::vector<UnitRun*>& units() const { return units_; }
    bool interrupted() const { return interrupted_; }
    int exitStatus() const;

signals:
    void unitChanged(station::UnitRun* unit);
    void cycleEnded(station::UnitRun* unit, const station::CycleResult& result);
    void finished();

private:
    std::vector<UnitRun*> units_;  // children
    int running_ = 0;
    bool interrupted_ = false;
};

}  // namespace station
