#include "cli/delivercommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSysInfo>
#include <QTimer>
#include <csignal>

#include "cli/run.h"
#include "results/deliverer.h"
#include "results/storeworker.h"
#include "station/config.h"
#include "station/stopsignals.h"

namespace cli {

namespace {

const char* const kDescription =
    "Delivers the results that wait for the line, without testing a unit: to\n"
    "the targets given here (or by --plan), each from its own queue in the order\n"
    "kept, until every queue is empty or --deliver-wait has passed.  Give the\n"
    "station's name and its targets as the station gives them: a target is known\n"
    "by its option and place (deliver, deliver-2, ..., deliver-url, ...).";

const char* const kExitStatus =
    "  0    nothing waits for the targets given\n"
    "  1    results still wait once --deliver-wait has passed\n"
    "  2    usage mistake (nothing was opened)\n"
    "  3    the database could not be opened\n"
    "  130  interrupted by SIGINT, SIGTERM or SIGHUP (what is left still waits)";

// The plan's settings this command takes: the delivery's.
bool deliveryRow(const station::Setting& s) {
    return s.offers(station::kCommandLine) &&
           QLatin1String(s.key).startsWith(QLatin1String("deliver"));
}

}  // namespace

int runDeliver(const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString name = QStringLiteral("gps-coldstart-cli deliver");
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption db(QStringLiteral("db"),
                                QStringLiteral("The results database, as the station's --db."),
                                QStringLiteral("DB"));
    const QCommandLineOption station(
        QStringLiteral("station"),
        QStringLiteral("Whose queues: the station's name (default: the host name)."),
        QStringLiteral("NAME"));
    const QCommandLineOption plan(
        QStringLiteral("plan"),
        QStringLiteral("Take the targets and the delivery settings from the plan FILE; options "
                       "given beside it override it."),
        QStringLiteral("FILE"));
    QList<QCommandLineOption> delivery;
    for (const station::Setting& s : station::settings())
        if (deliveryRow(s))
            delivery << QCommandLineOption(QLatin1String(s.option), s.helpText(),
                                           QLatin1String(s.valueName));
    const std::vector<station::HelpSection> sections = {
        {QStringLiteral("Options"), QString(), {db, station, plan}},
        {QStringLiteral("Delivery"), QString(), delivery},
        {QStringLiteral("Other options"), QString(), {help}},
        {QStringLiteral("Exit status"), QLatin1String(kExitStatus), {}},
    };
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const station::HelpSection& s : sections) p.addOptions(s.options);
    const auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return int(station::kUsage);
    };
    if (!p.parse(QStringList{name} + args)) return usage(p.errorText());
    if (p.isSet(help)) {
        out << station::sectionedHelp(name + QStringLiteral(" [options]"),
                                      QLatin1String(kDescription), sections);
        return station::kOk;
    }
    if (!p.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\" (no unit is tested)")
                         .arg(p.positionalArguments().constFirst()));

    QString why;
    station::UnitConfig settings;
    if (p.isSet(plan)) {
        const auto read = station::readPlan(p.value(plan), &why);
        if (!read) return usage(why);
        static_cast<station::PlanSettings&>(settings) = *read;
    }
    for (const station::Setting& s : station::settings()) {
        if (!deliveryRow(s) || !p.isSet(QLatin1String(s.option))) continue;
        const QStringList values = p.values(QLatin1String(s.option));
        if (!s.parse(settings, s.repeats() ? values.join(QLatin1Char('\n')) : values.constLast(),
                     &why))
            return usage(QStringLiteral("--%1: %2").arg(QLatin1String(s.option), why));
    }
    settings.station = p.isSet(station) ? p.value(station) : QSysInfo::machineHostName();
    if (settings.station.isEmpty()) return usage(QStringLiteral("--station: the name is empty"));
    const results::DeliverySettings delivering = results::deliverySettingsOf(settings);
    if (!delivering.enabled())
        return usage(
            QStringLiteral("no target to deliver to: give --deliver CMD or --deliver-url "
                           "URL (or a --plan with them) as the station has them"));
    results::Target target = results::defaultTarget();
    if (p.isSet(db)) {
        const auto parsed = results::parseTarget(p.value(db), &why);
        if (!parsed) return usage(QStringLiteral("--db: ") + why);
        target = *parsed;
    }

    results::Store::Options options;
    options.create = false;
    // A spool left by a station that delivered joins the queues as it moves in.
    options.deliveries = delivering.targetNames();
    const auto complain = [&err, name](const QString& text) {
        err << name << ": " << text << Qt::endl;
    };
    std::unique_ptr<results::StoreWorker> store =
        results::StoreWorker::open(target, &why, options, complain);
    if (!store) {
        complain(why);
        return station::kStationFault;
    }
    results::Deliverer deliverer(store.get(), delivering);
    sayDeliveries(deliverer, delivering.targets.size() > 1);
    int status = -1;
    const auto end = [&](int exitStatus) {
        if (status >= 0) return;
        status = exitStatus;
        if (status == station::kOk)
            out << "every result delivered" << Qt::endl;
        else
            complain(leftText(deliverer, QStringLiteral("with the next station or deliver")));
        QCoreApplication::exit(status);
    };
    QTimer waited;
    waited.setSingleShot(true);
    QObject::connect(&waited, &QTimer::timeout, [&] {
        if (deliverer.drained()) end(station::kOk);
        // Once every queue has been read, what is left is known.
        else if (deliverer.read())
            end(station::kSomeFailed);
    });
    QObject::connect(&deliverer, &results::Deliverer::queueChanged, [&] {
        if (deliverer.drained())
            end(station::kOk);
        else if (!waited.isActive() && deliverer.read())
            end(station::kSomeFailed);
    });
    if (!station::onStopSignals(
            {SIGINT, SIGTERM, SIGHUP}, [&] { end(station::kInterrupted); }, &why)) {
        complain(why);
        return station::kStationFault;
    }
    waited.start(int(settings.deliverWaitS * 1000));
    deliverer.start();
    return QCoreApplication::exec();
}

}  // namespace cli
