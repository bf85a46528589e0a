#include "instrument/scpigenerator.h"

#include <algorithm>
#include <utility>

namespace instrument {

ScpiGenerator::ScpiGenerator(Settings settings, QObject* parent)
    : LevelSource(parent), settings_(std::move(settings)) {
    clock_.start();
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (!session_) return;
        session_->tick(now());
        drive();
    });
}

ScpiGenerator::~ScpiGenerator() {
    if (mayBeOn_) switchOffNow();
    drop();
}

void ScpiGenerator::open() {
    std::vector<QByteArray> steps = {settings_.dialect->outputOff};
    if (settings_.dialect->takesScenario())
        steps.push_back(settings_.dialect->load(settings_.scenario));
    start(Round::Open, steps, true);
}

void ScpiGenerator::setLevel(double dBm) {
    if (round_ != Round::None) {
        emit fault(QStringLiteral("instrument %1: a level asked for while it is busy")
                       .arg(settings_.address.text()));
        return;
    }
    level_ = dBm;
    mayBeOn_ = true;
    const bool sound = connectionSound();
    if (!sound) outputOn_ = false;  // a new connection: the output as the last one left it
    std::vector<QByteArray> steps = {settings_.dialect->level(dBm)};
    if (!outputOn_) steps.push_back(settings_.dialect->outputOn);
    if (sound)
        queue(Round::Level, steps);
    else
        start(Round::Level, steps, identity_.isEmpty());
}

void ScpiGenerator::switchOff() {
    if (round_ == Round::Off) return;  // under way: it ends in switchedOff()
    const std::vector<QByteArray> steps = {settings_.dialect->outputOff};
    if (round_ == Round::None && connectionSound())
        queue(Round::Off, steps);
    else
        start(Round::Off, steps, false);  // a new connection: the one in use is busy or gone
}

bool ScpiGenerator::connectionSound() const {
    return session_ && !session_->faulted() && socket_ &&
           socket_->state() == QAbstractSocket::ConnectedState;
}

void ScpiGenerator::start(Round round, const std::vector<QByteArray>& steps, bool identify) {
    drop();
    ScpiSession::Settings s;
    s.address = settings_.address.text();
    s.timeoutMs = settings_.timeoutMs;
    s.identity = identity_;
    session_ = std::make_unique<ScpiSession>(s);
    session_->clear(now());
    if (identify) session_->identify(now());
    socket_ = new QTcpSocket(this);
    connect(socket_, &QTcpSocket::connected, this, [this] {
        session_->connected(now());
        drive();
    });
    connect(socket_, &QTcpSocket::readyRead, this, [this] {
        session_->received(socket_->readAll(), now());
        drive();
    });
    connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
        session_->disconnected(now(), socket_->errorString());
        drive();
    });
    session_->connecting(now());
    queue(round, steps);
    socket_->connectToHost(settings_.address.host, settings_.address.port);
}

void ScpiGenerator::queue(Round round, const std::vector<QByteArray>& steps) {
    round_ = round;
    pending_ = int(steps.size());
    for (const QByteArray& step : steps) session_->set(step, now());
    drive();
}

void ScpiGenerator::drive() {
    if (!session_) return;
    const QByteArray out = session_->takeOutput();
    if (!out.isEmpty() && socket_) socket_->write(out);
    for (const ScpiSession::Outcome& o : session_->takeOutcomes()) {
        switch (o.kind) {
            case ScpiSession::Outcome::Identified:
                identity_ = o.text;
                break;
            case ScpiSession::Outcome::Done:
                if (--pending_ == 0) finish(nullptr);
                break;
            case ScpiSession::Outcome::Fault:
                finish(&o);
                return;  // the session is gone or replaced
        }
    }
    if (!session_) return;
    const auto deadline = session_->nextDeadlineMs();
    if (deadline)
        timer_.start(int(std::max<qint64>(0, *deadline - now())));
    else
        timer_.stop();
}

void ScpiGenerator::finish(const ScpiSession::Outcome* failed) {
    const Round round = std::exchange(round_, Round::None);
    if (failed) {
        const QString message = failed->text;
        drop();
        if (round == Round::None && !mayBeOn_) {
            // The connection went while nothing was asked and the output is
            // off (an instrument may close an idle one): the next setting
            // makes a new one.
            session_.reset();
            return;
        }
        const bool first = !std::exchange(reported_, true);
        if (round == Round::Off) {
            outputOn_ = false;
            mayBeOn_ = false;
            reported_ = false;
            if (first) emit fault(message);
            emit switchedOff();
            return;
        }
        if (first) emit fault(message);
        // The output may be on, or the instrument half-way through a
        // setting: off, on a new connection.
        if (round_ == Round::None) switchOff();
        return;
    }
    switch (round) {
        case Round::Open:
            outputOn_ = false;
            emit ready();
            break;
        case Round::Level:
            outputOn_ = true;
            emit levelSet(level_);
            break;
        case Round::Off:
            outputOn_ = false;
            mayBeOn_ = false;
            reported_ = false;
            emit switchedOff();
            break;
        case Round::None:
            break;
    }
}

void ScpiGenerator::drop() {
    timer_.stop();
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        socket_->deleteLater();
    }
    socket_ = nullptr;
}

bool ScpiGenerator::switchOffNow(int timeoutMs) {
    drop();
    round_ = Round::None;
    QElapsedTimer spent;
    spent.start();
    const auto left = [&] { return int(std::max<qint64>(0, timeoutMs - spent.elapsed())); };
    QTcpSocket socket;
    socket.connectToHost(settings_.address.host, settings_.address.port);
    if (!socket.waitForConnected(left())) return false;
    socket.write("*CLS\n" + QByteArray(settings_.dialect->outputOff) + "\n*OPC?\n");
    QByteArray answer;
    while (!answer.contains('\n') && left() > 0 && socket.waitForReadyRead(left()))
        answer += socket.readAll();
    socket.disconnectFromHost();
    const bool confirmed = answer.trimmed() == "1" || answer.trimmed() == "+1";
    if (confirmed) {
        outputOn_ = false;
        mayBeOn_ = false;
    }
    return confirmed;
}

}  // namespace instrument
