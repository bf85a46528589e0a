// gps-coldstart-station: the station window.  See --help.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <csignal>
#include <cstdio>
#include <memory>

#include "results/storeworker.h"
#include "session/session.h"
#include "station/stopsignals.h"
#include "stationwin/config.h"
#include "stationwin/settingsdialog.h"
#include "stationwin/stationwindow.h"

namespace {

void complain(const QString& text) {
    std::fprintf(stderr, "gps-coldstart-station: %s\n", text.toUtf8().constData());
}

}  // namespace

int main(int argc, char** argv) {
    // The command line is read before the display is opened, so that --help
    // and a mistake are answered without one.
    QCoreApplication::setOrganizationName(QStringLiteral("gps-coldstart"));
    QCoreApplication::setApplicationName(QStringLiteral("gps-coldstart-station"));
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const stationwin::CommandLine line = stationwin::parseCommandLine(arguments);
    if (line.action == stationwin::CommandLine::Print) {
        std::fputs(line.text.toUtf8().constData(), stdout);
        return line.exitStatus;
    }
    if (line.action == stationwin::CommandLine::Fail) {
        complain(line.text);
        return line.exitStatus;
    }

    QApplication app(argc, argv);
    QSettings stored;
    QStringList problems;
    stationwin::Settings settings = stationwin::Settings::load(stored, &problems);
    for (const QString& problem : problems) complain(problem);
    // What the command line gives is for this run; the settings dialog's
    // choices are kept, but for what the command line gave.
    const stationwin::Settings kept = settings;
    auto keep = [&](const stationwin::Settings& chosen) {
        stationwin::keptSettings(chosen, kept, line).save(stored);
    };
    QString error;
    const auto forRun = stationwin::settingsForRun(settings, line, &error);
    if (!forRun) {
        complain(error);
        return station::kUsage;
    }
    settings = *forRun;

    // Slots that cannot be opened as kept are chosen again.
    while (settings.ports.isEmpty() || !stationwin::slotConfigs(settings, &error)) {
        if (!settings.ports.isEmpty()) complain(error);
        stationwin::SettingsDialog dialog(settings, stationwin::listPorts());
        if (dialog.exec() != QDialog::Accepted) return station::kOk;
        settings = dialog.settings();
        keep(settings);
    }

    // The database first: no port is opened when it cannot take results.
    QString dbError;
    const auto target = settings.db.isEmpty() ? std::optional(results::defaultTarget())
                                              : results::parseTarget(settings.db, &dbError);
    const auto units = stationwin::slotConfigs(settings, &error);
    std::unique_ptr<results::StoreWorker> store;
    if (target) store = session::openStore(*target, units->front(), {}, complain, &dbError);
    if (!store) {
        complain(dbError);
        QMessageBox::critical(nullptr, QStringLiteral("GPS Station"), dbError);
        return station::kStationFault;
    }

    auto window = std::make_unique<stationwin::StationWindow>(*units, std::move(store));
    window->lotField()->setText(settings.lot);
    window->setRequireLotAndOperator(settings.requireLotAndOperator);
    window->operatorField()->setText(settings.operatorName);
    window->restoreGeometry(stored.value("geometry").toByteArray());
    auto keepFields = [&] {
        settings.lot = window->lotField()->text().trimmed();
        settings.operatorName = window->operatorField()->text().trimmed();
        stored.setValue("lot", settings.lot);
        stored.setValue("operator", settings.operatorName);
        stored.setValue("geometry", window->saveGeometry());
    };
    QObject::connect(window.get(), &stationwin::StationWindow::settingsRequested, [&] {
        stationwin::SettingsDialog dialog(settings, stationwin::listPorts(), window.get());
        if (dialog.exec() != QDialog::Accepted) return;
        const QString db = settings.db;
        settings = dialog.settings();
        keep(settings);
        // The limits and the rest of the plan hold from each slot's next
        // unit; other slots or another database need the window started again.
        QString error;
        const auto units = stationwin::slotConfigs(settings, &error);
        window->setRequireLotAndOperator(settings.requireLotAndOperator);
        const bool applied = units && window->setSlotConfigs(*units);
        if (!applied || settings.db != db)
            QMessageBox::information(
                window.get(), window->windowTitle(),
                applied ? QObject::tr("The new limits hold from each slot's next unit; the new "
                                      "results database takes effect at the next start of the "
                                      "station window.")
                        : QObject::tr("The new slots take effect, with the other settings, at "
                                      "the next start of the station window."));
    });
    // A shutdown of the bench computer is a close without the question.
    if (!station::onStopSignals(
            {SIGTERM, SIGHUP, SIGINT}, [&] { window->shutDown(); }, &error)) {
        complain(error);
        return station::kStationFault;
    }
    QObject::connect(window.get(), &stationwin::StationWindow::shutDownDone, &app,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    window->show();
    const int status = app.exec();
    keepFields();
    return status;
}
