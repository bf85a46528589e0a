#include "results/refusaltable.h"

#include <QSqlError>
#include <QSqlQuery>

namespace results {

std::optional<qint64> RefusalTable::save(const Refusal& r, QString* error) {
    QSqlQuery q(db_.connection());
    q.prepare(QStringLiteral(
        "INSERT INTO route_refusals (time, station, port, unit, lot, operator, plan, reason)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"));
    const auto text = [](const QString& t) { return t.isNull() ? QStringLiteral("") : t; };
    for (const QString& v : {isoTime(r.time), text(r.station), text(r.port), text(r.unit),
                             text(r.lot), text(r.operatorName), text(r.plan), text(r.reason)})
        q.addBindValue(v);
    if (!q.exec() || !q.next()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    return q.value(0).toLongLong();
}

}  // namespace results
