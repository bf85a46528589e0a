// Each limit's result kept beside its result: a row of limit_results per
// measure that had a limit (vocabulary/limitresults.h), written in the result's
// own transaction, read back by the report's lookups.  Schema: docs/RESULTS.md.
#pragma once

#include <QHash>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "results/database.h"
#include "vocabulary/limitresults.h"

namespace results {

// The limit_results table's rows as results are saved.
class LimitResultsTable {
public:
    // After db is connected; db outlives the table.
    explicit LimitResultsTable(Database& db) : insert_(db.connection()) {}

    // Keeps the result's "limit_results" (none: nothing to keep), in the
    // caller's transaction.  False, with the database's error, on a failure.
    bool keep(const QJsonObject& result, QString* error);

private:
    QSqlQuery insert_;  // prepared at its first use, after the schema exists
    bool prepared_ = false;
};

// The limit results of the results of these ids, by id, each in the
// measures' table order; a result kept without any has no entry.  A row of a
// measure or result this version does not know is left out.
std::optional<QHash<QString, std::vector<LimitResult>>> limitResultsOf(const QSqlDatabase& db,
                                                                       const QStringList& ids,
                                                                       QString* error);

}  // namespace results
