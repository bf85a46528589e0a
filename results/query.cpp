#include "results/query.h"

#include <QSet>
#include <QSqlError>

namespace results {

namespace {
std::function<void()>& afterRead() {
    static std::function<void()> hook;
    return hook;
}
}  // namespace

namespace {
// The connections of this thread in a snapshot (a connection lives in one thread).
QSet<QString>& inSnapshot() {
    thread_local QSet<QString> names;
    return names;
}
}  // namespace

Snapshot::Snapshot(const QSqlDatabase& db) : db_(db) {
    if (inSnapshot().contains(db.connectionName())) return;
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    QSqlQuery q(db);
    if (!q.exec(pg ? QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY")
                   : QStringLiteral("BEGIN"))) {
        error_ = q.lastError().text();
        return;
    }
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM schema_version")) || !q.next()) {
        error_ = q.lastError().text();
        q.exec(QStringLiteral("ROLLBACK"));
        return;
    }
    outermost_ = true;
    inSnapshot().insert(db.connectionName());
}

Snapshot::~Snapshot() {
    if (!outermost_) return;
    inSnapshot().remove(db_.connectionName());
    // Nothing was written: a failed end loses nothing.
    QSqlQuery(db_).exec(QStringLiteral("COMMIT"));
}

bool Snapshot::begun(QString* error) const {
    if (error_.isEmpty()) return true;
    if (error) *error = error_;
    return false;
}

bool Snapshot::active(const QSqlDatabase& db) {
    return inSnapshot().contains(db.connectionName());
}

QString resultIs(Outcome outcome) {
    return QStringLiteral("result = '%1'").arg(codeOf(outcome));
}

QString testsAUnit() {
    return QStringLiteral("result IN ('%1', '%2')")
        .arg(codeOf(Outcome::Pass), codeOf(Outcome::Fail));
}

void setAfterReadHook(std::function<void()> hook) {
    afterRead() = std::move(hook);
}

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
    w.sql += QStringLiteral(" AND study = ?");
    w.values << (f.study.isNull() ? QString(QLatin1String("")) : f.study);
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
    if (afterRead()) afterRead()();
    return true;
}

bool drained(const QSqlQuery& q, QString* error) {
    if (!q.lastError().isValid()) return true;
    *error = q.lastError().text();
    return false;
}

}  // namespace results
