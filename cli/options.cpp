#include "cli/options.h"

#include <QCommandLineParser>
#include <QSysInfo>
#include <cmath>

#include "results/store.h"
#include "station/portargs.h"
#include "station/result.h"
#include "station/station.h"

namespace cli {

namespace {

const char* const kDescription =
    "Cold-starts GPS receivers on many serial ports at once, proves each reset was taken,\n"
    "measures the time to first fix and holds it to limits.\n"
    "\n"
    "Each port is PORT[@[BAUD][,FAMILY[,START]]][=UNIT]. PORT is a device path\n"
    "(/dev/ttyUSB0, /dev/serial/by-id/...) or a port name as the window has it (\"COM 3\",\n"
    "COM3). BAUD is a line rate (default --baud); FAMILY and START override --receiver and\n"
    "--start for that port (/dev/ttyUSB1@115200,ublox,hot; COM3@,mtk). UNIT is the unit's\n"
    "serial number.\n"
    "\n"
    "Every result is stored before it is printed: in a SQLite file (default\n"
    "$XDG_DATA_HOME/gps-coldstart/results.sqlite), or on a PostgreSQL server with\n"
    "--db postgresql://USER@HOST[:PORT]/DBNAME (password from PGPASSWORD or ~/.pgpass).\n"
    "While the database fails, results go to a spool file that the next start moves in.\n"
    "\n"
    "  gps-coldstart-cli report [--db ...] [--since DATE] [--until DATE] [--station NAME]\n"
    "                           [--lot NAME] [--unit SERIAL] [--csv FILE | --json]\n"
    "summarises the stored results (see gps-coldstart-cli report --help).\n"
    "\n"
    "Exit status:\n"
    "  0    every unit passed every cycle\n"
    "  1    at least one unit failed\n"
    "  2    usage mistake (nothing was opened)\n"
    "  3    no unit failed, but a port could not be opened; or the database could\n"
    "       not be opened (no port was opened); or a result could not be kept\n"
    "  4    every unit passed, but some results are only in the spool file\n"
    "  130  interrupted by SIGINT, SIGTERM or SIGHUP (results so far are stored and printed)";

struct Numbers {
    const QCommandLineParser& parser;
    QString error;

    // A whole number in [low, high] from the option, or fallback when absent.
    int whole(const QString& name, int low, int high, int fallback) {
        if (!parser.isSet(name) || !error.isEmpty()) return fallback;
        bool ok = false;
        const int value = parser.value(name).toInt(&ok);
        if (!ok || value < low || value > high)
            error = QStringLiteral("--%1: \"%2\" is not a whole number from %3 to %4")
                        .arg(name, parser.value(name))
                        .arg(low)
                        .arg(high);
        return value;
    }
    std::optional<double> real(const QString& name, double low, double high) {
        if (!parser.isSet(name) || !error.isEmpty()) return std::nullopt;
        bool ok = false;
        const double value = parser.value(name).toDouble(&ok);
        if (!ok || !std::isfinite(value) || value < low || value > high) {
            error = QStringLiteral("--%1: \"%2\" is not a number from %3 to %4")
                        .arg(name, parser.value(name))
                        .arg(low)
                        .arg(high);
            return std::nullopt;
        }
        return value;
    }
};

Parsed failure(const QString& message) {
    Parsed parsed;
    parsed.action = Parsed::Fail;
    parsed.text = message;
    parsed.exitStatus = station::kUsage;
    return parsed;
}

}  // namespace

Parsed parseArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version("version", "Show the program's version and exit.");
    parser.addOptions({
        help,
        version,
        {"baud", "Line rate of ports given without @BAUD (default 9600).", "BAUD", "9600"},
        {"cycles", "Cold starts per unit (default 1).", "N", "1"},
        {"confirm-timeout", "Seconds from the command to a seen reset (default 30).", "S", "30"},
        {"fix-timeout", "Seconds from the command to the first fix (default 300).", "S", "300"},
        {"max-ttff", "Fail a time to first fix over S seconds.", "S"},
        {"min-sats", "Fail a fix with fewer than N satellites used.", "N"},
        {"min-cn0", "Fail a fix whose four strongest satellites average under DBHZ.", "DBHZ"},
        {"json", "Print one JSON object per unit and cycle (JSON Lines)."},
        {"receiver",
         "Receiver family: sirf, mtk, airoha, quectel-lg, casic or ublox (default sirf).", "FAMILY",
         "sirf"},
        {"start", "Start type: cold, warm, hot, or factory for mtk and airoha (default cold).",
         "TYPE", "cold"},
        {"require-reset", "Fail a hot start whose reset is not seen."},
        {"station", "Name of this station (default: the host name).", "NAME"},
        {"operator", "Who runs the station, stored with each result.", "NAME"},
        {"lot", "The lot (work order), stored with each result.", "NAME"},
        {"db", "Where results are stored: a SQLite file or postgresql://USER@HOST[:PORT]/DBNAME.",
         "DB"},
        {"no-db", "Store nothing."},
        {"quiet", "Print no progress on standard error."},
    });
    parser.addPositionalArgument("PORT", "The ports to test, all at once.",
                                 "PORT[@[BAUD][,FAMILY[,START]]][=UNIT]...");

    if (!parser.parse(arguments)) return failure(parser.errorText());
    Parsed parsed;
    if (parser.isSet(help)) {
        parsed.action = Parsed::Print;
        parsed.text = parser.helpText();
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.action = Parsed::Print;
        parsed.text = QStringLiteral("gps-coldstart-cli %1\n").arg(station::programVersion());
        return parsed;
    }

    const auto baud = station::lineRate(parser.value("baud"));
    if (!baud)
        return failure(QStringLiteral("--baud: unknown rate \"%1\"").arg(parser.value("baud")));
    Numbers numbers{parser, {}};
    station::UnitConfig base;
    base.cycles = numbers.whole("cycles", 1, 100000, 1);
    base.confirmTimeoutS = numbers.whole("confirm-timeout", 1, 3600, 30);
    base.fixTimeoutS = numbers.whole("fix-timeout", 1, 86400, 300);
    base.limits.maxTtffS = numbers.real("max-ttff", 0, 86400);
    if (parser.isSet("min-sats")) base.limits.minSats = numbers.whole("min-sats", 0, 99, 0);
    base.limits.minCn0 = numbers.real("min-cn0", 0, 99);
    if (!numbers.error.isEmpty()) return failure(numbers.error);
    base.station = parser.isSet("station") ? parser.value("station") : QSysInfo::machineHostName();
    if (base.station.isEmpty()) return failure(QStringLiteral("--station: the name is empty"));
    base.operatorName = parser.value("operator");
    base.lot = parser.value("lot");
    if (parser.isSet("db") && parser.isSet("no-db"))
        return failure(QStringLiteral("--db and --no-db contradict each other"));
    if (parser.isSet("db")) {
        QString error;
        parsed.options.db = results::parseTarget(parser.value("db"), &error);
        if (!parsed.options.db) return failure(QStringLiteral("--db: ") + error);
    } else if (!parser.isSet("no-db")) {
        parsed.options.db = results::defaultTarget();
    }

    if (parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("no port given (see --help)"));
    QString error;
    const auto ports = station::parsePortArgs(parser.positionalArguments(), *baud, &error);
    if (!ports) return failure(error);
    for (const station::PortArg& port : *ports) {
        station::UnitConfig unit = base;
        unit.port = port.port;
        unit.device = port.device;
        unit.baud = port.baud;
        unit.unit = port.unit;
        const QString family = port.family.isEmpty() ? parser.value("receiver") : port.family;
        const QString start = port.start.isEmpty() ? parser.value("start") : port.start;
        if (!station::configureStart(unit, family, start, parser.isSet("require-reset"), &error))
            return failure(
                (port.family.isEmpty() && port.start.isEmpty() ? QString() : port.port + ": ") +
                error);
        parsed.options.units.push_back(unit);
    }
    parsed.options.json = parser.isSet("json");
    parsed.options.quiet = parser.isSet("quiet");
    return parsed;
}

int finalStatus(int unitsStatus, bool anySpooled, bool anyLost) {
    const int status = results::exitStatusFor(unitsStatus, anySpooled);
    if (anyLost && (status == station::kAllPassed || status == results::kExitSpooled))
        return station::kStationFault;
    return status;
}

}  // namespace cli
