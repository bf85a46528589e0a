#include "app/demooptions.h"

#include <QCommandLineParser>

#include "sim/options.h"

namespace {

void addOptions(QCommandLineParser& p) {
    p.setApplicationDescription(QStringLiteral(
        "The GPS cold-start tool with a simulated SiRF receiver behind every COM port, for\n"
        "trying it without a receiver. Press \"Cold Start On/Off\" and watch a whole cold start.\n"
        "The receiver is switched on when the demo starts: each second it sends GGA, GSA, three\n"
        "GSV and RMC; its clock counts from 00:00:00 until it knows the time\n"
        "(--time-known-after), and it obeys the cold-start sentence by restarting."));
    p.addHelpOption();
    gpssim::addReceiverOptions(p);
    p.addOption({"device",
                 "Lead every port to this device (e.g. a gps-receiver-sim's pseudo-terminal or a "
                 "real receiver) instead of the built-in simulated receiver.",
                 "PATH"});
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
        for (const QString& name : gpssim::receiverOptionNames()) {
            if (p.isSet(name)) {
                error =
                    QStringLiteral("--%1 is for the built-in receiver, not for --device").arg(name);
                return false;
            }
        }
        return true;
    }

    return gpssim::readReceiverOptions(p, options.receiver, options.line, error);
}
