// gps-receiver-sim: a SiRF GPS receiver on a pseudo-terminal (or a serial
// device), for trying the cold-start tool without a receiver on the bench.
//
// Prints the device the tool should open on standard output, then runs until
// it is stopped (SIGINT, SIGTERM or SIGHUP).  Notable events go to standard
// error, one line each.
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
    // so that the driver closes its line and removes its link.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopping, s);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    const int stopFd = signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) pthread_sigmask(SIG_UNBLOCK, &stopping, nullptr);

    QCoreApplication app(argc, argv);
    QSocketNotifier stopNotifier(std::max(stopFd, 0), QSocketNotifier::Read);
    stopNotifier.setEnabled(stopFd >= 0);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info{};
        while (::read(stopFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        app.quit();
    });
    QCoreApplication::setApplicationName(QStringLiteral("gps-receiver-sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Plays a GPS receiver (a SiRF chipset, or another --family) on a pseudo-terminal, for\n"
        "trying the cold-start tool without a receiver. Prints the device to open (e.g.\n"
        "/dev/pts/7, or the --link path) on standard output and runs until killed; events go to\n"
        "standard error. Exit status 2 for a mistake on the command line, 1 when the line or the\n"
        "link cannot be made.\n"
        "\n"
        "Each second the receiver sends GGA, GSA, three GSV and RMC. From power-up its clock\n"
        "counts from 00:00:00 with no fix; after --time-known-after seconds its time is UTC\n"
        "(--start-utc), after --ttff seconds it has a fix. On $PSRF101 with reset configuration 4\n"
        "and a valid checksum (a cold start) it falls silent for --reset-silence seconds, then\n"
        "starts again from 00:00:00 with no fix. Reset configuration 2 (warm) keeps the clock\n"
        "and loses the fix for --warm-ttff seconds, 1 (hot) for --hot-ttff. Other families obey\n"
        "their own cold, warm, hot (and for mtk and airoha factory) start commands alike.\n"
        "\n"
        "It answers its own family's identity queries ($PSRF125 or SiRF binary message 132,\n"
        "$PMTK605, $PAIR020, $PQTMVERNO and $PQTMUNIQID, $PCAS06,0 and ,1, UBX-MON-VER and\n"
        "UBX-SEC-UNIQID) at once and never any other query. --dual-band, --second-gga,\n"
        "--long-sentences, --binary and --sirf-binary make it send what real receivers send."));
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
