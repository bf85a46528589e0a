// The order of a unit's cycle, with no clock and no port of its own: the
// plan's tests in turn, the antenna read beside them, the configuration after
// the last cycle, and the cycle's verdict.  The run (unitrun.h) hands it the
// run's clock and port (runtest.h) and feeds it what the receiver said; a
// test hands it an in-memory port and a clock that moves when told.
//
// - The turns are the plan's tests in order: the fix test, the signal test,
//   then the tests of their own rows (testtypes.h) that the cycle can have
//   (the sensitivity tests with a generator's sweep); without any, the unit
//   observed for the antenna test's time (or 3 s, for the answers to who it
//   is).  The fix test runs from the cycle's
//   start; a first turn other than it begins once the link has the port
//   (listening()).
// - A turn's verdict ends it.  The first turn's verdict counts only once who
//   the unit said it is has been held to the plan (the fix test's only with
//   a fix): a unit that fails that has the identity's reason instead.
// - A verdict that leaves the unit talking (the reasons' table says which)
//   hands over to the next turn, the start command held back from then on;
//   any other ends the cycle, a turn under way judged from what it has
//   unless the cycle was interrupted.
// - The cycle's reason is the first failing turn's; a station fault stands
//   whatever came before it.  A passing cycle then has the antenna's verdict.
// - No data at all, with power retry, is not a verdict: the slot is switched
//   off and on once (powerRetry()) and the cycle begins again.
// - After the last cycle (or one that ended without a fix), a unit that
//   passed, or failed with configAfterFail, and still talks has the
//   configuration written and read back; its verdict counts for a unit that
//   passed.  A family that cannot take it is config-rejected.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "gpslink/resetcommand.h"
#include "station/config.h"
#include "station/runtests.h"
#include "station/sensitivity.h"
#include "station/testtypes.h"

namespace station {

class Sequencer {
public:
    struct Hooks {
        // Who the unit said it is, held to the plan (once; later calls find
        // nothing); the reason it fails with, its note said by itself.
        std::function<std::optional<Reason>()> identityFault;
        // What decided a verdict, to be shown beside it.
        std::function<void(const QString&)> note;
        // What the run knows of the line, and the second under way.
        std::function<FixTest::Line()> line;
        std::function<Second()> secondSoFar;
        // No data: the slot to be switched off and on, the cycle begun again.
        std::function<void()> powerRetry;
        // The cycle's verdict, once.
        std::function<void(Reason)> closed;
        // Another test is under way, or what it shows changed.
        std::function<void()> changed;
    };

    Sequencer(const UnitConfig& config, RunPort& port, const RunClock& clock, Hooks hooks);

    // The family as found, for the front end's poll and the configuration.
    void setFamily(std::optional<gpslink::ReceiverFamily> family) { family_ = family; }
    // The slot's place in the generator's sweep: the plan's tests that set
    // levels follow the others; without it they are not run.
    void setSweep(SweepSlot slot) { sweep_ = slot; }

    // Whether the next cycle is still to wait for the generator's level: a
    // search of the cycle before may have left it at another, and the cold
    // start goes out at the plan's only.  Asks the sweep for it; the caller
    // asks again until it is set (the sweep dwells the slot on it, so no
    // other slot changes it before the cycle begins).
    bool waitsForLevel();
    // A cycle begins: its tests made afresh, the antenna's times from now.
    void beginCycle();
    // The family and the command found: the fix test made again with them,
    // and a signal test not yet begun with the RF limits now in force.
    void renewTests();
    // The link has the port and only listens: a first turn other than the
    // fix test begins.
    void listening();
    // The run was interrupted: the cycle ends so, and no other follows.
    void interrupt();
    // The cycle ends for a reason of the line's, the station's or the
    // unit's identity, whichever turn is under way.
    void end(Reason reason);

    // What came from the unit, at the clock's time.
    void received();
    void sentence(std::string_view body);
    void packet(const Packet& packet);
    void gga(const Gga& gga);
    void second(const Second& second);
    // A deadline fell due.
    void tick();
    // The next moment tick() may act, on the run's clock; empty: none.
    std::optional<qint64> nextDeadlineMs() const;

    // The test under way, and whether the cycle has its verdict.
    RunTest::Kind kind() const;
    bool ending() const { return ending_; }
    int cycle() const { return cycle_; }
    FixTest& fix() { return fix_->fix(); }
    const FixTest& fix() const { return fix_->fix(); }
    const SignalTest* signal() const { return signal_ ? &signal_->signal() : nullptr; }
    const AntennaTest* antenna() const { return antenna_ ? &*antenna_ : nullptr; }
    // How far the test under way has come, in the run's stage.
    void show(Stage& stage) const;
    // The cycle's measures, from every test it made.
    void record(CycleResult& result) const;

private:
    FixTest::Settings fixSettings() const;
    SignalTest::Settings signalSettings() const;
    // A turn of a test type's own row; null: the cycle cannot have it.
    std::unique_ptr<RunTest> make(const TestTypeRow& type) const;
    RunTest& current() { return *turns_[turn_]; }
    bool configuring() const { return config_ && config_->started() && !ending_; }
    void heardAntenna(std::optional<AntennaState> state);
    void followTurn();
    void turnEnded(Reason verdict);
    void measured(Reason verdict);
    void startConfig(Reason verdict);
    void followConfig();
    void close(Reason reason);
    void write(RunTest& test);

    const UnitConfig& unit_;
    RunPort& port_;
    const RunClock& clock_;
    Hooks hooks_;
    std::optional<gpslink::ReceiverFamily> family_;
    double planLevelDbm() const;  // the generator's, for the plan's level at the port
    std::optional<SweepSlot> sweep_;

    int cycle_ = 0;
    bool ending_ = false;
    bool interrupted_ = false;
    bool powerRetried_ = false;
    // The cycle's turns in order; the fix test is the first of them when the
    // plan has it, else it only follows the stream.
    std::vector<std::unique_ptr<RunTest>> turns_;
    std::vector<const TestTypeRow*> madeBy_;  // each turn's row, where it made it
    std::size_t turn_ = 0;
    FixRun* fix_ = nullptr;
    std::unique_ptr<FixRun> idleFix_;
    SignalRun* signal_ = nullptr;
    std::optional<Reason> earlier_;  // the verdict of the turns before this one
    std::optional<AntennaTest> antenna_;
    // Once a run, after its last cycle's measurements, and their verdict meanwhile.
    std::unique_ptr<ConfigRun> config_;
    std::optional<Reason> measured_;
};

}  // namespace station
