#include "cli/options.h"

#include <QCommandLineParser>
#include <QSysInfo>

#include "results/deliverer.h"
#include "results/store.h"
#include "station/config.h"
#include "station/result.h"
#include "station/station.h"

namespace cli {

namespace {

const char* const kDescription =
    "Cold-starts GPS receivers on many serial ports at once, proves each reset was\n"
    "taken, measures the time to first fix and holds it to limits; every result\n"
    "is kept in a database before it is printed.";

const char* const kStartHere =
    "  gps-coldstart-cli /dev/ttyUSB0=SN0001 /dev/ttyUSB1=SN0002\n"
    "      Cold-starts two SiRF receivers at 9600 baud, proves each reset, times\n"
    "      the fix and keeps each result in the default SQLite file.\n"
    "  gps-coldstart-cli --receiver auto --baud auto --max-ttff 45 --lot WO-1187 \\\n"
    "      /dev/ttyUSB0=SN0001\n"
    "      Finds the unit's family and rate; a TTFF over 45 s fails it.\n"
    "  gps-coldstart-cli report --lot WO-1187 --html lot.html\n"
    "      The lot's yield, TTFF and failed units as a page (without --html, as\n"
    "      text).\n"
    "  No receiver at hand? gps-receiver-sim makes one on a pseudo-terminal and\n"
    "  prints its device path (gps-receiver-sim --help).";

const char* const kPorts =
    "  Each port is PORT[@[BAUD][,FAMILY[,START]]][=UNIT]. PORT is a device path\n"
    "  (/dev/ttyUSB0, /dev/serial/by-id/...) or a port name as the window has it\n"
    "  (\"COM 3\", COM3). BAUD is a line rate (default --baud); FAMILY and START\n"
    "  override --receiver and --start for that port (/dev/ttyUSB1@115200,ublox,hot;\n"
    "  COM3@,mtk). UNIT is the unit's serial number.";

const char* const kResults =
    "  Every result is stored before it is printed: in a SQLite file (default\n"
    "  $XDG_DATA_HOME/gps-coldstart/results.sqlite), or on a PostgreSQL server with\n"
    "  --db postgresql://USER@HOST[:PORT]/DBNAME[?PARAMETER=VALUE&...], TLS and\n"
    "  all (sslmode=verify-full&sslrootcert=FILE; the manual page lists them; the\n"
    "  password from PGPASSWORD or ~/.pgpass, never shown). While the database\n"
    "  fails, results go to a spool file that the next start moves in.";

const char* const kLine =
    "  --route-check CMD asks the line before each unit starts (JSON on its\n"
    "  standard input; it answers {\"allow\": true} or {\"allow\": false,\n"
    "  \"reason\": \"...\"} within 10 s); --power CMD switches a slot's supply: it\n"
    "  is given SLOT PORT on|off (10 s), after its words or, in a shell line, as\n"
    "  \"$@\". The manual page says what each command gets. --generator drives\n"
    "  the signal generator that feeds the slots, over SCPI (SIGNAL GENERATOR in\n"
    "  the manual page).";

const char* const kWindow =
    "  The window sends the start command with the fifth GGA sentence with a usable\n"
    "  time and takes the next GGA as its proof; the station by default sends it\n"
    "  as soon as the receiver is known to be there and proves the reset itself.";

const char* const kCommands =
    "  gps-coldstart-cli report [--db DB] [--since DATE] [--until DATE]\n"
    "      [--station NAME] [--lot NAME] [--unit SERIAL] [--csv FILE | --json]\n"
    "      [--html FILE] [--grr NAME | --grr-csv FILE | --type1 NAME]\n"
    "      [--undelivered] [--evidence KEY FILE | --evidence-raw KEY FILE |\n"
    "      --evidence-text KEY FILE] [--strike ID --why TEXT]\n"
    "      Summarises the stored results; each mode in gps-coldstart-cli report\n"
    "      --help.\n"
    "  gps-coldstart-cli calibrate --golden SERIAL --expect DBHZ --cn0-sv SYS:PRN\n"
    "      PORT...\n"
    "      Keeps each slot's offset for signal tests (calibrate --help).\n"
    "  gps-coldstart-cli db grant --db postgresql://OWNER@HOST/DBNAME\n"
    "      Gives a line's server a station role and a report role (db --help).\n"
    "  gps-coldstart-cli deliver [--db DB] [--station NAME] [--plan FILE]\n"
    "      [--deliver CMD]... [--deliver-url URL]...\n"
    "      Delivers what waits for the line without testing a unit (deliver --help).";

const char* const kExitStatus =
    "  0    every unit passed every cycle\n"
    "  1    at least one unit failed\n"
    "  2    usage mistake (nothing was opened)\n"
    "  3    no unit failed, but a port could not be opened, a slot needs calibration\n"
    "       (calibration-needed), the station is not qualified by its gauge study\n"
    "       (station-not-qualified), the route check or the power command failed\n"
    "       (route-check-failed, power-failed) or a result could not be kept; or the\n"
    "       database could not be opened (no port was opened)\n"
    "  4    every unit passed, but some results are only in the spool file\n"
    "  5    no unit failed and there was no station fault, but the line refused a\n"
    "       unit (--route-check)\n"
    "  130  interrupted by SIGINT, SIGTERM or SIGHUP (results so far are stored and\n"
    "       printed)";

Parsed failure(const QString& message) {
    Parsed parsed;
    parsed.action = Parsed::Fail;
    parsed.text = message;
    parsed.exitStatus = station::kUsage;
    return parsed;
}

}  // namespace

Parsed parseArguments(const QStringList& arguments) {
    using station::Group;
    using station::planOptionsUnder;
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version("version", "Show the program's version and exit.");
    const QCommandLineOption quiet("quiet", "Print no progress on standard error.");
    const QList<QCommandLineOption> results = {
        {"json", "Print one JSON object per unit and cycle (JSON Lines)."},
        {"station", "Name of this station (default: the host name).", "NAME"},
        {"operator", "Who runs the station, stored with each result.", "NAME"},
        {"lot", "The lot (work order), stored with each result.", "NAME"},
        {"db",
         "Where results are stored: a SQLite file, or a PostgreSQL server as "
         "postgresql://USER@HOST[:PORT]/DBNAME?... (above).",
         "DB"},
        {"no-db", "Store nothing."},
    };
    // The help's sections hold every option the parser takes, each once.
    const auto section = [](Group group, const char* text, QList<QCommandLineOption> before = {}) {
        return station::HelpSection{station::headingOf(group), QLatin1String(text),
                                    before + planOptionsUnder(group)};
    };
    const std::vector<station::HelpSection> sections = {
        {QStringLiteral("Start here"), QLatin1String(kStartHere), {}},
        section(Group::Ports, kPorts),
        section(Group::Tests, ""),
        section(Group::Results, kResults, results),
        section(Group::Line, kLine),
        section(Group::Window, kWindow),
        {QStringLiteral("Other commands"), QLatin1String(kCommands), {}},
        {QStringLiteral("Other options"), QString(), {help, version, quiet}},
        {QStringLiteral("Exit status"), QLatin1String(kExitStatus), {}},
    };
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const station::HelpSection& s : sections) parser.addOptions(s.options);

    if (!parser.parse(arguments)) return failure(parser.errorText());
    Parsed parsed;
    if (parser.isSet(help)) {
        parsed.action = Parsed::Print;
        parsed.text = station::sectionedHelp(
            QStringLiteral("gps-coldstart-cli [options] PORT[@[BAUD][,FAMILY[,START]]][=UNIT]..."),
            QLatin1String(kDescription), sections);
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.action = Parsed::Print;
        parsed.text = QStringLiteral("gps-coldstart-cli %1\n").arg(station::programVersion());
        return parsed;
    }

    QString error;
    const auto options = station::planOptions(parser, &error);
    const auto plan = options ? options->over(station::Plan(), &error) : std::nullopt;
    if (!plan) return failure(error);
    station::UnitConfig base;
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
    const auto units = station::unitConfigs(*plan, parser.positionalArguments(), &error);
    if (!units) return failure(error);
    for (station::UnitConfig unit : *units) {
        unit.station = base.station;
        unit.operatorName = base.operatorName;
        unit.lot = base.lot;
        parsed.options.units.push_back(unit);
    }
    parsed.options.json = parser.isSet("json");
    parsed.options.quiet = parser.isSet(quiet);
    return parsed;
}

QString deliveryMistake(const Options& options) {
    if (options.units.empty()) return {};
    const auto delivery = results::deliverySettingsOf(options.units.front());
    if (delivery.enabled() && !options.db)
        return QStringLiteral(
            "--deliver and --deliver-url need the results database, which keeps their queue; "
            "not with --no-db");
    return {};
}

}  // namespace cli
