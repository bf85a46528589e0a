// gps-coldstart-cli: the station on the command line.  See --help and the
// manual page gps-coldstart-cli(1).
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "cli/calibrate.h"
#include "cli/dbcommand.h"
#include "cli/delivercommand.h"
#include "cli/options.h"
#include "cli/reportcommand.h"
#include "cli/run.h"
#include "cli/spccommand.h"
#include "station/config.h"

int main(int argc, char** argv) {
    // Qt's own event loop rather than GLib's, unless the environment chooses:
    // the station switches its ports' read notifiers off and on between
    // bursts, and GLib answers each switch with a wake-up of its own.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    if (arguments.size() > 1 && arguments[1] == QLatin1String("report")) {
        QTextStream out(stdout), err(stderr);
        return cli::runReport(arguments.mid(2), out, err);
    }
    if (arguments.size() > 1 && arguments[1] == QLatin1String("calibrate")) {
        QTextStream out(stdout), err(stderr);
        return cli::runCalibrate(arguments.mid(2), out, err);
    }
    if (arguments.size() > 1 && arguments[1] == QLatin1String("db")) {
        QTextStream out(stdout), err(stderr);
        return cli::runDb(arguments.mid(2), out, err);
    }
    if (arguments.size() > 1 && arguments[1] == QLatin1String("spc")) {
        QTextStream out(stdout), err(stderr);
        return cli::runSpc(arguments.mid(2), out, err);
    }
    if (arguments.size() > 1 && arguments[1] == QLatin1String("alarms")) {
        QTextStream out(stdout), err(stderr);
        return cli::runAlarms(arguments.mid(2), out, err);
    }
    if (arguments.size() > 1 && arguments[1] == QLatin1String("deliver")) {
        QTextStream out(stdout), err(stderr);
        return cli::runDeliver(arguments.mid(2), out, err);
    }
    const cli::Parsed parsed = cli::parseArguments(arguments);
    if (parsed.action == cli::Parsed::Print) {
        std::fputs(parsed.text.toUtf8().constData(), stdout);
        return parsed.exitStatus;
    }
    if (parsed.action == cli::Parsed::Fail) {
        std::fprintf(stderr, "gps-coldstart-cli: %s\n", parsed.text.toUtf8().constData());
        return parsed.exitStatus;
    }
    if (const QString mistake = cli::deliveryMistake(parsed.options); !mistake.isEmpty()) {
        std::fprintf(stderr, "gps-coldstart-cli: %s\n", mistake.toUtf8().constData());
        return station::kUsage;
    }

    station::Station station(parsed.options.units);
    return cli::runStation(station, parsed.options);
}
