// The report's selection as SQL, shared by the text, JSON, CSV and HTML
// reports: one WHERE clause over the indexed columns, its values bound in
// order, and the checks that tell a failing database from rows that ran out.
#pragma once

#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include "results/report.h"

namespace results {

// The WHERE clause of a filter, with its values in placeholder order.
struct Where {
    QString sql;
    QVariantList values;
};
Where where(const Filter& filter);

// Prepares sql (forward only), binds w's values, runs it; false with the
// database's error.
bool run(QSqlQuery& q, const QString& sql, const Where& w, QString* error);

// After a fetch loop: false, with the error, when the rows stopped because the
// database failed (a damaged page, a lost server) rather than because they
// ran out.
bool drained(const QSqlQuery& q, QString* error);

}  // namespace results
