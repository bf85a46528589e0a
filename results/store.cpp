#include "results/store.h"

#include "results/evidence.h"
#include "results/limitrows.h"
#include "results/summaries.h"

#include <QDeadlineTimer>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QUuid>
#include <QVariant>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

namespace results {

namespace {

using Kind = Column::Kind;

// A migration step: statements with {SERIAL}, {INT}, {REAL} and {BOOL} in
// place of the engine's own types.  Steps are never edited once released; a
// change to the schema is a new step.
//
// Up to step 5 every statement is written out.  From step 6 on, the columns
// of the fields whose row names the step (results/fields.h, "since") are
// added by the step itself, before its own statements: a new field is its
// row alone.
struct Migration {
    int version;
    std::vector<std::string> statements;
};

constexpr int kWrittenOut = 5;

std::vector<Migration> writtenSteps() {
    return {
        {1,
         {"CREATE TABLE results ("
          " seq {SERIAL},"
          " id TEXT NOT NULL UNIQUE,"
          " unit TEXT NOT NULL DEFAULT '',"
          " station TEXT NOT NULL DEFAULT '',"
          " lot TEXT NOT NULL DEFAULT '',"
          " operator TEXT NOT NULL DEFAULT '',"
          " cycle {INT},"
          " started TEXT NOT NULL DEFAULT '',"
          " ended TEXT NOT NULL DEFAULT '',"
          " result TEXT NOT NULL DEFAULT '',"
          " reason TEXT NOT NULL DEFAULT '',"
          " status TEXT NOT NULL DEFAULT '',"
          " port TEXT NOT NULL DEFAULT '',"
          " device TEXT NOT NULL DEFAULT '',"
          " baud {INT},"
          " receiver TEXT NOT NULL DEFAULT '',"
          " start TEXT NOT NULL DEFAULT '',"
          " cold_start_sent {BOOL},"
          " confirmed {BOOL},"
          " reset_verified {BOOL},"
          " ttff_s {REAL},"
          " satellites {INT},"
          " hdop {REAL},"
          " cn0_max {REAL},"
          " cn0_mean4 {REAL},"
          " sv_with_snr {INT},"
          " limits TEXT,"
          " version TEXT NOT NULL DEFAULT '',"
          " stored_at TEXT NOT NULL)",
          "CREATE INDEX results_started ON results (started)",
          "CREATE INDEX results_lot ON results (lot, started)",
          // The report's questions, each answered from one index alone.
          "CREATE INDEX results_unit ON results (unit, started)",
          "CREATE INDEX results_station_unit ON results (station, unit, started, result)",
          "CREATE INDEX results_outcome ON results (station, result, reason, ttff_s)",
          "CREATE INDEX results_station_ttff ON results (station, ttff_s)",
          "CREATE INDEX results_ttff ON results (ttff_s)"}},
        // The plan a result was judged under.
        {2,
         {"ALTER TABLE results ADD COLUMN plan TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN plan_sha256 TEXT NOT NULL DEFAULT ''",
          // The unit already had a result in its lot.
          "ALTER TABLE results ADD COLUMN retest {BOOL}"}},
        // Who the unit is, GGA's own count of satellites beside the GSA's, the sky.
        {3,
         {"ALTER TABLE results ADD COLUMN firmware TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN hardware TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN unique_id TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN satellites_gga {INT}",
          "ALTER TABLE results ADD COLUMN sky TEXT"}},
        // The test plan, the signal test's measurement of the generator's
        // satellite, and every slot's calibrations with a golden unit.
        {4,
         {"ALTER TABLE results ADD COLUMN tests TEXT",
          "ALTER TABLE results ADD COLUMN signal_sv TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN signal_samples {INT}",
          "ALTER TABLE results ADD COLUMN signal_cn0_mean {REAL}",
          "ALTER TABLE results ADD COLUMN signal_cn0_sd {REAL}",
          "ALTER TABLE results ADD COLUMN signal_cn0_raw_mean {REAL}",
          "ALTER TABLE results ADD COLUMN signal_offset {REAL}",
          "ALTER TABLE results ADD COLUMN signal_calibration_id {INT}",
          "ALTER TABLE results ADD COLUMN signal_values TEXT",
          "CREATE TABLE calibrations ("
          " id {SERIAL},"
          " time TEXT NOT NULL,"
          " station TEXT NOT NULL DEFAULT '',"
          " port TEXT NOT NULL,"
          " operator TEXT NOT NULL DEFAULT '',"
          " golden TEXT NOT NULL DEFAULT '',"
          " expected {REAL} NOT NULL,"
          " measured {REAL} NOT NULL,"
          // OFFSET is a keyword of SQL: the column is always written quoted.
          " \"offset\" {REAL} NOT NULL)",
          // A slot's latest calibration, and its history for the report.
          "CREATE INDEX calibrations_slot ON calibrations (station, port, time)"}},
        // The report's summaries, kept at each save (results/summaries.h).
        // The indexes that let the report aggregate over the rows give way to
        // one for a station's results in a time range.
        {5,
         {"CREATE TABLE summary_outcomes ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " result TEXT NOT NULL, reason TEXT NOT NULL, n {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, result, reason)){WITHOUT_ROWID}",
          "CREATE TABLE summary_values ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " measure TEXT NOT NULL, passed {INT} NOT NULL, value {REAL} NOT NULL,"
          " n {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, measure, passed, value)){WITHOUT_ROWID}",
          "CREATE TABLE summary_slots ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " port TEXT NOT NULL, measure TEXT NOT NULL, n {INT} NOT NULL,"
          " cn0_sum {REAL} NOT NULL,"
          " PRIMARY KEY (kind, name, station, port, measure)){WITHOUT_ROWID}",
          "CREATE TABLE summary_limits ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " limits TEXT NOT NULL, n {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, limits)){WITHOUT_ROWID}",
          "CREATE TABLE unit_tests ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, unit TEXT NOT NULL, station TEXT NOT NULL,"
          " first_at TEXT NOT NULL, pass_at TEXT,"
          " PRIMARY KEY (kind, name, unit, station)){WITHOUT_ROWID}",
          "CREATE TABLE summary_units ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, whole {INT} NOT NULL, station TEXT NOT NULL,"
          " units {INT} NOT NULL, passed {INT} NOT NULL, first_pass {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, whole, station)){WITHOUT_ROWID}",
          "DROP INDEX IF EXISTS results_station_unit", "DROP INDEX IF EXISTS results_outcome",
          "DROP INDEX IF EXISTS results_station_ttff", "DROP INDEX IF EXISTS results_ttff",
          "CREATE INDEX results_station_started ON results (station, started)"}},
        // Step 6, the end-of-line tests, is only its rows' columns: the
        // results' antenna state and its changes, the configuration the unit
        // left with and the RF front end's figures, and the golden unit's
        // figures beside each calibration's offset.
        // Units per hour and handling time per slot (results/pace.h), kept at
        // each save as the other summaries are.
        {8,
         {"CREATE TABLE summary_pace ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " port TEXT NOT NULL, results {INT} NOT NULL, test_ms {INT} NOT NULL,"
          " gaps {INT} NOT NULL, gap_ms {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, port)){WITHOUT_ROWID}"}},
        // The line's delivery queue (results/delivery.h): one row per result
        // kept while the station delivers, written with the result.
        {9,
         {"CREATE TABLE deliveries ("
          " seq {SERIAL},"
          " result_id TEXT NOT NULL UNIQUE,"
          " station TEXT NOT NULL DEFAULT '',"
          " payload TEXT NOT NULL,"
          " queued_at TEXT NOT NULL,"
          " delivered {BOOL} NOT NULL,"
          " delivered_at TEXT,"
          " attempts {INT} NOT NULL,"
          " last_error TEXT NOT NULL DEFAULT '',"
          " next_at TEXT NOT NULL)",
          "CREATE INDEX deliveries_waiting ON deliveries (station, delivered, seq)"}},
        // The unit's bytes of each test, compressed, in a table of their own
        // so that the results table stays lean; the row's evidence_sha256 and
        // evidence_removed are their rows' step.
        {10,
         {"CREATE TABLE evidence ("
          " result_id TEXT PRIMARY KEY,"
          " stored_at TEXT NOT NULL,"
          " size {INT} NOT NULL,"
          " packed_size {INT} NOT NULL,"
          " bytes {BLOB} NOT NULL)",
          "CREATE INDEX evidence_stored ON evidence (stored_at, result_id)"}},
        // The units the line refused before they started: not results, so
        // out of every figure of the report.
        {11,
         {"CREATE TABLE route_refusals ("
          " id {SERIAL}, time TEXT NOT NULL, station TEXT NOT NULL, port TEXT NOT NULL,"
          " unit TEXT NOT NULL, lot TEXT NOT NULL, operator TEXT NOT NULL, plan TEXT NOT NULL,"
          " reason TEXT NOT NULL)",
          "CREATE INDEX route_refusals_unit ON route_refusals (unit, time)"}},
        // Each scope's summaries built by the first report that needs them
        // (results/summaries.h), none by the migration: summary_start holds
        // the last row stored before the summaries were kept, and a scope
        // with a row up to it is summarized once it is in summary_scopes.  A
        // database that has units per hour (step 8) has every summary and
        // keeps them; any other has them emptied, to be built again.  A save
        // reads a unit's earlier tests from its rows.
        {12,
         {"CREATE TABLE summary_scopes (kind TEXT NOT NULL, name TEXT NOT NULL,"
          " PRIMARY KEY (kind, name)){WITHOUT_ROWID}",
          "CREATE TABLE summary_start (seq {INT} NOT NULL)",
          "INSERT INTO summary_start (seq) SELECT CASE WHEN EXISTS (SELECT 1 FROM summary_pace)"
          " THEN 0 ELSE COALESCE(MAX(seq), 0) END FROM results",
          "DELETE FROM summary_outcomes WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_values WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_slots WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_limits WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_units WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_pace WHERE (SELECT seq FROM summary_start) > 0",
          "DROP TABLE unit_tests"}},
        // Each slot's passes and those whose reset was not proven.  The
        // summaries kept so far have none of them: every scope is built
        // again by the first report that needs it.
        {13,
         {"CREATE TABLE summary_resets ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " port TEXT NOT NULL, passed {INT} NOT NULL, unproven {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, port)){WITHOUT_ROWID}",
          "UPDATE summary_start SET seq = (SELECT COALESCE(MAX(seq), 0) FROM results)",
          "DELETE FROM summary_scopes", "DELETE FROM summary_outcomes",
          "DELETE FROM summary_values", "DELETE FROM summary_slots", "DELETE FROM summary_limits",
          "DELETE FROM summary_units", "DELETE FROM summary_pace"}},
        // Several delivery targets, each with a queue of its own: a row per
        // result and target, and the time of each row's last attempt.  The
        // rows of step 9 keep their order and their attempts, without a
        // target: the station's first target takes them over (results/delivery.h).
        {14,
         {"CREATE TABLE deliveries_by_target ("
          " seq {SERIAL},"
          " target TEXT NOT NULL,"
          " result_id TEXT NOT NULL,"
          " station TEXT NOT NULL DEFAULT '',"
          " payload TEXT NOT NULL,"
          " queued_at TEXT NOT NULL,"
          " delivered {BOOL} NOT NULL,"
          " delivered_at TEXT,"
          " attempts {INT} NOT NULL,"
          " attempted_at TEXT,"
          " last_error TEXT NOT NULL DEFAULT '',"
          " next_at TEXT NOT NULL,"
          " UNIQUE (target, result_id))",
          "INSERT INTO deliveries_by_target (target, result_id, station, payload, queued_at,"
          " delivered, delivered_at, attempts, last_error, next_at)"
          " SELECT '', result_id, station, payload, queued_at, delivered, delivered_at, attempts,"
          " last_error, next_at FROM deliveries ORDER BY seq",
          "DROP TABLE deliveries", "ALTER TABLE deliveries_by_target RENAME TO deliveries",
          "CREATE INDEX deliveries_waiting ON deliveries (station, target, delivered, seq)"}},
        // A gauge study's runs struck out, each with who and why
        // (results/strikes.h): records, as the results are.
        {15,
         {"CREATE TABLE struck_runs ("
          " result_id TEXT PRIMARY KEY,"
          " study TEXT NOT NULL,"
          " struck_at TEXT NOT NULL,"
          " struck_by TEXT NOT NULL,"
          " db_role TEXT NOT NULL DEFAULT '',"
          " why TEXT NOT NULL)",
          "CREATE INDEX struck_runs_study ON struck_runs (study, struck_at)"}},
        // Each limit's result beside its result (results/limitrows.h): a row
        // per measure that had a limit.  Earlier results have none.
        {16,
         {"CREATE TABLE limit_results ("
          " result_id TEXT NOT NULL,"
          " measure TEXT NOT NULL,"
          " value {REAL},"
          " low {REAL},"
          " high {REAL},"
          " result TEXT NOT NULL,"
          " PRIMARY KEY (result_id, measure))"}},
    };
}

// Whether the field is a golden measure's, whose golden unit's figure each
// calibration keeps too.
bool keptByCalibrations(Field field) {
    for (const MeasureRow& m : kMeasures)
        if (m.field == field && m.golden) return true;
    return false;
}

// "ALTER TABLE results ADD COLUMN name TYPE" for a field's column.
std::string addedColumn(const FieldRow& row) {
    const char* type = "TEXT";
    switch (row.kind) {
        case FieldKind::Text:
            type = "TEXT NOT NULL DEFAULT ''";
            break;
        case FieldKind::Int:
            type = "{INT}";
            break;
        case FieldKind::Real:
            type = "{REAL}";
            break;
        case FieldKind::Bool:
            type = "{BOOL}";
            break;
        case FieldKind::Json:
            break;
    }
    return std::string("ALTER TABLE results ADD COLUMN ") + row.name + ' ' + type;
}

const std::vector<Migration>& migrations() {
    static const std::vector<Migration> steps = [] {
        std::vector<Migration> out = writtenSteps();
        for (auto row = std::rbegin(kFields); row != std::rend(kFields); ++row) {
            if (!row->column || row->since <= kWrittenOut) continue;
            auto step = std::find_if(out.begin(), out.end(),
                                     [&](const Migration& m) { return m.version == row->since; });
            if (step == out.end()) step = out.insert(out.end(), Migration{row->since, {}});
            step->statements.insert(step->statements.begin(), addedColumn(*row));
        }
        for (const FieldRow& row : kFields) {
            if (row.since <= kWrittenOut || !keptByCalibrations(row.field)) continue;
            auto step = std::find_if(out.begin(), out.end(),
                                     [&](const Migration& m) { return m.version == row.since; });
            step->statements.push_back(std::string("ALTER TABLE calibrations ADD COLUMN ") +
                                       row.name + " {REAL}");
        }
        std::sort(out.begin(), out.end(),
                  [](const Migration& a, const Migration& b) { return a.version < b.version; });
        return out;
    }();
    return steps;
}

QString engineSql(const std::string& statement, Target::Engine engine) {
    QString sql = QString::fromStdString(statement);
    const bool pg = engine == Target::Engine::Postgres;
    sql.replace(QStringLiteral("{SERIAL}"), pg ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                               : QStringLiteral("INTEGER PRIMARY KEY"));
    sql.replace(QStringLiteral("{INT}"), pg ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER"));
    sql.replace(QStringLiteral("{REAL}"),
                pg ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL"));
    sql.replace(QStringLiteral("{BOOL}"),
                pg ? QStringLiteral("BOOLEAN") : QStringLiteral("INTEGER"));
    sql.replace(QStringLiteral("{BLOB}"), pg ? QStringLiteral("BYTEA") : QStringLiteral("BLOB"));
    sql.replace(QStringLiteral("{WITHOUT_ROWID}"),
                pg ? QString() : QStringLiteral(" WITHOUT ROWID"));
    return sql;
}

// Times are kept as ISO 8601 UTC text with milliseconds, so that they sort
// and compare as text on both engines.
QString normalizedTime(const QJsonValue& v) {
    const QString text = v.toString();
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    return t.isValid() ? isoTime(t) : v.isString() ? text : QStringLiteral("");
}

// A column named "signal_x" holds the field "x" of the result's "signal"
// object (null without a signal test).
QJsonValue fieldOf(const QJsonObject& result, const char* column) {
    static const QLatin1String nested("signal_");
    const QLatin1String name(column);
    if (name.startsWith(nested))
        return result.value(QLatin1String("signal")).toObject().value(name.mid(nested.size()));
    return result.value(name);
}

QVariant columnValue(const QJsonObject& result, const Column& c) {
    const QJsonValue v = fieldOf(result, c.name);
    switch (c.kind) {
        case Kind::Text:
            if (!qstrcmp(c.name, "started") || !qstrcmp(c.name, "ended")) return normalizedTime(v);
            if (v.isDouble())
                return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
            // An absent text is empty, never NULL.
            return v.isString() ? v.toString() : QStringLiteral("");
        case Kind::Int:
            if (v.isDouble()) return QVariant::fromValue<qlonglong>(v.toInteger());
            return QVariant(QMetaType(QMetaType::LongLong));
        case Kind::Real:
            if (v.isDouble()) return v.toDouble();
            return QVariant(QMetaType(QMetaType::Double));
        case Kind::Bool:
            if (v.isBool()) return v.toBool();
            return QVariant(QMetaType(QMetaType::Bool));
        case Kind::Json:
            if (v.isObject())
                return QString::fromUtf8(
                    QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
            if (v.isArray())
                return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
            return QVariant(QMetaType(QMetaType::QString));
    }
    return {};
}

void ensureId(QJsonObject& result) {
    if (result.value(QLatin1String("id")).toString().isEmpty())
        result.insert(QLatin1String("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
}

void writeStderr(const QString& text) {
    QTextStream err(stderr);
    err << "gps-coldstart: " << text << '\n';
}

// Makes a new entry in the folder durable.  Empty, or why it is not.
QString syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    const int failure = fd < 0 || ::fsync(fd) != 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    return failure ? QString::fromLocal8Bit(std::strerror(failure)) : QString();
}

std::atomic<int> connectionCount{0};

// A spooled result's evidence: the compressed bytes in base64.
constexpr char kSpooledEvidence[] = "evidence_packed";

}  // namespace

// The calibrations' columns of the golden measures' figures, each put into
// `form` ("%1" its name, if it has one), in the table's order.
QString goldenColumns(const QString& form) {
    QString columns;
    for (const MeasureRow& row : kMeasures)
        if (row.golden)
            columns += QString(form).replace(QLatin1String("%1"), QLatin1String(keyOf(row)));
    return columns;
}

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

int latestSchemaVersion() {
    return migrations().back().version;
}

// The INSERT, prepared at its first use (after the schema exists), and the
// summaries' statements.
struct Store::Prepared {
    explicit Prepared(const QSqlDatabase& db)
        : insert(db), queue(db), evidence(db), summaries(db) {}
    QSqlQuery insert;
    QSqlQuery queue;  // a delivery queue's row
    QSqlQuery evidence;
    SummaryWriter summaries;
    bool ready = false;
    bool queueReady = false;
};

Store::Store(const Target& target, Sink warn, int holdEachSaveMs, QStringList deliveries)
    : target_(target),
      warn_(std::move(warn)),
      connection_(QStringLiteral("coldstart-results-%1").arg(++connectionCount)),
      holdEachSaveMs_(holdEachSaveMs),
      deliveries_(std::move(deliveries)) {}

Store::~Store() {
    prepared_.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (db.isValid()) db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

QSqlDatabase Store::database() const {
    return QSqlDatabase::database(connection_, false);
}

void Store::warn(const QString& text) const {
    if (warn_)
        warn_(text);
    else
        writeStderr(text);
}

std::unique_ptr<Store> Store::open(const Target& target, QString* error, Options options,
                                   Sink warn) {
    QDeadlineTimer deadline(options.busyTimeoutMs);
    for (int attempt = 1;; ++attempt) {
        std::unique_ptr<Store> store(
            new Store(target, warn, options.holdEachSaveMs, options.deliveries));
        QString why;
        const bool connected = store->connect(options, &why);
        if (connected) store->prepared_ = std::make_unique<Prepared>(store->database());
        if (connected && store->migrate(&why) && store->importSpool(&why)) return store;
        // Processes that open one new SQLite file at the same moment: SQLite
        // refuses one of them at once rather than wait into a deadlock, so
        // that one starts over.
        const bool busy = target.engine == Target::Engine::Sqlite &&
                          why.contains(QLatin1String("locked"), Qt::CaseInsensitive);
        if (busy && !deadline.hasExpired()) {
            store.reset();
            QThread::msleep(10 * std::min(attempt, 10));
            continue;
        }
        if (error) *error = QStringLiteral("results database %1: %2").arg(target.display(), why);
        return nullptr;
    }
}

bool Store::connect(const Options& options, QString* error) {
    const bool pg = target_.engine == Target::Engine::Postgres;
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
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection_);
    if (pg) {
        db.setHostName(target_.host);
        db.setPort(target_.port);
        db.setUserName(target_.user);
        db.setDatabaseName(target_.dbName);
        if (!target_.password.isEmpty()) db.setPassword(target_.password);
        db.setConnectOptions(target_.connectOptions());
    } else {
        const QFileInfo file(target_.path);
        if (!options.create && !file.exists()) {
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
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(options.busyTimeoutMs));
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

bool Store::migrate(QString* error) {
    QSqlDatabase db = database();
    QSqlQuery q(db);
    const bool pg = target_.engine == Target::Engine::Postgres;
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

int Store::schemaVersion() const {
    QSqlQuery q(database());
    return q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) && q.next()
               ? q.value(0).toInt()
               : 0;
}

namespace {

QString insertSql() {
    QStringList names, marks;
    for (const Column& c : resultColumns()) {
        names << QLatin1String(c.name);
        marks << QStringLiteral("?");
    }
    names << QStringLiteral("stored_at");
    marks << QStringLiteral("?");
    return QStringLiteral("INSERT INTO results (%1) VALUES (%2) ON CONFLICT (id) DO NOTHING")
        .arg(names.join(','), marks.join(','));
}

}  // namespace

bool Store::insert(const QJsonObject& result, const QByteArray& packed, bool* inserted,
                   QString* error) {
    QSqlQuery& q = prepared_->insert;
    if (!prepared_->ready) {
        if (!q.prepare(insertSql()) ||
            !prepared_->evidence.prepare(QStringLiteral(
                "INSERT INTO evidence (result_id, stored_at, size, packed_size, bytes)"
                " VALUES (?, ?, ?, ?, ?) ON CONFLICT (result_id) DO NOTHING"))) {
            *error = q.lastError().isValid() ? q.lastError().text()
                                             : prepared_->evidence.lastError().text();
            return false;
        }
        prepared_->ready = true;
    }
    int i = 0;
    SummaryRow row;
    const std::pair<const char*, QString*> texts[] = {
        {"station", &row.station}, {"lot", &row.lot},
        {"unit", &row.unit},       {"started", &row.started},
        {"result", &row.result},   {"reason", &row.reason},
        {"port", &row.port},       {"limits", &row.limits},
        {"ended", &row.ended},     {"id", &row.id}};
    QString study;
    for (const Column& c : resultColumns()) {
        const QVariant value = columnValue(result, c);
        q.bindValue(i++, value);
        if (!qstrcmp(c.name, "study")) study = value.toString();
        if (!qstrcmp(c.name, "cold_start_sent")) row.startSent = value.toBool();
        if (!qstrcmp(c.name, "reset_verified")) row.resetVerified = value.toBool();
        for (const auto& [name, field] : texts)
            if (!qstrcmp(c.name, name)) *field = value.toString();
        const int m = summaryMeasures().indexOf(QLatin1String(c.name));
        if (m >= 0 && !value.isNull()) row.measures[m] = value.toDouble();
    }
    const QString storedAt = isoTime(QDateTime::currentDateTimeUtc());
    q.bindValue(i, storedAt);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    const bool added = q.numRowsAffected() > 0;
    if (inserted) *inserted = added;
    if (added && !deliveries_.isEmpty() && !enqueue(result, error)) return false;
    if (added && !packed.isEmpty()) {
        QSqlQuery& e = prepared_->evidence;
        e.bindValue(0, row.id);
        e.bindValue(1, storedAt);
        // qCompress begins with the size unpacked, big-endian.
        e.bindValue(2, qint64(qFromBigEndian<quint32>(packed.constData())));
        e.bindValue(3, qint64(packed.size()));
        e.bindValue(4, packed);
        if (!e.exec()) {
            *error = e.lastError().text();
            return false;
        }
        if (evidenceBytes_ >= 0) evidenceBytes_ += packed.size();
    }
    if (added && !keepLimitResults(database(), result, error)) return false;
    // A study's results are kept out of the line's figures.
    return !added || !study.isEmpty() || prepared_->summaries.add(row, error);
}

bool Store::enqueue(const QJsonObject& result, QString* error) {
    QSqlQuery& q = prepared_->queue;
    if (!prepared_->queueReady) {
        if (!q.prepare(QStringLiteral(
                "INSERT INTO deliveries (target, result_id, station, payload, queued_at,"
                " delivered, attempts, last_error, next_at) VALUES (?, ?, ?, ?, ?, ?, 0, '', "
                "?)"))) {
            *error = q.lastError().text();
            return false;
        }
        prepared_->queueReady = true;
    }
    const QString now = isoTime(QDateTime::currentDateTimeUtc());
    const QString payload = QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact));
    for (const QString& target : deliveries_) {
        q.addBindValue(target);
        q.addBindValue(result.value(QLatin1String("id")).toString());
        q.addBindValue(result.value(QLatin1String("station")).toString(QLatin1String("")));
        q.addBindValue(payload);
        q.addBindValue(now);
        q.addBindValue(false);
        q.addBindValue(now);
        if (!q.exec()) {
            *error = q.lastError().text();
            return false;
        }
    }
    return true;
}

std::optional<Delivery> Store::nextDelivery(const QString& station, const QString& target,
                                            bool adopt, QueueState* state, QString* error) {
    QSqlQuery q(database());
    const auto failed = [&] {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    };
    if (adopt) {
        q.prepare(QStringLiteral(
            "UPDATE deliveries SET target = ? WHERE station = ? AND target = ? AND delivered = ?"));
        q.addBindValue(target);
        q.addBindValue(station);
        q.addBindValue(QStringLiteral(""));
        q.addBindValue(false);
        if (!q.exec()) return failed();
    }
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT COUNT(*), MIN(queued_at) FROM deliveries"
                       " WHERE station = ? AND target = ? AND delivered = ?"));
    q.addBindValue(station);
    q.addBindValue(target);
    q.addBindValue(false);
    if (!q.exec() || !q.next()) return failed();
    if (state) {
        state->waiting = q.value(0).toInt();
        state->oldest = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs);
    }
    q.finish();
    q.prepare(
        QStringLiteral("SELECT %1 FROM deliveries"
                       " WHERE station = ? AND target = ? AND delivered = ? ORDER BY seq LIMIT 1")
            .arg(QLatin1String(kDeliveryColumns)));
    q.addBindValue(station);
    q.addBindValue(target);
    q.addBindValue(false);
    if (!q.exec()) return failed();
    if (!q.next()) return std::nullopt;
    return deliveryOf(q);
}

bool Store::recordAttempt(qint64 seq, bool delivered, const QString& why, const QDateTime& nextAt,
                          QString* error) {
    QSqlQuery q(database());
    const QString now = isoTime(QDateTime::currentDateTimeUtc());
    q.prepare(
        QStringLiteral("UPDATE deliveries SET delivered = ?, delivered_at = ?,"
                       " attempts = attempts + 1, attempted_at = ?, last_error = ?, next_at = ?"
                       " WHERE seq = ?"));
    q.addBindValue(delivered);
    q.addBindValue(delivered ? QVariant(now) : QVariant(QMetaType(QMetaType::QString)));
    q.addBindValue(now);
    q.addBindValue(why.isNull() ? QStringLiteral("") : why);
    q.addBindValue(isoTime(nextAt.isValid() ? nextAt : QDateTime::currentDateTimeUtc()));
    q.addBindValue(seq);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return false;
    }
    return true;
}

Store::Saved Store::save(QJsonObject& result, const QByteArray& evidence) {
    ensureId(result);
    QByteArray packed;
    if (!evidence.isEmpty()) {
        result.insert(QLatin1String("evidence_sha256"), evidence::sha256(evidence));
        packed = qCompress(evidence);
    }
    // A spooled result carries its evidence in its line.
    const auto spool = [&] {
        if (packed.isEmpty()) return this->spool(result);
        QJsonObject line = result;
        line.insert(QLatin1String(kSpooledEvidence), QString::fromLatin1(packed.toBase64()));
        return this->spool(line);
    };
    if (holdEachSaveMs_ > 0) QThread::msleep(unsigned(holdEachSaveMs_));
    if (spooling_) return spool();
    QString why;
    // The row and its summaries in one transaction.
    QSqlQuery tx(database());
    const bool pg = target_.engine == Target::Engine::Postgres;
    if (tx.exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) {
        markRetest(result);
        if (insert(result, packed, nullptr, &why) && tx.exec(QStringLiteral("COMMIT")))
            return Saved::Stored;
        if (why.isEmpty()) why = tx.lastError().text();
        tx.exec(QStringLiteral("ROLLBACK"));
    } else {
        why = tx.lastError().text();
    }
    spooling_ = true;
    evidenceBytes_ = -1;
    const Saved saved = spool();
    if (saved == Saved::Spooled) {
        warn(QStringLiteral("results database %1 failed (%2); from now on results are kept in %3 "
                            "and moved into the database at the next start with the same --db")
                 .arg(target_.display(), why.trimmed(), target_.spoolPath()));
    }
    return saved;
}

void Store::markRetest(QJsonObject& result) {
    const QString unit = result.value(QLatin1String("unit")).toString();
    if (unit.isEmpty() || result.value(QLatin1String("cycle")).toInt(1) != 1) return;
    QSqlQuery q(database());
    q.prepare(
        QStringLiteral("SELECT 1 FROM results WHERE unit = ? AND lot = ? AND study = ? LIMIT 1"));
    q.addBindValue(unit);
    q.addBindValue(result.value(QLatin1String("lot")).toString());
    // A production result has no study: its rows have the empty one (never NULL).
    q.addBindValue(result.value(QLatin1String("study")).toString(QLatin1String("")));
    if (q.exec() && q.next()) result.insert(QLatin1String("retest"), true);
}

qint64 Store::saveBatch(const QList<QJsonObject>& results, QString* error) {
    QSqlDatabase db = database();
    QSqlQuery begin(db);
    const bool pg = target_.engine == Target::Engine::Postgres;
    if (!begin.exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) {
        if (error) *error = begin.lastError().text();
        return -1;
    }
    qint64 added = 0;
    for (QJsonObject r : results) {
        ensureId(r);
        const QByteArray packed =
            QByteArray::fromBase64(r.take(QLatin1String(kSpooledEvidence)).toString().toLatin1());
        bool inserted = false;
        QString why;
        if (!insert(r, packed, &inserted, &why)) {
            if (error) *error = why;
            begin.exec(QStringLiteral("ROLLBACK"));
            return -1;
        }
        added += inserted;
    }
    if (!begin.exec(QStringLiteral("COMMIT"))) {
        if (error) *error = begin.lastError().text();
        begin.exec(QStringLiteral("ROLLBACK"));
        return -1;
    }
    return added;
}

std::optional<std::vector<Calibration>> Store::calibrations(const QString& station,
                                                            const QString& port, int count,
                                                            QString* error) {
    QSqlQuery q(database());
    q.prepare(QStringLiteral("SELECT id, time, station, port, operator, golden, expected, "
                             "measured, \"offset\"%1 FROM calibrations WHERE station = ? AND "
                             "port = ? ORDER BY time DESC, id DESC LIMIT ?")
                  .arg(goldenColumns(QStringLiteral(", %1"))));
    q.addBindValue(station);
    q.addBindValue(port);
    q.addBindValue(count);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    std::vector<Calibration> found;
    while (q.next()) {
        Calibration c;
        c.id = q.value(0).toLongLong();
        c.time = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs);
        c.station = q.value(2).toString();
        c.port = q.value(3).toString();
        c.operatorName = q.value(4).toString();
        c.golden = q.value(5).toString();
        c.expected = q.value(6).toDouble();
        c.measured = q.value(7).toDouble();
        c.offset = q.value(8).toDouble();
        int column = 9;
        for (const MeasureRow& row : kMeasures) {
            if (!row.golden) continue;
            if (!q.isNull(column)) c.figures[row.measure] = q.value(column).toDouble();
            ++column;
        }
        found.push_back(c);
    }
    return found;
}

std::optional<qint64> Store::saveCalibration(const Calibration& c,
                                             std::optional<Calibration>* previous, QString* error) {
    QSqlDatabase db = database();
    QSqlQuery q(db);
    const bool pg = target_.engine == Target::Engine::Postgres;
    auto failed = [&](const QSqlQuery& query) {
        if (error) *error = query.lastError().text();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return std::nullopt;
    };
    if (!q.exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) return failed(q);
    const auto before = calibrations(c.station, c.port, 1, error);
    if (!before) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return std::nullopt;
    }
    if (previous) *previous = before->empty() ? std::nullopt : std::optional(before->front());
    q.prepare(
        QStringLiteral("INSERT INTO calibrations (time, station, port, operator, golden, "
                       "expected, measured, \"offset\"%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?%2) "
                       "RETURNING id")
            .arg(goldenColumns(QStringLiteral(", %1")), goldenColumns(QStringLiteral(", ?"))));
    const auto figure = [](const std::optional<double>& v) {
        return v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double));
    };
    const auto text = [](const QString& t) { return t.isNull() ? QStringLiteral("") : t; };
    for (const QVariant& v :
         {QVariant(isoTime(c.time)), QVariant(text(c.station)), QVariant(text(c.port)),
          QVariant(text(c.operatorName)), QVariant(text(c.golden)), QVariant(c.expected),
          QVariant(c.measured), QVariant(c.offset)})
        q.addBindValue(v);
    for (const MeasureRow& row : kMeasures)
        if (row.golden) q.addBindValue(figure(c.figures[row.measure]));
    if (!q.exec() || !q.next()) return failed(q);
    const qint64 id = q.value(0).toLongLong();
    q.finish();
    if (!q.exec(QStringLiteral("COMMIT"))) return failed(q);
    return id;
}

std::optional<qint64> Store::saveRefusal(const Refusal& r, QString* error) {
    QSqlQuery q(database());
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

Store::Saved Store::spool(const QJsonObject& result) {
    const QString path = target_.spoolPath();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        warn(QStringLiteral("cannot create %1; a result is lost").arg(folder));
        return Saved::Lost;
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);  // stale only when its process is gone
    if (!lock.tryLock(30000)) {
        warn(QStringLiteral("cannot lock %1.lock; a result is lost").arg(path));
        return Saved::Lost;
    }
    const bool created = !QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
        warn(QStringLiteral("cannot open %1 (%2); a result is lost").arg(path, file.errorString()));
        return Saved::Lost;
    }
    QByteArray line = QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n';
    // A line cut short by a killed writer is closed, so the next line is whole.
    if (file.size() > 0) {
        char last = 0;
        if (file.seek(file.size() - 1) && file.read(&last, 1) == 1 && last != '\n')
            line.prepend('\n');
    }
    if (file.write(line) != line.size() || ::fsync(file.handle()) != 0) {
        warn(
            QStringLiteral("cannot write %1 (%2); a result is lost").arg(path, file.errorString()));
        return Saved::Lost;
    }
    file.close();
    if (created) {
        if (const QString why = syncFolder(folder); !why.isEmpty()) {
            warn(QStringLiteral("cannot sync the folder %1 (%2); the spooled result may be lost")
                     .arg(folder, why));
            return Saved::Lost;
        }
    }
    return Saved::Spooled;
}

bool Store::importSpool(QString* error) {
    const QString path = target_.spoolPath();
    if (!QFileInfo::exists(path)) return true;
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(30000)) {
        *error = QStringLiteral("cannot lock %1.lock to move the spool in").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.exists()) return true;  // another process moved it in meanwhile
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the spool %1 (%2)").arg(path, file.errorString());
        return false;
    }
    QList<QJsonObject> spooled;
    int unreadable = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.trimmed().isEmpty()) continue;
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        // A line that is not a whole object was cut by a kill before its
        // result was reported, so it was never printed.
        if (doc.isObject() && !doc.object().value(QLatin1String("id")).toString().isEmpty())
            spooled << doc.object();
        else
            ++unreadable;
    }
    file.close();
    QString why;
    const qint64 added = saveBatch(spooled, &why);
    if (added < 0) {
        *error = QStringLiteral("cannot move the spool %1 in: %2").arg(path, why);
        return false;
    }
    if (!file.remove()) {
        *error = QStringLiteral("moved the spool %1 in but cannot remove it (%2)")
                     .arg(path, file.errorString());
        return false;
    }
    warn(QStringLiteral("moved %1 spooled results from %2 into %3 (%4 were already there, %5 "
                        "unfinished lines dropped)")
             .arg(added)
             .arg(path, target_.display())
             .arg(spooled.size() - added)
             .arg(unreadable));
    return true;
}

std::optional<Store::Evidence> Store::evidence(const QString& id, QString* error) {
    QSqlQuery q(database());
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT r.evidence_sha256, r.evidence_removed, e.bytes FROM results r"
                       " LEFT JOIN evidence e ON e.result_id = r.id WHERE r.id = ?"));
    q.addBindValue(id);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    Evidence found;
    if (!q.next()) {
        if (q.lastError().isValid()) {
            if (error) *error = q.lastError().text();
            return std::nullopt;
        }
        return found;  // no such result
    }
    found.sha256 = q.value(0).toString();
    found.removed = q.value(1).toString();
    if (q.isNull(2)) {
        found.state =
            found.removed.isEmpty() ? Evidence::State::NotRecorded : Evidence::State::Removed;
        return found;
    }
    const QByteArray packed = q.value(2).toByteArray();
    found.framed = qUncompress(packed);
    found.state = !found.framed.isEmpty() && evidence::sha256(found.framed) == found.sha256
                      ? Evidence::State::Kept
                      : Evidence::State::Damaged;
    return found;
}

// In one transaction: the evidence rows matching the condition go, and
// their results say when.
bool Store::removeEvidence(const QString& condition, const QVariantList& values, const QString& why,
                           const QString& now, QStringList* said, QString* error) {
    QSqlDatabase db = database();
    QSqlQuery q(db);
    const bool pg = target_.engine == Target::Engine::Postgres;
    const auto failed = [&] {
        if (error) *error = q.lastError().text();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    const auto run = [&](const QString& sql, const QVariantList& head) {
        q.prepare(sql);
        for (const QVariant& v : head) q.addBindValue(v);
        for (const QVariant& v : values) q.addBindValue(v);
        return q.exec();
    };
    if (!q.exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) return failed();
    if (!run(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(packed_size), 0) FROM evidence WHERE ") +
                 condition,
             {}) ||
        !q.next())
        return failed();
    const qint64 count = q.value(0).toLongLong(), bytes = q.value(1).toLongLong();
    q.finish();
    if (count > 0 && (!run(QStringLiteral("UPDATE results SET evidence_removed = ? WHERE id IN"
                                          " (SELECT result_id FROM evidence WHERE ") +
                               condition + ')',
                           {now}) ||
                      !run(QStringLiteral("DELETE FROM evidence WHERE ") + condition, {})))
        return failed();
    if (!q.exec(QStringLiteral("COMMIT"))) return failed();
    if (count == 0) return true;
    if (evidenceBytes_ >= 0) evidenceBytes_ -= bytes;
    said->append(QStringLiteral("retention removed the evidence of %1 results (%2 bytes "
                                "compressed) from %3: %4; their results stay, marked "
                                "evidence_removed")
                     .arg(count)
                     .arg(bytes)
                     .arg(target_.display(), why));
    return true;
}

bool Store::applyRetention(const Retention& retention, const QDateTime& now, QStringList* said,
                           QString* error) {
    if (spooling_ || !retention.any()) return true;
    const QString stamp = isoTime(now);
    if (retention.days > 0 &&
        !removeEvidence(QStringLiteral("stored_at < ?"),
                        {isoTime(now.addSecs(-qint64(retention.days) * 86400))},
                        QStringLiteral("kept more than %1 days").arg(retention.days), stamp, said,
                        error))
        return false;
    if (retention.maxBytes <= 0) return true;
    QSqlQuery q(database());
    q.setForwardOnly(true);
    // Counted once, then kept up by each save; counted again before a removal
    // (other stations may share the database).
    if (evidenceBytes_ < 0 || evidenceBytes_ > retention.maxBytes) {
        if (!q.exec(QStringLiteral("SELECT COALESCE(SUM(packed_size), 0) FROM evidence")) ||
            !q.next()) {
            if (error) *error = q.lastError().text();
            return false;
        }
        evidenceBytes_ = q.value(0).toLongLong();
        q.finish();
    }
    if (evidenceBytes_ <= retention.maxBytes) return true;
    // The oldest, until what stays fits.
    if (!q.exec(QStringLiteral("SELECT stored_at, result_id, packed_size FROM evidence ORDER BY "
                               "stored_at, result_id"))) {
        if (error) *error = q.lastError().text();
        return false;
    }
    qint64 excess = evidenceBytes_ - retention.maxBytes;
    QString lastAt, lastId;
    while (excess > 0 && q.next()) {
        lastAt = q.value(0).toString();
        lastId = q.value(1).toString();
        excess -= q.value(2).toLongLong();
    }
    q.finish();
    if (lastId.isEmpty()) return true;
    return removeEvidence(QStringLiteral("(stored_at < ? OR (stored_at = ? AND result_id <= ?))"),
                          {lastAt, lastAt, lastId},
                          QStringLiteral("over the cap of %1 bytes").arg(retention.maxBytes), stamp,
                          said, error);
}

}  // namespace results
