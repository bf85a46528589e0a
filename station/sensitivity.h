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
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "station/fixtest.h"
#include "station/runtest.h"

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
    // The slot wants to dwell at `dBm` (the generator's level).  Its wait
    // counts from the next take(), on the sweep's own clock.
    void request(int slot, double dBm);
    // The slot dwells on the level set now (its fix and signal tests at the
    // plan's level), as if it had asked for it.
    void hold(int slot);
    // The slot's dwell is over.
    void release(int slot);
    // The slot takes no part until it asks again (its next test).
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
        std::optional<qint64> atMs;  // seen by take() then
    };
    std::map<int, Want> wants_;      // waiting, for this level, since then
    std::set<int> dwelling_;         // dwelling on level_
    std::optional<double> level_;    // set and confirmed
    std::optional<double> setting_;  // asked of the generator, not yet confirmed
    std::optional<QString> fault_;
    int changes_ = 0;
};

// A slot's place in the sweep, as its tests see it: the sweep, the slot's
// number in it, and the losses that turn a level at the antenna port into
// the generator's.  Every slot's searches are set against one loss, the
// sweep's (the slots' mean), so that they ask for the same levels and share
// their dwells; what a unit did is then read at its own slot's loss.
struct SweepSlot {
    LevelSweep* sweep = nullptr;
    int slot = 0;
    double lossDb = 0;       // this slot's, from the generator's output to its antenna port
    double sweepLossDb = 0;  // the one every slot's search is set against
};

// Why a plan with a sensitivity test needs the generator (checkStart()).
inline constexpr const char* kLevelsNeedTheGenerator =
    "the acquisition and tracking tests set the level at the antenna port: they need the "
    "signal generator (--generator)";

// A sensitivity test of a unit's cycle (runtest.h), after the fix and the
// signal tests: the searches above, each level waited for in the sweep.
// Its rows are station/tests/acquisition.cpp and tracking.cpp.
//
// - Acquisition: at each level of the search, a cold start (the plan's
//   start command, sent by the test) that fixes within the fix time-out, as
//   the fix test decides it: a reset it cannot prove fails the unit.  The
//   measure is the lowest level that fixed.
// - Tracking: a fix first (at the plan's level; waited for up to the fix
//   time-out), then each level held for the dwell: a GGA without a fix
//   loses it.  The measure is the lowest level held.
// - The sweep is asked every 100 ms whether the slot may dwell (the sweep
//   is the station's, ticked by the generator's answers; the test has no
//   other way to hear of them).
// - A unit that fails otherwise (silent, gone) leaves the sweep with its
//   reason; an instrument fault ends the test as the station's fault.
// - The levels recorded are at the slot's antenna port.
class SensitivityRun : public RunTest {
public:
    enum class Search { Acquisition, Tracking };
    struct Settings {
        Search search = Search::Acquisition;
        AcquisitionSearch::Settings acquisition;  // its levels at the antenna port
        TrackingSearch::Settings tracking;        // the same
        int trackDwellS = 10;
        FixTest::Settings fix;  // the cold start's: its command, family and time-outs
        Limits limits;
    };
    SensitivityRun(Settings settings, SweepSlot slot, std::function<FixTest::Line()> line,
                   std::function<Second()> secondSoFar);

    Kind kind() const override { return Kind::Measuring; }
    void start(qint64 nowMs) override;
    bool started() const override { return started_; }
    void sentence(std::string_view body, qint64 nowMs) override;
    void gga(const Gga& gga, qint64 nowNs) override;
    void second(const Second& second, qint64 nowMs) override;
    void tick(qint64 nowMs) override;
    std::optional<qint64> nextDeadlineMs(qint64 nowMs) const override;
    std::optional<Reason> verdict() const override { return verdict_; }
    void stop(Reason why) override;
    QString note() const override { return note_; }
    std::string takeOutput() override { return std::exchange(output_, {}); }
    void show(Stage& stage, qint64 nowMs) const override;
    void record(CycleResult& result) const override;

    const Settings& settings() const { return settings_; }
    // The level at the antenna port the test found; empty: none.
    std::optional<double> foundDbm() const;
    int coldStarts() const { return acquisition_.coldStarts(); }

private:
    std::optional<double> wantedPortDbm() const;
    void ask(qint64 nowMs);
    void begin(qint64 nowMs);
    void outcome(bool ok, qint64 nowMs);
    void finish(Reason reason, QString note = {});

    Settings settings_;
    SweepSlot slot_;
    std::function<FixTest::Line()> line_;
    std::function<Second()> soFar_;
    AcquisitionSearch acquisition_;
    TrackingSearch tracking_;
    bool started_ = false;
    bool dwelling_ = false;
    // The cold start under way (acquisition), made when its level is asked
    // for so that it sees what the unit had before the command.
    std::optional<FixTest> trial_;
    bool timeSinceCommand_ = false;
    // Tracking: whether the unit has a fix, and until when the level is held.
    bool hasFix_ = false;
    std::optional<qint64> fixWaitUntilMs_, holdUntilMs_;
    bool lost_ = false;
    std::optional<Reason> verdict_;
    QString note_;
    std::string output_;
};

}  // namespace station
