#include "station/config.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>

#include "gpslink/resetcommand.h"
#include "station/families.h"
#include "station/frontend.h"
#include "station/portargs.h"

namespace station {

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

namespace {

constexpr qsizetype kHelpWidth = 80;
constexpr qsizetype kDescriptionColumn = 30;

QCommandLineOption planFileOption() {
    return {"plan",
            "Read the test plan from FILE (JSON; see the manual page); options given beside it "
            "override it.",
            "FILE"};
}

QCommandLineOption optionOf(const Setting& s) {
    return {QLatin1String(s.option), s.helpText(), QLatin1String(s.valueName)};
}

// Words of text in lines of at most width characters, each after indent.
QString wrapped(const QString& text, qsizetype indent, qsizetype width, qsizetype firstIndent) {
    QString out;
    QString line;
    qsizetype lead = firstIndent;
    const auto flush = [&] {
        out += QString(lead, QLatin1Char(' ')) + line + QLatin1Char('\n');
        line.clear();
        lead = indent;
    };
    for (QString word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && lead + line.size() + 1 + word.size() > width) flush();
        // A word longer than the line is cut where the line ends.
        while (lead + line.size() + word.size() > width && word.size() > width - lead) {
            line += word.left(width - lead);
            word.remove(0, width - lead);
            flush();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty() || out.isEmpty()) flush();
    return out;
}

}  // namespace

void addPlanOptions(QCommandLineParser& parser) {
    parser.addOption(planFileOption());
    for (const Setting& s : settings())
        if (s.offers(kCommandLine)) parser.addOption(optionOf(s));
}

QList<QCommandLineOption> planOptionsUnder(Group group) {
    QList<QCommandLineOption> options;
    if (group == Group::Tests) options << planFileOption();
    for (const Setting& s : settings())
        if (s.offers(kCommandLine) && s.group == group) options << optionOf(s);
    return options;
}

QString headingOf(Group group) {
    switch (group) {
        case Group::Ports:
            return QStringLiteral("Ports and families");
        case Group::Tests:
            return QStringLiteral("Tests and limits");
        case Group::Results:
            return QStringLiteral("Results");
        case Group::Line:
            return QStringLiteral("The line and the fixture");
        case Group::Window:
            return QStringLiteral("The window's rule");
    }
    return {};
}

QString sectionedHelp(const QString& usage, const QString& description,
                      const std::vector<HelpSection>& sections) {
    QString out = QStringLiteral("Usage: ") + usage + QStringLiteral("\n");
    if (!description.isEmpty()) out += description + QStringLiteral("\n");
    for (const HelpSection& section : sections) {
        out += QStringLiteral("\n") + section.heading + QStringLiteral(":\n");
        if (!section.text.isEmpty()) out += section.text + QStringLiteral("\n");
        for (const QCommandLineOption& option : section.options) {
            QStringList names;
            for (const QString& name : option.names())
                names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
            QString left = QStringLiteral("  ") + names.join(QStringLiteral(", "));
            if (!option.valueName().isEmpty())
                left += QStringLiteral(" <%1>").arg(option.valueName());
            if (left.size() > kDescriptionColumn - 2) {
                out += left + QStringLiteral("\n");
                out += wrapped(option.description(), kDescriptionColumn, kHelpWidth,
                               kDescriptionColumn);
            } else {
                out += left.leftJustified(kDescriptionColumn) +
                       wrapped(option.description(), kDescriptionColumn, kHelpWidth,
                               kDescriptionColumn)
                           .mid(kDescriptionColumn);
            }
        }
    }
    return out;
}

std::optional<Plan> PlanOptions::over(Plan base, QString* error) const {
    Plan plan = file ? *file : std::move(base);
    for (const auto& [s, value] : given) {
        QString why;
        if (!s->parse(plan, value, &why)) {
            *error = QStringLiteral("--%1: %2").arg(QLatin1String(s->option), why);
            return std::nullopt;
        }
    }
    if (!checkStart(plan, error)) return std::nullopt;
    if (plan.testsSignal() && plan.cn0Sv.isEmpty()) {
        *error = QStringLiteral("a signal test needs the generator's satellite: --cn0-sv SYS:PRN");
        return std::nullopt;
    }
    if (plan.testsConfig() && !plan.configuration) {
        *error = QStringLiteral("a config test needs the configuration: --config FILE");
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
    for (const Setting& s : settings()) {
        const QString option = QLatin1String(s.option);
        if (!s.offers(kCommandLine) || !parser.isSet(option)) continue;
        if (s.repeats()) {  // each given one line, together the setting's lines
            const QStringList values = parser.values(option);
            for (const QString& value : values)
                if (value.contains(QLatin1Char('\n'))) {
                    *error = QStringLiteral(
                                 "--%1: \"%2\" is not one line; give the option again "
                                 "for another")
                                 .arg(option, value);
                    return std::nullopt;
                }
            options.given.emplace_back(&s, values.join(QLatin1Char('\n')));
            continue;
        }
        options.given.emplace_back(
            &s, s.kind == Kind::Flag ? QStringLiteral("true") : parser.value(option));
    }
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
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString key = it.key();
        QString why = QStringLiteral("is not a setting of a plan");
        bool ok = false;
        if (key == QLatin1String("name")) {
            ok = it.value().isString() && !it.value().toString().isEmpty();
            if (ok)
                plan.name = it.value().toString();
            else
                why = QStringLiteral("is not a name");
        }
        for (const Setting& s : settings())
            if (s.offers(kPlanFile) && key == QLatin1String(s.key))
                ok = s.fromJson(plan, it.value(), &why);
        if (!ok) {
            *error = QStringLiteral("--plan %1: \"%2\" %3").arg(path, key, why);
            return std::nullopt;
        }
    }
    QString why;
    if (!checkStart(plan, &why)) {
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
        static_cast<PlanSettings&>(unit) = plan;
        unit.slot = int(units.size()) + 1;
        unit.port = port.port;
        unit.device = port.device;
        unit.baud = port.baud;
        unit.unit = port.unit;
        const QString family = port.family.isEmpty() ? plan.receiver : port.family;
        const QString start = port.start.isEmpty() ? plan.start : port.start;
        if (!configureStart(unit, family, start, error)) {
            *error = port.port + QLatin1String(": ") + *error;
            return std::nullopt;
        }
        if (!checkFamilyTests(unit, error)) {
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
    const PlanSettings defaults;
    QJsonObject o;
    for (const Setting& s : settings()) {
        const QJsonValue value = s.kind == Kind::Age ? QJsonValue(*s.number(unit)) : s.toJson(unit);
        if (s.inForce == InForce::Always ||
            (s.inForce == InForce::UnlessDefault && s.toJson(unit) != s.toJson(defaults)) ||
            (s.inForce == InForce::WithSignal && unit.testsSignal()))
            o.insert(QLatin1String(s.inForceKey ? s.inForceKey : s.key), value);
    }
    // What the option came to for this unit's start type.
    o.insert(QLatin1String("require_reset"), unit.requireReset);
    return o;
}

QString settingsSha256(const UnitConfig& unit) {
    const QByteArray canonical =
        QJsonDocument(settingsInForce(unit)).toJson(QJsonDocument::Compact);
    return QString::fromLatin1(
        QCryptographicHash::hash(canonical, QCryptographicHash::Sha256).toHex());
}

bool configureStart(UnitConfig& unit, const QString& family, const QString& start, QString* error) {
    PlanSettings probe = unit;
    probe.receiver = family;
    probe.start = start;
    if (!checkStart(probe, error)) return false;
    const auto s = gpslink::startTypeFromName(start.toStdString());
    const auto f = familyNamed(family.toStdString());
    // "auto": once found; a power start sends nothing.
    unit.command = f && s ? startCommand(*f, *s) : std::string();
    unit.receiver = family;
    unit.start = start;
    unit.requireReset = s != gpslink::StartType::Hot || unit.requireHotReset;
    return true;
}

bool checkFamilyTests(const UnitConfig& unit, QString* error) {
    const auto family = familyNamed(unit.receiver.toStdString());
    if (!family) return true;  // "auto": what it cannot do is found once it is known
    if (unit.testsAntenna() && !reportsAntenna(*family)) {
        *error = QStringLiteral(
                     "a %1 receiver does not report its antenna: the antenna test is for ublox, "
                     "casic and mtk receivers")
                     .arg(unit.receiver);
        return false;
    }
    if (unit.testsConfig()) {
        *error = configRefusal(*unit.configuration, *family);
        if (!error->isEmpty()) return false;
    }
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
        case Verdict::Refused:
            return QStringLiteral("REFUSED");
    }
    return {};
}

int finalStatus(int unitsStatus, bool anySpooled, bool anyLost) {
    if (unitsStatus != kOk) return unitsStatus;
    if (anyLost) return kStationFault;
    return anySpooled ? kSpooled : kOk;
}

}  // namespace station
