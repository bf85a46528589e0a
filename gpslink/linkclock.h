// The clock and the serial notification for a link, on Qt's event loop.
//
// The link only raises and lowers the enabled flags of its four timers; this
// binds each flag to a one-second QTimer that runs exactly while the flag is
// up, delivers every timeout to its handler, and passes the port's
// notification to MSComm1_OnComm.  The window and the station both drive
// their links through it.
#pragma once

#include <QObject>
#include <QTimer>

#include "gpslink/link.h"
#include "gpslink/serialport.h"

namespace gpslink {

class LinkClock {
public:
    // The timers are made children of timerParent (named after the link's
    // timers); the link and the port must outlive this object.
    LinkClock(Link& link, SerialPort& port, QObject* timerParent);
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
