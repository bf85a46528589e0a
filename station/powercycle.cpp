#include "station/powercycle.h"

#include <QtMath>

namespace station {

QString PowerCycle::command() const {
    switch (step_) {
        case Step::SwitchingOff:
            return QStringLiteral("off");
        case Step::SwitchingOn:
            return QStringLiteral("on");
        case Step::Off:
        case Step::On:
        case Step::Failed:
            return {};
    }
    return {};
}

void PowerCycle::commandEnded(const QString& failure, qint64 nowMs) {
    if (step_ != Step::SwitchingOff && step_ != Step::SwitchingOn) return;
    if (!failure.isEmpty()) {
        problem_ = QStringLiteral("the power command (%1) %2").arg(command(), failure);
        step_ = Step::Failed;
        return;
    }
    if (step_ == Step::SwitchingOn) {
        step_ = Step::On;
        return;
    }
    step_ = Step::Off;
    offAtMs_ = nowMs;
}

void PowerCycle::tick(qint64 nowMs) {
    if (step_ == Step::Off && nowMs >= *nextDeadlineMs()) step_ = Step::SwitchingOn;
}

std::optional<qint64> PowerCycle::nextDeadlineMs() const {
    if (step_ != Step::Off) return std::nullopt;
    return offAtMs_ + qRound(offTimeS_ * 1000);
}

QString PowerCycle::note() const {
    switch (step_) {
        case Step::SwitchingOff:
            return QStringLiteral("switching the slot's power off");
        case Step::Off:
            return QStringLiteral("the slot's power is off for %1 s").arg(offTimeS_);
        case Step::SwitchingOn:
            return QStringLiteral("switching the slot's power on");
        case Step::On:
        case Step::Failed:
            return {};
    }
    return {};
}

}  // namespace station
