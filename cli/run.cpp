#include "cli/run.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/progress.h"
#include "results/deliverer.h"
#include "results/storeworker.h"
#include "station/stopsignals.h"
#include "station/words.h"

namespace cli {

namespace {

void complain(const QString& text) {
    std::fprintf(stderr, "gps-coldstart-cli: %s\n", text.toUtf8().constData());
}

}  // namespace

void sayDeliveries(results::Deliverer& deliverer, bool named) {
    QObject::connect(
        &deliverer, &results::Deliverer::attemptFailed,
        [named](const QString& target, const QJsonObject& result, const QString& why,
                double retryInS) {
            complain(QStringLiteral("delivering result %1%2 failed (%3); trying again in %4 s")
                         .arg(result.value(QLatin1String("id")).toString(),
                              named ? QStringLiteral(" to ") + target : QString(), why)
                         .arg(retryInS, 0, 'f', 1));
        });
    QObject::connect(&deliverer, &results::Deliverer::problem, complain);
    QObject::connect(&deliverer, &results::Deliverer::rerunAsked,
                     [](const QJsonObject& result) { complain(results::rerunNotice(result)); });
}

QString leftText(const results::Deliverer& deliverer, const QString& when) {
    const int waiting = deliverer.waiting();
    QStringList targets;
    for (const results::Deliverer::TargetState& t : deliverer.states())
        if (t.queue.waiting > 0)
            targets << QStringLiteral("%1: %2").arg(t.target).arg(t.queue.waiting);
    return QStringLiteral(
               "%1 for delivery to the line%2; %3 %4 (report --undelivered lists "
               "what waits)")
        .arg(waiting == 1 ? QStringLiteral("1 result waits")
                          : QStringLiteral("%1 results wait").arg(waiting),
             deliverer.states().size() > 1 ? QStringLiteral(" (%1)").arg(targets.join(", "))
                                           : QString(),
             waiting == 1 ? QStringLiteral("it goes") : QStringLiteral("they go"), when);
}

int runStation(station::Station& station, const Options& options,
               const results::Store::Options& storeOptions) {
    // The database first: no port is opened when it cannot take results.
    std::unique_ptr<results::StoreWorker> store;
    const station::UnitConfig& first = station.units().front()->config();
    const results::DeliverySettings delivery = results::deliverySettingsOf(first);
    if (options.db) {
        QString error;
        results::Store::Options opening = storeOptions;
        opening.deliveries = delivery.targetNames();
        store = results::StoreWorker::open(*options.db, &error, opening, complain);
        if (!store) {
            complain(error);
            return station::kStationFault;
        }
    }
    // What an earlier run left undelivered goes first, while the ports open.
    std::unique_ptr<results::Deliverer> deliverer;
    if (store && delivery.enabled()) {
        deliverer = std::make_unique<results::Deliverer>(store.get(), delivery);
        sayDeliveries(*deliverer, delivery.targets.size() > 1);
        deliverer->start();
    }

    if (store) {
        const station::UnitConfig& plan = station.units().front()->config();
        store->setRetention({plan.evidenceDays, qint64(plan.evidenceMaxMib) * 1024 * 1024});
    }

    QObject scope;  // the connections below end with this run
    Report report(options.json);
    const auto mode = Progress::modeFor(stderr, options.quiet);
    Progress progress(station, mode, mode == Progress::Mode::Live && !std::getenv("NO_COLOR"));
    bool anySpooled = false, anyLost = false, unitsEnded = false, reported = false;
    // At the end, results still to deliver are waited for, up to deliver_wait_s.
    QTimer deliveryWait;
    deliveryWait.setSingleShot(true);
    bool waitedEnough = false;
    // The end: every unit has ended, every result is kept and, when the
    // station delivers, delivered or waited for long enough.
    auto end = [&] {
        if (!unitsEnded || (store && store->pending() > 0) || reported) return;
        if (deliverer && !deliverer->drained() && !waitedEnough) {
            if (!deliveryWait.isActive() && first.deliverWaitS > 0) {
                deliveryWait.start(int(first.deliverWaitS * 1000));
                return;
            }
            if (deliveryWait.isActive()) return;
        }
        if (deliverer && !deliverer->drained())
            complain(leftText(*deliverer, QStringLiteral("first at the next start")));
        reported = true;
        progress.flush();
        report.finished(station);
        QCoreApplication::exit(station::finalStatus(station.exitStatus(), anySpooled, anyLost));
    };
    QObject::connect(&station, &station::Station::cycleEnded, &scope,
                     [&](station::UnitRun*, const station::CycleResult& result) {
                         if (store)  // printed once kept
                             store->save(result.toJson(), result.evidence);
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
                             if (deliverer) deliverer->poke();
                             end();
                         });
    }
    if (deliverer)
        QObject::connect(deliverer.get(), &results::Deliverer::queueChanged, &scope,
                         [&] { end(); });
    QObject::connect(&deliveryWait, &QTimer::timeout, &scope, [&] {
        waitedEnough = true;
        end();
    });
    QObject::connect(&station, &station::Station::finished, &scope, [&] {
        unitsEnded = true;
        end();
    });
    QString signalError;
    if (!station::onStopSignals(
            {SIGINT, SIGTERM, SIGHUP},
            [&] {
                station.interrupt();
                // Stopped while it waits for deliveries: the queue keeps them.
                if (deliveryWait.isActive()) {
                    deliveryWait.stop();
                    waitedEnough = true;
                    end();
                }
            },
            &signalError)) {
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
    const station::UnitConfig& plan = first;
    if (plan.qualifiedBy.isEmpty() || !plan.study.isEmpty()) {
        begin();
    } else if (!store) {
        for (station::UnitRun* unit : station.units())
            unit->setQualification(station::studyWithoutDatabase(plan.qualifiedBy));
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
