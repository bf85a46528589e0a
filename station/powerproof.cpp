#include "station/powerproof.h"

#include "station/restartsign.h"

namespace station {

namespace {

QString seconds(qint64 ms) {
    return QString::number(double(ms) / 1000.0, 'f', 2);
}

}  // namespace

void PowerProof::switchedOff(qint64 nowMs) {
    state_ = State::Off;
    offAtMs_ = nowMs;
    note_.clear();
}

void PowerProof::switchingOn(qint64 nowMs) {
    if (state_ != State::Off) return;
    state_ = State::Waiting;
    onAtMs_ = nowMs;
}

void PowerProof::received(qint64 nowMs) {
    if (state_ != State::Off || nowMs - offAtMs_ <= kInFlightMs) return;
    fail(QStringLiteral("the unit kept talking with its supply off: bytes %1 s after \"off\"")
             .arg(seconds(nowMs - offAtMs_)));
}

void PowerProof::sentence(std::string_view body) {
    if (state_ != State::Waiting) return;
    // No command went out: only a start-up message of its own counts.
    if (restartSign(family_, body, {}) == RestartSign::StartedUp) state_ = State::Proven;
}

void PowerProof::gga(const Gga& gga, qint64 nowMs) {
    if (state_ != State::Waiting) return;
    if (gga.quality == 0) {
        state_ = State::Proven;
        return;
    }
    fail(QStringLiteral("the unit did not start over after \"on\": its first GGA, %1 s after, "
                        "had a fix")
             .arg(seconds(nowMs - onAtMs_)));
}

void PowerProof::fail(QString note) {
    state_ = State::Failed;
    note_ = std::move(note);
}

}  // namespace station
