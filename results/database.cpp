#include "results/database.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <atomic>

namespace results {

namespace {
std::atomic<int> connectionCount{0};
}  // namespace

QString isoTime(const QDateTime& t) {
    return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QLatin1Char('Z');
}

const std::vector<Column>& resultColumns() {
    static const std::vector<Column> columns = [] {
        std::vector<Column> out;
        for (const FieldRow& row : kFields)
            if (row.column) out.push_back(Column{row.name, row.kind});
        return out;
    }();
    return columns;
}

Database::Database(const Target& target)
    : target_(target), name_(QStringLiteral("coldstart-results-%1").arg(++connectionCount)) {}

Database::~Database() {
    {
        QSqlDatabase db = QSqlDatabase::database(name_, false);
        if (db.isValid()) db.close();
    }
    QSqlDatabase::removeDatabase(name_);
}

QSqlDatabase Database::connection() const {
    return QSqlDatabase::database(name_, false);
}

bool Database::begin(QSqlQuery& q) const {
    return q.exec(postgres() ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"));
}

bool Database::connect(bool create, int busyTimeoutMs, QString* error) {
    const bool pg = postgres();
    const QString driver = pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        *error = pg ? QStringLiteral(
                          "Qt's PostgreSQL driver QPSQL is not installed "
                          "(Debian package libqt6sql6-psql)")
                    : QStringLiteral(
                          "Qt's SQLite driver QSQLITE is not installed "
                          "(Debian package libqt6sql6-sqlite)");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, name_);
    if (pg) {
        db.setHostName(target_.host);
        db.setPort(target_.port);
        db.setUserName(target_.user);
        db.setDatabaseName(target_.dbName);
        if (!target_.password.isEmpty()) db.setPassword(target_.password);
        db.setConnectOptions(target_.connectOptions());
    } else {
        const QFileInfo file(target_.path);
        if (!create && !file.exists()) {
            *error = QStringLiteral("no such file");
            return false;
        }
        // Only the default location is made: a missing folder anywhere else is
        // a typo or an unmounted share, which would split a line's results.
        const bool ownFolder =
            file.absolutePath() == QFileInfo(defaultTarget().path).absolutePath();
        if (!file.dir().exists() && !ownFolder) {
            *error = QStringLiteral("the folder %1 does not exist").arg(file.absolutePath());
            return false;
        }
        if (!QDir().mkpath(file.absolutePath())) {
            *error = QStringLiteral("cannot create the folder %1").arg(file.absolutePath());
            return false;
        }
        db.setDatabaseName(target_.path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    }
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    if (pg) {
        // "already exists, skipping" notices of the schema steps are not news.
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SET client_min_messages TO WARNING"))) {
            *error = q.lastError().text();
            return false;
        }
    } else {
        // Write-ahead logging lets several processes write one file; FULL
        // syncs each commit to disk before it returns.
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next() ||
            q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
            *error = q.lastError().isValid()
                         ? q.lastError().text()
                         : QStringLiteral("write-ahead logging is not available");
            return false;
        }
        q.finish();
        if (!q.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
            *error = q.lastError().text();
            return false;
        }
    }
    return true;
}

bool Database::migrate(QString* error) {
    QSqlQuery q(connection());
    const bool pg = postgres();
    // A database of this program's version is read as it is, without
    // waiting for the lock that a station's saves take.
    const int found = q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) && q.next()
                          ? q.value(0).toInt()
                          : 0;
    q.finish();
    if (found == latestSchemaVersion()) return true;
    // Rolls the migration back, every step of it, with why in *error.
    const auto failed = [&](const QString& sql) {
        const QSqlError e = q.lastError();
        // A station's role, which may add results but not change the schema
        // (gps-coldstart-cli db grant).
        if (pg && e.nativeErrorCode() == QLatin1String("42501")) {
            *error = QStringLiteral(
                         "the role \"%1\" may not migrate this database from schema version %2 "
                         "to %3 (%4); have the database's owner migrate it (any gps-coldstart-cli "
                         "command run as the owner, e.g. db grant), then start again")
                         .arg(target_.user)
                         .arg(found)
                         .arg(latestSchemaVersion())
                         .arg(e.databaseText().trimmed());
        } else {
            *error = QStringLiteral("%1 (in: %2)").arg(e.text(), sql.left(60));
        }
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    auto run = [&](const QString& sql) { return q.exec(sql) || failed(sql); };
    // One process at a time creates or migrates the schema.
    if (!run(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) return false;
    if (pg && !run(QStringLiteral("SELECT pg_advisory_xact_lock(7460012)"))) return false;
    q.finish();
    if (!run(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version ("
                            " version INTEGER PRIMARY KEY, applied TEXT NOT NULL)")))
        return false;
    if (!run(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM schema_version"))) return false;
    const int current = q.next() ? q.value(0).toInt() : 0;
    q.finish();
    if (current > latestSchemaVersion()) {
        *error = QStringLiteral(
                     "its schema is version %1, newer than this program's %2; use a "
                     "newer gps-coldstart")
                     .arg(current)
                     .arg(latestSchemaVersion());
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    for (const Migration& step : migrations()) {
        if (step.version <= current) continue;
        for (const std::string& statement : step.statements)
            if (!run(engineSql(statement, target_.engine))) return false;
        const QString applied =
            QStringLiteral("INSERT INTO schema_version (version, applied) VALUES (?, ?)");
        q.prepare(applied);
        q.addBindValue(step.version);
        q.addBindValue(isoTime(QDateTime::currentDateTimeUtc()));
        if (!q.exec()) return failed(applied);
    }
    return run(QStringLiteral("COMMIT"));
}

int Database::schemaVersion() const {
    QSqlQuery q(connection());
    return q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) && q.next()
               ? q.value(0).toInt()
               : 0;
}

}  // namespace results
