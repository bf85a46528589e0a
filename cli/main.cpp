// gps-coldstart-cli: the station on the command line.  See --help and the
// manual page gps-coldstart-cli(1).
#include <QCoreApplication>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/reportcommand.h"
#include "results/store.h"
#include "station/station.h"
#include "station/stopsignals.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    if (arguments.size() > 1 && arguments[1] == QLatin1String("report")) {
        QTextStream out(stdout), err(stderr);
        return cli::runReport(arguments.mid(2), out, err);
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

    // The database first: no port is opened when it cannot take results.
    std::unique_ptr<results::Store> store;
    if (parsed.options.db) {
        QString error;
        store = results::Store::open(
            *parsed.options.db, &error, results::Store::Options(), [](const QString& warning) {
                std::fprintf(stderr, "gps-coldstart-cli: %s\n", warning.toUtf8().constData());
            });
        if (!store) {
            std::fprintf(stderr, "gps-coldstart-cli: %s\n", error.toUtf8().constData());
            return station::kStationFault;
        }
    }

    station::Station station(parsed.options.units);
    cli::Report report(parsed.options.json);
    const auto mode = cli::Progress::modeFor(stderr, parsed.options.quiet);
    cli::Progress progress(station, mode,
                           mode == cli::Progress::Mode::Live && !std::getenv("NO_COLOR"));
    bool anySpooled = false, anyLost = false;
    QObject::connect(&station, &station::Station::cycleEnded, &app,
                     [&](station::UnitRun*, const station::CycleResult& result) {
                         QJsonObject json = result.toJson();
                         if (store) {  // kept before it is shown
                             const auto saved = store->save(json);
                             anySpooled |= saved == results::Store::Saved::Spooled;
                             anyLost |= saved == results::Store::Saved::Lost;
                         }
                         report.cycleEnded(json);
                     });
    QObject::connect(&station, &station::Station::finished, &app, [&] {
        progress.flush();
        report.finished(station);
        QCoreApplication::exit(station::finalStatus(station.exitStatus(), anySpooled, anyLost));
    });
    QString signalError;
    if (!station::onStopSignals(
            {SIGINT, SIGTERM, SIGHUP}, [&station] { station.interrupt(); }, &signalError)) {
        std::fprintf(stderr, "gps-coldstart-cli: %s\n", signalError.toUtf8().constData());
        return station::kStationFault;  // no port is open yet
    }
    station.start();
    return app.exec();
}
