#include "station/linesupervisor.h"

namespace station {

void LineSupervisor::watch(qint64 nowMs) {
    stop();
    watching_ = true;
    silence_ = {nowMs + kTickMs, 0};
}

void LineSupervisor::connected(qint64 nowMs) {
    connected_ = watching_ = true;
    sentenceSinceConnect_ = false;
    noData_ = {nowMs + kTickMs, 0};
    if (!silence_.dueMs) silence_ = {nowMs + kTickMs, 0};
}

void LineSupervisor::stop() {
    watching_ = connected_ = timedGga_ = sentenceSinceConnect_ = awaiting_ = bytesSinceTick_ =
        false;
    rateFromMs_.reset();
    fault_.reset();
    taken_ = false;
    noData_ = silence_ = {};
}

void LineSupervisor::received(qint64 nowMs) {
    tick(nowMs);
    if (!watching_) return;
    anyReceived_ = bytesSinceTick_ = true;
    if (!rateFromMs_) rateFromMs_ = nowMs;
    const qint64 since = nowMs - *rateFromMs_;
    const bool rateProved = settings_.sentencesProveRate && sentenceSinceConnect_;
    if (since >= 4 * kTickMs && since < 7 * kTickMs && !timedGga_ && !rateProved)
        raise(Fault::AnotherRate);
}

void LineSupervisor::tick(qint64 nowMs) {
    while (!fault_) {
        const bool noDataDue = noData_.dueMs && *noData_.dueMs <= nowMs;
        const bool silenceDue = silence_.dueMs && *silence_.dueMs <= nowMs;
        if (!noDataDue && !silenceDue) return;
        // The earlier tick first.
        if (noDataDue && (!silenceDue || *noData_.dueMs <= *silence_.dueMs)) {
            *noData_.dueMs += kTickMs;
            if (!anyReceived_ && ++noData_.count == 3) raise(Fault::NoData);
        } else {
            *silence_.dueMs += kTickMs;
            silenceTick();
        }
    }
}

void LineSupervisor::silenceTick() {
    if (awaiting_) return;  // neither counted nor reset meanwhile
    if (bytesSinceTick_) {
        bytesSinceTick_ = false;
        silence_.count = 0;
        return;
    }
    if (++silence_.count > 5) raise(Fault::Silent);
}

// The moment a fault falls due if nothing more comes, not the next tick: a
// line that talks costs no wake-up, its ticks taken with its input.
std::optional<qint64> LineSupervisor::nextDeadlineMs() const {
    if (fault_) return std::nullopt;
    std::optional<qint64> next;
    if (noData_.dueMs && !anyReceived_) next = *noData_.dueMs + (2 - noData_.count) * kTickMs;
    // The silence's ticks count nothing while the command awaits its answer.
    if (silence_.dueMs && !awaiting_) {
        const qint64 silent =
            *silence_.dueMs + (bytesSinceTick_ ? 6 : 5 - silence_.count) * kTickMs;
        if (!next || silent < *next) next = silent;
    }
    return next;
}

void LineSupervisor::raise(Fault fault) {
    if (!fault_) fault_ = fault;
}

}  // namespace station
