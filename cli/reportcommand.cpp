#include "cli/reportcommand.h"

#include "results/delivery.h"

#include <pwd.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSaveFile>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>

#include "results/gauge.h"
#include "results/gaugereport.h"
#include "results/htmlreport.h"
#include "results/lookup.h"
#include "results/measures.h"
#include "results/query.h"
#include "results/report.h"
#include "results/store.h"
#include "results/strikes.h"
#include "results/summaries.h"
#include "station/config.h"
#include "vocabulary/evidence.h"

namespace cli {

namespace {

const QString kName = QStringLiteral("gps-coldstart-cli report");

// The page's heading: the database, the selection as given, and the time.
results::PageHeading heading(const QCommandLineParser& p, const results::Target& target) {
    QStringList selection;
    for (const char* option : {"station", "lot", "unit", "since", "until"})
        if (p.isSet(QLatin1String(option)))
            selection << QStringLiteral("%1 %2").arg(QLatin1String(option),
                                                     p.value(QLatin1String(option)));
    return {target.display(), selection.join(QStringLiteral(", ")),
            QDateTime::currentDateTimeUtc().toString(Qt::ISODate)};
}

// Writes bytes to path, or to standard output for "-"; what names them in a
// failure's words.
int writeOut(const QByteArray& bytes, const QString& path, const QString& what, QTextStream& err) {
    if (path == QLatin1String("-")) {
        QFile stdoutFile;
        if (!stdoutFile.open(stdout, QIODevice::WriteOnly) ||
            stdoutFile.write(bytes) != bytes.size() || !stdoutFile.flush()) {
            err << kName << ": cannot write " << what << ": " << stdoutFile.errorString() << '\n';
            return station::kStationFault;
        }
        return station::kOk;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        err << kName << ": cannot write " << path << ": " << file.errorString() << '\n';
        return station::kStationFault;
    }
    return station::kOk;
}

int writeHtml(const QString& path, results::Store& store, const results::Filter& filter,
              const results::PageHeading& heading, QTextStream& err) {
    const QSqlDatabase db = store.database();
    QString why;
    const auto data = results::distributions(db, filter, &why);
    if (!data) {
        err << kName << ": " << heading.database << ": " << why << '\n';
        return station::kStationFault;
    }
    // The control charts' section last, where a study's goes on its page.
    const auto charts = store.spc().chartsSection(filter.station, &why);
    if (!charts) {
        err << kName << ": " << heading.database << ": " << why << '\n';
        return station::kStationFault;
    }
    const QByteArray page = results::htmlPage(*data, heading, *charts);
    return writeOut(page, path, QStringLiteral("the page"), err);
}

// A study's own page: its gauge R&R and its struck runs, nothing of the
// line's results.
int studyHtml(const QSqlDatabase& db, const QString& study, const results::Target& target,
              const QString& path, QTextStream& err) {
    QString why;
    const auto measures = results::studyMeasures(db, study, &why);
    const auto struck = measures ? results::studyStrikes(db, study, &why) : std::nullopt;
    if (!measures || !struck) {
        err << kName << ": " << target.display() << ": " << why << '\n';
        return station::kStationFault;
    }
    if (measures->empty()) {
        err << kName << ": no results of study \"" << study << "\"\n";
        return station::kUsage;
    }
    const auto section = results::grrSection(study, *measures, results::gauge::GrrOptions{});
    const QByteArray page =
        results::studyPage({target.display(), QStringLiteral("gauge study ") + study,
                            QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                           results::grrSectionHtml(section) + results::strikesHtml(*struck));
    return writeOut(page, path, QStringLiteral("the page"), err);
}

// Who runs the command: the login name, from the environment or else the
// system's user database.
QString loginName() {
    for (const char* name : {"USER", "LOGNAME"})
        if (const QString v = qEnvironmentVariable(name); !v.isEmpty()) return v;
    const passwd* user = ::getpwuid(::geteuid());
    return user && user->pw_name ? QString::fromLocal8Bit(user->pw_name) : QString();
}

// The failed units a lot's text report lists; --json lists every one.
constexpr int kFailedUnitsShown = 100;

// Limits proposed from the passing results, each said as mean ± 3σ, then as
// the options that set them (rounded to 0.01, within each option's range).
void printSuggestedLimits(const results::Quality& q, QTextStream& out) {
    const auto suggested = results::suggestLimits(q);
    if (suggested.empty()) {
        out << "No measure with a limit has two passing results to propose a limit from.\n";
        return;
    }
    out << "Limits proposed from the selected passing results: mean - 3 sd for a minimum, "
           "mean + 3 sd for a maximum\n";
    QStringList options;
    for (const results::SuggestedLimit& s : suggested) {
        const results::MeasureStats& m = *s.measure;
        QString option = QString::fromLatin1(s.key).replace('_', '-');
        double value = std::round(s.value * 100) / 100;
        for (const station::Setting& setting : station::settings())
            if (setting.kind == station::Kind::Number &&
                QLatin1String(setting.key) == QLatin1String(s.key)) {
                option = QLatin1String(setting.option);
                value = std::clamp(value, setting.low, setting.high);
            }
        out << QStringLiteral("  %1 %2 passing  mean %3  sd %4  %5 = mean %6 3 sd = %7\n")
                   .arg(QLatin1String(m.kind->label), -12)
                   .arg(m.passed, 6)
                   .arg(QString::number(m.passedMean, 'f', 2), QString::number(m.passedSd, 'f', 2),
                        QLatin1String(s.key), QLatin1String(s.upper ? "+" : "-"),
                        QString::number(s.value, 'f', 2));
        options << QStringLiteral("--%1 %2").arg(option).arg(
            QString::number(value, 'g', QLocale::FloatingPointShortest));
    }
    out << "Options: " << options.join(' ') << '\n';
}

// Gauge R&R of a CSV of part,appraiser,trial,value.
int grrFromCsv(const QString& path, std::optional<double> tolerance, bool json, QTextStream& out,
               QTextStream& err) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        err << kName << ": cannot read " << path << ": " << file.errorString() << '\n';
        return station::kUsage;
    }
    QString why;
    const auto observations = results::readGrrCsv(file, &why);
    if (!observations) {
        err << kName << ": " << path << ": " << why << '\n';
        return station::kUsage;
    }
    results::gauge::GrrOptions options;
    options.tolerance = tolerance;
    std::string problem;
    const auto grr = results::gauge::analyzeGrr(*observations, options, &problem);
    if (!grr) {
        err << kName << ": " << path << ": " << QString::fromStdString(problem) << '\n';
        return station::kUsage;
    }
    if (json) {
        out << QJsonDocument(results::grrJson(*grr, options)).toJson(QJsonDocument::Compact)
            << '\n';
    } else {
        out << "Gauge R&R of " << path << '\n';
        results::printGrr(*grr, options, {}, out);
    }
    return station::kOk;
}

// Gauge R&R of a stored study, each measure with values.
int grrOfStudy(const QSqlDatabase& db, const QString& study, bool json, QTextStream& out,
               QTextStream& err) {
    QString why;
    const auto measures = results::studyMeasures(db, study, &why);
    const auto struck = measures ? results::studyStrikes(db, study, &why) : std::nullopt;
    if (!measures || !struck) {
        err << kName << ": " << why << '\n';
        return station::kStationFault;
    }
    if (measures->empty()) {
        err << kName << ": no results of study \"" << study << "\"\n";
        return station::kUsage;
    }
    QJsonObject all;
    if (!json) out << "Gauge R&R of study " << study << '\n';
    const results::GrrLabels labels{QStringLiteral("Unit"), QStringLiteral("Slot")};
    for (const results::StudyMeasure& m : *measures) {
        results::gauge::GrrOptions options;
        options.tolerance = m.tolerance;
        std::string problem;
        const auto grr = results::gauge::analyzeGrr(m.observations, options, &problem);
        if (json) {
            all.insert(QLatin1String(results::keyOf(*m.kind)),
                       grr ? results::grrJson(*grr, options)
                           : QJsonObject{{"error", QString::fromStdString(problem)}});
            continue;
        }
        out << results::measureTitle(*m.kind) << '\n';
        if (grr)
            results::printGrr(*grr, options, labels, out);
        else
            out << "  " << QString::fromStdString(problem) << '\n';
    }
    if (json) {
        out << QJsonDocument(QJsonObject{{"study", study},
                                         {"measures", all},
                                         {"struck", results::strikesJson(*struck)}})
                   .toJson(QJsonDocument::Compact)
            << '\n';
    } else {
        results::printStrikes(*struck, out);
        for (const QString& line : results::qualificationText(results::qualificationOf(*measures)))
            out << line << '\n';
    }
    return station::kOk;
}

// A type-1 study: the repeats of one unit in one slot, each measure with
// values and a tolerance, against its reference where one is given.
int type1OfStudy(const QSqlDatabase& db, const QString& study,
                 const QMap<QString, double>& references, bool json, QTextStream& out,
                 QTextStream& err) {
    QString why;
    const auto measures = results::studyMeasures(db, study, &why);
    if (!measures) {
        err << kName << ": " << why << '\n';
        return station::kStationFault;
    }
    if (measures->empty()) {
        err << kName << ": no results of study \"" << study << "\"\n";
        return station::kUsage;
    }
    QJsonObject all;
    if (!json) out << "Type-1 study " << study << '\n';
    for (const results::StudyMeasure& m : *measures) {
        QSet<QString> units, ports;
        std::vector<double> values;
        for (const results::gauge::Observation& o : m.observations) {
            units.insert(QString::fromStdString(o.part));
            ports.insert(QString::fromStdString(o.appraiser));
            values.push_back(o.value);
        }
        const QString key = QLatin1String(results::keyOf(*m.kind));
        const std::optional<double> reference =
            references.contains(key) ? std::optional(references.value(key)) : std::nullopt;
        QString problem;
        std::optional<results::gauge::Type1> t;
        if (units.size() != 1 || ports.size() != 1) {
            problem = QStringLiteral(
                          "a type-1 study is one unit in one slot; this has %1 units "
                          "and %2 slots")
                          .arg(units.size())
                          .arg(ports.size());
        } else if (!m.tolerance) {
            problem =
                QStringLiteral("no tolerance: the measure has no maximum in the results' limits");
        } else {
            std::string s;
            t = results::gauge::analyzeType1(values, *m.tolerance, reference, &s);
            problem = QString::fromStdString(s);
        }
        if (json) {
            all.insert(key, t ? results::type1Json(*t, *m.tolerance, reference)
                              : QJsonObject{{"error", problem}});
            continue;
        }
        out << results::measureTitle(*m.kind) << '\n';
        if (t)
            results::printType1(*t, *m.tolerance, reference, out);
        else
            out << "  " << problem << '\n';
    }
    if (json)
        out << QJsonDocument(QJsonObject{{"study", study}, {"measures", all}})
                   .toJson(QJsonDocument::Compact)
            << '\n';
    return station::kOk;
}

// The delivery queues' waiting results, oldest first (results/delivery.h).
bool printUndelivered(const QSqlDatabase& db, const QString& station, bool json, QTextStream& out,
                      QString* error) {
    const auto waiting = results::undelivered(db, station, error);
    if (!waiting) return false;
    if (json)
        out << QJsonDocument(results::undeliveredJson(*waiting)).toJson(QJsonDocument::Compact)
            << '\n';
    else
        out << results::undeliveredText(*waiting, QDateTime::currentDateTimeUtc());
    return true;
}

// The control charts' alarms, oldest first.
void printAlarms(const std::vector<results::SpcAlarm>& alarms, bool json, QTextStream& out) {
    if (json) {
        QJsonArray all;
        for (const results::SpcAlarm& a : alarms) all.append(a.toJson());
        out << QJsonDocument(QJsonObject{{"alarms", all}}).toJson(QJsonDocument::Compact) << '\n';
        return;
    }
    if (alarms.empty()) out << "No alarms.\n";
    for (const results::SpcAlarm& a : alarms) {
        const auto* rule = results::spc::ruleById(a.rule.toStdString());
        out << results::isoTime(a.raisedAt) << "  " << a.station << ' '
            << (a.port.isEmpty() ? QStringLiteral("(station)") : a.port) << "  " << a.chart << ' '
            << a.rule << " (" << (rule ? rule->text : "") << "), "
            << QString::number(a.value, 'f', 3) << "  ";
        if (a.clearedAt)
            out << "cleared " << results::isoTime(*a.clearedAt) << " by " << a.clearedBy << ": "
                << a.clearedWhy;
        else
            out << "open";
        out << '\n';
    }
}

// The evidence kept with result ID written to path (- for standard output):
// framed, the receiver's bytes alone, or as text.
enum class EvidenceForm { Framed, Raw, Text };

int writeEvidence(results::Store& store, const QString& key, const results::Pick& pick,
                  const QString& path, EvidenceForm form, QTextStream& err) {
    QString why;
    const auto named = results::findResult(store.database(), key, pick, true, &why);
    if (!named) {
        err << kName << ": " << store.target().display() << ": " << why << '\n';
        return station::kStationFault;
    }
    if (!named->row) {
        err << kName << ": " << named->mistake << " in " << store.target().display() << '\n';
        return station::kUsage;
    }
    if (!named->note.isEmpty()) err << kName << ": " << named->note << '\n';
    const QString id = named->row->id;
    const auto found = store.evidence(id, &why);
    if (!found) {
        err << kName << ": " << store.target().display() << ": " << why << '\n';
        return station::kStationFault;
    }
    using State = results::Store::Evidence::State;
    switch (found->state) {
        case State::NoResult:
            err << kName << ": no result has the id \"" << id << "\" in "
                << store.target().display() << '\n';
            return station::kUsage;
        case State::NotRecorded:
            err << kName << ": result " << id
                << " was kept without evidence (the plan's evidence was off, or it was stored "
                   "before evidence was kept)\n";
            return station::kStationFault;
        case State::Removed:
            err << kName << ": the evidence of result " << id << " was removed by retention on "
                << found->removed << '\n';
            return station::kStationFault;
        case State::Damaged:
            err << kName << ": the evidence of result " << id << " does not match its SHA-256 "
                << found->sha256 << "; nothing written\n";
            return station::kStationFault;
        case State::Kept:
            break;
    }
    QByteArray bytes = found->framed;
    if (form != EvidenceForm::Framed) {
        const auto chunks = results::evidence::parse(found->framed, &why);
        if (!chunks) {
            err << kName << ": the evidence of result " << id << " cannot be read: " << why << '\n';
            return station::kStationFault;
        }
        bytes = form == EvidenceForm::Raw ? results::evidence::received(*chunks)
                                          : (results::evidenceHeading(*named->row, *chunks) +
                                             results::evidence::text(*chunks))
                                                .toUtf8();
    }
    return writeOut(bytes, path, QStringLiteral("the evidence"), err);
}

// Strikes a study's run, named by its id or the id's beginning, out of its
// study, with who and why.
int strike(results::Store& store, const QString& key, const QString& by, const QString& why,
           QTextStream& out, QTextStream& err) {
    QString problem;
    const auto named = results::findResult(store.database(), key, {}, false, &problem);
    std::optional<results::Struck> done;
    if (named && named->row)
        done = results::strikeRun(store.database(), *named->row, by, why,
                                  QDateTime::currentDateTimeUtc(), &problem);
    if (!named || (named->row && !done)) {
        err << kName << ": " << store.target().display() << ": cannot strike: " << problem << '\n';
        return station::kStationFault;
    }
    const QString mistake = named->row ? done->mistake : named->mistake;
    if (!mistake.isEmpty()) {
        err << kName << ": " << mistake << '\n';
        return station::kUsage;
    }
    const results::Strike& s = *done->strike;
    out << "Struck result " << s.resultId << " (unit " << s.unit << ", " << s.port << ", started "
        << s.started << ") out of study " << s.study << " at " << s.at << " by " << s.by << ": "
        << s.why << '\n'
        << "The study's analysis and verdict leave it out; the result itself is kept.\n";
    return station::kOk;
}

// Results of the selection whose evidence retention removed; nothing, with
// why, when the database fails.
std::optional<qint64> evidenceRemoved(const QSqlDatabase& db, const results::Filter& filter,
                                      QString* why) {
    QSqlQuery q(db);
    const results::Where w = results::where(filter);
    if (!results::run(q,
                      QStringLiteral("SELECT COUNT(*) FROM results WHERE ") + w.sql +
                          QStringLiteral(" AND evidence_removed <> ''"),
                      w, why) ||
        !q.next()) {
        if (why->isEmpty()) *why = q.lastError().text();
        return std::nullopt;
    }
    return q.value(0).toLongLong();
}

}  // namespace

int runReport(const QStringList& args, QTextStream& out, QTextStream& err) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Summarizes stored results: units tested and passed, first-pass yield,\n"
        "failures by reason, TTFF statistics, per station and overall; each measure's\n"
        "statistics and Cpk, each slot's C/N0 and the marginal passes; or writes them\n"
        "as rows (--csv), one JSON object (--json) or a page with charts (--html), or\n"
        "proposes limits (--suggest-limits); or writes back the receiver's bytes kept\n"
        "with a result (--evidence); or strikes a gauge study's run (--strike)."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral("The results database: a SQLite file or a PostgreSQL server, "
                       "postgresql://USER@HOST[:PORT]/DBNAME?... as the station's --db "
                       "(default %1).")
            .arg(results::defaultTarget().path),
        QStringLiteral("DB"));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Results started on or after DATE (YYYY-MM-DD, "
                                                  "UTC, or an ISO 8601 time)."),
                                   QStringLiteral("DATE"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("Results started on or before DATE (the whole "
                                                  "day for YYYY-MM-DD)."),
                                   QStringLiteral("DATE"));
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("Only this station."), QStringLiteral("NAME"));
    const QCommandLineOption lot(QStringLiteral("lot"), QStringLiteral("Only this lot."),
                                 QStringLiteral("NAME"));
    const QCommandLineOption unit(QStringLiteral("unit"), QStringLiteral("Only this serial."),
                                  QStringLiteral("SERIAL"));
    const QCommandLineOption csv(
        QStringLiteral("csv"),
        QStringLiteral("Write the matching results, one per row, to FILE (- for standard output)."),
        QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the summary as one JSON object."));
    const QCommandLineOption htmlFile(
        QStringLiteral("html"),
        QStringLiteral("Write the report as one page with charts, for a browser or A4 paper, "
                       "to FILE (- for standard output)."),
        QStringLiteral("FILE"));
    const QCommandLineOption suggest(
        QStringLiteral("suggest-limits"),
        QStringLiteral("Propose limits from the selected passing results (mean +/- 3 standard "
                       "deviations, e.g. of a known-good lot), as options to paste."));
    const QCommandLineOption grr(
        QStringLiteral("grr"),
        QStringLiteral("Gauge R&R of study NAME: for each measure, units as parts, slots as "
                       "appraisers, a unit's repeats in one slot as trials (text, --json, or a "
                       "section of --html)."),
        QStringLiteral("NAME"));
    const QCommandLineOption grrCsv(
        QStringLiteral("grr-csv"),
        QStringLiteral("Gauge R&R of FILE, rows of part,appraiser,trial,value (text or --json); "
                       "no database is opened."),
        QStringLiteral("FILE"));
    const QCommandLineOption tolerance(
        QStringLiteral("tolerance"),
        QStringLiteral("With --grr-csv: the tolerance (upper minus lower limit), for %GRR of "
                       "the tolerance."),
        QStringLiteral("T"));
    const QCommandLineOption type1(
        QStringLiteral("type1"),
        QStringLiteral("Type-1 study NAME (one unit's repeats in one slot): bias, Cg and Cgk "
                       "against each measure's limits (text or --json)."),
        QStringLiteral("NAME"));
    const QCommandLineOption reference(
        QStringLiteral("reference"),
        QStringLiteral("With --type1: the unit's reference value of a measure, e.g. "
                       "ttff_s=31.5 (repeatable); bias and Cgk need it."),
        QStringLiteral("MEASURE=VALUE"));
    const QCommandLineOption undelivered(
        QStringLiteral("undelivered"),
        QStringLiteral("The results that wait for delivery to the line, oldest first, each with "
                       "its target, its attempts, the last one's time and error and when the "
                       "next comes (text or --json; --station: only its own)."));
    const QCommandLineOption alarms(
        QStringLiteral("alarms"),
        QStringLiteral("The alarms the control charts raised, oldest first, each with its "
                       "slot, chart and rule, and who cleared it, why and when (text or "
                       "--json; --station: only its own)."));
    const QCommandLineOption evidence(
        QStringLiteral("evidence"),
        QStringLiteral("Write the bytes kept with result KEY to the FILE given after it (- for "
                       "standard output), framed as docs/RESULTS.md says, their SHA-256 checked. "
                       "KEY: a result's id or its beginning (4 characters or more), or a unit's "
                       "serial for its latest result."),
        QStringLiteral("KEY"));
    const QCommandLineOption evidenceRaw(
        QStringLiteral("evidence-raw"),
        QStringLiteral("As --evidence, but only what the receiver sent, as it came."),
        QStringLiteral("KEY"));
    const QCommandLineOption evidenceText(
        QStringLiteral("evidence-text"),
        QStringLiteral("As --evidence, but as text: the unit, its slot, verdict, times and "
                       "silences, then a line each, with its time and direction."),
        QStringLiteral("KEY"));
    const QCommandLineOption cycle(
        QStringLiteral("cycle"),
        QStringLiteral("With a serial as KEY: its latest result of cycle N."), QStringLiteral("N"));
    const QCommandLineOption started(
        QStringLiteral("started"),
        QStringLiteral("With a serial as KEY: its result started at TIME, as the results show it "
                       "(UTC), or its beginning: 2026-12-07T08:01."),
        QStringLiteral("TIME"));
    const QCommandLineOption strikeRun(
        QStringLiteral("strike"),
        QStringLiteral("Strike a gauge study's run (its result's id or the id's beginning) out "
                       "of its study: kept, with --why and --by, and left out of the study's "
                       "analysis and verdict."),
        QStringLiteral("ID"));
    const QCommandLineOption strikeWhy(QStringLiteral("why"),
                                       QStringLiteral("With --strike: why the run does not count."),
                                       QStringLiteral("TEXT"));
    const QCommandLineOption strikeBy(
        QStringLiteral("by"),
        QStringLiteral("With --strike: who strikes it (default: the login name)."),
        QStringLiteral("NAME"));
    // The modes, each under its heading; the help holds every option the
    // parser takes, each once.
    const std::vector<station::HelpSection> sections = {
        {QStringLiteral("Which results (every mode but --grr-csv)"),
         {},
         {db, since, until, station, lot, unit}},
        {QStringLiteral("Summaries"),
         QStringLiteral(
             "  report [SELECTION] [--json | --csv FILE | --html FILE | --suggest-limits]\n"
             "      The summary as text (the default), JSON, rows, a page or limits."),
         {json, csv, htmlFile, suggest}},
        {QStringLiteral("Gauge studies"),
         QStringLiteral("  report --grr NAME [--json | --html FILE]\n"
                        "  report --grr-csv FILE [--tolerance T] [--json]\n"
                        "  report --type1 NAME [--reference MEASURE=VALUE]... [--json]"),
         {grr, grrCsv, tolerance, type1, reference}},
        {QStringLiteral("The line"),
         QStringLiteral("  report --undelivered [--station NAME] [--json]\n"
                        "  report --alarms [--station NAME] [--json]"),
         {undelivered, alarms}},
        {QStringLiteral("A unit's bytes"),
         QStringLiteral("  report --evidence KEY FILE | --evidence-raw KEY FILE |\n"
                        "         --evidence-text KEY FILE  [--cycle N | --started TIME]"),
         {evidence, evidenceRaw, evidenceText, cycle, started}},
        {QStringLiteral("Striking a study's run"),
         QStringLiteral("  report --strike ID --why TEXT [--by NAME]"),
         {strikeRun, strikeWhy, strikeBy}},
        {QStringLiteral("Other options"), {}, {help}},
    };
    for (const station::HelpSection& section : sections) p.addOptions(section.options);

    const QString& name = kName;
    if (!p.parse(QStringList{name} + args)) {
        err << name << ": " << p.errorText() << '\n';
        return station::kUsage;
    }
    if (p.isSet(help)) {
        out << station::sectionedHelp(QStringLiteral("gps-coldstart-cli report [options] [MODE]"),
                                      p.applicationDescription(), sections);
        return station::kOk;
    }
    auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return station::kUsage;
    };
    const std::pair<const QCommandLineOption*, EvidenceForm> forms[] = {
        {&evidence, EvidenceForm::Framed},
        {&evidenceRaw, EvidenceForm::Raw},
        {&evidenceText, EvidenceForm::Text}};
    const QCommandLineOption* evidenceAsked = nullptr;
    EvidenceForm form = EvidenceForm::Framed;
    for (const auto& [option, itsForm] : forms) {
        if (!p.isSet(*option)) continue;
        if (evidenceAsked)
            return usage(
                QStringLiteral("give only one of --evidence, --evidence-raw and "
                               "--evidence-text"));
        evidenceAsked = option;
        form = itsForm;
    }
    if (evidenceAsked) {
        const QString option = QStringLiteral("--") + evidenceAsked->names().constFirst();
        if (p.value(*evidenceAsked).isEmpty())
            return usage(option + QStringLiteral(" needs a result's id"));
        if (p.positionalArguments().size() != 1)
            return usage(option + QStringLiteral(" ID needs one FILE after it (- for standard "
                                                 "output)"));
        for (const QCommandLineOption* o :
             {&since, &until, &station, &lot, &unit, &csv, &json, &htmlFile, &suggest, &grr,
              &grrCsv, &tolerance, &type1, &reference, &undelivered, &strikeRun})
            if (p.isSet(*o))
                return usage(
                    QStringLiteral("%1 takes no --%2").arg(option, o->names().constFirst()));
    } else if (p.isSet(cycle) || p.isSet(started)) {
        return usage(QStringLiteral(
            "--cycle and --started pick a unit's result for --evidence, --evidence-raw or "
            "--evidence-text"));
    } else if (!p.positionalArguments().isEmpty()) {
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments()[0]));
    }
    results::Pick pick;
    if (p.isSet(cycle)) {
        bool ok = false;
        pick.cycle = p.value(cycle).toLongLong(&ok);
        if (!ok || *pick.cycle < 1)
            return usage(QStringLiteral("--cycle \"%1\" is not a cycle's number (1 or more)")
                             .arg(p.value(cycle)));
    }
    pick.started = p.value(started);
    if (p.isSet(strikeRun)) {
        for (const QCommandLineOption* o :
             {&since, &until, &station, &lot, &unit, &csv, &json, &htmlFile, &suggest, &grr,
              &grrCsv, &tolerance, &type1, &reference, &undelivered})
            if (p.isSet(*o))
                return usage(QStringLiteral("--strike takes no --%1").arg(o->names().constFirst()));
        if (p.value(strikeRun).isEmpty())
            return usage(QStringLiteral("--strike needs a result's id"));
        if (p.value(strikeWhy).trimmed().isEmpty())
            return usage(QStringLiteral("--strike needs --why TEXT: why the run does not count"));
    } else {
        for (const QCommandLineOption* o : {&strikeWhy, &strikeBy})
            if (p.isSet(*o))
                return usage(
                    QStringLiteral("--%1 goes with --strike").arg(o->names().constFirst()));
    }
    QString strikeWho = p.value(strikeBy).trimmed();
    if (strikeWho.isEmpty()) strikeWho = loginName();
    if (p.isSet(strikeRun) && strikeWho.isEmpty())
        return usage(QStringLiteral("--strike needs --by NAME: who strikes the run"));
    if (p.isSet(undelivered) && p.isSet(alarms))
        return usage(QStringLiteral("give only one of --undelivered and --alarms"));
    if (p.isSet(alarms)) {
        for (const QCommandLineOption* o :
             {&since, &until, &lot, &unit, &csv, &htmlFile, &suggest, &grr, &grrCsv, &type1})
            if (p.isSet(*o))
                return usage(QStringLiteral("--alarms lists the alarms: --%1 does not apply")
                                 .arg(o->names().constFirst()));
    }
    if (p.isSet(undelivered)) {
        for (const QCommandLineOption* o :
             {&since, &until, &lot, &unit, &csv, &htmlFile, &suggest, &grr, &grrCsv, &type1})
            if (p.isSet(*o))
                return usage(QStringLiteral("--undelivered lists the queue: --%1 does not apply")
                                 .arg(o->names().constFirst()));
    }
    if (int(p.isSet(csv)) + int(p.isSet(json)) + int(p.isSet(htmlFile)) + int(p.isSet(suggest)) > 1)
        return usage(QStringLiteral("give only one of --csv, --json, --html and --suggest-limits"));
    const int studies = int(p.isSet(grr)) + int(p.isSet(grrCsv)) + int(p.isSet(type1));
    if (studies > 1) return usage(QStringLiteral("give only one of --grr, --grr-csv and --type1"));
    if (studies && (p.isSet(csv) || p.isSet(suggest)))
        return usage(
            QStringLiteral("--grr, --grr-csv and --type1 take no --csv or --suggest-limits"));
    if ((p.isSet(grrCsv) || p.isSet(type1)) && p.isSet(htmlFile))
        return usage(QStringLiteral("only --grr has a section of the --html page"));
    if (studies)
        for (const QCommandLineOption* o : {&since, &until, &station, &lot, &unit})
            if (p.isSet(*o))
                return usage(QStringLiteral("a study is all its results: --%1 does not apply")
                                 .arg(o->names().constFirst()));
    if (p.isSet(tolerance) && !p.isSet(grrCsv))
        return usage(
            QStringLiteral("--tolerance goes with --grr-csv (a study's tolerance is its "
                           "limits')"));
    if (p.isSet(reference) && !p.isSet(type1))
        return usage(QStringLiteral("--reference goes with --type1"));
    for (const QCommandLineOption* o : {&grr, &type1})
        if (p.isSet(*o) && p.value(*o).isEmpty())
            return usage(QStringLiteral("--%1 needs a study's name").arg(o->names().constFirst()));
    if (p.isSet(grrCsv)) {
        std::optional<double> t;
        if (p.isSet(tolerance)) {
            bool ok = false;
            t = QLocale::c().toDouble(p.value(tolerance), &ok);
            if (!ok || !(*t > 0) || !std::isfinite(*t))
                return usage(QStringLiteral("--tolerance \"%1\" is not a number above 0")
                                 .arg(p.value(tolerance)));
        }
        return grrFromCsv(p.value(grrCsv), t, p.isSet(json), out, err);
    }
    QMap<QString, double> references;
    for (const QString& given : p.values(reference)) {
        const int eq = given.indexOf(QLatin1Char('='));
        bool ok = false;
        const double value = eq > 0 ? QLocale::c().toDouble(given.mid(eq + 1), &ok) : 0;
        const QString key = given.left(eq);
        const bool known = std::any_of(
            std::begin(results::kMeasures), std::end(results::kMeasures),
            [&](const results::MeasureRow& k) { return key == QLatin1String(results::keyOf(k)); });
        if (eq <= 0 || !ok || !known) {
            QStringList keys;
            for (const results::MeasureRow& k : results::kMeasures)
                keys << QLatin1String(results::keyOf(k));
            return usage(QStringLiteral("--reference \"%1\" is not MEASURE=VALUE with MEASURE one "
                                        "of %2")
                             .arg(given, keys.join(QStringLiteral(", "))));
        }
        references.insert(key, value);
    }

    results::Filter filter;
    for (auto [option, upper, field] : {std::tuple{&since, false, &filter.since},
                                        std::tuple{&until, true, &filter.untilBefore}}) {
        if (!p.isSet(*option)) continue;
        const auto bound = results::parseBound(p.value(*option), upper);
        if (!bound) {
            return usage(
                QStringLiteral("--%1 \"%2\" is not a date (YYYY-MM-DD) or an ISO 8601 time")
                    .arg(option->names().constFirst(), p.value(*option)));
        }
        *field = *bound;
    }
    if (!filter.since.isEmpty() && !filter.untilBefore.isEmpty() &&
        filter.since >= filter.untilBefore)
        return usage(QStringLiteral("--since is after --until"));
    filter.station = p.value(station);
    filter.lot = p.value(lot);
    filter.unit = p.value(unit);

    results::Target target = results::defaultTarget();
    if (p.isSet(db)) {
        QString why;
        const auto parsed = results::parseTarget(p.value(db), &why);
        if (!parsed) return usage(why);
        target = *parsed;
    }
    QString why;
    results::Store::Options options;
    options.create = false;
    // Each line as it comes: a long migration tells its progress while it runs.
    const auto store = results::Store::open(target, &why, options, [&](const QString& text) {
        err << "gps-coldstart: " << text << Qt::endl;
    });
    if (!store) {
        err << name << ": " << why << '\n';
        return station::kStationFault;
    }

    if (p.isSet(undelivered)) {
        if (!printUndelivered(store->database(), p.value(station), p.isSet(json), out, &why)) {
            err << name << ": cannot read the delivery queue: " << why << '\n';
            return station::kStationFault;
        }
        return station::kOk;
    }
    if (p.isSet(alarms)) {
        const auto found = store->spc().alarms(p.value(station), QString(), false, &why);
        if (!found) {
            err << name << ": cannot read the alarms: " << why << '\n';
            return station::kStationFault;
        }
        printAlarms(*found, p.isSet(json), out);
        return station::kOk;
    }
    if (evidenceAsked)
        return writeEvidence(*store, p.value(*evidenceAsked), pick,
                             p.positionalArguments().constFirst(), form, err);
    if (p.isSet(strikeRun))
        return strike(*store, p.value(strikeRun), strikeWho, p.value(strikeWhy).trimmed(), out,
                      err);

    if (p.isSet(csv)) {
        const QString path = p.value(csv);
        if (path == QLatin1String("-")) {
            out.flush();
            QFile stdoutFile;
            if (!stdoutFile.open(stdout, QIODevice::WriteOnly) ||
                !results::writeCsv(store->database(), filter, stdoutFile, &why)) {
                err << name << ": cannot write the CSV: " << why << '\n';
                return station::kStationFault;
            }
            return station::kOk;
        }
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            err << name << ": cannot write " << path << ": " << file.errorString() << '\n';
            return station::kStationFault;
        }
        if (!results::writeCsv(store->database(), filter, file, &why) || !file.commit()) {
            err << name << ": cannot write " << path << ": "
                << (why.isEmpty() ? file.errorString() : why) << '\n';
            return station::kStationFault;
        }
        return station::kOk;
    }

    if (p.isSet(type1))
        return type1OfStudy(store->database(), p.value(type1), references, p.isSet(json), out, err);
    if (p.isSet(grr) && !p.isSet(htmlFile))
        return grrOfStudy(store->database(), p.value(grr), p.isSet(json), out, err);
    if (p.isSet(grr))
        return studyHtml(store->database(), p.value(grr), target, p.value(htmlFile), err);
    // The selection's summaries built on their first need, with their
    // progress; should that fail, the report reads the rows.
    results::prepareSummaries(
        store->database(), filter,
        [&](const QString& text) { err << "gps-coldstart: " << text << Qt::endl; }, &why);
    why.clear();
    if (p.isSet(htmlFile))
        return writeHtml(p.value(htmlFile), *store, filter, heading(p, target), err);

    // Every figure from one read of the database (one moment of it): the
    // failed units and the evidence retention removed are counted in the
    // same snapshot as the rest.
    const results::Snapshot moment(store->database());
    if (!moment.begun(&why)) {
        err << name << ": " << target.display() << ": " << why << '\n';
        return station::kStationFault;
    }
    const auto counted =
        results::tally(store->database(), filter, &why, results::Source::Summaries);
    if (!counted) {
        err << name << ": " << target.display() << ": " << why << '\n';
        return station::kStationFault;
    }
    const results::MeasureValues& values = counted->values;
    const auto quality = results::qualityOf(values.overall, values.perSlot, values.limits);
    if (p.isSet(suggest)) {
        printSuggestedLimits(quality, out);
        return station::kOk;
    }
    const results::Summary summary = results::summaryOf(*counted);
    const auto removed = evidenceRemoved(store->database(), filter, &why);
    if (!removed) {
        err << name << ": " << target.display() << ": " << why << '\n';
        return station::kStationFault;
    }
    std::optional<QList<results::FailedUnit>> failed;
    if (!filter.lot.isEmpty()) {
        failed = results::failedUnits(store->database(), filter, &why);
        if (!failed) {
            err << name << ": " << target.display() << ": " << why << '\n';
            return station::kStationFault;
        }
    }
    if (p.isSet(json)) {
        QJsonObject o = results::summaryJson(summary);
        if (failed) o.insert(QStringLiteral("failed_units"), results::failedUnitsJson(*failed));
        o.insert(QStringLiteral("database"), target.display());
        o.insert(QStringLiteral("evidence_removed"), *removed);
        const QJsonObject figures = results::qualityJson(quality);
        for (auto it = figures.begin(); it != figures.end(); ++it) o.insert(it.key(), *it);
        out << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
    } else {
        out << "Results in " << target.display() << '\n';
        results::printSummary(summary, out);
        if (summary.overall.results) results::printQuality(quality, out);
        if (*removed > 0)
            out << "Evidence removed by retention: " << *removed
                << " results (their rows are kept)\n";
        if (failed) results::printFailedUnits(*failed, out, kFailedUnitsShown);
    }
    return station::kOk;
}

}  // namespace cli
