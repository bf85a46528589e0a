// The one signal generator of a station and the sweep its slots share
// (sensitivity.h), on Qt's event loop: the sweep says which level to set,
// the generator (a LevelSource) sets it, and the sweep hears back.
//
// - open() opens the instrument and sets the first level (the plan's, at
//   the slots' mean path loss) for the fix and signal tests; ready() follows.
// - An instrument fault ends the sweep for every slot (their tests end as
//   the station's fault) and switches the output off.
// - switchOff() at the end, on a fault and on an interruption; off() follows
//   once the instrument has answered (or could not be reached).
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

#include "station/levelsource.h"
#include "station/sensitivity.h"

namespace station {

class GeneratorSweep : public QObject {
    Q_OBJECT
public:
    // source outlives this; losses: each slot's path loss in dB, in order.
    GeneratorSweep(LevelSource& source, std::vector<double> losses, double levelDbm,
                   QObject* parent = nullptr);

    void open();
    void switchOff();
    // The slot's place in the sweep, for its sequencer.
    SweepSlot slot(std::size_t index);
    QString identity() const { return source_.identity(); }
    const LevelSweep& sweep() const { return sweep_; }
    double sweepLossDb() const { return sweepLoss_; }

signals:
    void ready();
    void faulted(const QString& message);
    void off();

private:
    void pump();

    LevelSource& source_;
    LevelSweep sweep_{{}};
    std::vector<int> ids_;
    std::vector<double> losses_;
    double sweepLoss_ = 0;
    double levelDbm_;
    bool opened_ = false;
    bool switching_ = false;
    QElapsedTimer clock_;
    QTimer timer_;
};

}  // namespace station
