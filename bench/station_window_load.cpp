// The station window under load: N slotCount, each on a pseudo-terminal fed by
// bench/ptyfeed at a saturated line rate, every slot running, the window
// drawn (offscreen unless QT_QPA_PLATFORM says otherwise).  Measures the
// process's CPU (user + system, drawing included) and how often each tile's
// texts change.
//
//   station_window_load [--slots=32] [--seconds=30] [--rate=11520]
//
// 11,520 characters a second is a 115,200-baud line with no pause.  The runs
// are given limits long enough that none ends during the measurement.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "stationwin/slottile.h"
#include "stationwin/stationwindow.h"

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int intArg(const QStringList& args, const QString& name, int fallback) {
    for (const QString& a : args)
        if (a.startsWith(name + '=')) return a.mid(name.size() + 1).toInt();
    return fallback;
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int slotCount = intArg(args, "--slots", 32);
    const int seconds = intArg(args, "--seconds", 30);
    const int rate = intArg(args, "--rate", 11520);
    constexpr int kWarmUpMs = 3000;

    std::vector<std::unique_ptr<QProcess>> feeds;
    QStringList ports;
    for (int i = 0; i < slotCount; ++i) {
        auto feed = std::make_unique<QProcess>();
        feed->start(QStringLiteral(PTYFEED),
                    {QStringLiteral("--seconds=%1").arg(seconds + kWarmUpMs / 1000 + 10),
                     QStringLiteral("--rate=%1").arg(rate)});
        if (!feed->waitForReadyRead(5000)) {
            std::fprintf(stderr, "ptyfeed %d did not start\n", i);
            return 1;
        }
        const QString line = QString::fromLatin1(feed->readLine()).trimmed();
        ports << line.section(' ', 1);
        feeds.push_back(std::move(feed));
    }

    std::vector<station::UnitConfig> units;
    for (const QString& port : ports) {
        station::UnitConfig unit;
        unit.port = unit.device = port;
        unit.baud = 115200;
        unit.station = QStringLiteral("bench");
        unit.confirmTimeoutS = 3600;
        unit.fixTimeoutS = 86400;
        units.push_back(unit);
    }
    stationwin::StationWindow window(units, nullptr);
    window.resize(1280, 960);
    window.show();
    for (int i = 0; i < slotCount; ++i) window.tile(i)->setSerial(QStringLiteral("LOAD%1").arg(i));
    window.startAll();

    runFor(kWarmUpMs);
    std::vector<qint64> before;
    for (int i = 0; i < slotCount; ++i) before.push_back(window.tile(i)->textUpdates());
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runFor(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double elapsed = double(wall.elapsed()) / 1000.0;

    double maxRate = 0, sum = 0;
    int running = 0;
    for (int i = 0; i < slotCount; ++i) {
        const double r = double(window.tile(i)->textUpdates() - before[std::size_t(i)]) / elapsed;
        maxRate = std::max(maxRate, r);
        sum += r;
        running += window.run(i) && !window.run(i)->done();
    }
    std::printf(
        "%d slots at %d characters/s each, %.1f s measured (%s): CPU %.1f %% of one core; "
        "tile text changes per second: mean %.2f, max %.2f; %d of %d slots still running\n",
        slotCount, rate, elapsed, qPrintable(QGuiApplication::platformName()),
        100.0 * cpu / elapsed, sum / slotCount, maxRate, running, slotCount);
    window.stopAll();
    runFor(500);
    for (auto& feed : feeds) {
        feed->terminate();
        feed->waitForFinished(3000);
    }
    return 0;
}
