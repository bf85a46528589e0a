// Where results go: a SQLite file, or a PostgreSQL server named as
// postgresql://USER@HOST[:PORT]/DBNAME.
#pragma once

#include <QString>
#include <optional>

namespace results {

struct Target {
    enum class Engine { Sqlite, Postgres };
    Engine engine = Engine::Sqlite;

    // SQLite: the database file.
    QString path;

    // PostgreSQL.  The password is never part of a target: libpq takes it from
    // PGPASSWORD or ~/.pgpass.  A host starting with '/' is a socket folder.
    QString user;
    QString host;
    int port = 5432;
    QString dbName;

    // How the database is named in messages; never shows a password.
    QString display() const;

    // The file that catches results while the database is failing: beside a
    // SQLite file, or in the data location for a server.
    QString spoolPath() const;
};

// Reads a --db argument: "postgresql://USER@HOST[:PORT]/DBNAME" (or
// "postgres://"), anything else is a SQLite file path.  On a bad one returns
// nothing and a message naming the mistake in *error.
std::optional<Target> parseTarget(const QString& dbArgument, QString* error);

// $XDG_DATA_HOME/gps-coldstart/results.sqlite (Qt's standard data location).
Target defaultTarget();

// The folder of the default database and of servers' spools.
QString dataFolder();

}  // namespace results
