// A signal generator on the network, driven over SCPI on the LXI raw socket
// (TCP, port 5025 by default): the session (scpisession.h) on a QTcpSocket,
// its deadlines on one timer, the commands from its dialect's row.
//
// - open(): *CLS, *IDN?, the output off, the dialect's scenario loaded.
// - setLevel(): the level, then the output on when it is not yet; on a new
//   connection when the one in use went away.  A connection lost while
//   nothing is asked and the output is off is no fault.
// - A fault of the instrument's (no connection, no answer, an error in its
//   queue, an answer that makes no sense, the connection lost) is reported
//   by fault() with the instrument's address, its identity and its error;
//   the generator then switches the output off by itself, on a new
//   connection, and ends in switchedOff().
// - switchOff(): on the connection in use when it is idle and sound, else on
//   a new one (once); switchedOff() at the end whatever came of it, after a
//   fault() when the attempt itself failed and nothing was reported before.
// - switchOffNow(): the same, blocking, for a process about to exit.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

#include "instrument/dialects.h"
#include "instrument/scpisession.h"
#include "station/levelsource.h"

namespace instrument {

class ScpiGenerator : public station::LevelSource {
    Q_OBJECT
public:
    struct Settings {
        Address address;
        const Dialect* dialect = nullptr;
        QString scenario;       // loaded at open() by a dialect that takes one
        int timeoutMs = 10000;  // for the connection and each answer
    };

    explicit ScpiGenerator(Settings settings, QObject* parent = nullptr);
    // Switches the output off (switchOffNow()) when it may be on.
    ~ScpiGenerator() override;

    void open() override;
    void setLevel(double dBm) override;
    void switchOff() override;
    QString identity() const override { return identity_; }

    // Blocking and best effort, without the event loop: the output off on a
    // new connection, waiting at most timeoutMs in all.  True when the
    // instrument confirmed it (*OPC? answered).
    bool switchOffNow(int timeoutMs = 2000);

    // The output may be on: a level was asked for since the last switch-off.
    bool outputMayBeOn() const { return mayBeOn_; }

private:
    enum class Round { None, Open, Level, Off };
    // A new connection and session for a round of settings.
    void start(Round round, const std::vector<QByteArray>& settings, bool identify);
    void queue(Round round, const std::vector<QByteArray>& settings);
    void drive();
    void finish(const ScpiSession::Outcome* fault);
    void drop();
    bool connectionSound() const;  // up, and its session without a fault
    qint64 now() const { return clock_.elapsed(); }

    Settings settings_;
    QElapsedTimer clock_;
    QTimer timer_;
    QPointer<QTcpSocket> socket_;
    std::unique_ptr<ScpiSession> session_;
    Round round_ = Round::None;
    int pending_ = 0;   // settings of the round not yet done
    double level_ = 0;  // the level asked for
    bool outputOn_ = false;
    bool mayBeOn_ = false;
    bool reported_ = false;  // a fault reported since the last switch-off
    QString identity_;
};

}  // namespace instrument
