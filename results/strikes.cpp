#include "results/strikes.h"

#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

#include "results/query.h"
#include "results/store.h"
#include "results/svgchart.h"

namespace results {

namespace {

const char kColumns[] =
    "s.result_id, s.study, r.unit, r.port, r.started, s.struck_at,"
    " s.struck_by, s.db_role, s.why";

Strike strikeOf(const QSqlQuery& q) {
    Strike s;
    QString* texts[] = {&s.resultId, &s.study, &s.unit, &s.port, &s.started,
                        &s.at,       &s.by,    &s.role, &s.why};
    int i = 0;
    for (QString* t : texts) *t = q.value(i++).toString();
    return s;
}

std::optional<QList<Strike>> strikes(const QSqlDatabase& db, const QString& condition,
                                     const QVariantList& values, QString* error) {
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT %1 FROM struck_runs s LEFT JOIN results r ON r.id = s.result_id"
                            " WHERE %2 ORDER BY s.struck_at, s.result_id")
                 .arg(QLatin1String(kColumns), condition),
             Where{QString(), values}, error))
        return std::nullopt;
    QList<Strike> out;
    while (q.next()) out << strikeOf(q);
    if (!drained(q, error)) return std::nullopt;
    return out;
}

QString said(const Strike& s) {
    return QStringLiteral("struck %1 by %2%3: %4")
        .arg(s.at, s.by, s.role.isEmpty() ? QString() : QStringLiteral(" (role %1)").arg(s.role),
             s.why);
}

}  // namespace

std::optional<Struck> strikeRun(const QSqlDatabase& db, const ResultRow& run, const QString& by,
                                const QString& why, const QDateTime& now, QString* error) {
    Struck out;
    if (run.study.isEmpty()) {
        out.mistake = QStringLiteral(
                          "result %1 (unit %2) is a production result, not a study's run: only a "
                          "study's runs are struck")
                          .arg(run.id, run.unit);
        return out;
    }
    QSqlQuery q(db);
    QString role = QStringLiteral("");  // SQLite has no roles
    if (db.driverName() == QLatin1String("QPSQL")) {
        if (!q.exec(QStringLiteral("SELECT current_user")) || !q.next()) {
            if (error) *error = q.lastError().text();
            return std::nullopt;
        }
        role = q.value(0).toString();
        q.finish();
    }
    const Strike strike{run.id,       run.study, run.unit, run.port, run.started,
                        isoTime(now), by,        role,     why};
    q.prepare(
        QStringLiteral("INSERT INTO struck_runs (result_id, study, struck_at, struck_by, db_role, "
                       "why) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (result_id) DO NOTHING"));
    for (const QString& v :
         {strike.resultId, strike.study, strike.at, strike.by, strike.role, strike.why})
        q.addBindValue(v);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    if (q.numRowsAffected() > 0) {
        out.strike = strike;
        return out;
    }
    const auto earlier = strikes(db, QStringLiteral("s.result_id = ?"), {run.id}, error);
    if (!earlier) return std::nullopt;
    out.mistake =
        QStringLiteral("result %1 is already %2")
            .arg(run.id, earlier->isEmpty() ? QStringLiteral("struck") : said(earlier->front()));
    return out;
}

std::optional<QList<Strike>> studyStrikes(const QSqlDatabase& db, const QString& study,
                                          QString* error) {
    return strikes(db, QStringLiteral("s.study = ?"), {study}, error);
}

void printStrikes(const QList<Strike>& list, QTextStream& out) {
    if (list.isEmpty()) return;
    out << "Struck runs, left out: " << list.size() << '\n';
    for (const Strike& s : list)
        out << "  " << s.resultId << "  unit " << s.unit << "  " << s.port << "  started "
            << s.started << "  " << said(s) << '\n';
}

QJsonArray strikesJson(const QList<Strike>& list) {
    QJsonArray out;
    for (const Strike& s : list)
        out.append(QJsonObject{{"id", s.resultId},
                               {"unit", s.unit},
                               {"port", s.port},
                               {"started", s.started},
                               {"struck_at", s.at},
                               {"struck_by", s.by},
                               {"role", s.role},
                               {"why", s.why}});
    return out;
}

QByteArray strikesHtml(const QList<Strike>& list) {
    if (list.isEmpty()) return {};
    QString html = QStringLiteral(
        "<section id=\"struck\">\n<h2>Struck runs</h2>\n<p class=\"note\">Left out of the "
        "study's analysis, each kept with who struck it and why.</p>\n<table>\n<thead><tr>"
        "<th>Result</th><th>Unit</th><th>Slot</th><th>Started</th><th>Struck</th><th>By</th>"
        "<th>Why</th></tr></thead>\n<tbody>\n");
    for (const Strike& s : list) {
        html += QStringLiteral("<tr>");
        for (const QString& cell : {s.resultId, s.unit, s.port, s.started, s.at,
                                    s.role.isEmpty() ? s.by : s.by + " (" + s.role + ')', s.why})
            html += QStringLiteral("<td>%1</td>").arg(chart::escape(cell));
        html += QStringLiteral("</tr>\n");
    }
    html += QStringLiteral("</tbody>\n</table>\n</section>\n");
    return html.toUtf8();
}

}  // namespace results
