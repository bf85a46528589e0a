// Least privilege on a line's PostgreSQL server: the owner that migrates the
// schema, a station role that adds results and keeps the summaries but may
// not change or delete a stored result, and a report role that only reads.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace results {

// The tables whose rows, once stored, are records: a station may add to them
// but not change or delete them.  Every other table of the schema (the
// summaries, the queues) a station may also update and delete in.
const QStringList& keptTables();

// A role name as it may be created: a letter or '_', then letters, digits,
// '_' or '$', at most 63 bytes; empty when good, else why not.
QString checkRoleName(const QString& name);

struct Grant {
    QString station;  // the station role
    QString report;   // the report role
};

// On a database already migrated by its owner (the connection's role),
// creates each role that does not exist yet (NOLOGIN: a login role is made a
// member of it) and gives it its privileges on every table and sequence of
// the schema, and on those the owner's later migrations create.  In one
// transaction.  Notes worth telling (a privilege granted to PUBLIC that the
// roles cannot be kept from) go to *notes.  False, with *error, on a failure.
bool grantRoles(QSqlDatabase db, const Grant& grant, QStringList* notes, QString* error);

}  // namespace results
