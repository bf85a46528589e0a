// What the line itself comes to while a unit runs, apart from any test: no
// data, another rate, or silence.  No clock and no port of its own: the run
// tells it when the link starts, when its connect step opened the port, when
// bytes came and what the watcher read in them, and ticks it at
// nextDeadlineMs().
//
// The limits are the link's (gpslink/link.h), counted in its one-second
// ticks, so that a station's unit ends as the window's would:
//
// - No data: nothing at all received in the three ticks after the connect
//   step (the first to the third second).  Once anything has come, never
//   again while the run lasts.
// - Another rate: input in the fifth to seventh second after the first
//   bytes since the link started, without a GGA with a time among them.  A
//   rule that takes checked sentences as the rate proved (see startrule.h)
//   waives it once one has come since the connect step.
// - Silence: six ticks in a row, a second apart from the link's start (or
//   from the connect step in a later cycle), without a byte between them.
//   Not while the command awaits its first GGA time: the fix test times
//   that.  Six to seven seconds after the last byte, by the ticks' phase.
//
// A tick that falls due is taken before any input at or after its moment.
#pragma once

#include <QtGlobal>
#include <optional>

namespace station {

class LineSupervisor {
public:
    enum class Fault {
        NoData,       // nothing at all since the connect step
        AnotherRate,  // characters, but no GGA time in the link's window
        Silent,       // six ticks without a byte
    };
    struct Settings {
        // Checked sentences since the connect step prove the rate.
        bool sentencesProveRate = false;
    };

    LineSupervisor() = default;
    explicit LineSupervisor(Settings settings) : settings_(settings) {}

    // The link starts watching: the silence counted from now, the rate's
    // window from the next bytes.
    void watch(qint64 nowMs);
    // The connect step, whether or not the port opened: no data counted from
    // now, and the silence if it is not counted already.
    void connected(qint64 nowMs);
    // Bytes came at nowMs while the link watches, and were read: call after timedGga() and
    // sentence() for what they held.
    void received(qint64 nowMs);
    // A checked GGA with its time field filled.
    void timedGga() { timedGga_ = true; }
    // A checked sentence.
    void sentence() {
        if (connected_) sentenceSinceConnect_ = true;
    }
    // The start command is out; the first GGA time after it confirms it.
    void commanded(qint64 nowMs) {
        tick(nowMs);
        awaiting_ = true;
    }
    void confirmed(qint64 nowMs) {
        tick(nowMs);
        awaiting_ = false;
    }
    // Nothing judged until watch() or connected() again, and a fault
    // found forgotten.
    void stop();

    void tick(qint64 nowMs);
    // The next moment tick() may find a fault, if no input comes first;
    // input only ever puts it later.
    std::optional<qint64> nextDeadlineMs() const;
    const std::optional<Fault>& fault() const { return fault_; }
    // The fault found, once; it stands until stop().
    std::optional<Fault> takeFault() {
        if (taken_) return std::nullopt;
        taken_ = fault_.has_value();
        return fault_;
    }

private:
    static constexpr qint64 kTickMs = 1000;
    struct Ticks {
        std::optional<qint64> dueMs;  // the next tick; empty: not running
        int count = 0;
    };
    void silenceTick();
    void raise(Fault fault);

    Settings settings_{};
    std::optional<Fault> fault_;
    bool anyReceived_ = false;  // since the run began
    bool watching_ = false;
    bool taken_ = false;
    bool connected_ = false;
    bool timedGga_ = false;
    bool sentenceSinceConnect_ = false;
    bool awaiting_ = false;
    bool bytesSinceTick_ = false;
    std::optional<qint64> rateFromMs_;  // the first bytes since the link started
    Ticks noData_, silence_;
};

}  // namespace station
