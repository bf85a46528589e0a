// gps-receiver-sim: a SiRF GPS receiver on a pseudo-terminal (or a serial
// device), for trying the cold-start tool without a receiver on the bench.
//
// Prints the device the tool should open on standard output, then runs until
// it is stopped (SIGINT, SIGTERM or SIGHUP); SIGUSR1 switches the receiver off
// and on.  Notable events go to standard error, one line each.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "gpslink/resetcommand.h"
#include "sim/options.h"
#include "sim/simdriver.h"

int main(int argc, char** argv) {
    // SIGINT, SIGTERM and SIGHUP end the event loop instead of the process,
    // so that the driver closes its line and removes its link; SIGUSR1 is a
    // power cycle of the receiver.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&stopping, s);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    const int stopFd = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) pthread_sigmask(SIG_UNBLOCK, &stopping, nullptr);

    QCoreApplication app(argc, argv);
    QSocketNotifier stopNotifier(std::max(stopFd, 0), QSocketNotifier::Read);
    stopNotifier.setEnabled(stopFd >= 0);
    gpssim::SimDriver* running = nullptr;
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        while (::read(stopFd, &info, sizeof info) == ssize_t(sizeof info)) {
            if (info.ssi_signo != SIGUSR1)
                app.quit();
            else if (running)
                running->powerCycle();
        }
    });
    QCoreApplication::setApplicationName(QStringLiteral("gps-receiver-sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Plays a GPS receiver (a SiRF chipset, or another --family) on a pseudo-\n"
        "terminal, for trying the cold-start tool without a receiver. Prints the device\n"
        "to open (e.g. /dev/pts/7, or the --link path) on standard output and runs\n"
        "until stopped (SIGINT, SIGTERM, SIGHUP); events go to standard error. SIGUSR1\n"
        "switches the receiver off and on: it keeps only its saved configuration.\n"
        "Exit status 2 for a mistake on the command line, 1 when the line or the link\n"
        "cannot be made.\n"
        "\n"
        "Each second the receiver sends GGA, GSA, three GSV and RMC. From power-up its\n"
        "clock counts from 00:00:00 with no fix; after --time-known-after seconds its\n"
        "time is UTC (--start-utc), after --ttff seconds it has a fix. On $PSRF101 with\n"
        "reset configuration 4 and a valid checksum (a cold start) it falls silent for\n"
        "--reset-silence seconds, then starts again from 00:00:00 with no fix. Reset\n"
        "configuration 2 (warm) keeps the clock and loses the fix for --warm-ttff\n"
        "seconds, 1 (hot) for --hot-ttff. Other families obey their own cold, warm, hot\n"
        "(and for mtk and airoha factory) start commands alike.\n"
        "\n"
        "It answers its own family's identity queries ($PSRF125 or SiRF binary message\n"
        "132, $PMTK605, $PAIR020, $PQTMVERNO and $PQTMUNIQID, $PCAS06,0 and ,1,\n"
        "UBX-MON-VER and UBX-SEC-UNIQID) at once and never any other query.\n"
        "--dual-band, --second-gga, --long-sentences, --binary and --sirf-binary make it\n"
        "send what real receivers send. --antenna and, for ublox, the front end's\n"
        "figures make it report its RF front end; ublox, mtk and casic receivers keep\n"
        "configuration items set with their family's commands (see sim/README.md)."));
    p.addHelpOption();
    gpssim::addReceiverOptions(p);
    p.addOption(
        {"device", "Open this serial device instead of creating a pseudo-terminal.", "PATH"});
    if (!p.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(p.errorText()));
        return 2;
    }
    if (p.isSet(QStringLiteral("help"))) p.showHelp(0);

    gpssim::ReceiverConfig config;
    gpssim::DriverOptions line;
    QString error;
    if (!p.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument %1").arg(p.positionalArguments().first());
    } else if (gpssim::readReceiverOptions(p, config, line, error)) {
        line.device = p.value("device");
        if (!line.device.isEmpty() && !line.link.isEmpty())
            error = QStringLiteral("--link is for the pseudo-terminal, not for --device");
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(error));
        return 2;
    }

    gpssim::SimDriver driver(config, line);
    QObject::connect(&driver, &gpssim::SimDriver::logged, [](const QString& line) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(line));
    });
    running = &driver;
    if (!driver.start(&error)) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(stderr, "gps-receiver-sim: %s receiver, mode %s, %s chunks%s\n",
                 gpslink::nameOf(config.family).data(), gpssim::nameOf(config.behaviour).data(),
                 gpssim::nameOf(config.chunking).data(),
                 config.replay.empty() ? "" : ", replaying a capture");
    std::printf("%s\n", qPrintable(driver.devicePath()));
    std::fflush(stdout);
    // A USB port back under a new name: the name on its own line.
    QObject::connect(&driver, &gpssim::SimDriver::deviceChanged, [&](const QString& path) {
        if (path.isEmpty() || path == line.link) return;
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
    });
    return app.exec();
}
