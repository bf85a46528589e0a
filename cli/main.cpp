// gps-coldstart-cli: the station on the command line.  See --help and the
// manual page gps-coldstart-cli(1).
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/stopsignals.h"
#include "station/station.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const cli::Parsed parsed = cli::parseArguments(app.arguments());
    if (parsed.action == cli::Parsed::Print) {
        std::fputs(parsed.text.toUtf8().constData(), stdout);
        return parsed.exitStatus;
    }
    if (parsed.action == cli::Parsed::Fail) {
        std::fprintf(stderr, "gps-coldstart-cli: %s\n", parsed.text.toUtf8().constData());
        return parsed.exitStatus;
    }

    station::Station station(parsed.options.units);
    cli::Report report(parsed.options.json);
    const auto mode = cli::Progress::modeFor(stderr, parsed.options.quiet);
    cli::Progress progress(station, mode,
                           mode == cli::Progress::Mode::Live && !std::getenv("NO_COLOR"));
    QObject::connect(&station, &station::Station::cycleEnded, &app,
                     [&report](station::UnitRun*, const station::CycleResult& result) {
                         report.cycleEnded(result);
                     });
    QObject::connect(&station, &station::Station::finished, &app, [&] {
        progress.flush();
        report.finished(station);
        QCoreApplication::exit(station.exitStatus());
    });
    cli::onStopSignals([&station] { station.interrupt(); });
    station.start();
    return app.exec();
}
