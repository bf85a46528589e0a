// The report's selection as SQL, shared by the text, JSON, CSV and HTML
// reports: one WHERE clause over the indexed columns, its values bound in
// order, and the checks that tell a failing database from rows that ran out.
#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>
#include <functional>

#include "results/report.h"
#include "vocabulary/reasons.h"

namespace results {

// The WHERE clause of a filter, with its values in placeholder order.
struct Where {
    QString sql;
    QVariantList values;
};
Where where(const Filter& filter);

// An outcome as a condition on a result's column: "result = 'pass'".  A
// statement names outcomes by the codes of their table (vocabulary/reasons.h),
// never by copies of them.
QString resultIs(Outcome outcome);
// "result IN ('pass', 'fail')": the results that test a unit; a station's
// fault or an interrupted run says nothing of the unit.
QString testsAUnit();

// Prepares sql (forward only), binds w's values, runs it; false with the
// database's error.
bool run(QSqlQuery& q, const QString& sql, const Where& w, QString* error);

// After a fetch loop: false, with the error, when the rows stopped because the
// database failed (a damaged page, a lost server) rather than because they
// ran out.
bool drained(const QSqlQuery& q, QString* error);

// Every read of one report from one moment of the database: a read-only
// transaction held while the object lives.  On PostgreSQL REPEATABLE READ,
// which reads one snapshot throughout and never fails a read-only
// transaction; on SQLite BEGIN, the write-ahead log keeping the snapshot of
// the first read, made here.  Saves by other connections go on meanwhile and
// are seen by the next report.  A snapshot taken on a connection that is
// already in one joins it.
class Snapshot {
public:
    explicit Snapshot(const QSqlDatabase& db);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    // False, with the database's error, when the transaction did not begin.
    bool begun(QString* error) const;
    // Whether the connection is in a snapshot now.
    static bool active(const QSqlDatabase& db);

private:
    QSqlDatabase db_;
    bool outermost_ = false;
    QString error_;
};

// A test's seam, empty in use: called after each statement run() has run, so
// that a test can commit a save between two reads of one report.
void setAfterReadHook(std::function<void()> hook);

}  // namespace results
