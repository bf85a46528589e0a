// The clock and the serial notification for a link, on Qt's event loop.
//
// The link only raises and lowers the enabled flags of its four timers; this
// binds each flag to a one-second QTimer that runs exactly while the flag is
// up, delivers every timeout to its handler, and passes the port's
// notification to MSComm1_OnComm.  The window and the station both drive
// their links through it.
//
// The window keeps its timers precise: each ticks a whole second after it
// was started.  The station, which runs many links at once and measures its
// own times on the steady clock, ticks them with the input instead
// (Ticking::WithInput), so that a line that delivers its bursts costs no
// wake-up of its own for the link's supervision:
//
// - The connect step (Timer1) is a very coarse timer: Qt lets it tick on
//   whole seconds of the clock, together with every other link's, half a
//   second to a second and a half after its start.
// - The supervision timers (Timer_PF, Timer_Start, Timer) keep their
//   schedule of a tick a second from their start, but a tick that falls due
//   is delivered with the port's next notification, just before it.  While
//   characters arrive (within the last 1.1 s) a timer wakes the process by
//   itself only 1.1 s after its tick fell due, so a line that bursts once a
//   second always brings the tick first; on a silent line it does so when the
//   tick falls due.  A tick thus comes up to 1.1 s late, never early, and no
//   tick of the schedule is lost.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <array>

#include "gpslink/link.h"
#include "gpslink/serialport.h"

namespace gpslink {

enum class Ticking {
    OnTime,     // each timer ticks by itself, a precise second after the last
    WithInput,  // see above
};

class LinkClock {
public:
    // The timers are made children of timerParent (named after the link's
    // timers); the link and the port must outlive this object.
    LinkClock(Link& link, SerialPort& port, QObject* timerParent,
              Ticking ticking = Ticking::OnTime);
    // Stops every timer and silences the port's notification.
    ~LinkClock();
    LinkClock(const LinkClock&) = delete;
    LinkClock& operator=(const LinkClock&) = delete;

    // Passes the port's notification to the link (again, after the owner
    // had it for itself).
    void connectPort();

    QTimer* const Timer1;
    QTimer* const Timer_PF;
    QTimer* const Timer_Start;
    QTimer* const Timer;

private:
    struct Supervision {
        TickTimer* tick;
        QTimer* timer;
        void (Link::*handler)();
        qint64 dueMs = 0;  // when its next tick falls due, on clock_
    };
    void onInput();
    void tick(Supervision& s);
    void arm(Supervision& s, qint64 now);

    Link& link_;
    SerialPort& port_;
    const Ticking ticking_;
    std::array<Supervision, 3> supervision_;
    QElapsedTimer clock_;
    qint64 lastInputMs_;
};

}  // namespace gpslink
