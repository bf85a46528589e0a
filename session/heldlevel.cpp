#include "session/heldlevel.h"

#include <QTimer>

#include "session/session.h"

namespace session {

HeldLevel::HeldLevel(Session& session, std::vector<station::UnitConfig> units,
                     std::unique_ptr<station::LevelSource> source, QObject* parent)
    : QObject(parent), session_(session), slots_(std::move(units)), source_(std::move(source)) {}

HeldLevel::~HeldLevel() {
    delete sweep_;  // before the source it listens to
}

void HeldLevel::start(int index, station::UnitRun* run) {
    if (!fault_.isEmpty()) return run->instrumentFault(fault_);
    if (ended_) return run->interrupt();
    if (ready_) return startUnder(index, run);
    waiting_.append({index, run});
    if (reading_ || sweep_) return;
    reading_ = true;
    session_.pathLosses(slots_, [self = QPointer<HeldLevel>(this)](
                                    const std::vector<double>& losses, const QString& error) {
        if (!self) return;
        self->reading_ = false;
        if (!error.isEmpty()) {
            const Waiting waiting = std::exchange(self->waiting_, {});
            for (const auto& [index, run] : waiting)
                if (run) run->interrupt();
            emit self->unreadable(error);
            return;
        }
        self->open(losses);
    });
}

void HeldLevel::open(const std::vector<double>& losses) {
    if (ended_) return;
    const double level = slots_.front().levelDbm;
    sweep_ = new station::GeneratorSweep(*source_, losses, level, this);
    connect(sweep_, &station::GeneratorSweep::ready, this, [this] {
        ready_ = true;
        const Waiting waiting = std::exchange(waiting_, {});
        for (const auto& [index, run] : waiting)
            if (run && !run->done()) startUnder(index, run);
    });
    connect(sweep_, &station::GeneratorSweep::faulted, this, [this](const QString& message) {
        fault_ = message;
        ready_ = false;
        const Waiting waiting = std::exchange(waiting_, {});
        for (const auto& [index, run] : waiting)
            if (run && !run->done()) run->instrumentFault(message);
        for (const QPointer<station::UnitRun>& run : std::exchange(started_, {}))
            if (run && !run->done()) run->instrumentFault(message);
        emit faulted(message);
    });
    connect(sweep_, &station::GeneratorSweep::off, this, [this] {
        on_ = switching_ = false;
        emit off();
    });
    on_ = true;
    sweep_->open();
}

void HeldLevel::startUnder(int index, station::UnitRun* run) {
    run->setSweep(sweep_->slot(std::size_t(index)), sweep_->identity());
    started_.removeAll(nullptr);
    started_.append(run);
    run->start();
}

void HeldLevel::switchOff() {
    ended_ = true;
    ready_ = false;
    const Waiting waiting = std::exchange(waiting_, {});
    for (const auto& [index, run] : waiting)
        if (run) run->interrupt();
    if (switching_) return;  // off() follows
    switching_ = true;
    if (sweep_ && on_) return sweep_->switchOff();
    QTimer::singleShot(0, this, [this] {
        switching_ = false;
        emit off();
    });
}

}  // namespace session
