#include "station/settings.h"

#include <QJsonArray>
#include <QLocale>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "gpslink/resetcommand.h"
#include "gpslink/serialport.h"
#include "instrument/dialects.h"
#include "station/families.h"
#include "station/hook.h"
#include "station/portargs.h"
#include "station/testtypes.h"

namespace station {

namespace {

QString nameOf(std::string_view name) {
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

QString listed(const QStringList& names) {
    return names.mid(0, names.size() - 1).join(QLatin1String(", ")) + QLatin1String(" or ") +
           names.back();
}

// A number as the options take it and the stored settings keep it: C
// conventions, no exponent, as short as gives the same number back.
QString numberText(double value) {
    return QLocale::c().toString(value, 'f', QLocale::FloatingPointShortest);
}

// "24h", "30m", "90s".
QString ageText(double seconds) {
    for (const auto& [unit, size] : {std::pair{'h', 3600}, std::pair{'m', 60}})
        if (seconds >= size && std::fmod(seconds, size) == 0)
            return QString::number(qint64(seconds) / size) + QLatin1Char(unit);
    return numberText(seconds) + QLatin1Char('s');
}

QString rangeText(const Setting& s) {
    return QStringLiteral("%1 from %2 to %3")
        .arg(s.whole() ? QLatin1String("a whole number") : QLatin1String("a number"))
        .arg(s.low)
        .arg(s.high);
}

bool setExpectFirmware(PlanSettings& plan, const QString& pattern, QString* why) {
    const QRegularExpression expression(pattern);
    if (!expression.isValid()) {
        *why = QStringLiteral("\"%1\" is not a regular expression (%2 at %3)")
                   .arg(pattern, expression.errorString())
                   .arg(expression.patternErrorOffset());
        return false;
    }
    plan.expectFirmware = pattern;
    return true;
}

QStringList testChoices() {
    return {"fix",         "signal",         "fix,signal",        "antenna",
            "fix,antenna", "signal,antenna", "fix,signal,antenna"};
}

// "a, b and c".
QString andList(const QStringList& items) {
    if (items.size() < 2) return items.join(QString());
    return QStringList(items.mid(0, items.size() - 1)).join(QLatin1String(", ")) +
           QLatin1String(" and ") + items.back();
}

// In the test types' order, whatever the order asked.
bool setTests(PlanSettings& plan, const QString& text, QString* why) {
    const QStringList asked = text.split(QLatin1Char(','));
    QStringList tests, names;
    for (const TestTypeRow& row : testTypes()) {
        names << QLatin1String(row.name);
        if (asked.contains(names.back())) tests << names.back();
    }
    if (tests.isEmpty() || tests.size() != asked.size()) {
        *why = QStringLiteral("\"%1\" is not a list of %2, each once").arg(text, andList(names));
        return false;
    }
    plan.tests = tests;
    return true;
}

// The --test help: each test type as its row says it, in the help's order.
const char* testsHelp() {
    static const QByteArray help = [] {
        std::vector<const TestTypeRow*> said;
        for (const TestTypeRow& row : testTypes())
            if (row.said) said.push_back(&row);
        std::sort(said.begin(), said.end(),
                  [](const TestTypeRow* a, const TestTypeRow* b) { return a->saidAt < b->saidAt; });
        QStringList phrases;
        for (const TestTypeRow* row : said) phrases << QLatin1String(row->said);
        return (QStringLiteral("The tests, comma-separated, run in this order: ") +
                andList(phrases) + QStringLiteral(", e.g. fix,antenna,config."))
            .toUtf8();
    }();
    return help.constData();
}

bool setCn0Sv(PlanSettings& plan, const QString& text, QString* why) {
    static const QStringList systems = {"GPS",  "GLONASS", "Galileo", "BeiDou",
                                        "QZSS", "NavIC",   "SBAS"};
    const QStringList parts = text.split(QLatin1Char(':'));
    bool ok = false;
    const int prn = parts.size() == 2 ? parts[1].toInt(&ok) : 0;
    for (const QString& system : systems)
        if (ok && prn >= 1 && prn <= 255 && parts[0].compare(system, Qt::CaseInsensitive) == 0) {
            plan.cn0Sv = system + QLatin1Char(':') + QString::number(prn);
            return true;
        }
    *why = QStringLiteral("\"%1\" is not SYS:PRN (%2; PRN 1 to 255), e.g. GPS:1")
               .arg(text, listed(systems));
    return false;
}

bool setConfig(PlanSettings& plan, const QString& path, QString* why) {
    if (path.isEmpty()) {
        plan.config.clear();
        plan.configuration.reset();
        return true;
    }
    auto configuration = readConfiguration(path, why);
    if (!configuration) return false;
    plan.config = path;
    plan.configuration = std::move(configuration);
    return true;
}

// A study's name: printable, without a comma, at most 64 characters.
bool studyName(const QString& text, QString* why) {
    const bool printable = std::all_of(
        text.begin(), text.end(), [](QChar c) { return c.isPrint() && c != QLatin1Char(','); });
    if (text.size() > 64 || !printable || text.trimmed() != text) {
        *why = QStringLiteral(
                   "\"%1\" is not a study's name (printable, no comma or leading or "
                   "trailing space, at most 64 characters)")
                   .arg(text);
        return false;
    }
    return true;
}

bool setStudy(PlanSettings& plan, const QString& text, QString* why) {
    if (!studyName(text, why)) return false;
    plan.study = text;
    return true;
}

bool setQualifiedBy(PlanSettings& plan, const QString& text, QString* why) {
    if (!studyName(text, why)) return false;
    plan.qualifiedBy = text;
    return true;
}

// Several targets' texts, a line each; empty lines are none.
QStringList targetLines(const QString& text) {
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty()) lines << line.trimmed();
    return lines;
}

bool setDeliver(PlanSettings& plan, const QString& text, QString* why) {
    Q_UNUSED(why);
    plan.deliver = targetLines(text);
    return true;
}

bool setDeliverUrl(PlanSettings& plan, const QString& text, QString* why) {
    const QStringList given = targetLines(text);
    for (const QString& address : given) {
        const QUrl url(address, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty() ||
            (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
            *why = QStringLiteral("\"%1\" is not an http:// or https:// address").arg(address);
            return false;
        }
    }
    plan.deliverUrl = given;
    return true;
}

// A command of the line's or the fixture's (see hook.h); empty: none.
bool setCommand(QString& field, const QString& text, QString* why) {
    const HookCommand command = hookCommand(text, {});
    if (!text.isEmpty() && command.program.isEmpty()) {
        *why = QStringLiteral("\"%1\" is not a command: it %2").arg(text, command.error);
        return false;
    }
    field = text;
    return true;
}

bool setRouteCheck(PlanSettings& plan, const QString& text, QString* why) {
    return setCommand(plan.routeCheck, text, why);
}

bool setPower(PlanSettings& plan, const QString& text, QString* why) {
    return setCommand(plan.power, text, why);
}

QStringList spcRulesChoices() {
    return {"western-electric", "nelson"};
}

bool setSpcRules(PlanSettings& plan, const QString& text, QString* why) {
    if (!spcRulesChoices().contains(text)) {
        *why = QStringLiteral("\"%1\" is not %2").arg(text, listed(spcRulesChoices()));
        return false;
    }
    plan.spcRules = text;
    return true;
}

QStringList sendAfterChoices() {
    return {"ready", "time"};
}

bool setSendAfter(PlanSettings& plan, const QString& text, QString* why) {
    if (!sendAfterChoices().contains(text)) {
        *why = QStringLiteral("\"%1\" is not %2").arg(text, listed(sendAfterChoices()));
        return false;
    }
    plan.sendAfter = text;
    return true;
}

bool setEvidence(PlanSettings& plan, const QString& text, QString* why) {
    if (text != QLatin1String("on") && text != QLatin1String("off")) {
        *why = QStringLiteral("\"%1\" is not on or off").arg(text);
        return false;
    }
    plan.evidence = text;
    return true;
}

bool setGenerator(PlanSettings& plan, const QString& text, QString* why) {
    if (!text.isEmpty() && !instrument::parseAddress(text, why)) return false;
    plan.generator = text;
    return true;
}

bool setGeneratorDialect(PlanSettings& plan, const QString& text, QString* why) {
    if (!instrument::dialect(text)) {
        *why = QStringLiteral("unknown generator dialect \"%1\" (%2)")
                   .arg(text, listed(instrument::dialectNames()));
        return false;
    }
    plan.generatorDialect = text;
    return true;
}

// Sent in double quotes: none in it, nor a line break.
bool setScenario(PlanSettings& plan, const QString& text, QString* why) {
    if (text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n')) ||
        text.contains(QLatin1Char('\r'))) {
        *why = QStringLiteral("\"%1\" is not a scenario's name: no double quote or line break")
                   .arg(text);
        return false;
    }
    plan.scenario = text;
    return true;
}

// The node exporter's textfile collector reads only files named *.prom.
bool setMetricsFile(PlanSettings& plan, const QString& text, QString* why) {
    if (!text.isEmpty() && !text.endsWith(QLatin1String(".prom"))) {
        *why = QStringLiteral(
                   "\"%1\" does not end in .prom, which the node exporter's textfile"
                   " collector reads")
                   .arg(text);
        return false;
    }
    if (text.contains(QLatin1Char('\n'))) {
        *why = QStringLiteral("a file name is one line");
        return false;
    }
    plan.metricsFile = text;
    return true;
}

using S = PlanSettings;
using results::kGoldenRunsRead;
using Row = Setting;

// The limits of the test's measures, each as its measure's row gives it;
// those of the tests of their own rows are the command line's and the plan's
// only.
void appendLimits(std::vector<Setting>& rows, results::Test test) {
    for (const results::MeasureRow& m : results::kMeasures) {
        if (m.test != test) continue;
        for (const results::Bound* b : {&m.least, &m.most}) {
            if (!b->key) continue;
            Row row = Row{b->key,  b->option,    b->valueName,
                          b->help, Kind::Number, LimitOf{m.measure, b == &m.most}}
                          .range(b->least, b->most, m.unit)
                          .when(InForce::UnlessDefault);
            if (test == results::Test::Fix || test == results::Test::Signal)
                row.inDialog(b->dialog, test == results::Test::Signal ? 1 : 0);
            else
                row.notStored();
            rows.push_back(row);
        }
    }
}

// Each setting in the order the help and the dialog give them.
std::vector<Setting> table() {
    std::vector<Setting> rows = {
        Row{"baud", "baud", "BAUD",
            "Line rate of ports given without @BAUD (default %1); auto: found by listening at "
            "each rate.",
            Kind::Rate, &S::baud}
            .inDialog("&Baud rate")
            .under(Group::Ports),
        Row{"receiver", "receiver", "FAMILY",
            "Receiver family: %2 (default %1); auto: found from what the receiver says.",
            Kind::Name, &S::receiver, kCommandLine | kPlanFile, InForce::Always, 0, 0, "", nullptr,
            familyNames, true}
            .stored("family")  // as the station window has always kept it
            .inDialog("Receiver &family")
            .under(Group::Ports),
        Row{"start", "start", "TYPE", "Start type: %2 (default %1).", Kind::Name, &S::start,
            kCommandLine | kPlanFile, InForce::Always, 0, 0, "", nullptr, startNames}
            .stored("start")
            .inDialog("S&tart type")
            .under(Group::Ports),
        Row{"require_reset", "require-reset", "",
            "Fail every unit whose reset is not proven, one with no fix to lose and a hot start"
            " included (without it only a unit that kept its fix fails).",
            Kind::Flag, &S::requireHotReset},
        Row{"cycles", "cycles", "N", "Starts per unit (default %1).", Kind::Number, &S::cycles}
            .range(1, 100000)
            .inDialog("&Cycles per unit"),
        Row{"confirm_timeout_s", "confirm-timeout", "S",
            "Seconds from the command to a seen reset (default %1).", Kind::Number,
            &S::confirmTimeoutS}
            .range(1, 3600, "s")
            .inDialog("Reset seen within"),
        Row{"fix_timeout_s", "fix-timeout", "S",
            "Seconds from the command to the first fix (default %1).", Kind::Number,
            &S::fixTimeoutS}
            .range(1, 86400, "s")
            .inDialog("Fix within"),
        Row{"send_after", "send-after", "WHEN",
            "When the start command goes out: ready (once the receiver sends checked sentences "
            "and has answered who it is or run out its time; the default) or time (with the "
            "fifth GGA with a usable time, as the window sends it).",
            Kind::Name, &S::sendAfter, kCommandLine | kPlanFile | kStored, InForce::UnlessDefault,
            0, 0, "", setSendAfter, sendAfterChoices}
            .inDialog("Start command &after")
            .under(Group::Window),
    };
    appendLimits(rows, results::Test::Fix);
    rows.insert(
        rows.end(),
        {
            Row{"expect_firmware", "expect-firmware", "REGEX",
                "Fail a unit whose firmware does not match REGEX (wrong-firmware), or that does "
                "not say it (identity-unknown).",
                Kind::Text, &S::expectFirmware, kCommandLine | kPlanFile, InForce::UnlessDefault, 0,
                0, "", setExpectFirmware},
            Row{"require_identity", "require-identity", "",
                "Fail a unit that does not say who it is (identity-unknown).", Kind::Flag,
                &S::requireIdentity}
                .notStored()
                .when(InForce::UnlessDefault),
            Row{"to_nmea", "to-nmea", "",
                "Switch a SiRF receiver found in SiRF binary mode to NMEA at the line's rate, "
                "instead of failing it (binary-mode).",
                Kind::Flag, &S::toNmea}
                .notStored()
                .when(InForce::UnlessDefault)
                .under(Group::Ports),
            Row{"tests", "test", "TESTS", testsHelp(), Kind::List, &S::tests,
                kCommandLine | kPlanFile | kStored, InForce::UnlessDefault, 0, 0, "", setTests,
                testChoices}
                .inDialog("T&ests", 1),
            Row{"cn0_sv", "cn0-sv", "SYS:PRN",
                "The generator's satellite a signal test measures, SYS:PRN (e.g. GPS:1).",
                Kind::Text, &S::cn0Sv, kCommandLine | kPlanFile | kStored, InForce::WithSignal, 0,
                0, "", setCn0Sv}
                .inDialog("Generator's satellite", 1, "SYS:PRN, e.g. GPS:1"),
            Row{"cn0_samples", "cn0-samples", "N",
                "Seconds of the generator satellite's C/N0 a signal test takes (default %1).",
                Kind::Number, &S::cn0Samples}
                .range(1, 3600, "s")
                .inDialog("Signal samples", 1)
                .when(InForce::WithSignal),
        });
    appendLimits(rows, results::Test::Signal);
    rows.insert(rows.end(),
                {
                    Row{"level_dbm", "level", "DBM",
                        "With a signal generator: the level at the antenna port the fix and signal "
                        "tests run at (default %1).",
                        Kind::Number, &S::levelDbm}
                        .range(-200, 0, "dBm")
                        .notStored()
                        .when(InForce::UnlessDefault),
                });
    // The test types' own settings, then their limits.
    for (const TestTypeRow& test : testTypes())
        rows.insert(rows.end(), test.settings.begin(), test.settings.end());
    for (const TestTypeRow& test : testTypes())
        if (test.make && test.measures) appendLimits(rows, *test.measures);
    rows.insert(
        rows.end(),
        {
            Row{"calibration_max_age", "calibration-max-age", "AGE",
                "A slot whose latest calibration is older than AGE (90s, 30m, 24h; default %1) "
                "needs calibration.",
                Kind::Age, &S::calibrationMaxAgeS}
                .inDialog("Calibration usable for", 1, "90s, 30m, 24h")
                .when(InForce::WithSignal, "calibration_max_age_s"),
            Row{"max_offset_db", "max-offset", "DB",
                "A slot whose calibration offset is beyond DB either way needs calibration "
                "(default %1).",
                Kind::Number, &S::maxOffsetDb}
                .range(0, 99, "dB")
                .inDialog("Largest calibration offset", 1)
                .when(InForce::WithSignal),
            Row{"require_antenna", "require-antenna", "",
                "Fail an antenna test whose state is unknown (antenna-unknown): the antenna's "
                "supervision must be on.",
                Kind::Flag, &S::requireAntenna}
                .notStored()
                .when(InForce::UnlessDefault),
            Row{"antenna_s", "antenna-time", "S",
                "Seconds an antenna test without fix or signal test watches the antenna (default "
                "%1).",
                Kind::Number, &S::antennaS}
                .range(1, 3600, "s")
                .notStored()
                .when(InForce::UnlessDefault),
            Row{"config", "config", "FILE",
                "The configuration a config test writes, saves and reads back (JSON; see the "
                "manual "
                "page).",
                Kind::Text, &S::config, kCommandLine | kPlanFile, InForce::UnlessDefault, 0, 0, "",
                setConfig},
            Row{"rf_golden_runs", "rf-golden-runs", "N",
                "Hold a signal test's RF front end figures (u-blox AGC, noise, jamming) to the "
                "slot's golden unit's over at least N calibrations (rf-health); 0: not held.",
                Kind::Number, &S::rfGoldenRuns}
                .range(0, kGoldenRunsRead)
                .notStored()
                .when(InForce::UnlessDefault),
            Row{"rf_k", "rf-k", "K",
                "The RF limits are the golden figures' mean +- K standard deviations (default %1).",
                Kind::Number, &S::rfK}
                .range(0.1, 20)
                .notStored()
                .when(InForce::UnlessDefault),
            Row{"config_after_fail", "config-after-fail", "",
                "Write the configuration to a unit that failed a measurement too.", Kind::Flag,
                &S::configAfterFail}
                .notStored()
                .when(InForce::UnlessDefault),
            Row{"study", "study", "NAME",
                "Tag the results as runs of gauge study NAME: kept out of the line's yield, "
                "analyzed "
                "by report --grr NAME or --type1 NAME.",
                Kind::Text, &S::study, kCommandLine | kPlanFile, InForce::Never, 0, 0, "", setStudy}
                .under(Group::Results),
            Row{"qualified_by", "qualified-by", "NAME",
                "Test no unit unless the station passed gauge study NAME (not rejected) within the "
                "qualification age; else each is a station fault (station-not-qualified).",
                Kind::Text, &S::qualifiedBy, kCommandLine | kPlanFile, InForce::UnlessDefault, 0, 0,
                "", setQualifiedBy}
                .under(Group::Results),
            Row{"qualification_max_age", "qualification-max-age", "AGE",
                "A gauge study older than AGE (90s, 30m, 24h; default %1) no longer qualifies the "
                "station.",
                Kind::Age, &S::qualificationMaxAgeS, kCommandLine | kPlanFile}
                .when(InForce::UnlessDefault, "qualification_max_age_s")
                .under(Group::Results),
            Row{"deliver", "deliver", "CMD",
                "Hand each kept result to the line: run CMD with the result's JSON on its input; "
                "exit status 0 is delivered, else it is tried again.  Give it again for another "
                "target: each has a queue of its own.",
                Kind::Text, &S::deliver, kCommandLine | kPlanFile | kStored, InForce::Never, 0, 0,
                "", setDeliver}
                .inDialog("Deliver with commands", 0,
                          "one a line, each run with each result's JSON on its input")
                .under(Group::Line),
            Row{"deliver_url", "deliver-url", "URL",
                "Hand each kept result to the line as an HTTP POST of its JSON to URL; a 2xx "
                "status is delivered, else it is tried again.  Repeatable, as --deliver.",
                Kind::Text, &S::deliverUrl, kCommandLine | kPlanFile | kStored, InForce::Never, 0,
                0, "", setDeliverUrl}
                .inDialog("Deliver to addresses", 0, "one a line: http://host/path")
                .under(Group::Line),
            Row{"deliver_retry_s", "deliver-retry", "S",
                "Seconds before a failed delivery is tried again, doubled at each further "
                "failure (default %1).",
                Kind::Number, &S::deliverRetryS, kCommandLine | kPlanFile | kStored, InForce::Never}
                .range(0.1, 3600, "s")
                .under(Group::Line),
            Row{"deliver_retry_max_s", "deliver-retry-max", "S",
                "The longest wait between delivery attempts (default %1).", Kind::Number,
                &S::deliverRetryMaxS, kCommandLine | kPlanFile | kStored, InForce::Never}
                .range(0.1, 86400, "s")
                .under(Group::Line),
            Row{"deliver_timeout_s", "deliver-timeout", "S",
                "Seconds a delivery may take before it counts as failed (default %1).",
                Kind::Number, &S::deliverTimeoutS, kCommandLine | kPlanFile | kStored,
                InForce::Never}
                .range(1, 3600, "s")
                .under(Group::Line),
            Row{"deliver_wait_s", "deliver-wait", "S",
                "Seconds the station waits at its end for results still to deliver; what is "
                "left is delivered first at the next start (default %1).",
                Kind::Number, &S::deliverWaitS, kCommandLine | kPlanFile, InForce::Never}
                .range(0, 86400, "s")
                .under(Group::Line),
            Row{"evidence", "evidence", "WHEN",
                "Keep each unit's bytes, both ways and timed, compressed with its result: on (the "
                "default) or off.",
                Kind::Text, &S::evidence, kCommandLine | kPlanFile, InForce::Never, 0, 0, "",
                setEvidence}
                .under(Group::Results),
            Row{"metrics_file", "metrics-file", "PATH",
                "Write the station's figures for the plant's monitoring to PATH (ending in "
                ".prom), whole, in the Prometheus text format, on each result: for the node "
                "exporter's textfile collector (see the manual page).",
                Kind::Text, &S::metricsFile, kCommandLine | kPlanFile | kStored, InForce::Never, 0,
                0, "", setMetricsFile}
                .under(Group::Results),
            Row{"evidence_days", "evidence-days", "DAYS",
                "Remove the evidence of results stored more than DAYS days ago; the results stay "
                "(default %1: none removed).",
                Kind::Number, &S::evidenceDays, kCommandLine | kPlanFile, InForce::Never}
                .range(0, 36500, "days")
                .under(Group::Results),
            Row{"evidence_max_mib", "evidence-max-mib", "MIB",
                "Keep at most MIB MiB of evidence (compressed) in the database, removing the "
                "oldest first; the results stay (default %1: no cap).",
                Kind::Number, &S::evidenceMaxMib, kCommandLine | kPlanFile, InForce::Never}
                .range(0, 1048576, "MiB")
                .under(Group::Results),
            Row{"route_check", "route-check", "CMD",
                "Ask the line before each unit starts: CMD gets the unit as JSON on standard "
                "input and answers {\"allow\": true} or {\"allow\": false, \"reason\": "
                "\"...\"} (see the manual page).",
                Kind::Text, &S::routeCheck, kCommandLine | kPlanFile | kStored, InForce::Never, 0,
                0, "", setRouteCheck}
                .inDialog("Route check", 0, "the line's command, e.g. /opt/line/route-check")
                .under(Group::Line),
            Row{"power", "power", "CMD",
                "The fixture's power switch, given SLOT PORT on|off: after its words, or as \"$@\" "
                "in a shell line (see the manual page).",
                Kind::Text, &S::power, kCommandLine | kPlanFile | kStored, InForce::Never, 0, 0, "",
                setPower}
                .inDialog("Power switch", 0, "the fixture's command, e.g. /opt/fixture/relay")
                .under(Group::Line),
            Row{"power_off_time_s", "power-off-time", "S",
                "Seconds a power start keeps the slot's supply off (default %1).", Kind::Number,
                &S::powerOffTimeS}
                .range(0.1, 3600, "s")
                .when(InForce::UnlessDefault)
                .under(Group::Line),
            Row{"power_retry", "power-retry", "",
                "Switch a silent unit's slot off and on once before failing it (no-data).",
                Kind::Flag, &S::powerRetry}
                .when(InForce::UnlessDefault)
                .under(Group::Line),
            Row{"generator", "generator", "URL",
                "The signal generator that feeds the slots, tcp://HOST[:PORT] (SCPI on the LXI "
                "raw socket, port 5025 when none is given).",
                Kind::Text, &S::generator, kCommandLine | kPlanFile | kStored, InForce::Never, 0, 0,
                "", setGenerator}
                .under(Group::Line),
            Row{"generator_dialect", "generator-dialect", "NAME",
                "The generator's commands: rf (a plain RF generator; the default) or gsg (a GNSS "
                "constellation simulator playing --scenario).",
                Kind::Name, &S::generatorDialect, kCommandLine | kPlanFile | kStored,
                InForce::UnlessDefault, 0, 0, "", setGeneratorDialect, instrument::dialectNames}
                .under(Group::Line),
            Row{"scenario", "scenario", "NAME",
                "The scenario a gsg generator loads and plays, as the instrument names it.",
                Kind::Text, &S::scenario, kCommandLine | kPlanFile | kStored,
                InForce::UnlessDefault, 0, 0, "", setScenario}
                .under(Group::Line),
            Row{"spc_rules", "spc-rules", "RULES",
                "The rules the control charts raise alarms by: western-electric (1 to 4, the "
                "default) or nelson (and Nelson's beyond them).",
                Kind::Name, &S::spcRules, kCommandLine | kPlanFile, InForce::Never, 0, 0, "",
                setSpcRules, spcRulesChoices}
                .under(Group::Results),
            Row{"hold_on_alarm", "hold-on-alarm", "",
                "Hold a slot with an open alarm (not tested: slot-held) until it is calibrated "
                "again or the alarm is cleared (gps-coldstart-cli alarms clear).",
                Kind::Flag, &S::holdOnAlarm, kCommandLine | kPlanFile}
                .when(InForce::UnlessDefault)
                .under(Group::Results),
        });
    return rows;
}

}  // namespace

QStringList familyNames() {
    QStringList names;
    for (gpslink::ReceiverFamily family : listedFamilies()) names << nameOf(family.name());
    return names;
}

QStringList startNames() {
    QStringList names;
    for (gpslink::StartType t : gpslink::kStartTypes) names << nameOf(gpslink::nameOf(t));
    return names << kPowerStart;
}

std::vector<int> lineRates() {
    std::vector<int> rates;
    for (std::string_view settings : gpslink::kLineSettings)
        rates.push_back(gpslink::baudRateOf(settings));
    return rates;
}

const std::vector<Setting>& settings() {
    static const std::vector<Setting> rows = table();
    return rows;
}

const Setting& setting(const char* key) {
    for (const Setting& s : settings())
        if (qstrcmp(s.key, key) == 0) return s;
    qFatal("no setting \"%s\"", key);
}

Setting& Setting::range(double from, double to, const char* in) {
    low = from;
    high = to;
    unit = in;
    return *this;
}

Setting& Setting::stored(const char* as) {
    offered |= kStored;
    storedKey = as;
    return *this;
}

Setting& Setting::notStored() {
    offered &= ~unsigned(kStored);
    return *this;
}

Setting& Setting::inDialog(const char* as, int in, const char* placeholder) {
    offered |= kDialog;
    label = as;
    column = in;
    hint = placeholder;
    return *this;
}

Setting& Setting::when(InForce rule, const char* as) {
    inForce = rule;
    inForceKey = as;
    return *this;
}

Setting& Setting::under(Group heading) {
    group = heading;
    return *this;
}

bool Setting::whole() const {
    if (auto l = std::get_if<LimitOf>(&field)) return results::rowOf(l->measure).whole;
    if (auto o = std::get_if<OwnNumber>(&field)) return o->whole;
    return std::holds_alternative<int S::*>(field);
}

bool Setting::limit() const {
    return std::holds_alternative<LimitOf>(field);
}

bool Setting::repeats() const {
    return kind == Kind::Text && std::holds_alternative<QStringList S::*>(field);
}

QString Setting::helpText() const {
    QString text = QLatin1String(help);
    text.replace(QLatin1String("%1"), print(PlanSettings()));
    if (choices) text.replace(QLatin1String("%2"), listed(choices()));
    return text;
}

void Setting::reset(PlanSettings& plan) const {
    PlanSettings defaults;
    std::visit(
        [&](auto member) {
            if constexpr (std::is_same_v<decltype(member), LimitOf>)
                member.in(plan.limits) = member.in(defaults.limits);
            else if constexpr (std::is_same_v<decltype(member), OwnNumber>)
                plan.own.erase(QLatin1String(key));
            else
                plan.*member = defaults.*member;
        },
        field);
}

std::optional<double> Setting::number(const PlanSettings& plan) const {
    if (auto m = std::get_if<int S::*>(&field)) return plan.*(*m);
    if (auto m = std::get_if<double S::*>(&field)) return plan.*(*m);
    if (auto l = std::get_if<LimitOf>(&field))
        return l->upper ? plan.limits.most(l->measure) : plan.limits.least(l->measure);
    if (auto o = std::get_if<OwnNumber>(&field)) {
        const auto given = plan.own.find(QLatin1String(key));
        return given == plan.own.end() ? o->byDefault : given->second;
    }
    return std::nullopt;
}

void Setting::setNumber(PlanSettings& plan, std::optional<double> value) const {
    if (auto m = std::get_if<int S::*>(&field)) plan.*(*m) = int(value.value_or(0));
    if (auto m = std::get_if<double S::*>(&field)) plan.*(*m) = value.value_or(0);
    if (auto l = std::get_if<LimitOf>(&field)) l->in(plan.limits) = value;
    if (std::holds_alternative<OwnNumber>(field)) plan.own[QLatin1String(key)] = value.value_or(0);
}

QString Setting::print(const PlanSettings& plan) const {
    switch (kind) {
        case Kind::Number: {
            const auto value = number(plan);
            return value ? numberText(*value) : QString();
        }
        case Kind::Age:
            return ageText(*number(plan));
        case Kind::Rate:
            return plan.baud > 0 ? QString::number(plan.baud) : kAuto;
        case Kind::Flag:
            return plan.*std::get<bool S::*>(field) ? QStringLiteral("true")
                                                    : QStringLiteral("false");
        case Kind::List:
            return (plan.*std::get<QStringList S::*>(field)).join(QLatin1Char(','));
        case Kind::Name:
        case Kind::Text:
            if (repeats()) return (plan.*std::get<QStringList S::*>(field)).join(QLatin1Char('\n'));
            return plan.*std::get<QString S::*>(field);
    }
    return {};
}

bool Setting::parse(PlanSettings& plan, const QString& text, QString* why) const {
    switch (kind) {
        case Kind::Number: {
            bool ok = false;
            const double value = text.toDouble(&ok);  // C conventions whatever the locale
            if (!ok || !std::isfinite(value) || value < low || value > high ||
                (whole() && value != std::floor(value))) {
                *why = QStringLiteral("\"%1\" is not %2").arg(text, rangeText(*this));
                return false;
            }
            setNumber(plan, value);
            return true;
        }
        case Kind::Age: {
            const auto age = parseAge(text);
            if (!age) {
                *why = QStringLiteral(
                           "\"%1\" is not an age: a number above 0 with s, m or h "
                           "(90s, 30m, 24h)")
                           .arg(text);
                return false;
            }
            setNumber(plan, age);
            return true;
        }
        case Kind::Rate: {
            const auto rate = text == kAuto ? std::optional(0) : lineRate(text);
            if (!rate) {
                *why = QStringLiteral("unknown rate \"%1\"").arg(text);
                return false;
            }
            plan.*std::get<int S::*>(field) = *rate;
            return true;
        }
        case Kind::Flag:
            plan.*std::get<bool S::*>(field) = text == QLatin1String("true");
            return true;
        case Kind::Name:
            if (check) return check(plan, text, why);
            plan.*std::get<QString S::*>(field) = text;
            return true;
        case Kind::List:
        case Kind::Text:
            return check(plan, text, why);
    }
    return false;
}

QJsonValue Setting::toJson(const PlanSettings& plan) const {
    switch (kind) {
        case Kind::Number: {
            const auto value = number(plan);
            return value ? QJsonValue(*value) : QJsonValue();
        }
        case Kind::Rate:
            return plan.baud > 0 ? QJsonValue(plan.baud) : QJsonValue(kAuto);
        case Kind::Flag:
            return plan.*std::get<bool S::*>(field);
        case Kind::Text:
            if (repeats()) {  // one as a text, as plan files had it before there were more
                const QStringList& texts = plan.*std::get<QStringList S::*>(field);
                return texts.size() > 1 ? QJsonValue(QJsonArray::fromStringList(texts))
                                        : QJsonValue(texts.value(0));
            }
            return print(plan);
        case Kind::Age:
        case Kind::Name:
        case Kind::List:
            return print(plan);
    }
    return {};
}

bool Setting::fromJson(PlanSettings& plan, const QJsonValue& value, QString* why) const {
    switch (kind) {
        case Kind::Number: {
            if (value.isNull() && limit()) {
                setNumber(plan, std::nullopt);
                return true;
            }
            if (!value.isDouble() || !parse(plan, numberText(value.toDouble()), why)) {
                *why = QStringLiteral("is not ") + rangeText(*this);
                return false;
            }
            return true;
        }
        case Kind::Rate: {
            const QString text =
                value.isString() ? value.toString() : QString::number(value.toDouble());
            if (!(value.isDouble() || text == kAuto) || !parse(plan, text, why)) {
                *why = QStringLiteral("is not a line rate or \"auto\"");
                return false;
            }
            return true;
        }
        case Kind::Flag:
            if (!value.isBool()) {
                *why = QStringLiteral("is not true or false");
                return false;
            }
            plan.*std::get<bool S::*>(field) = value.toBool();
            return true;
        case Kind::Name:
            if (!value.isString() || value.toString().isEmpty()) {
                *why = QStringLiteral("is not a name");
                return false;
            }
            return parse(plan, value.toString(), why);
        case Kind::List:
            if (value.isArray()) {  // "tests": ["fix", "signal"]
                QStringList names;
                for (const QJsonValue& name : value.toArray()) names << name.toString();
                return parse(plan, names.join(QLatin1Char(',')), why);
            }
            [[fallthrough]];
        case Kind::Text:
            if (repeats() && value.isArray()) {  // "deliver": ["print-label", "..."]
                QStringList texts;
                for (const QJsonValue& text : value.toArray()) {
                    if (!text.isString() || text.toString().contains(QLatin1Char('\n'))) {
                        *why = QStringLiteral("is not a text or an array of one-line texts");
                        return false;
                    }
                    texts << text.toString();
                }
                return parse(plan, texts.join(QLatin1Char('\n')), why);
            }
            if (repeats() && value.isString() && value.toString().contains(QLatin1Char('\n'))) {
                *why = QStringLiteral("is not one line (an array gives several)");
                return false;
            }
            [[fallthrough]];
        case Kind::Age:
            if (!value.isString()) {
                *why = QStringLiteral("is not a text");
                return false;
            }
            return parse(plan, value.toString(), why);
    }
    return false;
}

bool PlanSettings::needsCalibration() const {
    for (const TestTypeRow& test : testTypes())
        if (test.readsCalibration && tests.contains(QLatin1String(test.name))) return true;
    return false;
}

bool checkStart(const PlanSettings& plan, QString* why) {
    const QString &family = plan.receiver, &start = plan.start;
    if (const instrument::Dialect* d = instrument::dialect(plan.generatorDialect)) {
        if (!plan.scenario.isEmpty() && !d->takesScenario()) {
            *why = QStringLiteral("--scenario: a %1 generator plays no scenario")
                       .arg(plan.generatorDialect);
            return false;
        }
        if (!plan.generator.isEmpty() && plan.scenario.isEmpty() && d->takesScenario()) {
            *why = QStringLiteral("a %1 generator needs the scenario it plays (--scenario)")
                       .arg(plan.generatorDialect);
            return false;
        }
    }
    for (const TestTypeRow& test : testTypes())
        if (test.needsGenerator && plan.tests.contains(QLatin1String(test.name)) &&
            plan.generator.isEmpty()) {
            *why = QLatin1String(test.needsGenerator);
            return false;
        }
    if ((plan.powerStart() || plan.powerRetry) && plan.power.isEmpty()) {
        *why = plan.powerStart()
                   ? QStringLiteral("a power start needs the fixture's power command (--power)")
                   : QStringLiteral("--power-retry needs the fixture's power command (--power)");
        return false;
    }
    if (plan.powerStart()) {  // any family: nothing is sent
        if (family == kAuto || familyNamed(family.toStdString())) return true;
        *why = QStringLiteral("unknown receiver family \"%1\" (%2)")
                   .arg(family, listed(familyNames()));
        return false;
    }
    const auto s = gpslink::startTypeFromName(start.toStdString());
    if (family == kAuto) {
        if (s && *s != gpslink::StartType::Factory) return true;
        *why = QStringLiteral(
                   "a receiver of a family found by listening takes a cold, warm or hot "
                   "start, not \"%1\"")
                   .arg(start);
        return false;
    }
    const auto f = familyNamed(family.toStdString());
    if (!f) {
        *why = QStringLiteral("unknown receiver family \"%1\" (%2)")
                   .arg(family, listed(familyNames()));
        return false;
    }
    if (!s) {
        *why = QStringLiteral("unknown start type \"%1\" (%2)").arg(start, listed(startNames()));
        return false;
    }
    if (startCommand(*f, *s).empty()) {
        QStringList having;
        for (gpslink::ReceiverFamily other : listedFamilies())
            if (!startCommand(other, *s).empty()) having << nameOf(other.name());
        *why = QStringLiteral("a %1 receiver has no %2 start (%2: %3 only)")
                   .arg(family, start, listed(having));
        return false;
    }
    return true;
}

std::optional<double> parseAge(const QString& text) {
    static const std::pair<QChar, double> units[] = {{'s', 1}, {'m', 60}, {'h', 3600}};
    if (text.size() < 2) return std::nullopt;
    for (const auto& [unit, seconds] : units) {
        if (text.back() != unit) continue;
        const QString number = text.chopped(1);
        if (!number.front().isDigit()) return std::nullopt;  // no sign, no blank
        bool ok = false;
        const double value = number.toDouble(&ok);  // C conventions whatever the locale
        if (!ok || !std::isfinite(value) || value <= 0) return std::nullopt;
        return value * seconds;
    }
    return std::nullopt;
}

}  // namespace station
