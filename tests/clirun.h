// Runs of gps-coldstart-cli against simulated receivers that run in the
// test's own process, each on a real pseudo-terminal: the moments a receiver
// took its command and sent its fix are known on this side of the line too.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <map>
#include <memory>

#include "sim/simdriver.h"

// Test messages show texts as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace clirun {

using gpssim::Behaviour;
using gpssim::ReceiverConfig;

inline ReceiverConfig receiver(Behaviour behaviour, int ttffS = 2) {
    ReceiverConfig config;
    config.behaviour = behaviour;
    config.timeKnownAfterSeconds = 1;
    config.timeToFirstFixSeconds = ttffS;
    // Commanded at its first GGA, whose clock still counts from 00:00:00,
    // its restart shows only by a silence long enough to prove it.
    config.resetSilenceSeconds = 3;
    return config;
}

// Simulated receivers, each on its own pseudo-terminal, with the times of
// their start commands and of their first fixes after them.
class Bench {
public:
    Bench() { clock_.start(); }

    QString add(const QString& name, const ReceiverConfig& config,
                const gpssim::DriverOptions& line = {}) {
        auto driver = std::make_unique<gpssim::SimDriver>(config, line);
        QString error;
        EXPECT_TRUE(driver->start(&error))
            << "simulated receiver " << name.toStdString() << ": " << error.toStdString();
        QObject::connect(
            driver.get(), &gpssim::SimDriver::event, [this, name](const gpssim::Event& e) {
                events_[name].push_back(e);
                // A power-up starts the receiver as a command does.
                if (e.kind == gpssim::Event::ColdStart || e.kind == gpssim::Event::WarmStart ||
                    e.kind == gpssim::Event::HotStart || e.kind == gpssim::Event::PoweredOn) {
                    commandAt_[name] = clock_.elapsed();
                    ttff_.erase(name);
                    ++(e.kind == gpssim::Event::PoweredOn ? powerUps_ : starts_)[name];
                }
                if (e.kind == gpssim::Event::Fix && commandAt_.count(name) && !ttff_.count(name))
                    ttff_[name] = double(clock_.elapsed() - commandAt_[name]) / 1000.0;
            });
        const QString path = driver->devicePath();
        drivers_[name] = std::move(driver);
        return path;
    }
    // Start commands the receiver recognised as its own and valid.
    int starts(const QString& name) const { return starts_.count(name) ? starts_.at(name) : 0; }
    // Times its supply was switched on.
    int powerUps(const QString& name) const {
        return powerUps_.count(name) ? powerUps_.at(name) : 0;
    }
    // Seconds from the latest command's arrival (or power-up) to the fix
    // after it, as the receiver saw them.
    double ttff(const QString& name) const { return ttff_.count(name) ? ttff_.at(name) : -1; }
    void unplug(const QString& name) { drivers_.at(name)->stop(); }
    // Switches the receiver off and on, as its fixture would.
    void powerCycle(const QString& name) { drivers_.at(name)->powerCycle(); }
    // Bytes the receiver handed to its line so far.
    qint64 bytesWritten(const QString& name) const { return drivers_.at(name)->bytesWritten(); }
    // Milliseconds from the bench's start to the latest command's arrival; -1: none came.
    qint64 commandAtMs(const QString& name) const {
        return commandAt_.count(name) ? commandAt_.at(name) : -1;
    }
    // What the receiver noted, in its words, each kind by its letter: "C"
    // a cold start, "?" an identity query left unanswered; others left out.
    std::string told(const QString& name) const {
        std::string out;
        if (!events_.count(name)) return out;
        for (const gpssim::Event& e : events_.at(name)) {
            if (e.kind == gpssim::Event::ColdStart) out += 'C';
            if (e.kind == gpssim::Event::Rejected &&
                e.text.rfind("identity query left unanswered", 0) == 0)
                out += '?';
        }
        return out;
    }

private:
    QElapsedTimer clock_;
    std::map<QString, std::unique_ptr<gpssim::SimDriver>> drivers_;
    std::map<QString, qint64> commandAt_;
    std::map<QString, double> ttff_;
    std::map<QString, int> starts_;
    std::map<QString, int> powerUps_;
    std::map<QString, std::vector<gpssim::Event>> events_;
};

struct Cli {
    QTemporaryDir dataHome;
    QProcess process;

    // Each run keeps its results in a data folder of its own.
    void start(const QStringList& arguments) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", dataHome.path());
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(COLDSTART_CLI), arguments);
        ASSERT_TRUE(process.waitForStarted()) << process.errorString().toStdString();
    }
    int finish(int limitMs = 180000) {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, limitMs))
            << "gps-coldstart-cli still running; progress so far:\n"
            << progressText();
        return process.exitCode();
    }
    bool shows(const std::string& text) {
        return QTest::qWaitFor([&] { return progressText().find(text) != std::string::npos; },
                               60000);
    }
    std::string progressText() {
        err += process.readAllStandardError();
        return err.toStdString();
    }
    // The JSON objects printed so far, by "port" (a summary also has "cycles").
    std::vector<QJsonObject> objects() {
        out += process.readAllStandardOutput();
        std::vector<QJsonObject> list;
        for (const QByteArray& line : out.split('\n')) {
            if (line.isEmpty()) continue;
            const QJsonDocument document = QJsonDocument::fromJson(line);
            EXPECT_TRUE(document.isObject()) << "not a JSON object: " << line.toStdString();
            list.push_back(document.object());
        }
        return list;
    }
    QByteArray out, err;
};

// What is wrong with a --help text on an 80-column terminal: a usage line
// that does not begin with the program as typed, a line that is wider, and
// an exit status's words broken where the next one still fitted.
inline QStringList helpProblems(const QString& text, const QString& program) {
    QStringList problems;
    const QStringList lines = text.split('\n');
    if (!text.startsWith("Usage: " + program + " [options]"))
        problems << "usage: " + lines.value(0);
    for (const QString& line : lines)
        if (line.size() > 80)
            problems << QStringLiteral("%1 columns: %2").arg(line.size()).arg(line);
    const qsizetype exit = lines.indexOf("Exit status:");
    for (qsizetype i = exit + 1; exit >= 0 && i + 1 < lines.size() && !lines[i + 1].isEmpty();
         ++i) {
        const QString next = lines[i + 1];
        const bool continued =
            next.startsWith("  ") && !next.at(next.indexOf(QRegularExpression("\\S"))).isDigit();
        if (continued && lines[i].size() + 1 + next.trimmed().section(' ', 0, 0).size() <= 80)
            problems << "broken early: " + lines[i];
    }
    return problems;
}

inline QJsonObject resultFor(const std::vector<QJsonObject>& objects, const QString& port,
                             int cycle = 1) {
    for (const QJsonObject& o : objects)
        if (o.value("port").toString() == port && o.value("cycle").toInt() == cycle) return o;
    return {};
}

#ifdef COLDSTART_GENERATOR_SIM
// gps-generator-sim on a free loopback port, for one test.
class GeneratorSim {
public:
    explicit GeneratorSim(QStringList arguments) {
        process_.start(QStringLiteral(COLDSTART_GENERATOR_SIM), arguments << "--port"
                                                                          << "0");
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return process_.canReadLine() || !process_.isOpen(); }, 30000));
        url_ = QString::fromLatin1(process_.readLine().trimmed());
        EXPECT_TRUE(url_.startsWith("tcp://127.0.0.1:")) << url_.toStdString();
    }
    ~GeneratorSim() {
        process_.kill();
        process_.waitForFinished();
    }
    const QString& url() const { return url_; }
    // Asked on a connection of its own, as a receiver simulator asks.
    QByteArray ask(const QByteArray& query) const {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(url_.section(':', -1).toUInt()));
        socket.write(query + '\n');
        EXPECT_TRUE(QTest::qWaitFor([&] { return socket.canReadLine(); }, 30000))
            << query.constData();
        return socket.readLine().trimmed();
    }

private:
    QProcess process_;
    QString url_;
};
#endif

}  // namespace clirun
