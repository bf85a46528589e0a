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
// own times on the steady clock, may ask for very coarse timers instead:
// Qt then lets them tick on whole seconds of the clock, so the timers of every
// link fall due together and the process wakes once a second for all of them
// rather than once per timer.  A very coarse timer's first tick comes half a
// second to a second and a half after its start.
#pragma once

#include <QObject>
#include <QTimer>

#include "gpslink/link.h"
#include "gpslink/serialport.h"

namespace gpslink {

class LinkClock {
public:
    // The timers are made children of timerParent (named after the link's
    // timers) and are of the given type; the link and the port must outlive
    // this object.
    LinkClock(Link& link, SerialPort& port, QObject* timerParent,
              Qt::TimerType type = Qt::PreciseTimer);
    // Stops every timer and silences the port's notification.
    ~LinkClock();
    LinkClock(const LinkClock&) = delete;
    LinkClock& operator=(const LinkClock&) = delete;

    QTimer* const Timer1;
    QTimer* const Timer_PF;
    QTimer* const Timer_Start;
    QTimer* const Timer;

private:
    Link& link_;
    SerialPort& port_;
};

}  // namespace gpslink
