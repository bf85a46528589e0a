// A unit's test against its receiver's own time to first fix: four simulated
// receivers (gps-receiver-sim's model on pseudo-terminals, powered up as the
// station starts), each TTFF in turn (as the station measures it, from the
// command out to the fix in), under each rule for the start command, the
// results stored in SQLite.  For each unit: the seconds from the
// station's start to its verdict (its JSON line on standard output), the
// TTFF it measured, and what the station spent beyond that TTFF.
//
//   pace [--rounds N] [--ttffs 5,27] [--rules ready,time] [--slots 4]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "sim/simdriver.h"

namespace {

struct Unit {
    double verdictS = 0;  // from the station's start
    double ttffS = 0;
    bool pass = false;
};

// One run of the station over `ports` fresh receivers with this TTFF.
std::vector<Unit> run(int ports, int ttffS, const QString& rule) {
    std::vector<std::unique_ptr<gpssim::SimDriver>> receivers;
    QStringList arguments = {"--json", "--quiet", "--send-after", rule, "--fix-timeout", "120"};
    for (int i = 0; i < ports; ++i) {
        // The simulator's defaults (the time known 12 s after power-up, a
        // second's silence after the command) but for the fix: it takes the
        // command at its next epoch, is silent a second and restarts, and has
        // its fix --ttff seconds after that, so the station measures 2 s more.
        gpssim::ReceiverConfig config;
        config.timeToFirstFixSeconds = ttffS - 2;
        auto receiver = std::make_unique<gpssim::SimDriver>(config, gpssim::DriverOptions{});
        QString error;
        if (!receiver->start(&error)) {
            std::fprintf(stderr, "pace: simulated receiver: %s\n", qPrintable(error));
            std::exit(1);
        }
        arguments << receiver->devicePath() + "=SN" + QString::number(i + 1);
        receivers.push_back(std::move(receiver));
    }
    QTemporaryDir data;
    QProcess station;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", data.path());  // results.sqlite in there
    station.setProcessEnvironment(environment);
    std::vector<Unit> units;
    QElapsedTimer clock;
    QObject::connect(&station, &QProcess::readyReadStandardOutput, [&] {
        const double at = double(clock.nsecsElapsed()) / 1e9;
        while (station.canReadLine()) {
            const QJsonObject r = QJsonDocument::fromJson(station.readLine()).object();
            if (!r.contains(QLatin1String("ttff_s"))) continue;  // a summary
            units.push_back({at, r.value("ttff_s").toDouble(-1),
                             r.value("result").toString() == QLatin1String("pass")});
        }
    });
    QEventLoop loop;
    QObject::connect(&station, &QProcess::finished, &loop, &QEventLoop::quit);
    clock.start();
    station.start(QStringLiteral(COLDSTART_CLI), arguments);
    loop.exec();
    return units;
}

std::vector<int> numbers(const QString& text) {
    std::vector<int> out;
    for (const QString& part : text.split(',')) out.push_back(part.toInt());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int rounds = 1, ports = 4;
    std::vector<int> ttffs = {5, 27};
    QStringList rules = {"time", "ready"};
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--rounds")
            rounds = args[i + 1].toInt();
        else if (args[i] == "--slots")
            ports = args[i + 1].toInt();
        else if (args[i] == "--ttffs")
            ttffs = numbers(args[i + 1]);
        else if (args[i] == "--rules")
            rules = args[i + 1].split(',');
        else {
            std::fprintf(
                stderr,
                "usage: pace [--rounds N] [--ttffs 5,27] [--rules time,ready] [--slots 4]\n");
            return 2;
        }
    }
    std::printf("%-6s %6s %6s %10s %8s %10s %10s %10s\n", "rule", "ttff", "units", "passed", "TTFF",
                "verdict", "over mean", "over max");
    for (const QString& rule : rules) {
        for (int ttff : ttffs) {
            std::vector<Unit> all;
            for (int r = 0; r < rounds; ++r) {
                const auto units = run(ports, ttff, rule);
                all.insert(all.end(), units.begin(), units.end());
            }
            int passed = 0;
            double ttffSum = 0, verdictSum = 0, overSum = 0, overMax = 0;
            for (const Unit& u : all) {
                passed += u.pass;
                ttffSum += u.ttffS;
                verdictSum += u.verdictS;
                overSum += u.verdictS - u.ttffS;
                overMax = std::max(overMax, u.verdictS - u.ttffS);
            }
            const double n = std::max<double>(1, double(all.size()));
            std::printf("%-6s %5ds %6zu %10d %7.2fs %9.2fs %9.2fs %9.2fs\n", qPrintable(rule), ttff,
                        all.size(), passed, ttffSum / n, verdictSum / n, overSum / n, overMax);
            std::fflush(stdout);
        }
    }
    return 0;
}
