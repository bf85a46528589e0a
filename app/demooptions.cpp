#include "app/demooptions.h"

#include <QCommandLineParser>

#include "sim/capture.h"

namespace {

constexpr int kLongest = 24 * 3600;  // seconds

const char* const kReceiverOptions[] = {
    "mode",          "off-after", "slow-confirm-seconds", "slow-confirm-empty-time",
    "reset-silence", "ttff",      "time-known-after",     "chunking",
    "seed",          "baud",      "strict-baud",          "replay"};

void addOptions(QCommandLineParser& p) {
    p.setApplicationDescription(QStringLiteral(
        "The GPS cold-start tool with a simulated SiRF receiver behind every COM port, for\n"
        "trying it without a receiver. Press \"Cold Start On/Off\" and watch a whole cold start.\n"
        "The receiver is switched on when the demo starts: each second it sends GGA, GSA, three\n"
        "GSV and RMC; its clock counts from 00:00:00 until it knows the time\n"
        "(--time-known-after), and it obeys the cold-start sentence by restarting."));
    p.addHelpOption();
    p.addOptions({
        {"mode",
         "How the receiver behaves: normal; silent (sends nothing); wrong-baud (bytes without any "
         "'$'); ignore (does not obey the cold start); slow-confirm (silent for "
         "--slow-confirm-seconds after the cold start); off-after (switched off --off-after "
         "seconds after the demo starts). Default: normal.",
         "mode"},
        {"off-after", "off-after: seconds of output after the demo starts (default 30).", "N"},
        {"slow-confirm-seconds",
         "slow-confirm: seconds of silence after the cold start (default 35).", "N"},
        {"slow-confirm-empty-time",
         "slow-confirm: send GGA with an empty time during the wait instead of nothing, so the "
         "cold start runs over 30 seconds."},
        {"reset-silence", "Seconds of silence after a cold start (default 1).", "N"},
        {"ttff", "Seconds from power-up or restart to the first fix (default 25).", "N"},
        {"time-known-after",
         "Seconds from power-up or restart until the GGA time is UTC (default 12).", "N"},
        {"chunking", "How each second's output is cut into writes: burst, sentence, byte, random.",
         "how"},
        {"seed", "Seed for random chunking and wrong-baud noise (default 1).", "N"},
        {"baud", "The receiver's baud rate: writes are paced as on such a line (default: none).",
         "N"},
        {"strict-baud",
         "With --baud: while the tool's line is set to another rate, the output arrives garbled."},
        {"replay", "Send the bursts of this NMEA capture, one per second, instead.", "FILE"},
        {"device",
         "Lead every port to this device (e.g. a gps-receiver-sim's pseudo-terminal or a real "
         "receiver) instead of the built-in simulated receiver.",
         "PATH"},
    });
}

bool toInt(const QString& text, int low, int high, int& value) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high) return false;
    value = v;
    return true;
}

}  // namespace

bool readDemoOptions(const QStringList& arguments, DemoOptions& options, QString& error) {
    QCommandLineParser p;
    addOptions(p);
    if (!p.parse(arguments)) {
        error = p.errorText();
        return false;
    }
    if (p.isSet(QStringLiteral("help"))) {
        options.helpShown = true;
        error = p.helpText();
        return false;
    }
    if (!p.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument %1").arg(p.positionalArguments().first());
        return false;
    }

    options.device = p.value(QStringLiteral("device"));
    if (!options.device.isEmpty()) {
        for (const char* name : kReceiverOptions) {
            if (p.isSet(QLatin1String(name))) {
                error = QStringLiteral("--%1 is for the built-in receiver, not for --device")
                            .arg(QLatin1String(name));
                return false;
            }
        }
        return true;
    }

    gpssim::ReceiverConfig& c = options.receiver;
    const bool offAfter = p.isSet(QStringLiteral("off-after"));
    const bool slow = p.isSet(QStringLiteral("slow-confirm-seconds")) ||
                      p.isSet(QStringLiteral("slow-confirm-empty-time"));
    if (offAfter) c.behaviour = gpssim::Behaviour::OffAfter;
    if (slow) c.behaviour = gpssim::Behaviour::SlowConfirm;
    if (p.isSet(QStringLiteral("mode"))) {
        const auto mode = gpssim::behaviourFromName(p.value(QStringLiteral("mode")).toStdString());
        if (!mode) {
            error = QStringLiteral("unknown --mode %1").arg(p.value(QStringLiteral("mode")));
            return false;
        }
        c.behaviour = *mode;
    }
    if ((offAfter && c.behaviour != gpssim::Behaviour::OffAfter) ||
        (slow && c.behaviour != gpssim::Behaviour::SlowConfirm)) {
        error = QStringLiteral(
            "--off-after goes with off-after, --slow-confirm-... with "
            "slow-confirm, and not both");
        return false;
    }
    c.slowConfirmEmptyTime = p.isSet(QStringLiteral("slow-confirm-empty-time"));

    const struct {
        const char* name;
        int low, high;
        int& value;
    } numbers[] = {
        {"off-after", 0, kLongest, c.offAfterSeconds},
        {"slow-confirm-seconds", 0, kLongest, c.slowConfirmSeconds},
        {"reset-silence", 0, kLongest, c.resetSilenceSeconds},
        {"ttff", 0, kLongest, c.timeToFirstFixSeconds},
        {"time-known-after", 0, kLongest, c.timeKnownAfterSeconds},
        {"baud", 1200, 921600, options.line.baud},
    };
    for (const auto& n : numbers) {
        const QString name = QLatin1String(n.name);
        if (p.isSet(name) && !toInt(p.value(name), n.low, n.high, n.value)) {
            error = QStringLiteral("--%1 takes a whole number from %2 to %3")
                        .arg(name)
                        .arg(n.low)
                        .arg(n.high);
            return false;
        }
    }
    if (p.isSet(QStringLiteral("chunking"))) {
        const QString name = p.value(QStringLiteral("chunking"));
        const auto chunking = gpssim::chunkingFromName(name.toStdString());
        if (!chunking) {
            error = QStringLiteral("unknown --chunking %1").arg(name);
            return false;
        }
        c.chunking = *chunking;
    }
    if (p.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        c.seed = p.value(QStringLiteral("seed")).toULongLong(&ok);
        if (!ok) {
            error = QStringLiteral("--seed takes a whole number");
            return false;
        }
    }
    options.line.strictBaud = p.isSet(QStringLiteral("strict-baud"));
    if (options.line.strictBaud && options.line.baud == 0) {
        error = QStringLiteral("--strict-baud needs --baud");
        return false;
    }
    if (p.isSet(QStringLiteral("replay"))) {
        std::string why;
        if (!gpssim::loadCapture(p.value(QStringLiteral("replay")).toStdString(), c.replay, why)) {
            error = QString::fromStdString(why);
            return false;
        }
    }
    options.line.intervalMs = 1000 / c.rateHz;
    return true;
}
