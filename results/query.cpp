#include "results/query.h"

#include <QSqlError>

namespace results {

Where where(const Filter& f) {
    Where w{QStringLiteral("1 = 1"), {}};
    auto add = [&](const QString& value, const char* condition) {
        if (value.isEmpty()) return;
        w.sql += QStringLiteral(" AND ") + QLatin1String(condition);
        w.values << value;
    };
    add(f.since, "started >= ?");
    add(f.untilBefore, "started < ?");
    add(f.station, "station = ?");
    add(f.lot, "lot = ?");
    add(f.unit, "unit = ?");
    return w;
}

bool run(QSqlQuery& q, const QString& sql, const Where& w, QString* error) {
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        *error = q.lastError().text();
        return false;
    }
    for (const QVariant& v : w.values) q.addBindValue(v);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

bool drained(const QSqlQuery& q, QString* error) {
    if (!q.lastError().isValid()) return true;
    *error = q.lastError().text();
    return false;
}

}  // namespace results
