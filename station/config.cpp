#include "station/config.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <cmath>

#include "gpslink/resetcommand.h"
#include "gpslink/serialport.h"
#include "station/portargs.h"

namespace station {

namespace {

QString nameOf(std::string_view name) {
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

QString listed(const QStringList& names) {
    return names.mid(0, names.size() - 1).join(QLatin1String(", ")) + QLatin1String(" or ") +
           names.back();
}

// A value in range as the setting takes it, or nothing.
std::optional<double> inRange(const NumberSetting& s, double value) {
    if (!std::isfinite(value) || value < s.low || value > s.high) return std::nullopt;
    if (s.whole && value != std::floor(value)) return std::nullopt;
    return value;
}

QString rangeText(const NumberSetting& s) {
    return QStringLiteral("%1 from %2 to %3")
        .arg(s.whole ? QLatin1String("a whole number") : QLatin1String("a number"))
        .arg(s.low)
        .arg(s.high);
}

}  // namespace

QStringList familyNames() {
    QStringList names;
    for (gpslink::ReceiverFamily f : gpslink::kReceiverFamilies)
        names << nameOf(gpslink::nameOf(f));
    return names;
}

QStringList startNames() {
    QStringList names;
    for (gpslink::StartType t : gpslink::kStartTypes) names << nameOf(gpslink::nameOf(t));
    return names;
}

std::vector<int> lineRates() {
    std::vector<int> rates;
    for (std::string_view settings : gpslink::kLineSettings)
        rates.push_back(gpslink::baudRateOf(settings));
    return rates;
}

const std::vector<NumberSetting>& numberSettings() {
    using O = std::optional<double>;
    static const std::vector<NumberSetting> settings = {
        {"cycles", "cycles", "N", "Starts per unit (default 1).", 1, 100000, true, false,
         [](const Plan& p) -> O { return p.cycles; }, [](Plan& p, O v) { p.cycles = int(*v); }},
        {"confirm_timeout_s", "confirm-timeout", "S",
         "Seconds from the command to a seen reset (default 30).", 1, 3600, true, false,
         [](const Plan& p) -> O { return p.confirmTimeoutS; },
         [](Plan& p, O v) { p.confirmTimeoutS = int(*v); }},
        {"fix_timeout_s", "fix-timeout", "S",
         "Seconds from the command to the first fix (default 300).", 1, 86400, true, false,
         [](const Plan& p) -> O { return p.fixTimeoutS; },
         [](Plan& p, O v) { p.fixTimeoutS = int(*v); }},
        {"max_ttff_s", "max-ttff", "S", "Fail a time to first fix over S seconds.", 0, 86400, false,
         true, [](const Plan& p) { return p.limits.maxTtffS; },
         [](Plan& p, O v) { p.limits.maxTtffS = v; }},
        {"min_sats", "min-sats", "N", "Fail a fix with fewer than N satellites used.", 0, 99, true,
         true,
         [](const Plan& p) -> O { return p.limits.minSats ? O(*p.limits.minSats) : std::nullopt; },
         [](Plan& p, O v) { p.limits.minSats = v ? std::optional<int>(int(*v)) : std::nullopt; }},
        {"min_cn0", "min-cn0", "DBHZ",
         "Fail a fix whose four strongest satellites average under DBHZ.", 0, 99, false, true,
         [](const Plan& p) { return p.limits.minCn0; }, [](Plan& p, O v) { p.limits.minCn0 = v; }},
        {"cn0_samples", "cn0-samples", "N",
         "Seconds of the generator satellite's C/N0 a signal test takes (default 10).", 1, 3600,
         true, false, [](const Plan& p) -> O { return p.cn0Samples; },
         [](Plan& p, O v) { p.cn0Samples = int(*v); }},
        {"cn0_low", "cn0-low", "DBHZ",
         "Fail a signal test whose mean C/N0 (corrected) is under DBHZ (signal-low).", 0, 99, false,
         true, [](const Plan& p) { return p.limits.cn0Low; },
         [](Plan& p, O v) { p.limits.cn0Low = v; }},
        {"cn0_high", "cn0-high", "DBHZ",
         "Fail a signal test whose mean C/N0 (corrected) is over DBHZ (signal-high).", 0, 99, false,
         true, [](const Plan& p) { return p.limits.cn0High; },
         [](Plan& p, O v) { p.limits.cn0High = v; }},
        {"max_offset_db", "max-offset", "DB",
         "A slot whose calibration offset is beyond DB either way needs calibration "
         "(default 6).",
         0, 99, false, false, [](const Plan& p) -> O { return p.maxOffsetDb; },
         [](Plan& p, O v) { p.maxOffsetDb = *v; }},
    };
    return settings;
}

bool setNumber(Plan& plan, const NumberSetting& setting, const QString& text, const QString& name,
               QString* error) {
    bool ok = false;
    const double value = text.toDouble(&ok);  // C conventions whatever the locale
    const auto taken = ok ? inRange(setting, value) : std::nullopt;
    if (!taken) {
        *error = QStringLiteral("%1: \"%2\" is not %3").arg(name, text, rangeText(setting));
        return false;
    }
    setting.set(plan, taken);
    return true;
}

bool setStart(Plan& plan, const QString& family, const QString& start, QString* error) {
    UnitConfig probe;
    if (!configureStart(probe, family, start, false, error)) return false;
    plan.receiver = family;
    plan.start = start;
    return true;
}

bool setBaud(Plan& plan, const QString& text, QString* error) {
    if (text == kAuto) {
        plan.baud = 0;
        return true;
    }
    const auto rate = lineRate(text);
    if (!rate) {
        *error = QStringLiteral("unknown rate \"%1\"").arg(text);
        return false;
    }
    plan.baud = *rate;
    return true;
}

bool setExpectFirmware(Plan& plan, const QString& pattern, QString* error) {
    const QRegularExpression expression(pattern);
    if (!expression.isValid()) {
        *error = QStringLiteral("\"%1\" is not a regular expression (%2 at %3)")
                     .arg(pattern, expression.errorString())
                     .arg(expression.patternErrorOffset());
        return false;
    }
    plan.expectFirmware = pattern;
    return true;
}

bool setTests(Plan& plan, const QString& text, QString* error) {
    const QStringList asked = text.split(QLatin1Char(','));
    QStringList tests;
    for (const char* name : {"fix", "signal"})
        if (asked.contains(QLatin1String(name))) tests << QLatin1String(name);
    if (tests.isEmpty() || tests.size() != asked.size()) {
        *error = QStringLiteral("\"%1\" is not fix, signal or fix,signal").arg(text);
        return false;
    }
    plan.tests = tests;
    return true;
}

bool setCn0Sv(Plan& plan, const QString& text, QString* error) {
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
    *error = QStringLiteral("\"%1\" is not SYS:PRN (%2; PRN 1 to 255), e.g. GPS:1")
                 .arg(text, listed(systems));
    return false;
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

bool setCalibrationMaxAge(Plan& plan, const QString& text, QString* error) {
    const auto age = parseAge(text);
    if (!age) {
        *error = QStringLiteral(
                     "\"%1\" is not an age: a number above 0 with s, m or h "
                     "(90s, 30m, 24h)")
                     .arg(text);
        return false;
    }
    plan.calibrationMaxAgeS = *age;
    return true;
}

QString helpText(const QCommandLineParser& parser, const QString& program) {
    QString text = parser.helpText();
    // "Usage: PATH [options] ...": Qt's path is the one started, or a
    // placeholder before there is an application.
    const QLatin1String usage("Usage: ");
    const qsizetype options = text.indexOf(QLatin1String(" [options]"));
    if (text.startsWith(usage) && options > 0 && options < text.indexOf(QLatin1Char('\n')))
        text.replace(usage.size(), options - usage.size(), program);
    return text;
}

void addPlanOptions(QCommandLineParser& parser) {
    parser.addOptions({
        {"plan",
         "Read the test plan from FILE (JSON; see the manual page); options given beside "
         "it override it.",
         "FILE"},
        {"baud",
         "Line rate of ports given without @BAUD (default 9600); auto: found by listening at "
         "each rate.",
         "BAUD"},
        {"receiver",
         QStringLiteral("Receiver family: %1 (default sirf); auto: found from what the "
                        "receiver says.")
             .arg(listed(familyNames())),
         "FAMILY"},
        {"start", QStringLiteral("Start type: %1 (default cold).").arg(listed(startNames())),
         "TYPE"},
        {"require-reset", "Fail a hot start whose reset is not seen."},
        {"expect-firmware",
         "Fail a unit whose firmware does not match REGEX (wrong-firmware), or that does not "
         "say it (identity-unknown).",
         "REGEX"},
        {"require-identity", "Fail a unit that does not say who it is (identity-unknown)."},
        {"to-nmea",
         "Switch a SiRF receiver found in SiRF binary mode to NMEA at the line's rate, "
         "instead of failing it (binary-mode)."},
        {"test",
         "The measurements: fix (a verified reset and the time to first fix; the default), "
         "signal (the C/N0 of the --cn0-sv satellite, without a reset) or fix,signal.",
         "TESTS"},
        {"cn0-sv", "The generator's satellite a signal test measures, SYS:PRN (e.g. GPS:1).",
         "SYS:PRN"},
        {"calibration-max-age",
         "A slot whose latest calibration is older than AGE (90s, 30m, 24h; default 24h) "
         "needs calibration.",
         "AGE"},
    });
    for (const NumberSetting& n : numberSettings())
        parser.addOption(
            {QLatin1String(n.option), QLatin1String(n.help), QLatin1String(n.valueName)});
}

std::optional<Plan> PlanOptions::over(Plan base, QString* error) const {
    Plan plan = file ? *file : std::move(base);
    QString family = plan.receiver, start = plan.start;
    for (const auto& [option, value] : given) {
        if (option == QLatin1String("receiver")) {
            family = value;
        } else if (option == QLatin1String("start")) {
            start = value;
        } else if (option == QLatin1String("baud")) {
            if (!setBaud(plan, value, error)) {
                *error = QStringLiteral("--baud: ") + *error;
                return std::nullopt;
            }
        } else if (option == QLatin1String("expect-firmware")) {
            if (!setExpectFirmware(plan, value, error)) {
                *error = QStringLiteral("--expect-firmware: ") + *error;
                return std::nullopt;
            }
        } else if (auto* set = option == QLatin1String("test")     ? &setTests
                               : option == QLatin1String("cn0-sv") ? &setCn0Sv
                               : option == QLatin1String("calibration-max-age")
                                   ? &setCalibrationMaxAge
                                   : nullptr) {
            if (!(*set)(plan, value, error)) {
                *error = QStringLiteral("--%1: %2").arg(option, *error);
                return std::nullopt;
            }
        } else {
            for (const NumberSetting& n : numberSettings())
                if (option == QLatin1String(n.option) &&
                    !setNumber(plan, n, value, QLatin1String("--") + option, error))
                    return std::nullopt;
        }
    }
    if (!setStart(plan, family, start, error)) return std::nullopt;
    plan.requireReset |= requireReset;
    plan.requireIdentity |= requireIdentity;
    plan.toNmea |= toNmea;
    if (plan.tests.contains(QLatin1String("signal")) && plan.cn0Sv.isEmpty()) {
        *error = QStringLiteral("a signal test needs the generator's satellite: --cn0-sv SYS:PRN");
        return std::nullopt;
    }
    return plan;
}

std::optional<PlanOptions> planOptions(const QCommandLineParser& parser, QString* error) {
    PlanOptions options;
    if (parser.isSet("plan")) {
        options.file = readPlan(parser.value("plan"), error);
        if (!options.file) return std::nullopt;
    }
    QStringList names = {"baud",   "receiver",           "start", "expect-firmware", "test",
                         "cn0-sv", "calibration-max-age"};
    for (const NumberSetting& n : numberSettings()) names << QLatin1String(n.option);
    for (const QString& name : names)
        if (parser.isSet(name)) options.given.emplace_back(name, parser.value(name));
    options.requireReset = parser.isSet("require-reset");
    options.requireIdentity = parser.isSet("require-identity");
    options.toNmea = parser.isSet("to-nmea");
    if (!options.over(Plan(), error)) return std::nullopt;
    return options;
}

std::optional<Plan> readPlan(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--plan %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parsed);
    if (!document.isObject()) {
        *error = QStringLiteral("--plan %1: not a JSON object (%2 at byte %3)")
                     .arg(path, parsed.error ? parsed.errorString() : QStringLiteral("no object"))
                     .arg(parsed.offset);
        return std::nullopt;
    }
    const QJsonObject o = document.object();
    Plan plan;
    plan.name = QFileInfo(path).completeBaseName();
    auto fail = [&](const QString& key, const QString& why) {
        *error = QStringLiteral("--plan %1: \"%2\" %3").arg(path, key, why);
        return std::nullopt;
    };
    QString family = plan.receiver, start = plan.start;
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString key = it.key();
        const QJsonValue v = it.value();
        if (QString* text = key == QLatin1String("name")       ? &plan.name
                            : key == QLatin1String("receiver") ? &family
                            : key == QLatin1String("start")    ? &start
                                                               : nullptr) {
            if (!v.isString() || v.toString().isEmpty()) return fail(key, "is not a name");
            *text = v.toString();
        } else if (bool* flag = key == QLatin1String("require_reset")      ? &plan.requireReset
                                : key == QLatin1String("require_identity") ? &plan.requireIdentity
                                : key == QLatin1String("to_nmea")          ? &plan.toNmea
                                                                           : nullptr) {
            if (!v.isBool()) return fail(key, "is not true or false");
            *flag = v.toBool();
        } else if (key == QLatin1String("expect_firmware")) {
            QString why;
            if (!v.isString() || !setExpectFirmware(plan, v.toString(), &why))
                return fail(key, v.isString() ? why : QStringLiteral("is not a text"));
        } else if (auto* set = key == QLatin1String("tests")                 ? &setTests
                               : key == QLatin1String("cn0_sv")              ? &setCn0Sv
                               : key == QLatin1String("calibration_max_age") ? &setCalibrationMaxAge
                                                                             : nullptr) {
            QString why;
            QString text = v.toString();
            if (v.isArray()) {  // "tests": ["fix", "signal"]
                QStringList names;
                for (const QJsonValue& name : v.toArray()) names << name.toString();
                text = names.join(QLatin1Char(','));
            }
            if (!(v.isString() || (v.isArray() && key == QLatin1String("tests"))) ||
                !(*set)(plan, text, &why))
                return fail(key,
                            v.isString() || v.isArray() ? why : QStringLiteral("is not a text"));
        } else if (key == QLatin1String("baud")) {
            QString why;
            const QString text = v.isString() ? v.toString() : QString::number(v.toDouble());
            if (!(v.isDouble() || v.toString() == kAuto) || !setBaud(plan, text, &why))
                return fail(key, "is not a line rate or \"auto\"");
        } else {
            const auto& all = numberSettings();
            const auto s = std::find_if(all.begin(), all.end(), [&](const NumberSetting& n) {
                return key == QLatin1String(n.key);
            });
            if (s == all.end()) return fail(key, "is not a setting of a plan");
            if (v.isNull() && s->limit) {
                s->set(plan, std::nullopt);
                continue;
            }
            const auto taken = v.isDouble() ? inRange(*s, v.toDouble()) : std::nullopt;
            if (!taken) return fail(key, QStringLiteral("is not ") + rangeText(*s));
            s->set(plan, taken);
        }
    }
    QString why;
    if (!setStart(plan, family, start, &why)) {
        *error = QStringLiteral("--plan %1: %2").arg(path, why);
        return std::nullopt;
    }
    return plan;
}

std::optional<std::vector<UnitConfig>> unitConfigs(const Plan& plan, const QStringList& ports,
                                                   QString* error) {
    const auto parsed = parsePortArgs(ports, plan.baud, error);
    if (!parsed) return std::nullopt;
    std::vector<UnitConfig> units;
    for (const PortArg& port : *parsed) {
        UnitConfig unit;
        unit.slot = int(units.size()) + 1;
        unit.tests = plan.tests;
        unit.cn0Sv = plan.cn0Sv;
        unit.cn0Samples = plan.cn0Samples;
        unit.maxOffsetDb = plan.maxOffsetDb;
        unit.calibrationMaxAgeS = plan.calibrationMaxAgeS;
        unit.port = port.port;
        unit.device = port.device;
        unit.baud = port.baud;
        unit.unit = port.unit;
        unit.cycles = plan.cycles;
        unit.confirmTimeoutS = plan.confirmTimeoutS;
        unit.fixTimeoutS = plan.fixTimeoutS;
        unit.limits = plan.limits;
        unit.expectFirmware = plan.expectFirmware;
        unit.requireIdentity = plan.requireIdentity;
        unit.toNmea = plan.toNmea;
        const QString family = port.family.isEmpty() ? plan.receiver : port.family;
        const QString start = port.start.isEmpty() ? plan.start : port.start;
        if (!configureStart(unit, family, start, plan.requireReset, error)) {
            *error = port.port + QLatin1String(": ") + *error;
            return std::nullopt;
        }
        unit.plan = plan.name;
        unit.planSha256 = settingsSha256(unit);
        units.push_back(unit);
    }
    return units;
}

QJsonObject settingsInForce(const UnitConfig& unit) {
    QJsonObject o{
        {"baud", unit.baud == 0 ? QJsonValue(kAuto) : QJsonValue(unit.baud)},
        {"receiver", unit.receiver},
        {"start", unit.start},
        {"require_reset", unit.requireReset},
        {"cycles", unit.cycles},
        {"confirm_timeout_s", unit.confirmTimeoutS},
        {"fix_timeout_s", unit.fixTimeoutS},
    };
    const QJsonObject limits = unit.limits.toJson();
    for (auto it = limits.begin(); it != limits.end(); ++it) o.insert(it.key(), it.value());
    // The identity settings only when set, so plans without them keep their hash.
    if (!unit.expectFirmware.isEmpty()) o.insert("expect_firmware", unit.expectFirmware);
    if (unit.requireIdentity) o.insert("require_identity", true);
    if (unit.toNmea) o.insert("to_nmea", true);
    // The measurements only when not the fix alone, for the same reason.
    if (unit.tests != QStringList{QStringLiteral("fix")}) o.insert("tests", unit.tests.join(','));
    if (unit.testsSignal()) {
        o.insert("cn0_sv", unit.cn0Sv);
        o.insert("cn0_samples", unit.cn0Samples);
        o.insert("max_offset_db", unit.maxOffsetDb);
        o.insert("calibration_max_age_s", unit.calibrationMaxAgeS);
    }
    return o;
}

QString settingsSha256(const UnitConfig& unit) {
    const QByteArray canonical =
        QJsonDocument(settingsInForce(unit)).toJson(QJsonDocument::Compact);
    return QString::fromLatin1(
        QCryptographicHash::hash(canonical, QCryptographicHash::Sha256).toHex());
}

bool configureStart(UnitConfig& unit, const QString& family, const QString& start,
                    bool requireReset, QString* error) {
    if (family == kAuto) {
        const auto s = gpslink::startTypeFromName(start.toStdString());
        if (!s || *s == gpslink::StartType::Factory) {
            *error = QStringLiteral(
                         "a receiver of a family found by listening takes a cold, warm or hot "
                         "start, not \"%1\"")
                         .arg(start);
            return false;
        }
        unit.command.clear();
        unit.receiver = family;
        unit.start = start;
        unit.requireReset = *s != gpslink::StartType::Hot || requireReset;
        return true;
    }
    const auto f = gpslink::receiverFamilyFromName(family.toStdString());
    if (!f) {
        *error = QStringLiteral("unknown receiver family \"%1\" (%2)")
                     .arg(family, listed(familyNames()));
        return false;
    }
    const auto s = gpslink::startTypeFromName(start.toStdString());
    if (!s) {
        *error = QStringLiteral("unknown start type \"%1\" (%2)").arg(start, listed(startNames()));
        return false;
    }
    unit.command = gpslink::resetCommand(*f, *s);
    if (unit.command.empty()) {
        QStringList having;
        for (gpslink::ReceiverFamily other : gpslink::kReceiverFamilies)
            if (!gpslink::resetCommand(other, *s).empty()) having << nameOf(gpslink::nameOf(other));
        *error = QStringLiteral("a %1 receiver has no %2 start (%2: %3 only)")
                     .arg(family, start, listed(having));
        return false;
    }
    unit.receiver = family;
    unit.start = start;
    unit.requireReset = *s != gpslink::StartType::Hot || requireReset;
    return true;
}

Verdict verdictOf(bool started, bool done, const Tally& tally) {
    if (!started) return Verdict::Idle;
    if (!done) return Verdict::Running;
    if (tally.count(Outcome::Fail) > 0) return Verdict::Fail;
    if (tally.count(Outcome::StationFault) > 0) return Verdict::Fault;
    if (tally.count(Outcome::Pass) > 0 && tally.last() && tally.last()->outcome() == Outcome::Pass)
        return Verdict::Pass;
    return Verdict::Interrupted;
}

QString verdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Idle:
            return QStringLiteral("idle");
        case Verdict::Running:
            return QStringLiteral("running");
        case Verdict::Pass:
            return QStringLiteral("PASS");
        case Verdict::Fail:
            return QStringLiteral("FAIL");
        case Verdict::Fault:
            return QStringLiteral("STATION FAULT");
        case Verdict::Interrupted:
            return QStringLiteral("stopped");
    }
    return {};
}

int finalStatus(int unitsStatus, bool anySpooled, bool anyLost) {
    if (unitsStatus != kOk) return unitsStatus;
    if (anyLost) return kStationFault;
    return anySpooled ? kSpooled : kOk;
}

}  // namespace station
