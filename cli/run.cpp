#include "cli/run.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/progress.h"
#include "instrument/levelsources.h"
#include "results/deliverer.h"
#include "results/storeworker.h"
#include "session/session.h"
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
    const station::UnitConfig& plan = station.units().front()->config();
    std::unique_ptr<results::StoreWorker> store;
    if (options.db) {
        QString error;
        store = session::openStore(*options.db, plan, storeOptions, complain, &error);
        if (!store) {
            complain(error);
            return station::kStationFault;
        }
    }
    session::Session session(plan, std::move(store));
    // The generator that feeds every slot: the units start once it is set.
    const std::unique_ptr<station::LevelSource> generator = instrument::makeLevelSource(plan);
    if (generator) station.setLevelSource(generator.get());
    QObject::connect(&session, &session::Session::metricsNotWritten, complain);
    // What an earlier run left undelivered goes first, while the ports open.
    if (results::Deliverer* deliverer = session.deliverer())
        sayDeliveries(*deliverer, results::deliverySettingsOf(plan).targets.size() > 1);
    session.startDeliveries();

    QObject scope;  // the connections below end with this run
    Report report(options.json);
    const auto mode = Progress::modeFor(stderr, options.quiet);
    Progress progress(station, mode, mode == Progress::Mode::Live && !std::getenv("NO_COLOR"));
    for (std::size_t i = 0; i < station.units().size(); ++i)
        session.follow(station.units()[i], int(i));
    // Printed once kept.
    QObject::connect(&session, &session::Session::kept, &scope,
                     [&](int, const QJsonObject& json) { report.cycleEnded(json); });
    QObject::connect(&station, &station::Station::refused, &scope,
                     [&](station::UnitRun* unit) { report.refused(*unit); });
    QObject::connect(&session, &session::Session::refusalNotKept, &scope,
                     [](const station::UnitConfig&, const QString& error) {
                         complain(QStringLiteral("a refusal was not kept: ") + error);
                     });
    QObject::connect(&station, &station::Station::finished, &session,
                     &session::Session::unitsEnded);
    QObject::connect(&session, &session::Session::settled, &scope, [&] {
        if (const results::Deliverer* deliverer = session.deliverer();
            deliverer && !deliverer->drained())
            complain(leftText(*deliverer, QStringLiteral("first at the next start")));
        progress.flush();
        report.finished(station);
        QCoreApplication::exit(session.exitStatus(station.exitStatus()));
    });
    // What the units need from the store cannot be read: no port is opened.
    QObject::connect(
        &session, &session::Session::unreadable, &scope,
        [](session::Read what, const QList<station::UnitRun*>&, const QString& error) {
            complain((what == session::Read::Study ? QStringLiteral("cannot read the gauge study: ")
                      : what == session::Read::Alarms
                          ? QStringLiteral("cannot read the slots' alarms: ")
                          : QStringLiteral("cannot read the slots' calibrations: ")) +
                     error);
            QCoreApplication::exit(station::kStationFault);
        });
    QString signalError;
    if (!station::onStopSignals(
            {SIGINT, SIGTERM, SIGHUP},
            [&] {
                station.interrupt();
                // Stopped while it waits for deliveries: the queue keeps them.
                session.stopWaiting();
            },
            &signalError)) {
        complain(signalError);
        return station::kStationFault;  // no port is open yet
    }
    session.prepare(station.units(), [&station] { station.start(); });
    return QCoreApplication::exec();
}

}  // namespace cli
