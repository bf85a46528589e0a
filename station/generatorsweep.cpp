#include "station/generatorsweep.h"

#include <numeric>

namespace station {

GeneratorSweep::GeneratorSweep(LevelSource& source, std::vector<double> losses, double levelDbm,
                               QObject* parent)
    : QObject(parent), source_(source), losses_(std::move(losses)), levelDbm_(levelDbm) {
    if (!losses_.empty())
        sweepLoss_ = std::accumulate(losses_.begin(), losses_.end(), 0.0) / losses_.size();
    for (std::size_t i = 0; i < losses_.size(); ++i) ids_.push_back(sweep_.join());
    clock_.start();
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &GeneratorSweep::pump);
    connect(&source_, &LevelSource::ready, this, [this] {
        if (!opened_) source_.setLevel(levelDbm_ + sweepLoss_);
    });
    connect(&source_, &LevelSource::levelSet, this, [this](double dBm) {
        sweep_.levelSet(dBm);
        if (!opened_) {
            opened_ = true;
            emit ready();
        }
        pump();
    });
    // The source's message names the instrument already (levelsource.h).
    connect(&source_, &LevelSource::fault, this, [this](const QString& message) {
        sweep_.fault(message);
        emit faulted(message);
        switchOff();
    });
    connect(&source_, &LevelSource::switchedOff, this, [this] {
        switching_ = false;
        emit off();
    });
}

void GeneratorSweep::open() {
    source_.open();
}

void GeneratorSweep::switchOff() {
    timer_.stop();
    if (switching_) return;
    switching_ = true;
    source_.switchOff();
}

SweepSlot GeneratorSweep::slot(std::size_t index) {
    return {&sweep_, ids_.at(index), losses_.at(index), sweepLoss_};
}

// Sets the level the sweep asks for, and wakes again at its next deadline.
void GeneratorSweep::pump() {
    if (sweep_.faulted() || switching_) return;
    const qint64 now = clock_.elapsed();
    if (const auto level = sweep_.take(now)) return source_.setLevel(*level);
    if (const auto due = sweep_.nextDeadlineMs())
        timer_.start(int(std::max<qint64>(*due - now, 0)));
    else
        timer_.start(100);  // the slots ask from their own ticks: look again soon
}

}  // namespace station
