#include "results/limitrows.h"

#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

#include "results/query.h"

namespace results {

namespace {

QVariant orNull(const std::optional<double>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double));
}

std::optional<double> numberOf(const QSqlQuery& q, int column) {
    return q.isNull(column) ? std::nullopt : std::optional(q.value(column).toDouble());
}

// Ids bound per statement: well under either engine's limit of bound values.
constexpr qsizetype kIdsPerRead = 500;

}  // namespace

bool LimitResultsTable::keep(const QJsonObject& result, QString* error) {
    const std::vector<LimitResult> limits =
        limitResultsFromJson(result.value(QLatin1String("limit_results")));
    if (limits.empty()) return true;
    QSqlQuery& q = insert_;
    if (!prepared_) {
        if (!q.prepare(QStringLiteral("INSERT INTO limit_results (result_id, measure, value, low, "
                                      "high, result) VALUES (?, ?, ?, ?, ?, ?)"))) {
            *error = q.lastError().text();
            return false;
        }
        prepared_ = true;
    }
    const QString id = result.value(QLatin1String("id")).toString();
    for (const LimitResult& l : limits) {
        q.addBindValue(id);
        q.addBindValue(QString::fromLatin1(keyOf(rowOf(l.measure))));
        q.addBindValue(orNull(l.value));
        q.addBindValue(orNull(l.low));
        q.addBindValue(orNull(l.high));
        q.addBindValue(codeOf(l.outcome));
        if (!q.exec()) {
            *error = q.lastError().text();
            return false;
        }
    }
    return true;
}

std::optional<QHash<QString, std::vector<LimitResult>>> limitResultsOf(const QSqlDatabase& db,
                                                                       const QStringList& ids,
                                                                       QString* error) {
    QHash<QString, std::vector<LimitResult>> out;
    for (qsizetype from = 0; from < ids.size(); from += kIdsPerRead) {
        const QStringList some = ids.mid(from, kIdsPerRead);
        QVariantList values;
        for (const QString& id : some) values << id;
        QSqlQuery q(db);
        const QString marks = QStringList(some.size(), QStringLiteral("?")).join(',');
        if (!run(q,
                 QStringLiteral("SELECT result_id, measure, value, low, high, result FROM "
                                "limit_results WHERE result_id IN (%1)")
                     .arg(marks),
                 Where{QString(), values}, error))
            return std::nullopt;
        while (q.next()) {
            const MeasureRow* m = measureOfKey(q.value(1).toString());
            const auto outcome = limitOutcomeFromCode(q.value(5).toString());
            if (!m || !outcome) continue;
            out[q.value(0).toString()].push_back(
                {m->measure, numberOf(q, 2), numberOf(q, 3), numberOf(q, 4), *outcome});
        }
        if (!drained(q, error)) return std::nullopt;
    }
    for (std::vector<LimitResult>& limits : out)
        std::sort(limits.begin(), limits.end(),
                  [](const LimitResult& a, const LimitResult& b) { return a.measure < b.measure; });
    return out;
}

}  // namespace results
