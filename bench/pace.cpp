// A unit's test against its receiver's own time to first fix: four simulated
// receivers (gps-receiver-sim's model on pseudo-terminals), each TTFF in turn
// (as the station measures it, from the command out to the fix in), under
// each rule for the start command, receivers that answer their family's
// identity queries and receivers that answer none, fresh (powered up as the
// station starts) and warm (talking for --warm-s seconds before it starts),
// the results stored in SQLite.  For each unit: the seconds from the
// station's start to its verdict (its JSON line on standard output), the
// TTFF it measured, and what the station spent beyond that TTFF.
//
//   pace [--rounds N] [--ttffs 5,27] [--rules ready,time] [--slots 4]
//        [--identity answered,none] [--units fresh,warm] [--warm-s 3]
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

// Waits on the event loop, without blocking the receivers' timers.
void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One run of the station over `ports` receivers with this TTFF, answering
// who they are or not, powered up warmMs before the station starts.
std::vector<Unit> run(int ports, int ttffS, const QString& rule, bool answers, int warmMs) {
    std::vector<std::unique_ptr<gpssim::SimDriver>> receivers;
    QStringList arguments = {"--json", "--quiet", "--send-after", rule, "--fix-timeout", "120"};
    for (int i = 0; i < ports; ++i) {
        // The simulator's defaults (the time known 12 s after power-up, a
        // second's silence after the command) but for the fix: it takes the
        // command at its next epoch, is silent a second and restarts, and has
        // its fix --ttff seconds after that, so the station measures 2 s more.
        gpssim::ReceiverConfig config;
        config.timeToFirstFixSeconds = ttffS - 2;
        config.answersIdentity = answers;
        auto receiver = std::make_unique<gpssim::SimDriver>(config, gpssim::DriverOptions{});
        QString error;
        if (!receiver->start(&error)) {
            std::fprintf(stderr, "pace: simulated receiver: %s\n", qPrintable(error));
            std::exit(1);
        }
        arguments << receiver->devicePath() + "=SN" + QString::number(i + 1);
        receivers.push_back(std::move(receiver));
    }
    if (warmMs > 0) wait(warmMs);
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

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int rounds = 1, ports = 4, warmS = 3;
    std::vector<int> ttffs = {5, 27};
    QStringList rules = {"time", "ready"};
    QStringList identities = {"answered", "none"}, kinds = {"fresh", "warm"};
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
        else if (args[i] == "--identity")
            identities = args[i + 1].split(',');
        else if (args[i] == "--units")
            kinds = args[i + 1].split(',');
        else if (args[i] == "--warm-s")
            warmS = args[i + 1].toInt();
        else {
            std::fprintf(stderr,
                         "usage: pace [--rounds N] [--ttffs 5,27] [--rules time,ready] [--slots 4] "
                         "[--identity answered,none] [--units fresh,warm] [--warm-s 3]\n");
            return 2;
        }
    }
    std::printf("%-6s %-9s %-6s %5s %6s %7s %8s %9s %12s %10s %9s\n", "rule", "identity", "units",
                "ttff", "units", "passed", "TTFF", "verdict", "over median", "over mean",
                "over max");
    for (const QString& rule : rules) {
        for (const QString& identity : identities) {
            for (const QString& kind : kinds) {
                for (int ttff : ttffs) {
                    std::vector<Unit> all;
                    for (int r = 0; r < rounds; ++r) {
                        const auto units = run(ports, ttff, rule, identity == "answered",
                                               kind == "warm" ? warmS * 1000 : 0);
                        all.insert(all.end(), units.begin(), units.end());
                    }
                    int passed = 0;
                    double ttffSum = 0, verdictSum = 0, overSum = 0, overMax = 0;
                    std::vector<double> over;
                    for (const Unit& u : all) {
                        passed += u.pass;
                        ttffSum += u.ttffS;
                        verdictSum += u.verdictS;
                        overSum += u.verdictS - u.ttffS;
                        overMax = std::max(overMax, u.verdictS - u.ttffS);
                        over.push_back(u.verdictS - u.ttffS);
                    }
                    const double n = std::max<double>(1, double(all.size()));
                    std::printf(
                        "%-6s %-9s %-6s %4ds %6zu %7d %7.2fs %8.2fs %11.2fs %9.2fs %8.2fs\n",
                        qPrintable(rule), qPrintable(identity), qPrintable(kind), ttff, all.size(),
                        passed, ttffSum / n, verdictSum / n, median(over), overSum / n, overMax);
                    std::fflush(stdout);
                }
            }
        }
    }
    return 0;
}
