#include "station/inputpacer.h"

#include <QCoreApplication>
#include <algorithm>

namespace station {

InputPacer& InputPacer::shared() {
    static QPointer<InputPacer> pacer;
    if (!pacer) pacer = new InputPacer(QCoreApplication::instance());
    return *pacer;
}

InputPacer::InputPacer(QObject* parent) : QObject(parent) {
    release_.setSingleShot(true);
    release_.setInterval(kHoldMs);
    connect(&release_, &QTimer::timeout, this, &InputPacer::release);
}

void InputPacer::hold(gpslink::QtSerialPort& port) {
    if (std::find(held_.begin(), held_.end(), &port) != held_.end()) return;
    port.setInputHeld(true);
    held_.emplace_back(&port);
    if (!release_.isActive()) release_.start();
}

void InputPacer::release() {
    std::vector<QPointer<gpslink::QtSerialPort>> held;
    held.swap(held_);
    for (const auto& port : held)
        if (port) port->setInputHeld(false);
}

}  // namespace station
