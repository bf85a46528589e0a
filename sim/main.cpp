// gps-receiver-sim: a SiRF GPS receiver on a pseudo-terminal (or a serial
// device), for trying the cold-start tool without a receiver on the bench.
//
// Prints the device the tool should open on standard output, then runs until
// it is killed.  Notable events go to standard error, one line each.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "sim/options.h"
#include "sim/simdriver.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gps-receiver-sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Plays a GPS receiver with a SiRF chipset on a pseudo-terminal, for trying the cold-start\n"
        "tool without a receiver. Prints the device to open (e.g. /dev/pts/7) on standard output\n"
        "and runs until killed; events go to standard error.\n"
        "\n"
        "Each second the receiver sends GGA, GSA, three GSV and RMC. From power-up its clock\n"
        "counts from 00:00:00 with no fix; after --time-known-after seconds its time is UTC\n"
        "(--start-utc), after --ttff seconds it has a fix. On $PSRF101 with reset configuration 4\n"
        "and a valid checksum (a cold start) it falls silent for --reset-silence seconds, then\n"
        "starts again from 00:00:00 with no fix."));
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
    std::fprintf(stderr, "gps-receiver-sim: mode %s, %s chunks%s\n",
                 gpssim::nameOf(config.behaviour).data(), gpssim::nameOf(config.chunking).data(),
                 config.replay.empty() ? "" : ", replaying a capture");
    std::printf("%s\n", qPrintable(driver.slavePath()));
    std::fflush(stdout);
    return app.exec();
}
