#include "results/gaugereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "results/measures.h"
#include "results/query.h"
#include "vocabulary/reasons.h"

namespace results {

namespace {

// The most frequent value of a limit over the study's results.
std::optional<double> mostFrequent(const QMap<double, int>& counts) {
    std::optional<double> best;
    int n = 0;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        if (it.value() > n) {
            best = it.key();
            n = it.value();
        }
    return best;
}

QJsonValue orNull(const std::optional<double>& v) {
    return v ? QJsonValue(*v) : QJsonValue();
}

QString number(double v, int decimals = 4) {
    return QString::number(v, 'f', decimals);
}

QString pValue(const std::optional<double>& p) {
    if (!p) return QString();
    return *p < 0.0005 ? QStringLiteral("<0.001") : number(*p, 3);
}

void printAnova(const gauge::Anova& a, const GrrLabels& labels, QTextStream& out) {
    out << QStringLiteral("    %1 %2 %3 %4 %5 %6\n")
               .arg(QStringLiteral("Source"), -24)
               .arg(QStringLiteral("DF"), 4)
               .arg(QStringLiteral("SS"), 12)
               .arg(QStringLiteral("MS"), 12)
               .arg(QStringLiteral("F"), 9)
               .arg(QStringLiteral("P"), 7);
    auto line = [&](const QString& name, const gauge::AnovaLine& l, bool ms) {
        out << QStringLiteral("    %1 %2 %3 %4 %5 %6\n")
                   .arg(name, -24)
                   .arg(l.df, 4)
                   .arg(number(l.ss), 12)
                   .arg(ms ? number(l.ms) : QString(), 12)
                   .arg(l.f ? number(*l.f, 3) : QString(), 9)
                   .arg(pValue(l.p), 7);
    };
    line(labels.part, a.part, true);
    line(labels.appraiser, a.appraiser, true);
    if (a.interaction)
        line(labels.part + QStringLiteral(" x ") + labels.appraiser, *a.interaction, true);
    line(QStringLiteral("Repeatability"), a.repeatability, true);
    line(QStringLiteral("Total"), a.total, false);
}

QJsonObject anovaJson(const gauge::Anova& a) {
    auto line = [](const gauge::AnovaLine& l) {
        return QJsonObject{
            {"df", l.df}, {"ss", l.ss}, {"ms", l.ms}, {"f", orNull(l.f)}, {"p", orNull(l.p)}};
    };
    QJsonObject o{{"part", line(a.part)},
                  {"appraiser", line(a.appraiser)},
                  {"repeatability", line(a.repeatability)},
                  {"total", line(a.total)}};
    if (a.interaction) o.insert(QLatin1String("interaction"), line(*a.interaction));
    return o;
}

// The components in the order they are printed: name, member, depth.
std::vector<std::tuple<QString, const gauge::Component*, int>> components(const gauge::Grr& g,
                                                                          const GrrLabels& l) {
    return {{QStringLiteral("Total gauge R&R"), &g.grr, 0},
            {QStringLiteral("Repeatability"), &g.repeatability, 1},
            {QStringLiteral("Reproducibility"), &g.reproducibility, 1},
            {l.appraiser, &g.appraiser, 2},
            {l.part + QStringLiteral(" x ") + l.appraiser, &g.interaction, 2},
            {l.part + QStringLiteral(" to ") + l.part.toLower(), &g.part, 0},
            {QStringLiteral("Total"), &g.total, 0}};
}

QString percent(double v) {
    return number(v, 2);
}

// The number of distinct categories as the text gives it.
QString ndcText(const std::optional<int>& ndc) {
    if (!ndc) return QStringLiteral("unbounded (the gauge showed no variation)");
    return *ndc < gauge::kMinNdc
               ? QStringLiteral("%1 (fewer than %2)").arg(*ndc).arg(gauge::kMinNdc)
               : QString::number(*ndc);
}

// Reads one CSV record's fields (RFC 4180 quoting, within one line).
std::optional<QStringList> csvFields(const QString& line) {
    QStringList fields;
    QString field;
    bool quoted = false, wasQuoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < line.size() && line[i + 1] == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"') && field.isEmpty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == QLatin1Char(',')) {
            fields << (wasQuoted ? field : field.trimmed());
            field.clear();
            wasQuoted = false;
        } else {
            field += c;
        }
    }
    if (quoted) return std::nullopt;
    fields << (wasQuoted ? field : field.trimmed());
    return fields;
}

}  // namespace

std::optional<std::vector<StudyMeasure>> studyMeasures(const QSqlDatabase& db, const QString& study,
                                                       QString* error, QString* latestStarted) {
    Snapshot snapshot(db);
    if (!snapshot.begun(error)) return std::nullopt;
    QStringList columns = {QStringLiteral("unit"), QStringLiteral("station"),
                           QStringLiteral("port"), QStringLiteral("limits"),
                           QStringLiteral("started")};
    for (const MeasureRow& kind : kMeasures) columns << QLatin1String(keyOf(kind));
    QSqlQuery q(db);
    Filter filter;
    filter.study = study;
    const Where w = where(filter);
    const QString sql = QStringLiteral(
                            "SELECT %1 FROM results WHERE %2 AND %3"
                            " AND id NOT IN (SELECT result_id FROM struck_runs) ORDER BY started")
                            .arg(columns.join(QStringLiteral(", ")), w.sql, testsAUnit());
    if (!run(q, sql, w, error)) return std::nullopt;
    struct Row {
        QString unit, station, port;
        QJsonObject limits;
        std::vector<std::optional<double>> values;
    };
    std::vector<Row> rows;
    QSet<QString> stations;
    while (q.next()) {
        Row r{q.value(0).toString(),
              q.value(1).toString(),
              q.value(2).toString(),
              QJsonDocument::fromJson(q.value(3).toString().toUtf8()).object(),
              {}};
        for (std::size_t m = 0; m < kMeasureCount; ++m) {
            const QVariant v = q.value(5 + int(m));
            r.values.push_back(v.isNull() ? std::nullopt : std::optional(v.toDouble()));
        }
        stations.insert(r.station);
        if (latestStarted) *latestStarted = q.value(4).toString();
        rows.push_back(std::move(r));
    }
    if (!drained(q, error)) return std::nullopt;

    std::vector<StudyMeasure> measures;
    for (std::size_t m = 0; m < kMeasureCount; ++m) {
        const MeasureRow& kind = kMeasures[m];
        StudyMeasure s;
        s.kind = &kind;
        QMap<double, int> low, high;
        for (const Row& r : rows) {
            if (!r.values[m]) continue;
            const QString slot =
                stations.size() > 1 ? r.station + QLatin1Char('/') + r.port : r.port;
            s.observations.push_back({r.unit.toStdString(), slot.toStdString(), *r.values[m]});
            if (kind.least.key && r.limits.contains(QLatin1String(kind.least.key)))
                ++low[r.limits.value(QLatin1String(kind.least.key)).toDouble()];
            if (kind.most.key && r.limits.contains(QLatin1String(kind.most.key)))
                ++high[r.limits.value(QLatin1String(kind.most.key)).toDouble()];
        }
        if (s.observations.empty()) continue;
        s.limited = !low.isEmpty() || !high.isEmpty();
        const auto lo = mostFrequent(low), hi = mostFrequent(high);
        if (hi) s.tolerance = *hi - lo.value_or(0);
        if (s.tolerance && !(*s.tolerance > 0)) s.tolerance.reset();
        measures.push_back(std::move(s));
    }
    return measures;
}

QString measureTitle(const MeasureRow& kind) {
    return *kind.unit
               ? QStringLiteral("%1 (%2)").arg(QLatin1String(kind.label), QLatin1String(kind.unit))
               : QLatin1String(kind.label);
}

Qualification qualificationOf(const std::vector<StudyMeasure>& measures) {
    Qualification q;
    const bool anyLimited = std::any_of(measures.begin(), measures.end(),
                                        [](const StudyMeasure& m) { return m.limited; });
    for (const StudyMeasure& m : measures) {
        if (anyLimited && !m.limited) continue;
        const QString title = measureTitle(*m.kind);
        q.decidedBy << title;
        gauge::GrrOptions options;
        options.tolerance = m.tolerance;
        std::string why;
        gauge::NoFigures kind = gauge::NoFigures::Design;
        const auto g = gauge::analyzeGrr(m.observations, options, &why, &kind);
        if (!g) {
            if (kind == gauge::NoFigures::Design)
                q.withoutFigures << QStringLiteral("%1: %2").arg(title,
                                                                 QString::fromStdString(why));
            continue;
        }
        if (g->verdict != gauge::Verdict::Rejected) continue;
        const bool tol = g->grr.pctTolerance.has_value();
        q.rejected << Qualification::Rejected{
            title, tol ? *g->grr.pctTolerance : g->grr.pctStudy, tol,
            g->reproducibility.variance > g->repeatability.variance};
    }
    return q;
}

QStringList qualificationText(const Qualification& q) {
    QStringList why;
    for (const Qualification::Rejected& r : q.rejected)
        why << QStringLiteral("%1 rejected, %GRR %2 % of the %3")
                   .arg(r.measure, percent(r.pctGrr),
                        r.ofTolerance ? QStringLiteral("tolerance")
                                      : QStringLiteral("study variation"));
    for (const QString& w : q.withoutFigures) why << QStringLiteral("no figures of ") + w;
    // "Station qualified: no (TTFF (s) rejected, ...). Decided by TTFF (s)."
    QString line;
    if (q.decidedBy.isEmpty())
        line = QStringLiteral("Station qualified: no (no measure has values)");
    else if (q.qualified())
        line = QStringLiteral(
                   "Station qualified: yes. Decided by %1: each acceptable, conditional "
                   "or without variation")
                   .arg(q.decidedBy.join(QStringLiteral(", ")));
    else
        line = QStringLiteral("Station qualified: no (%1). Decided by %2")
                   .arg(why.join(QStringLiteral("; ")), q.decidedBy.join(QStringLiteral(", ")));
    QStringList lines{line + QLatin1Char('.'),
                      QStringLiteral("%GRR: the share of the tolerance (or of the units' spread) "
                                     "the station's own variation takes."),
                      QStringLiteral("Under 10 % acceptable, 10 to 30 % conditional (accepted), "
                                     "over 30 % rejected."),
                      QStringLiteral("Distinct categories: how many groups of units it tells "
                                     "apart; under 5 is conditional.")};
    if (q.qualified()) return lines;
    for (const Qualification::Rejected& r : q.rejected)
        lines << (r.slotsMost ? QStringLiteral("%1 differs most between slots: look at the slot "
                                               "that stands out (cable, antenna, calibration).")
                              : QStringLiteral("%1 differs most between repeats in a slot: look at "
                                               "what changes run to run (signal, restart, "
                                               "seating)."))
                     .arg(r.measure);
    if (!q.withoutFigures.isEmpty())
        lines << QStringLiteral(
            "A study gives figures with every unit in every slot equally often (at least 2 units, "
            "2 slots, 2 trials).");
    lines << QStringLiteral(
        "Once fixed, run the study again; until it passes, --qualified-by "
        "tests no unit.");
    return lines;
}

QString qualificationProblem(const QString& study, const std::vector<StudyMeasure>& measures,
                             const QString& latestStarted, const QDateTime& now, double maxAgeS) {
    const QString name = QStringLiteral("gauge study \"%1\"").arg(study);
    if (measures.empty()) return name + QStringLiteral(" has no results");
    const Qualification q = qualificationOf(measures);
    if (!q.rejected.isEmpty()) {
        QStringList rejected;
        for (const Qualification::Rejected& r : q.rejected)
            rejected << QStringLiteral("%1 %GRR %2 %").arg(r.measure, percent(r.pctGrr));
        return name + QStringLiteral(" rejected the station: ") +
               rejected.join(QStringLiteral(", "));
    }
    if (!q.withoutFigures.isEmpty())
        return name + QStringLiteral(" gives no figures (") +
               q.withoutFigures.join(QStringLiteral("; ")) + QLatin1Char(')');
    const QDateTime at = QDateTime::fromString(latestStarted, Qt::ISODateWithMs);
    const double age = at.isValid() ? double(at.msecsTo(now)) / 1000 : 0;
    if (age > maxAgeS)
        return name + QStringLiteral(" is %1 days old, older than the %2 days allowed")
                          .arg(number(age / 86400, 1), number(maxAgeS / 86400, 1));
    return QString();
}

std::optional<std::vector<gauge::Observation>> readGrrCsv(QIODevice& in, QString* error) {
    std::vector<gauge::Observation> out;
    std::set<std::tuple<std::string, std::string, int>> seen;
    QTextStream text(&in);
    int lineNo = 0;
    auto fail = [&](const QString& why) {
        *error = QStringLiteral("line %1: %2").arg(lineNo).arg(why);
        return std::nullopt;
    };
    while (!text.atEnd()) {
        const QString line = text.readLine();
        ++lineNo;
        if (line.trimmed().isEmpty()) continue;
        const auto fields = csvFields(line);
        if (!fields) return fail(QStringLiteral("a quoted field is not closed"));
        if (fields->size() != 4)
            return fail(QStringLiteral("%1 fields; a row is part,appraiser,trial,value")
                            .arg(fields->size()));
        bool trialOk = false, valueOk = false;
        const int trial = (*fields)[2].toInt(&trialOk);
        const double value = QLocale::c().toDouble((*fields)[3], &valueOk);
        if (out.empty() && seen.empty() && !valueOk && !trialOk) continue;  // the header
        if (!trialOk || trial < 1)
            return fail(
                QStringLiteral("trial \"%1\" is not a whole number from 1").arg((*fields)[2]));
        if (!valueOk || !std::isfinite(value))
            return fail(QStringLiteral("value \"%1\" is not a number").arg((*fields)[3]));
        if ((*fields)[0].isEmpty() || (*fields)[1].isEmpty())
            return fail(QStringLiteral("the part and the appraiser must be named"));
        const std::string part = (*fields)[0].toStdString(), appraiser = (*fields)[1].toStdString();
        if (!seen.insert({part, appraiser, trial}).second)
            return fail(QStringLiteral("part \"%1\", appraiser \"%2\", trial %3 is given twice")
                            .arg((*fields)[0], (*fields)[1])
                            .arg(trial));
        out.push_back({part, appraiser, value});
    }
    if (out.empty()) {
        *error = QStringLiteral("no rows of part,appraiser,trial,value");
        return std::nullopt;
    }
    return out;
}

void printGrr(const gauge::Grr& g, const gauge::GrrOptions& options, const GrrLabels& labels,
              QTextStream& out) {
    out << QStringLiteral("  %1 %2s x %3 %4s x %5 trials, mean %6\n")
               .arg(g.parts)
               .arg(labels.part.toLower())
               .arg(g.appraisers)
               .arg(labels.appraiser.toLower())
               .arg(g.trials)
               .arg(number(g.mean));
    out << "  Two-way ANOVA with interaction\n";
    printAnova(g.full, labels, out);
    if (g.pooled) {
        if (g.full.interaction->p)
            out << QStringLiteral(
                       "  The interaction is not significant (p %1 >= %2): pooled into "
                       "repeatability\n")
                       .arg(pValue(g.full.interaction->p))
                       .arg(options.poolAlpha);
        else
            out << "  Neither the interaction nor repeatability varies: the interaction is "
                   "pooled into repeatability\n";
        out << "  Two-way ANOVA without interaction\n";
        printAnova(*g.pooled, labels, out);
    }
    const bool tol = g.grr.pctTolerance.has_value();
    out << "  Variance components (study variation " << options.studySigmas << " sd)\n";
    out << QStringLiteral("    %1 %2 %3 %4 %5 %6%7\n")
               .arg(QStringLiteral("Source"), -24)
               .arg(QStringLiteral("VarComp"), 10)
               .arg(QStringLiteral("%Contrib"), 9)
               .arg(QStringLiteral("StdDev"), 10)
               .arg(QStringLiteral("StudyVar"), 10)
               .arg(QStringLiteral("%Study"), 7)
               .arg(tol ? QStringLiteral(" %Tolerance") : QString());
    for (const auto& [name, c, depth] : components(g, labels))
        out << QStringLiteral("    %1 %2 %3 %4 %5 %6%7\n")
                   .arg(QString(depth * 2, QLatin1Char(' ')) + name, -24)
                   .arg(number(c->variance, 5), 10)
                   .arg(percent(c->pctContribution), 9)
                   .arg(number(c->sd, 5), 10)
                   .arg(number(options.studySigmas * c->sd, 5), 10)
                   .arg(percent(c->pctStudy), 7)
                   .arg(tol ? QStringLiteral(" %1").arg(percent(*c->pctTolerance), 10) : QString());
    if (options.tolerance) out << "  Tolerance " << options.tolerance.value() << '\n';
    out << QStringLiteral("  Distinct categories %1\n").arg(ndcText(g.ndc));
    out << QStringLiteral("  Verdict: %1 (%GRR %2 % of the %3)\n")
               .arg(QLatin1String(gauge::verdictWord(g.verdict)),
                    percent(tol ? *g.grr.pctTolerance : g.grr.pctStudy),
                    tol ? QStringLiteral("tolerance") : QStringLiteral("study variation"));
}

QJsonObject grrJson(const gauge::Grr& g, const gauge::GrrOptions& options) {
    auto component = [&](const gauge::Component& c) {
        return QJsonObject{{"variance", c.variance},
                           {"sd", c.sd},
                           {"study_var", options.studySigmas * c.sd},
                           {"pct_contribution", c.pctContribution},
                           {"pct_study", c.pctStudy},
                           {"pct_tolerance", orNull(c.pctTolerance)}};
    };
    QJsonObject o{
        {"parts", g.parts},
        {"appraisers", g.appraisers},
        {"trials", g.trials},
        {"mean", g.mean},
        {"anova", anovaJson(g.full)},
        {"interaction_pooled", g.pooled.has_value()},
        {"pool_alpha", options.poolAlpha},
        {"tolerance", orNull(options.tolerance)},
        {"repeatability", component(g.repeatability)},
        {"reproducibility", component(g.reproducibility)},
        {"appraiser", component(g.appraiser)},
        {"interaction", component(g.interaction)},
        {"grr", component(g.grr)},
        {"part", component(g.part)},
        {"total", component(g.total)},
        {"ndc", g.ndc ? QJsonValue(*g.ndc) : QJsonValue()},
        {"verdict", QLatin1String(gauge::verdictWord(g.verdict))},
    };
    if (g.pooled) o.insert(QLatin1String("anova_pooled"), anovaJson(*g.pooled));
    return o;
}

void printType1(const gauge::Type1& t, double tolerance, std::optional<double> reference,
                QTextStream& out) {
    out << QStringLiteral("  Repeats %1  mean %2  sd %3  tolerance %4\n")
               .arg(t.n)
               .arg(number(t.mean), number(t.sd))
               .arg(tolerance);
    if (reference)
        out << QStringLiteral("  Reference %1  bias %2\n").arg(*reference).arg(number(*t.bias));
    out << QStringLiteral("  Cg %1  Cgk %2  (each at least %3)  %4\n")
               .arg(number(*t.cg, 2),
                    t.cgk ? number(*t.cgk, 2) : QStringLiteral("- (needs --reference)"))
               .arg(gauge::kMinCg)
               .arg(t.passed ? QStringLiteral("capable") : QStringLiteral("not capable"));
}

QJsonObject type1Json(const gauge::Type1& t, double tolerance, std::optional<double> reference) {
    return QJsonObject{{"n", t.n},
                       {"mean", t.mean},
                       {"sd", t.sd},
                       {"tolerance", tolerance},
                       {"reference", orNull(reference)},
                       {"bias", orNull(t.bias)},
                       {"cg", orNull(t.cg)},
                       {"cgk", orNull(t.cgk)},
                       {"capable", t.passed}};
}

GrrSection grrSection(const QString& study, const std::vector<StudyMeasure>& measures,
                      const gauge::GrrOptions& options) {
    GrrSection s{study, {}, qualificationOf(measures)};
    for (const StudyMeasure& m : measures) {
        GrrSection::Row row;
        row.measure = measureTitle(*m.kind);
        row.decides = s.qualification.decidedBy.contains(row.measure);
        gauge::GrrOptions o = options;
        o.tolerance = m.tolerance;
        std::string why;
        row.grr = gauge::analyzeGrr(m.observations, o, &why);
        row.why = QString::fromStdString(why);
        s.rows << row;
    }
    return s;
}

namespace {

QString measureCell(const GrrSection::Row& r) {
    return r.measure.toHtmlEscaped() + (r.decides ? QStringLiteral(" *") : QString());
}

}  // namespace

QByteArray grrSectionHtml(const GrrSection& s) {
    QString h = QStringLiteral("<section>\n<h2>Gauge R&amp;R: study %1</h2>\n")
                    .arg(s.study.toHtmlEscaped());
    if (s.rows.isEmpty()) {
        h += QStringLiteral("<p>No results of this study.</p>\n</section>\n");
        return h.toUtf8();
    }
    h += QStringLiteral(
        "<table>\n<tr><th>Measure</th><th>Units × slots × trials</th><th>%GRR of study</th>"
        "<th>%GRR of tolerance</th><th>Repeatability σ</th><th>Reproducibility σ</th>"
        "<th>Distinct categories</th><th>Verdict</th></tr>\n");
    for (const GrrSection::Row& r : s.rows) {
        if (!r.grr) {
            h += QStringLiteral("<tr><td>%1</td><td colspan=\"7\">%2</td></tr>\n")
                     .arg(measureCell(r), r.why.toHtmlEscaped());
            continue;
        }
        const gauge::Grr& g = *r.grr;
        h += QStringLiteral(
                 "<tr><td>%1</td><td class=\"num\">%2 × %3 × %4</td>"
                 "<td class=\"num\">%5 %</td><td class=\"num\">%6</td>"
                 "<td class=\"num\">%7</td><td class=\"num\">%8</td>"
                 "<td class=\"num\">%9</td><td>%10</td></tr>\n")
                 .arg(measureCell(r))
                 .arg(g.parts)
                 .arg(g.appraisers)
                 .arg(g.trials)
                 .arg(percent(g.grr.pctStudy),
                      g.grr.pctTolerance ? percent(*g.grr.pctTolerance) + QStringLiteral(" %")
                                         : QStringLiteral("-"),
                      number(g.repeatability.sd), number(g.reproducibility.sd))
                 .arg(g.ndc ? QString::number(*g.ndc) : QStringLiteral("unbounded"))
                 .arg(QLatin1String(gauge::verdictWord(g.verdict)));
    }
    h += QStringLiteral(
        "</table>\n<p>Crossed two-way ANOVA, units as parts and slots as appraisers, the "
        "interaction pooled when not significant; * marks the measures that decide the "
        "station's qualification.</p>\n");
    const QStringList said = qualificationText(s.qualification);
    h += QStringLiteral("<p><strong>%1</strong></p>\n").arg(said.constFirst().toHtmlEscaped());
    h += QStringLiteral("<p>%1</p>\n").arg(said.mid(1).join(QLatin1Char(' ')).toHtmlEscaped());
    h += QStringLiteral("</section>\n");
    return h.toUtf8();
}

}  // namespace results
