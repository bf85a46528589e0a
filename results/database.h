// One connection to the results database, a SQLite file or a line's
// PostgreSQL server through one Qt SQL code path: opened, its schema created
// or migrated (results/schema.h), and the transactions the store's jobs
// write in.  Each job is a class of its own over this one connection: the
// results table (results/resultstable.h), the delivery queues
// (deliveryqueue.h), the calibrations (calibrationtable.h), the refusals
// (refusaltable.h) and the evidence (evidencetable.h); results::Store puts
// them together with the spool (spool.h).
//
// A Database lives in the thread that opened it (a Qt SQL connection does).
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <vector>

#include "results/schema.h"
#include "results/target.h"
#include "vocabulary/fields.h"

namespace results {

// One column of the results table, as it maps to a field of the JSON result.
struct Column {
    using Kind = FieldKind;
    const char* name;
    Kind kind;
};
// The result fields kept in columns (vocabulary/fields.h, "id" first), without
// the store's own columns.
const std::vector<Column>& resultColumns();

// A time as stored: ISO 8601 UTC with milliseconds, e.g. "2026-12-07T01:02:03.456Z".
QString isoTime(const QDateTime& t);

class Database {
public:
    explicit Database(const Target& target);
    // Closes the connection: every query on it must be gone by then.
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens the connection.  create: a missing SQLite file may be made;
    // busyTimeoutMs: how long a SQLite write waits for another process's.
    // False, with why in *error.
    bool connect(bool create, int busyTimeoutMs, QString* error);
    // Creates the schema or brings it to latestSchemaVersion(), one process
    // at a time, in one transaction.  False, with why in *error.
    bool migrate(QString* error);
    int schemaVersion() const;

    // Begins a write transaction on q: on SQLite BEGIN IMMEDIATE, which
    // waits for another process's write at the start rather than fail at
    // the commit.
    bool begin(QSqlQuery& q) const;

    QSqlDatabase connection() const;
    const Target& target() const { return target_; }
    bool postgres() const { return target_.engine == Target::Engine::Postgres; }

private:
    Target target_;
    QString name_;  // the Qt SQL connection's
};

}  // namespace results
