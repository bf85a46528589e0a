#include "stationwin/config.h"

#include <QCommandLineParser>
#include <QSysInfo>

#include "gpslink/resetcommand.h"

namespace stationwin {

namespace {

const char* const kDescription =
    "A station window: one tile per test slot.  Scan a unit's serial number into a slot's\n"
    "tile (the scanner types it and Enter) and its cold start runs; the tile turns green or\n"
    "red with the verdict in words.  Tab moves between units, Enter starts, Esc stops.\n"
    "\n"
    "Each PORT is PORT[@[BAUD][,FAMILY[,START]]] as for gps-coldstart-cli; without any, the\n"
    "units are the ports chosen in the settings dialog.  Results go to the same database as\n"
    "gps-coldstart-cli's.\n"
    "\n"
    "Exit status:\n"
    "  0  the window was closed\n"
    "  2  usage mistake (nothing was opened)\n"
    "  3  the results database could not be opened (no port was opened)";

// False when the stored value was named in *problems.
template <typename T>
bool readNumber(QSettings& store, const char* key, T low, T high, T& value, QStringList* problems) {
    if (!store.contains(QLatin1String(key))) return true;
    bool ok = false;
    const QString text = store.value(QLatin1String(key)).toString();
    const double read = text.toDouble(&ok);
    if (!ok || read < double(low) || read > double(high)) {
        *problems << QStringLiteral("%1 \"%2\" is not from %3 to %4")
                         .arg(QLatin1String(key), text)
                         .arg(low)
                         .arg(high);
        return false;
    }
    value = T(read);
    return true;
}

void readLimit(QSettings& store, const char* key, double high, std::optional<double>& value,
               QStringList* problems) {
    if (!store.contains(QLatin1String(key)) || store.value(QLatin1String(key)).toString().isEmpty())
        return;
    double read = 0;
    if (readNumber(store, key, 0.0, high, read, problems)) value = read;
}

}  // namespace

Settings Settings::load(QSettings& store, QStringList* problems) {
    Settings s;
    QStringList dropped;
    s.ports = store.value("ports").toStringList();
    s.ports.removeAll(QString());
    if (store.contains("baud")) {
        const auto baud = station::lineRate(store.value("baud").toString());
        if (baud)
            s.baud = *baud;
        else
            dropped << QStringLiteral("baud \"%1\" is not a line rate")
                           .arg(store.value("baud").toString());
    }
    for (const auto& [key, field] : {std::pair{"family", &s.family}, std::pair{"start", &s.start}})
        if (store.contains(QLatin1String(key))) *field = store.value(QLatin1String(key)).toString();
    station::UnitConfig probe;
    QString error;
    if (!station::configureStart(probe, s.family, s.start, false, &error)) {
        dropped << error;
        s.family = QStringLiteral("sirf");
        s.start = QStringLiteral("cold");
    }
    readNumber(store, "cycles", 1, 100000, s.cycles, &dropped);
    readNumber(store, "confirm_timeout_s", 1, 3600, s.confirmTimeoutS, &dropped);
    readNumber(store, "fix_timeout_s", 1, 86400, s.fixTimeoutS, &dropped);
    readLimit(store, "max_ttff_s", 86400, s.limits.maxTtffS, &dropped);
    std::optional<double> minSats;
    readLimit(store, "min_sats", 99, minSats, &dropped);
    if (minSats) s.limits.minSats = int(*minSats);
    readLimit(store, "min_cn0", 99, s.limits.minCn0, &dropped);
    s.station = store.value("station").toString();
    s.db = store.value("db").toString();
    s.lot = store.value("lot").toString();
    s.operatorName = store.value("operator").toString();
    if (problems)
        for (const QString& p : dropped)
            *problems
                << QStringLiteral("setting %1 in %2; the default is used").arg(p, store.fileName());
    return s;
}

void Settings::save(QSettings& store) const {
    store.setValue("ports", ports);
    store.setValue("baud", baud);
    store.setValue("family", family);
    store.setValue("start", start);
    store.setValue("cycles", cycles);
    store.setValue("confirm_timeout_s", confirmTimeoutS);
    store.setValue("fix_timeout_s", fixTimeoutS);
    store.setValue("max_ttff_s", limits.maxTtffS ? QString::number(*limits.maxTtffS) : QString());
    store.setValue("min_sats", limits.minSats ? QString::number(*limits.minSats) : QString());
    store.setValue("min_cn0", limits.minCn0 ? QString::number(*limits.minCn0) : QString());
    store.setValue("station", station);
    store.setValue("db", db);
    store.setValue("lot", lot);
    store.setValue("operator", operatorName);
}

QString Settings::stationName() const {
    return station.isEmpty() ? QSysInfo::machineHostName() : station;
}

std::optional<std::vector<station::UnitConfig>> slotConfigs(const Settings& settings,
                                                            QString* error) {
    const auto ports = station::parsePortArgs(settings.ports, settings.baud, error);
    if (!ports) return std::nullopt;
    std::vector<station::UnitConfig> units;
    for (const station::PortArg& port : *ports) {
        station::UnitConfig unit;
        unit.port = port.port;
        unit.device = port.device;
        unit.baud = port.baud;
        unit.station = settings.stationName();
        unit.cycles = settings.cycles;
        unit.confirmTimeoutS = settings.confirmTimeoutS;
        unit.fixTimeoutS = settings.fixTimeoutS;
        unit.limits = settings.limits;
        const QString family = port.family.isEmpty() ? settings.family : port.family;
        const QString start = port.start.isEmpty() ? settings.start : port.start;
        if (!station::configureStart(unit, family, start, false, error)) {
            *error = port.port + QLatin1String(": ") + *error;
            return std::nullopt;
        }
        units.push_back(unit);
    }
    return units;
}

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version("version", "Show the program's version and exit.");
    const QCommandLineOption db(
        "db", "Where results are stored: a SQLite file or postgresql://USER@HOST[:PORT]/DBNAME.",
        "DB");
    const QCommandLineOption name("station", "Name of this station (default: the host name).",
                                  "NAME");
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({help, version, db, name});
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
        line.exitStatus = kUsage;
        return line;
    };
    if (!parser.parse(arguments)) return fail(parser.errorText());
    if (parser.isSet(help)) {
        line.action = CommandLine::Print;
        line.text = parser.helpText().replace(QLatin1String("<executable_name>"),
                                              QLatin1String("gps-coldstart-station"));
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
    line.ports = parser.positionalArguments();
    if (line.ports.size() > 32)
        return fail(QStringLiteral("%1 ports given; a station window has 1 to 32 units")
                        .arg(line.ports.size()));
    for (const QString& port : line.ports)
        if (port.contains('='))
            return fail(QStringLiteral("%1: a slot takes its serial number from the scanner, "
                                       "not from the command line")
                            .arg(port));
    QString error;
    const auto ports = station::parsePortArgs(line.ports, 9600, &error);
    if (!ports) return fail(error);
    // Family and start type are checked together with the settings' once
    // those are read; a name that is none is refused here already.
    for (const station::PortArg& port : *ports) {
        if (!port.family.isEmpty() && !gpslink::receiverFamilyFromName(port.family.toStdString()))
            return fail(
                QStringLiteral("%1: unknown receiver family \"%2\"").arg(port.port, port.family));
        if (!port.start.isEmpty() && !gpslink::startTypeFromName(port.start.toStdString()))
            return fail(QStringLiteral("%1: unknown start type \"%2\"").arg(port.port, port.start));
    }
    return line;
}

}  // namespace stationwin
