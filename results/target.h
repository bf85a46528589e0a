// Where results go: a SQLite file, or a PostgreSQL server named by a
// connection URI, postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME[?NAME=VALUE&...].
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <optional>

namespace results {

struct Target {
    enum class Engine { Sqlite, Postgres };
    Engine engine = Engine::Sqlite;

    // SQLite: the database file.
    QString path;

    // PostgreSQL.  A host starting with '/' is a socket folder.
    QString user;
    QString host;
    int port = 5432;
    QString dbName;
    // Given in the address; empty when libpq is to take it from PGPASSWORD,
    // a password file or the server's trust.  Never shown.
    QString password;
    // The connection parameters the address named beyond those above (libpq's
    // keywords, e.g. sslmode), in the order given, their values checked.
    QList<QPair<QString, QString>> parameters;

    // How the database is named in messages: a password given shows as ***.
    QString display() const;

    // The file that catches results while the database is failing: beside a
    // SQLite file, or in the data location for a server.
    QString spoolPath() const;

    // The driver's connect options: the station's own time-outs and name,
    // each replaced by the address's parameter of that name, then the
    // address's other parameters; values quoted as libpq reads them.
    QString connectOptions() const;
};

// Reads a --db argument: a PostgreSQL connection URI (postgresql:// or
// postgres://, parts percent-encoded, one host, the parameters that
// postgresParameters() names), anything else is a SQLite file path.  On a bad
// one returns nothing and a message naming the mistake, never the password,
// in *error.
std::optional<Target> parseTarget(const QString& dbArgument, QString* error);

// The --db argument as it may be shown (a settings field, a message): a
// server's password, in the user part or a parameter, replaced by ***.
QString redactedAddress(const QString& dbArgument);

// The connection parameters an address may carry, for messages and help.
QStringList postgresParameters();

// $XDG_DATA_HOME/gps-coldstart/results.sqlite (Qt's standard data location).
Target defaultTarget();

// The folder of the default database and of servers' spools.
QString dataFolder();

}  // namespace results
