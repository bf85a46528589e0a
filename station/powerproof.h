// Whether a power start did switch the unit off and on, from what the unit
// said meanwhile.  No clock and no port: the run tells it what came and
// when.  The station switched the slot's supply, but a relay that does not
// switch leaves the unit running; only the unit's own stream can show that
// it went off.
//
// - Off: the unit falls silent.  A byte that comes later than kInFlightMs
//   after the "off" command ended and before the "on" command began is a
//   unit that kept talking with its supply off (what was already on its way
//   when the supply was cut may come in the first moments).  A device that
//   went away with its supply is silent.
// - On: its stream starts over.  The family's start-up message
//   (restartsign.h), or a first GGA after "on" without a fix, proves it: a
//   unit coming up has no fix in its first second, even one whose backup
//   supply kept the time and the position, since it has to track the
//   satellites again.  A first GGA with a fix is a unit that never went off.
//
// The off time is judged only past kInFlightMs: with a shorter off time the
// stream's start alone decides.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <string_view>

#include "gpslink/resetcommand.h"
#include "station/watcher.h"

namespace station {

class PowerProof {
public:
    static constexpr qint64 kInFlightMs = 250;

    enum class State {
        Off,      // switched off: silence expected
        Waiting,  // switched on: its stream's start awaited
        Proven,
        Failed,
    };

    explicit PowerProof(std::optional<gpslink::ReceiverFamily> family = {}) : family_(family) {}

    // The "off" command ended: the supply is off from now.
    void switchedOff(qint64 nowMs);
    // The "on" command began: what comes from now may be the unit coming up.
    void switchingOn(qint64 nowMs);
    // Bytes came from the unit.
    void received(qint64 nowMs);
    // The family, once found (a start with "auto" finds it after "on").
    void setFamily(gpslink::ReceiverFamily family) { family_ = family; }
    // A checked sentence's body, and a GGA as the watcher decoded it.
    void sentence(std::string_view body);
    void gga(const Gga& gga, qint64 nowMs);

    State state() const { return state_; }
    bool proven() const { return state_ == State::Proven; }
    bool failed() const { return state_ == State::Failed; }
    // What was seen, once it failed ("the unit kept talking with its supply
    // off: bytes 0.62 s after \"off\"").
    const QString& note() const { return note_; }

private:
    void fail(QString note);

    std::optional<gpslink::ReceiverFamily> family_;
    State state_ = State::Off;
    qint64 offAtMs_ = 0;
    qint64 onAtMs_ = 0;
    QString note_;
};

}  // namespace station
