// Sensitivity with a signal generator: the searches of one slot, and the
// sweep that steps the one generator for every slot.  No clock and no port:
// a search says which level it wants next and is told what the unit did
// there; the sweep is told who wants which level and when, and says which
// level to set and who may dwell on it.
//
// Levels are in dBm at the slot's antenna port: the generator's level less
// the slot's path loss (calibration.h).  The figures a receiver's data sheet
// gives are of the same kind: acquisition (cold start) sensitivity about
// -145 to -148 dBm, tracking sensitivity about -160 to -167 dBm.
#pragma once

#include <QString>
#include <QtGlobal>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace station {

// Acquisition sensitivity: the lowest level at which a cold start fixes
// within the plan's time, by bisection of a window below `topDbm`.  Each
// cold start halves the window: 6 of them narrow 32 dB to 0.5 dB.  The
// answer is the lowest level at which a cold start fixed; one that never
// fixed has none (it is less sensitive than the window's top), one that
// always fixed has the lowest level tried (the window's floor is no limit
// on it).
class AcquisitionSearch {
public:
    struct Settings {
        double topDbm = -130;
        double windowDb = 32;
        int coldStarts = 6;
    };
    explicit AcquisitionSearch(const Settings& settings);

    // The level of the next cold start; empty once the search is over.
    std::optional<double> nextLevel() const;
    // Whether the cold start at nextLevel() fixed within the time.
    void outcome(bool fixed);
    bool done() const { return tried_ >= settings_.coldStarts; }
    int coldStarts() const { return tried_; }
    // The lowest level at which a cold start fixed; empty: none did.
    std::optional<double> sensitivityDbm() const { return fixedAt_; }
    // How far the answer is from the highest level that did not fix.
    double resolutionDb() const { return high_ - low_; }

private:
    Settings settings_;
    double high_, low_;  // fixes at high_ (or is taken to), not at low_
    int tried_ = 0;
    std::optional<double> fixedAt_;
};

// Tracking sensitivity: from a fix, the level stepped down by `stepDb` until
// the fix is lost; the answer is the lowest level at which it held.  A fix
// held at the floor ends the search there; one lost at the first level has
// no answer.
class TrackingSearch {
public:
    struct Settings {
        double startDbm = -145;
        double stepDb = 1;
        double floorDbm = -170;
    };
    explicit TrackingSearch(const Settings& settings) : settings_(settings) {}

    std::optional<double> nextLevel() const;
    // Whether the fix held through the dwell at nextLevel().
    void outcome(bool held);
    bool done() const { return done_; }
    int steps() const { return steps_; }
    std::optional<double> sensitivityDbm() const { return heldAt_; }

private:
    Settings settings_;
    int steps_ = 0;
    bool done_ = false;
    std::optional<double> heldAt_;
};

// One generator feeds every slot through a splitter, so the slots take turns
// at its level.  Each slot asks for the level it wants next; the sweep sets
// one level at a time and lets every slot that asked for it dwell on it
// together.
//
// - The level never changes while any slot dwells on it.
// - A new level is chosen once every slot still in the sweep has asked for
//   one, or `gatherMs` after the first asked (a slow slot does not hold up
//   the others), the level most slots asked for first, a tie to the higher.
// - A slot that asks for the level already set, with no change pending,
//   dwells at once.
// - A slot that leaves (its unit failed, its port died) is no longer waited
//   for; the others go on.
// - An instrument fault ends the sweep for every slot in it.
class LevelSweep {
public:
    struct Settings {
        qint64 gatherMs = 2000;
    };
    explicit LevelSweep(const Settings& settings) : settings_(settings) {}

    // A slot enters the sweep; its number.
    int join();
    // The slot wants to dwell at `dBm` (the generator's level).
    void request(int slot, double dBm, qint64 nowMs);
    // The slot's dwell is over.
    void release(int slot);
    // The slot takes no further part.
    void leave(int slot);

    // The level the generator is to be set to now, once; empty: none.
    std::optional<double> take(qint64 nowMs);
    // The generator reports the level set: the slots that asked for it dwell.
    void levelSet(double dBm);
    // The generator failed: the sweep ends for every slot in it.
    void fault(const QString& message);

    bool dwelling(int slot) const { return dwelling_.count(slot) > 0; }
    bool waiting(int slot) const { return wants_.count(slot) > 0; }
    std::optional<double> level() const { return level_; }
    const std::optional<QString>& faulted() const { return fault_; }
    // The next moment take() may act; empty: nothing to wait for.
    std::optional<qint64> nextDeadlineMs() const;
    // Slots still in the sweep.
    int members() const { return int(in_.size()); }
    int levelChanges() const { return changes_; }

private:
    std::optional<double> choose() const;
    void grantAt(double dBm);

    Settings settings_;
    int next_ = 0;
    std::set<int> in_;  // slots still in the sweep
    struct Want {
        double dBm;
        qint64 atMs;
    };
    std::map<int, Want> wants_;      // waiting, for this level, since then
    std::set<int> dwelling_;         // dwelling on level_
    std::optional<double> level_;    // set and confirmed
    std::optional<double> setting_;  // asked of the generator, not yet confirmed
    std::optional<QString> fault_;
    int changes_ = 0;
};

}  // namespace station
