#include "gpslink/linkclock.h"

#include <algorithm>
#include <utility>

namespace gpslink {

namespace {

constexpr qint64 kInputGraceMs = 1100;  // input this recent: more is on its way

QTimer* makeTimer(const char* name, QObject* parent, Qt::TimerType type) {
    auto* timer = new QTimer(parent);
    timer->setObjectName(QLatin1String(name));
    timer->setInterval(TickTimer::kIntervalMs);
    timer->setTimerType(type);
    return timer;
}

// With the input, a supervision timer only stands in for input that does not
// come: a few tens of milliseconds do not matter.
Qt::TimerType supervisionType(Ticking ticking) {
    return ticking == Ticking::OnTime ? Qt::PreciseTimer : Qt::CoarseTimer;
}

}  // namespace

LinkClock::LinkClock(Link& link, SerialPort& port, QObject* timerParent, Ticking ticking)
    : Timer1(makeTimer("Timer1", timerParent,
                       ticking == Ticking::OnTime ? Qt::PreciseTimer : Qt::VeryCoarseTimer)),
      Timer_PF(makeTimer("Timer_PF", timerParent, supervisionType(ticking))),
      Timer_Start(makeTimer("Timer_Start", timerParent, supervisionType(ticking))),
      Timer(makeTimer("Timer", timerParent, supervisionType(ticking))),
      link_(link),
      port_(port),
      ticking_(ticking),
      supervision_{{{&link.Timer_PF, Timer_PF, &Link::Timer_PF_Timer},
                    {&link.Timer_Start, Timer_Start, &Link::Timer_Start_Timer},
                    {&link.Timer, Timer, &Link::Timer_Timer}}} {
    clock_.start();
    lastInputMs_ = -kInputGraceMs;
    Link* l = &link;
    link.Timer1.setOnChange([timer = Timer1](bool enabled) {
        if (enabled)
            timer->start();
        else
            timer->stop();
    });
    if (link.Timer1.enabled()) Timer1->start();
    QObject::connect(Timer1, &QTimer::timeout, Timer1, [l] { l->Timer1_Timer(); });
    for (Supervision& s : supervision_) {
        Supervision* p = &s;
        if (ticking_ == Ticking::WithInput) {
            s.timer->setSingleShot(true);
            s.tick->setOnChange([this, p](bool enabled) {
                if (!enabled) return p->timer->stop();
                p->dueMs = clock_.elapsed() + TickTimer::kIntervalMs;
                arm(*p, clock_.elapsed());
            });
            QObject::connect(s.timer, &QTimer::timeout, s.timer, [this, p] { tick(*p); });
        } else {
            // Started only on a change, so a timer already running keeps its interval.
            s.tick->setOnChange([timer = s.timer](bool enabled) {
                if (enabled)
                    timer->start();
                else
                    timer->stop();
            });
            QObject::connect(s.timer, &QTimer::timeout, s.timer,
                             [l, handler = s.handler] { (l->*handler)(); });
        }
        if (s.tick->enabled()) {
            s.dueMs = clock_.elapsed() + TickTimer::kIntervalMs;
            if (ticking_ == Ticking::WithInput)
                arm(s, clock_.elapsed());
            else
                s.timer->start();
        }
    }
    connectPort();
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

void LinkClock::connectPort() {
    if (ticking_ == Ticking::OnTime) {
        Link* l = &link_;
        port_.setOnComm([l] { l->MSComm1_OnComm(); });
    } else {
        port_.setOnComm([this] { onInput(); });
    }
}

// The ticks that fell due, in the order they did, then the notification.
void LinkClock::onInput() {
    const qint64 now = clock_.elapsed();
    if (port_.commEvent() == comEvReceive) lastInputMs_ = now;
    for (;;) {
        Supervision* next = nullptr;
        for (Supervision& s : supervision_)
            if (s.tick->enabled() && s.dueMs <= now && (!next || s.dueMs < next->dueMs)) next = &s;
        if (!next) break;
        tick(*next);
    }
    link_.MSComm1_OnComm();
}

void LinkClock::tick(Supervision& s) {
    const qint64 now = clock_.elapsed();
    // The schedule goes on from the tick that fell due; after a stall of the
    // event loop it goes on from now rather than catch up.
    s.dueMs = std::max(s.dueMs, now - TickTimer::kIntervalMs) + TickTimer::kIntervalMs;
    arm(s, now);  // the handler may stop or restart the timer
    (link_.*s.handler)();
}

// The timer wakes the process for the tick only if no input brings it first.
void LinkClock::arm(Supervision& s, qint64 now) {
    const qint64 wait = s.dueMs - now + (now - lastInputMs_ < kInputGraceMs ? kInputGraceMs : 0);
    s.timer->start(int(std::max<qint64>(wait, 0)));
}

}  // namespace gpslink
