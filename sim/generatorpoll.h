// The level of a signal generator, asked over SCPI, for a simulated receiver
// whose antenna port it feeds (ReceiverModel::setRfLevel).
//
// The generator is reached as an LXI instrument's raw SCPI socket (TCP, port
// 5025 unless given).  Once a second, and at once on connecting, it is asked
//   OUTP?       the output's state, "1" or "0" (also "ON" or "OFF")
//   SOUR:POW?   the level in dBm, e.g. "-1.300000E+02"
// (SCPI 1999, Volume 2: Command Reference, OUTPut[:STATe] and
// SOURce:POWer[:LEVel][:IMMediate][:AMPLitude]; each query's answer is one
// line).  An output off, a connection lost or not made: no signal at all,
// and it is tried again a second later.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <optional>

namespace gpssim {

class GeneratorPoll : public QObject {
    Q_OBJECT
public:
    GeneratorPoll(QString host, quint16 port, QObject* parent = nullptr);
    // The socket goes after the members lost() clears and says it
    // disconnected as it goes: it is no longer heard then.
    ~GeneratorPoll() override;
    void start();

signals:
    // The level at the generator's output; empty: no signal.
    void level(std::optional<double> dBm);

private:
    void poll();
    void readAnswers();
    void lost();

    QString host_;
    quint16 port_;
    QTcpSocket socket_;
    QTimer timer_;
    QByteArray input_;
    std::optional<bool> on_;  // the first answer of the pair, awaiting the second
    int awaited_ = 0;         // answers of the last pair asked not yet read
};

// "tcp://HOST[:PORT]" into its parts; false for anything else.
bool parseGeneratorUrl(const QString& url, QString& host, quint16& port);

}  // namespace gpssim
