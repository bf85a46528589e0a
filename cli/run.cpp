#include "cli/run.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/progress.h"
#include "results/storeworker.h"
#include "station/stopsignals.h"

namespace cli {

namespace {

void complain(const QString& text) {
    std::fprintf(stderr, "gps-coldstart-cli: %s\n", text.toUtf8().constData());
}

}  // namespace

int runStation(station::Station& station, const Options& options,
               const results::Store::Options& storeOptions) {
    // The database first: no port is opened when it cannot take results.
    std::unique_ptr<results::StoreWorker> store;
    if (options.db) {
        QString error;
        store = results::StoreWorker::open(*options.db, &error, storeOptions, complain);
        if (!store) {
            complain(error);
            return station::kStationFault;
        }
    }

    QObject scope;  // the connections below end with this run
    Report report(options.json);
    const auto mode = Progress::modeFor(stderr, options.quiet);
    Progress progress(station, mode, mode == Progress::Mode::Live && !std::getenv("NO_COLOR"));
    bool anySpooled = false, anyLost = false, unitsEnded = false, reported = false;
    // The end: every unit has ended and every result is kept.
    auto end = [&] {
        if (!unitsEnded || (store && store->pending() > 0) || reported) return;
        reported = true;
        progress.flush();
        report.finished(station);
        QCoreApplication::exit(station::finalStatus(station.exitStatus(), anySpooled, anyLost));
    };
    QObject::connect(&station, &station::Station::cycleEnded, &scope,
                     [&](station::UnitRun*, const station::CycleResult& result) {
                         if (store)  // printed once kept
                             store->save(result.toJson());
                         else
                             report.cycleEnded(result.toJson());
                     });
    // A refused unit is kept beside the results, never among them.
    QObject::connect(&station, &station::Station::refused, &scope,
                     [&](station::UnitRun* unit, const QString& reason) {
                         report.refused(*unit);
                         if (!store) return;
                         const station::UnitConfig& c = unit->config();
                         store->keepRefusal(
                             {QDateTime::currentDateTimeUtc(), c.station, c.port, c.unit, c.lot,
                              c.operatorName, c.plan, reason},
                             [&](const QString& error) {
                                 if (!error.isEmpty()) {
                                     complain(QStringLiteral("a refusal was not kept: ") + error);
                                     anyLost = true;
                                 }
                                 end();
                             });
                     });
    if (store) {
        QObject::connect(store.get(), &results::StoreWorker::kept,
                         [&](int, const QJsonObject& json, results::Store::Saved saved) {
                             anySpooled |= saved == results::Store::Saved::Spooled;
                             anyLost |= saved == results::Store::Saved::Lost;
                             report.cycleEnded(json);
                             end();
                         });
    }
    QObject::connect(&station, &station::Station::finished, &scope, [&] {
        unitsEnded = true;
        end();
    });
    QString signalError;
    if (!station::onStopSignals(
            {SIGINT, SIGTERM, SIGHUP}, [&station] { station.interrupt(); }, &signalError)) {
        complain(signalError);
        return station::kStationFault;  // no port is open yet
    }
    // A signal test needs its slot's latest calibration, from the store's own
    // thread, before any port opens.
    QStringList signalPorts;
    for (station::UnitRun* unit : station.units())
        if (unit->config().testsSignal()) signalPorts << unit->config().port;
    const auto begin = [&] {
        if (signalPorts.isEmpty()) {
            station.start();
            return;
        }
        if (!store) {  // --no-db: no calibration to be had
            for (station::UnitRun* unit : station.units())
                unit->setCalibration(std::nullopt, QDateTime::currentDateTimeUtc());
            station.start();
            return;
        }
        const QString name = station.units().front()->config().station;
        store->latestCalibrations(
            name, signalPorts,
            [&station](const QMap<QString, results::Calibration>& latest, const QString& error) {
                if (!error.isEmpty()) {
                    complain(QStringLiteral("cannot read the slots' calibrations: ") + error);
                    QCoreApplication::exit(station::kStationFault);
                    return;
                }
                const QDateTime now = QDateTime::currentDateTimeUtc();
                for (station::UnitRun* unit : station.units()) {
                    const auto found = latest.constFind(unit->config().port);
                    unit->setCalibration(
                        found == latest.cend() ? std::nullopt : std::optional(*found), now);
                }
                station.start();
            });
    };
    // A production run of a plan with qualified_by waits for the study's
    // verdict; a study's own runs are how the station gets qualified.
    const station::UnitConfig& plan = station.units().front()->config();
    if (plan.qualifiedBy.isEmpty() || !plan.study.isEmpty()) {
        begin();
    } else if (!store) {
        for (station::UnitRun* unit : station.units())
            unit->setQualification(
                QStringLiteral("gauge study \"%1\" cannot be read without a database")
                    .arg(plan.qualifiedBy));
        begin();
    } else {
        store->qualification(
            plan.qualifiedBy, plan.qualificationMaxAgeS,
            [&station, &begin](const QString& problem, const QString& error) {
                if (!error.isEmpty()) {
                    complain(QStringLiteral("cannot read the gauge study: ") + error);
                    QCoreApplication::exit(station::kStationFault);
                    return;
                }
                for (station::UnitRun* unit : station.units()) unit->setQualification(problem);
                begin();
            });
    }
    return QCoreApplication::exec();
}

}  // namespace cli
