#include "cli/calibrate.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QSysInfo>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "cli/progress.h"
#include "instrument/levelsources.h"
#include "results/storeworker.h"
#include "session/session.h"
#include "station/calibration.h"
#include "station/stopsignals.h"

namespace cli {

namespace {

const char* const kDescription =
    "Measures a golden unit's C/N0 of the generator's satellite (--cn0-sv) in every\n"
    "slot given, at once, without a reset, and keeps each slot's offset (--expect\n"
    "minus the measured mean) in the results database under the slot's port name,\n"
    "with the time, the station, the operator and the golden unit's serial number.\n"
    "A signal test adds its slot's latest offset to what it measures.  Prints one\n"
    "line per slot (JSON with --json: port, offset, measured, expected, golden, id,\n"
    "result, drift, drift_flagged, status).  result is ok, offset-too-large (beyond\n"
    "--max-offset; kept, so that the slot stays out of use) or signal-not-seen\n"
    "(nothing kept).  drift_flagged: the offset moved more than 1 dB since the\n"
    "slot's previous calibration.  alarms: the rules of the slot's offset charts\n"
    "the calibration broke (gps-coldstart-cli spc --help).\n"
    "\n"
    "Exit status:\n"
    "  0    every slot calibrated\n"
    "  1    a slot was not\n"
    "  2    usage mistake\n"
    "  3    the database could not be opened or a calibration could not be kept\n"
    "  130  interrupted";

QString offsetText(const std::optional<double>& value) {
    return value ? QString::number(*value, 'f', 2) : QStringLiteral("-");
}

}  // namespace

int runCalibrate(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        {{"h", "help"}, "Show this help and exit."},
        {"golden", "The golden unit's serial number.", "SERIAL"},
        {"expect", "The C/N0 the golden unit reads of the generator's satellite, dB-Hz.", "DBHZ"},
        {"cn0-sv", "The generator's satellite, SYS:PRN (e.g. GPS:1).", "SYS:PRN"},
        {"baud", "Line rate of ports given without @BAUD (default 9600); auto: found.", "BAUD"},
        {"receiver", "The golden unit's receiver family (default sirf); auto: found.", "FAMILY"},
        {"json", "Print one JSON object per slot."},
        {"db", "Where calibrations are kept: a SQLite file or postgresql://...", "DB"},
        {"station", "Name of this station (default: the host name).", "NAME"},
        {"operator", "Who calibrates, kept with each calibration.", "NAME"},
        {"quiet", "Print no progress on standard error."},
    });
    // Settings as a run takes them; with a signal generator, the golden unit
    // is measured at its level and each slot's offset is its path loss.
    const char* const taken[] = {"fix_timeout_s",     "cn0_samples", "max_offset_db", "generator",
                                 "generator_dialect", "scenario",    "level_dbm"};
    for (const char* key : taken) {
        const station::Setting& s = station::setting(key);
        parser.addOption({QLatin1String(s.option), s.helpText(), QLatin1String(s.valueName)});
    }
    parser.addPositionalArgument("PORT", "The slots, each as a run takes it.",
                                 "PORT[@[BAUD][,FAMILY]]...");
    auto usage = [&](const QString& text) {
        err << "gps-coldstart-cli calibrate: " << text << '\n';
        return int(station::kUsage);
    };
    QStringList all = arguments;
    all.prepend(QStringLiteral("gps-coldstart-cli calibrate"));
    if (!parser.parse(all)) return usage(parser.errorText());
    if (parser.isSet("help")) {
        out << station::helpText(parser, QStringLiteral("gps-coldstart-cli calibrate"));
        return station::kOk;
    }

    station::Plan plan;
    plan.tests = QStringList{QStringLiteral("signal")};
    QString error;
    for (const char* key : taken) {
        const station::Setting& s = station::setting(key);
        if (parser.isSet(QLatin1String(s.option)) &&
            !s.parse(plan, parser.value(QLatin1String(s.option)), &error))
            return usage(QStringLiteral("--%1: %2").arg(QLatin1String(s.option), error));
    }
    if (!parser.isSet("golden") || parser.value("golden").isEmpty())
        return usage(QStringLiteral("--golden: the golden unit's serial number is needed"));
    bool ok = false;
    const double expected = parser.value("expect").toDouble(&ok);  // C conventions
    if (!ok || expected <= 0 || expected >= 99)
        return usage(QStringLiteral("--expect: \"%1\" is not a C/N0 from 0 to 99 dB-Hz")
                         .arg(parser.value("expect")));
    if (!station::setting("cn0_sv").parse(plan, parser.value("cn0-sv"), &error))
        return usage(QStringLiteral("--cn0-sv: ") + error);
    if (parser.isSet("baud") && !station::setting("baud").parse(plan, parser.value("baud"), &error))
        return usage(QStringLiteral("--baud: ") + error);
    plan.receiver = parser.isSet("receiver") ? parser.value("receiver") : plan.receiver;
    if (!station::checkStart(plan, &error)) return usage(QStringLiteral("--receiver: ") + error);
    if (parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("no port given (see --help)"));
    auto units = station::unitConfigs(plan, parser.positionalArguments(), &error);
    if (!units) return usage(error);
    const QString stationName =
        parser.isSet("station") ? parser.value("station") : QSysInfo::machineHostName();
    for (station::UnitConfig& slot : *units) {
        slot.station = stationName;
        slot.operatorName = parser.value("operator");
    }
    std::optional<results::Target> target = results::defaultTarget();
    if (parser.isSet("db")) {
        target = results::parseTarget(parser.value("db"), &error);
        if (!target) return usage(QStringLiteral("--db: ") + error);
    }

    // The database first: no port is opened when it cannot keep calibrations.
    auto store = results::StoreWorker::open(*target, &error);
    if (!store) {
        err << "gps-coldstart-cli calibrate: " << error << '\n';
        return station::kStationFault;
    }
    station::Calibrator calibrator(std::move(*units), parser.value("golden"), expected,
                                   plan.maxOffsetDb, session::calibrationKeeper(store.get()));
    const std::unique_ptr<station::LevelSource> generator = instrument::makeLevelSource(plan);
    if (generator) {
        calibrator.setGeneratorLevel(plan.levelDbm);
        calibrator.station().setLevelSource(generator.get());
    }
    const bool json = parser.isSet("json");
    QObject::connect(
        &calibrator, &station::Calibrator::slotCalibrated,
        [&](const station::CalibrationOutcome& o) {
            if (json) {
                out << QJsonDocument(o.toJson()).toJson(QJsonDocument::Compact) << '\n';
            } else {
                out << o.port << ": " << o.result << ", offset " << offsetText(o.offset)
                    << " dB (measured " << offsetText(o.measured) << ", expected " << o.expected
                    << ")" << (o.drift ? ", drift " + offsetText(o.drift) + " dB" : QString())
                    << (o.driftFlagged ? " FLAGGED" : "")
                    // Nothing measured: why, in the station's words.
                    << (o.measured || o.status.isEmpty() ? QString() : ", " + o.status)
                    << (o.error.isEmpty() ? QString() : ", not kept: " + o.error)
                    << (o.alarms.isEmpty() ? QString() : ", ALARM " + o.alarms.join(", ALARM "))
                    << '\n';
            }
            out.flush();
        });
    const auto mode = Progress::modeFor(stderr, parser.isSet("quiet"));
    Progress progress(calibrator.station(), mode,
                      mode == Progress::Mode::Live && !std::getenv("NO_COLOR"));
    QObject::connect(&calibrator, &station::Calibrator::finished, [&] {
        progress.flush();
        QCoreApplication::exit(calibrator.exitStatus());
    });
    if (!station::onStopSignals(
            {SIGINT, SIGTERM, SIGHUP}, [&calibrator] { calibrator.interrupt(); }, &error)) {
        err << "gps-coldstart-cli calibrate: " << error << '\n';
        return station::kStationFault;
    }
    calibrator.start();
    return QCoreApplication::exec();
}

}  // namespace cli
