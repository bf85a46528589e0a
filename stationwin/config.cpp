#include "stationwin/config.h"

#include <QCommandLineParser>
#include <QSysInfo>

#include "station/families.h"
#include "station/portargs.h"
#include "station/testtypes.h"

namespace stationwin {

namespace {

const char* const kDescription =
    "A station window: one tile per test slot.  Scan a unit's serial number into a\n"
    "slot's tile (the scanner types it and Enter) and its cold start runs; the tile\n"
    "turns green or red with the verdict in words.  Tab moves between units, Enter\n"
    "starts, Esc stops.\n"
    "\n"
    "Each PORT is PORT[@[BAUD][,FAMILY[,START]]] as for gps-coldstart-cli; without\n"
    "any, the units are the ports chosen in the settings dialog.  Results go to the\n"
    "same database as gps-coldstart-cli's.\n"
    "\n"
    "The plan options (--plan and those beside it) take effect for this run, over\n"
    "the settings kept by the settings dialog.\n"
    "\n"
    "Calibrate... measures a golden unit in every slot, as gps-coldstart-cli\n"
    "calibrate does; a signal test applies its slot's latest calibration.\n"
    "\n"
    "With a signal generator (--generator, its dialect and scenario) the window\n"
    "sets the plan's --level once for every slot before the first unit starts and\n"
    "holds it, for the fix (go/no-go at that level) and signal tests; its output\n"
    "goes off when the window closes and on the instrument's fault.  The\n"
    "acquisition and tracking searches are gps-coldstart-cli's.\n"
    "\n"
    "Study... guides a gauge R&R study: it says which unit goes into which slot\n"
    "for which trial, refuses any other unit, tags the runs with the study and at\n"
    "its end gives the study's verdicts, as gps-coldstart-cli report --grr does.\n"
    "\n"
    "Exit status:\n"
    "  0  the window was closed, or a shutdown (SIGTERM, SIGHUP) stored every run\n"
    "  2  usage mistake (nothing was opened)\n"
    "  3  the results database could not be opened (no port was opened)";

}  // namespace

QString searchRefusal(const station::PlanSettings& plan) {
    // A test that needs the generator for itself steps its level, for every
    // slot together.
    QStringList searches;
    for (const station::TestTypeRow& row : station::testTypes())
        if (row.needsGenerator && plan.tests.contains(QLatin1String(row.name)))
            searches << QLatin1String(row.name);
    if (searches.isEmpty()) return {};
    return QStringLiteral(
               "the %1 test%2 step%3 the generator's level for every slot together, and the "
               "station window starts its slots one by one, as they are scanned: run %4 with "
               "gps-coldstart-cli; the window holds the generator at --level for the fix and "
               "signal tests")
        .arg(searches.join(QStringLiteral(" and ")),
             searches.size() > 1 ? QStringLiteral("s") : QString(),
             searches.size() > 1 ? QString() : QStringLiteral("s"),
             searches.size() > 1 ? QStringLiteral("them") : QStringLiteral("it"));
}

Settings Settings::load(QSettings& store, QStringList* problems) {
    Settings s;
    QStringList dropped;
    s.ports = store.value("ports").toStringList();
    s.ports.removeAll(QString());
    for (const station::Setting& setting : station::settings()) {
        const QString key = setting.storedAs();
        if (!setting.offers(station::kStored) || !store.contains(key)) continue;
        if (setting.kind == station::Kind::Flag) {
            setting.parse(s.plan, store.value(key).toBool() ? "true" : "false", nullptr);
            continue;
        }
        // Nothing for a limit or a text: the default.
        const QString text = store.value(key).toString();
        const bool mayBeEmpty = setting.limit() || setting.kind == station::Kind::Age ||
                                setting.kind == station::Kind::List ||
                                setting.kind == station::Kind::Text;
        QString why;
        if ((!text.isEmpty() || !mayBeEmpty) && !setting.parse(s.plan, text, &why))
            dropped << key + QLatin1String(": ") + why;
    }
    // The family and the start type go together.
    QString why;
    if (!station::checkStart(s.plan, &why)) {
        const station::PlanSettings defaults;
        s.plan.receiver = defaults.receiver;
        s.plan.start = defaults.start;
        dropped << why;
    }
    s.station = store.value("station").toString();
    s.db = store.value("db").toString();
    s.lot = store.value("lot").toString();
    s.operatorName = store.value("operator").toString();
    s.requireLotAndOperator = store.value("require_lot_and_operator", false).toBool();
    if (problems)
        for (const QString& p : dropped)
            *problems
                << QStringLiteral("setting %1 in %2; the default is used").arg(p, store.fileName());
    return s;
}

// The keys an earlier version wrote are written still, so that it reads
// what this one keeps.
void Settings::save(QSettings& store) const {
    store.setValue("ports", ports);
    for (const station::Setting& setting : station::settings())
        if (setting.offers(station::kStored))
            store.setValue(setting.storedAs(), setting.kind == station::Kind::Flag
                                                   ? QVariant(setting.toJson(plan).toBool())
                                                   : QVariant(setting.print(plan)));
    store.setValue("station", station);
    store.setValue("db", db);
    store.setValue("lot", lot);
    store.setValue("operator", operatorName);
    store.setValue("require_lot_and_operator", requireLotAndOperator);
}

QString Settings::stationName() const {
    return station.isEmpty() ? QSysInfo::machineHostName() : station;
}

std::optional<std::vector<station::UnitConfig>> slotConfigs(const Settings& settings,
                                                            QString* error) {
    // Each tile starts its unit when it is scanned, so there is no moment at
    // which one generator's level could be stepped for every slot together:
    // a search is refused rather than ignored.
    if (const QString refused = searchRefusal(settings.plan); !refused.isEmpty()) {
        if (error) *error = refused;
        return std::nullopt;
    }
    auto units = station::unitConfigs(settings.plan, settings.ports, error);
    if (units)
        for (station::UnitConfig& unit : *units) unit.station = settings.stationName();
    return units;
}

Settings keptSettings(Settings chosen, const Settings& kept, const CommandLine& line) {
    if (!line.ports.isEmpty()) chosen.ports = kept.ports;
    if (line.db) chosen.db = kept.db;
    if (line.name) chosen.station = kept.station;
    return chosen;
}

std::optional<Settings> settingsForRun(Settings stored, const CommandLine& line, QString* error) {
    if (line.db) stored.db = *line.db;
    if (line.name) stored.station = *line.name;
    if (!line.ports.isEmpty()) stored.ports = line.ports;
    const auto plan = line.plan.over(stored.plan, error);
    if (!plan) return std::nullopt;
    stored.plan = *plan;
    return stored;
}

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version("version", "Show the program's version and exit.");
    const QCommandLineOption db("db",
                                "Where results are stored: a SQLite file or "
                                "postgresql://USER@HOST[:PORT]/DBNAME[?PARAMETER=VALUE&...].",
                                "DB");
    const QCommandLineOption name("station", "Name of this station (default: the host name).",
                                  "NAME");
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({help, version, db, name});
    station::addPlanOptions(parser);
    // Qt's own, taken by QApplication.
    for (const char* qt : {"platform", "display", "style"}) {
        QCommandLineOption option(QLatin1String(qt), QStringLiteral("Qt's -%1.").arg(qt), "VALUE");
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    parser.addPositionalArgument("PORT", "The units' ports, in tile order.",
                                 "PORT[@[BAUD][,FAMILY[,START]]]...");
    CommandLine line;
    auto fail = [&line](const QString& text) {
        line.action = CommandLine::Fail;
        line.text = text;
        line.exitStatus = station::kUsage;
        return line;
    };
    if (!parser.parse(arguments)) return fail(parser.errorText());
    if (parser.isSet(help)) {
        line.action = CommandLine::Print;
        line.text = station::helpText(parser, QStringLiteral("gps-coldstart-station"));
        return line;
    }
    if (parser.isSet(version)) {
        line.action = CommandLine::Print;
        line.text = QStringLiteral("gps-coldstart-station %1\n").arg(station::programVersion());
        return line;
    }
    if (parser.isSet(db)) {
        QString error;
        if (!results::parseTarget(parser.value(db), &error)) return fail(error);
        line.db = parser.value(db);
    }
    if (parser.isSet(name)) {
        if (parser.value(name).isEmpty())
            return fail(QStringLiteral("--station: the name is empty"));
        line.name = parser.value(name);
    }
    QString error;
    const auto plan = station::planOptions(parser, &error);
    if (!plan) return fail(error);
    line.plan = *plan;
    // The plan file's tests too, whatever the kept settings are.
    QString unchecked;  // checked with the kept settings, once read
    if (const auto given = line.plan.over({}, &unchecked))
        if (const QString refused = searchRefusal(*given); !refused.isEmpty())
            return fail(QStringLiteral("--test: ") + refused);
    line.ports = parser.positionalArguments();
    if (line.ports.size() > 32)
        return fail(QStringLiteral("%1 ports given; a station window has 1 to 32 units")
                        .arg(line.ports.size()));
    for (const QString& port : line.ports)
        if (port.contains('='))
            return fail(QStringLiteral("%1: a slot takes its serial number from the scanner, "
                                       "not from the command line")
                            .arg(port));
    const auto ports = station::parsePortArgs(line.ports, 9600, &error);
    if (!ports) return fail(error);
    // Family and start type are checked together with the settings' once
    // those are read; a name that is none is refused here already.
    for (const station::PortArg& port : *ports) {
        if (!port.family.isEmpty() && !station::familyNamed(port.family.toStdString()))
            return fail(
                QStringLiteral("%1: unknown receiver family \"%2\"").arg(port.port, port.family));
        if (!port.start.isEmpty() && !station::startNames().contains(port.start))
            return fail(QStringLiteral("%1: unknown start type \"%2\"").arg(port.port, port.start));
    }
    return line;
}

}  // namespace stationwin
