#include "gpslink/linkclock.h"

#include <utility>

namespace gpslink {

namespace {

QTimer* makeTimer(const char* name, QObject* parent, Qt::TimerType type) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QLatin1String(name));
    timer->setInterval(TickTimer::kIntervalMs);
    timer->setTimerType(type);
    return timer;
}

}  // namespace

LinkClock::LinkClock(Link& link, SerialPort& port, QObject* timerParent, Qt::TimerType type)
    : Timer1(makeTimer("Timer1", timerParent, type)),
      Timer_PF(makeTimer("Timer_PF", timerParent, type)),
      Timer_Start(makeTimer("Timer_Start", timerParent, type)),
      Timer(makeTimer("Timer", timerParent, type)),
      link_(link),
      port_(port) {
    const std::pair<TickTimer*, QTimer*> timers[] = {{&link.Timer1, Timer1},
                                                     {&link.Timer_PF, Timer_PF},
                                                     {&link.Timer_Start, Timer_Start},
                                                     {&link.Timer, Timer}};
    for (const auto& [tick, timer] : timers) {
        // Started only on a change, so a timer already running keeps its interval.
        tick->setOnChange([timer = timer](bool enabled) {
            if (enabled)
                timer->start();
            else
                timer->stop();
        });
        if (tick->enabled()) timer->start();
    }
    Link* l = &link;
    QObject::connect(Timer1, &QTimer::timeout, Timer1, [l] { l->Timer1_Timer(); });
    QObject::connect(Timer_PF, &QTimer::timeout, Timer_PF, [l] { l->Timer_PF_Timer(); });
    QObject::connect(Timer_Start, &QTimer::timeout, Timer_Start, [l] { l->Timer_Start_Timer(); });
    QObject::connect(Timer, &QTimer::timeout, Timer, [l] { l->Timer_Timer(); });
    port.setOnComm([l] { l->MSComm1_OnComm(); });
}

LinkClock::~LinkClock() {
    port_.setOnComm({});
    for (TickTimer* tick : {&link_.Timer1, &link_.Timer_PF, &link_.Timer_Start, &link_.Timer})
        tick->setOnChange({});
    for (QTimer* timer : {Timer1, Timer_PF, Timer_Start, Timer}) {
        timer->stop();
        QObject::disconnect(timer, &QTimer::timeout, nullptr, nullptr);
    }
}

}  // namespace gpslink
