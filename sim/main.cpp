// gps-receiver-sim: a SiRF GPS receiver on a pseudo-terminal (or a serial
// device), for trying the cold-start tool without a receiver on the bench.
//
// Prints the device the tool should open on standard output, then runs until
// it is killed.  Notable events go to standard error, one line each.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "sim/capture.h"
#include "sim/simdriver.h"

namespace {

struct Options {
    gpssim::ReceiverConfig config;
    gpssim::DriverOptions driver;
};

bool toInt(const QString& text, int low, int high, int& value) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high) return false;
    value = v;
    return true;
}

// Fills options from the parsed command line; false, with error set, for a
// value out of range or options that contradict each other.
bool readOptions(const QCommandLineParser& p, Options& o, QString& error) {
    constexpr int kLongest = 24 * 3600;
    auto number = [&](const char* name, int low, int high, int& value) {
        if (!p.isSet(name)) return true;
        if (toInt(p.value(name), low, high, value)) return true;
        error = QStringLiteral("--%1 takes a whole number from %2 to %3")
                    .arg(QLatin1String(name))
                    .arg(low)
                    .arg(high);
        return false;
    };
    gpssim::ReceiverConfig& c = o.config;
    if (p.isSet("mode")) {
        const auto mode = gpssim::behaviourFromName(p.value("mode").toStdString());
        if (!mode) {
            error = QStringLiteral("unknown --mode %1").arg(p.value("mode"));
            return false;
        }
        c.behaviour = *mode;
        const bool slow = c.behaviour == gpssim::Behaviour::SlowConfirm;
        if ((p.isSet("off-after") && c.behaviour != gpssim::Behaviour::OffAfter) ||
            ((p.isSet("slow-confirm-seconds") || p.isSet("slow-confirm-empty-time")) && !slow)) {
            error = QStringLiteral("that option does not belong to --mode %1").arg(p.value("mode"));
            return false;
        }
    } else if (p.isSet("off-after") &&
               (p.isSet("slow-confirm-seconds") || p.isSet("slow-confirm-empty-time"))) {
        error = QStringLiteral("--off-after and --slow-confirm-... belong to different modes");
        return false;
    } else if (p.isSet("off-after")) {
        c.behaviour = gpssim::Behaviour::OffAfter;
    } else if (p.isSet("slow-confirm-seconds") || p.isSet("slow-confirm-empty-time")) {
        c.behaviour = gpssim::Behaviour::SlowConfirm;
    }
    c.slowConfirmEmptyTime = p.isSet("slow-confirm-empty-time");
    if (p.isSet("chunking")) {
        const auto chunking = gpssim::chunkingFromName(p.value("chunking").toStdString());
        if (!chunking) {
            error = QStringLiteral("unknown --chunking %1").arg(p.value("chunking"));
            return false;
        }
        c.chunking = *chunking;
    }
    if (!number("off-after", 0, kLongest, c.offAfterSeconds) ||
        !number("slow-confirm-seconds", 0, kLongest, c.slowConfirmSeconds) ||
        !number("reset-silence", 0, kLongest, c.resetSilenceSeconds) ||
        !number("ttff", 0, kLongest, c.timeToFirstFixSeconds) ||
        !number("time-known-after", 0, kLongest, c.timeKnownAfterSeconds) ||
        !number("rate", 1, 10, c.rateHz) || !number("baud", 0, 921600, o.driver.baud))
        return false;
    if (p.isSet("seed")) {
        bool ok = false;
        c.seed = p.value("seed").toULongLong(&ok);
        if (!ok) {
            error = QStringLiteral("--seed takes a whole number");
            return false;
        }
    }
    if (p.isSet("start-utc")) {
        const QString text = p.value("start-utc");
        if (text == QLatin1String("now")) {
            c.startUtc = QDateTime::currentDateTimeUtc();
        } else {
            const QTime time = QTime::fromString(text, QStringLiteral("HHmmss"));
            if (!time.isValid()) {
                error = QStringLiteral("--start-utc takes hhmmss or \"now\"");
                return false;
            }
            c.startUtc.setTime(time);
        }
    }
    if (p.isSet("replay")) {
        std::string why;
        if (!gpssim::loadCapture(p.value("replay").toStdString(), c.replay, why)) {
            error = QString::fromStdString(why);
            return false;
        }
    }
    if (p.isSet("strict-baud") && o.driver.baud == 0) {
        error = QStringLiteral("--strict-baud needs --baud");
        return false;
    }
    o.driver.strictBaud = p.isSet("strict-baud");
    o.driver.device = p.value("device");
    o.driver.intervalMs = 1000 / c.rateHz;
    return true;
}

}  // namespace

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
    p.addOptions({
        {"mode",
         "How the receiver behaves: normal; silent (sends nothing); wrong-baud (sends bytes "
         "without any '$', as at another baud rate); ignore (does not obey the cold start); "
         "slow-confirm (silent for --slow-confirm-seconds after the cold start, then restarts); "
         "off-after (switched off --off-after seconds after power-up). Default: normal.",
         "mode"},
        {"off-after", "off-after: seconds of output after power-up (default 30).", "N"},
        {"slow-confirm-seconds",
         "slow-confirm: seconds of silence after the cold start (default 35).", "N"},
        {"slow-confirm-empty-time",
         "slow-confirm: during the wait send bursts whose GGA and RMC time is empty, "
         "instead of nothing, so that the tool sees the cold start run over 30 seconds."},
        {"reset-silence", "Seconds of silence after a cold start (default 1).", "N"},
        {"ttff", "Seconds from power-up or restart to the first fix (default 25).", "N"},
        {"time-known-after",
         "Seconds from power-up or restart until the GGA time is UTC (default 12).", "N"},
        {"start-utc", "UTC when the time first becomes known, hhmmss or now (default 204137).",
         "hhmmss"},
        {"chunking",
         "How each burst is cut into writes: burst, sentence, byte or random (default burst). "
         "Writes only stay apart on the line with --baud.",
         "how"},
        {"seed", "Seed for random chunking and wrong-baud noise (default 1).", "N"},
        {"rate", "Epochs per second, 1 to 10 (default 1).", "HZ"},
        {"baud",
         "Pace the writes as a line at this rate, 10 bits a byte; with --device also the "
         "device's rate (default: no pacing; a device runs at 9600).",
         "N"},
        {"strict-baud",
         "With --baud on a pseudo-terminal: while the tool sets the line to another rate, "
         "the output arrives garbled and commands are not understood."},
        {"replay",
         "Send the bursts of this capture file instead, one per epoch ('#' lines skipped, "
         "CR LF restored); a cold start starts it again from the top.",
         "FILE"},
        {"device", "Open this serial device instead of creating a pseudo-terminal.", "PATH"},
    });
    p.process(app);

    Options options;
    QString error;
    if (!p.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument %1").arg(p.positionalArguments().first());
    } else {
        readOptions(p, options, error);
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(error));
        return 2;
    }

    gpssim::SimDriver driver(options.config, options.driver);
    QObject::connect(&driver, &gpssim::SimDriver::logged, [](const QString& line) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(line));
    });
    if (!driver.start(&error)) {
        std::fprintf(stderr, "gps-receiver-sim: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(stderr, "gps-receiver-sim: mode %s, %s chunks%s\n",
                 gpssim::nameOf(options.config.behaviour).data(),
                 gpssim::nameOf(options.config.chunking).data(),
                 options.config.replay.empty() ? "" : ", replaying a capture");
    std::printf("%s\n", qPrintable(driver.slavePath()));
    std::fflush(stdout);
    return app.exec();
}
