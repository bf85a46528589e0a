#include "sim/generatorpoll.h"

#include <QUrl>

namespace gpssim {

namespace {

// The LXI raw SCPI socket's port.
constexpr quint16 kScpiPort = 5025;
constexpr int kPollMs = 1000;

}  // namespace

bool parseGeneratorUrl(const QString& url, QString& host, quint16& port) {
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() || u.scheme() != QLatin1String("tcp") || u.host().isEmpty() ||
        !u.path().isEmpty() || u.hasQuery() || !u.userInfo().isEmpty())
        return false;
    const int p = u.port(kScpiPort);
    if (p < 1 || p > 65535) return false;
    host = u.host();
    port = quint16(p);
    return true;
}

GeneratorPoll::GeneratorPoll(QString host, quint16 port, QObject* parent)
    : QObject(parent), host_(std::move(host)), port_(port) {
    timer_.setInterval(kPollMs);
    connect(&timer_, &QTimer::timeout, this, &GeneratorPoll::poll);
    connect(&socket_, &QTcpSocket::connected, this, &GeneratorPoll::poll);
    connect(&socket_, &QTcpSocket::readyRead, this, &GeneratorPoll::readAnswers);
    connect(&socket_, &QTcpSocket::disconnected, this, &GeneratorPoll::lost);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &GeneratorPoll::lost);
}

GeneratorPoll::~GeneratorPoll() {
    socket_.disconnect(this);
}

void GeneratorPoll::start() {
    timer_.start();
    poll();
}

void GeneratorPoll::poll() {
    if (socket_.state() == QAbstractSocket::UnconnectedState) {
        socket_.connectToHost(host_, port_);
        return;
    }
    // One pair at a time: an instrument busy with the station's settings may
    // answer late, and a pair asked over an unanswered one would pair each
    // level with the wrong question from then on.
    if (socket_.state() != QAbstractSocket::ConnectedState || awaited_ > 0) return;
    awaited_ = 2;
    socket_.write("OUTP?\nSOUR:POW?\n");
}

void GeneratorPoll::readAnswers() {
    input_ += socket_.readAll();
    for (qsizetype end; (end = input_.indexOf('\n')) >= 0;) {
        const QByteArray answer = input_.left(end).trimmed().toUpper();
        input_.remove(0, end + 1);
        if (awaited_ == 0) continue;  // nothing asked
        --awaited_;
        if (!on_) {
            on_ = answer == "1" || answer == "ON";
            continue;
        }
        bool ok = false;
        const double dBm = answer.toDouble(&ok);
        emit level(*on_ && ok ? std::optional<double>(dBm) : std::nullopt);
        on_.reset();
    }
}

void GeneratorPoll::lost() {
    input_.clear();
    on_.reset();
    awaited_ = 0;
    if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
    emit level(std::nullopt);
}

}  // namespace gpssim
