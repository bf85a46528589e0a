#include "station/inputpacer.h"

#include <QCoreApplication>
#include <algorithm>

namespace station {

namespace {

// "$GPGGA": a dollar, the talker, the sentence's type.
constexpr std::size_t kAddress = 6;

// Whether a line that starts so can still turn out a GGA sentence.
bool mayBeGga(std::string_view head) {
    if (head.empty() || head[0] != '$') return false;
    for (std::size_t i = 3; i < std::min(head.size(), kAddress); ++i)
        if (head[i] != "GGA"[i - 3]) return false;
    return true;
}

}  // namespace

bool ReadPacing::holdAfter(std::string_view read) {
    if (read.empty()) return false;
    const std::size_t end = read.rfind('\n');
    if (end != std::string_view::npos) {
        head_.clear();
        read.remove_prefix(end + 1);
        if (read.empty()) return false;  // the read ended on a line end
    }
    if (head_.size() < kAddress) head_.append(read.substr(0, kAddress - head_.size()));
    return !mayBeGga(head_);
}

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
