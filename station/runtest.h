// What a unit's run is made of, seen from the sequencer (sequencer.h): the
// clock it reads, the port it writes to, and the tests it runs in turn.
//
// A test has no clock and no port of its own.  It is started, fed what the
// receiver said and when, ticked once its next deadline has come, and asked
// for its verdict; what it would write to the unit it hands over with
// takeOutput(), and once it has a verdict it writes its measures into the
// cycle's result.  The fix, signal, configuration and observation tests
// (runtests.h) put the decision classes of the same names behind it; the
// antenna test is read throughout the cycle beside them.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <string>
#include <string_view>

#include "station/frames.h"
#include "station/result.h"
#include "station/watcher.h"
#include "station/words.h"

namespace station {

// The run's steady clock: the real one, or a test's that moves only when told.
class RunClock {
public:
    virtual ~RunClock() = default;
    virtual qint64 nowMs() const = 0;
    virtual qint64 nowNs() const = 0;
};

class SteadyClock : public RunClock {
public:
    SteadyClock() { timer_.start(); }
    qint64 nowMs() const override { return timer_.elapsed(); }
    qint64 nowNs() const override { return timer_.nsecsElapsed(); }

private:
    QElapsedTimer timer_;
};

// What the sequencer asks of the unit's port: bytes written to the unit, and
// the start command held back (the link only listens from then on; a
// command not yet out stays in).
class RunPort {
public:
    virtual ~RunPort() = default;
    virtual void write(std::string_view bytes) = 0;
    virtual void holdCommand() = 0;
};

class RunTest {
public:
    // How the run shows it while it is under way.
    enum class Kind {
        Fix,        // watching, commanded, the reset seen, acquiring
        Measuring,  // a measurement of a number of seconds
        Observing,  // the unit watched for a while
        Configuring,
    };
    virtual ~RunTest() = default;

    virtual Kind kind() const = 0;

    virtual void start(qint64 nowMs) = 0;
    virtual bool started() const = 0;
    // What the receiver said, as the watcher and the framing decoded it.
    virtual void sentence(std::string_view /*body*/, qint64 /*nowMs*/) {}
    virtual void packet(const Packet& /*packet*/, qint64 /*nowMs*/) {}
    virtual void gga(const Gga& /*gga*/, qint64 /*nowNs*/) {}
    virtual void second(const Second& /*second*/, qint64 /*nowMs*/) {}
    // A deadline fell due (or any moment after it).
    virtual void tick(qint64 nowMs) = 0;
    // The next moment tick() may act; empty: nothing to wait for.
    virtual std::optional<qint64> nextDeadlineMs(qint64 nowMs) const = 0;
    virtual std::optional<Reason> verdict() const = 0;
    // The cycle ended for another reason while this test ran: its verdict
    // from what it has, where it has one.
    virtual void stop(Reason /*why*/) {}
    // Who the unit said it is is held to the plan before this verdict
    // counts (a fix test that has no fix has nothing to hold it against).
    virtual bool checksIdentity() const { return true; }
    // What decided its verdict, beside it; empty when nothing.
    virtual QString note() const { return {}; }
    // What to write to the unit now.
    virtual std::string takeOutput() { return {}; }
    // How far it has come, in the run's stage (words.h) while it is under way.
    virtual void show(Stage& /*stage*/, qint64 /*nowMs*/) const {}
    // Its measures, into the cycle's result.
    virtual void record(CycleResult& /*result*/) const {}
};

}  // namespace station
