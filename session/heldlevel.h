// One signal generator held at the plan's level for a whole session whose
// slots start one by one, as their units are scanned (the station window).
// A splitter feeds every slot, so the level is one for all of them: the
// plan's level at the antenna port plus the slots' mean path loss, as the
// headless station sets it (station/generatorsweep.h).
//
// - The first run started reads every slot's path loss (its latest
//   calibration: Session::pathLosses()), then opens the generator and sets
//   the level with its output on; runs started meanwhile wait for it.  The
//   level then stays for the session: only tests at one fixed level run
//   under it (the fix and signal tests at --level), never a search.
// - Each run is given its slot's place in the sweep and the generator's
//   identity before it starts, so its results carry both.
// - A fault of the instrument's ends every run under way as the station's
//   fault (instrument-fault, with the instrument's own words), switches the
//   output off, and any run started later ends the same way at once.
// - The path losses that cannot be read stop the runs that waited for them;
//   the next run started reads them again.
// - switchOff() at the end: off() follows once the instrument has answered.
#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <memory>
#include <vector>

#include "station/generatorsweep.h"
#include "station/levelsource.h"
#include "station/unitrun.h"

namespace session {

class Session;

class HeldLevel : public QObject {
    Q_OBJECT
public:
    // units: the session's slots, in order (their ports, station and the plan's
    // level); source: the plan's generator.  session outlives this.
    HeldLevel(Session& session, std::vector<station::UnitConfig> units,
              std::unique_ptr<station::LevelSource> source, QObject* parent = nullptr);
    ~HeldLevel() override;

    // Starts run, of slot index, under the level (see above).
    void start(int index, station::UnitRun* run);
    // The output off, for good; off() follows (at once when it never was on).
    void switchOff();
    // The generator was opened and has not confirmed its output off since.
    bool outputMayBeOn() const { return on_; }
    // switchOff() was called and off() has followed.
    bool ended() const { return ended_ && !on_ && !switching_; }
    // The instrument's fault, once there was one.
    const QString& fault() const { return fault_; }
    const station::LevelSource& source() const { return *source_; }

signals:
    void faulted(const QString& message);
    void unreadable(const QString& error);
    void off();

private:
    using Waiting = QList<QPair<int, QPointer<station::UnitRun>>>;
    void open(const std::vector<double>& losses);
    void startUnder(int index, station::UnitRun* run);

    Session& session_;
    std::vector<station::UnitConfig> slots_;
    std::unique_ptr<station::LevelSource> source_;
    station::GeneratorSweep* sweep_ = nullptr;  // a child, once the losses are read
    Waiting waiting_;                           // for the level
    QList<QPointer<station::UnitRun>> started_;
    bool reading_ = false, ready_ = false, on_ = false, ended_ = false, switching_ = false;
    QString fault_;
};

}  // namespace session
