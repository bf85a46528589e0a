#include "results/evidencetable.h"

#include <QSqlError>
#include <QtEndian>

#include "vocabulary/evidence.h"

namespace results {

EvidenceTable::EvidenceTable(Database& db) : db_(db), insert_(db.connection()) {}

bool EvidenceTable::add(const QString& resultId, const QString& storedAt, const QByteArray& packed,
                        QString* error) {
    QSqlQuery& e = insert_;
    if (!prepared_) {
        if (!e.prepare(QStringLiteral(
                "INSERT INTO evidence (result_id, stored_at, size, packed_size, bytes)"
                " VALUES (?, ?, ?, ?, ?) ON CONFLICT (result_id) DO NOTHING"))) {
            *error = e.lastError().text();
            return false;
        }
        prepared_ = true;
    }
    e.bindValue(0, resultId);
    e.bindValue(1, storedAt);
    // qCompress begins with the size unpacked, big-endian.
    e.bindValue(2, qint64(qFromBigEndian<quint32>(packed.constData())));
    e.bindValue(3, qint64(packed.size()));
    e.bindValue(4, packed);
    if (!e.exec()) {
        *error = e.lastError().text();
        return false;
    }
    if (bytes_ >= 0) bytes_ += packed.size();
    return true;
}

std::optional<EvidenceTable::Evidence> EvidenceTable::read(const QString& id, QString* error) {
    QSqlQuery q(db_.connection());
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
bool EvidenceTable::remove(const QString& condition, const QVariantList& values, const QString& why,
                           const QString& now, QStringList* said, QString* error) {
    QSqlDatabase db = db_.connection();
    QSqlQuery q(db);
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
    if (!db_.begin(q)) return failed();
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
    if (bytes_ >= 0) bytes_ -= bytes;
    said->append(QStringLiteral("retention removed the evidence of %1 results (%2 bytes "
                                "compressed) from %3: %4; their results stay, marked "
                                "evidence_removed")
                     .arg(count)
                     .arg(bytes)
                     .arg(db_.target().display(), why));
    return true;
}

bool EvidenceTable::applyRetention(const Retention& retention, const QDateTime& now,
                                   QStringList* said, QString* error) {
    if (!retention.any()) return true;
    const QString stamp = isoTime(now);
    if (retention.days > 0 &&
        !remove(QStringLiteral("stored_at < ?"),
                {isoTime(now.addSecs(-qint64(retention.days) * 86400))},
                QStringLiteral("kept more than %1 days").arg(retention.days), stamp, said, error))
        return false;
    if (retention.maxBytes <= 0) return true;
    QSqlQuery q(db_.connection());
    q.setForwardOnly(true);
    // Counted once, then kept up by each save; counted again before a removal
    // (other stations may share the database).
    if (bytes_ < 0 || bytes_ > retention.maxBytes) {
        if (!q.exec(QStringLiteral("SELECT COALESCE(SUM(packed_size), 0) FROM evidence")) ||
            !q.next()) {
            if (error) *error = q.lastError().text();
            return false;
        }
        bytes_ = q.value(0).toLongLong();
        q.finish();
    }
    if (bytes_ <= retention.maxBytes) return true;
    // The oldest, until what stays fits.
    if (!q.exec(QStringLiteral("SELECT stored_at, result_id, packed_size FROM evidence ORDER BY "
                               "stored_at, result_id"))) {
        if (error) *error = q.lastError().text();
        return false;
    }
    qint64 excess = bytes_ - retention.maxBytes;
    QString lastAt, lastId;
    while (excess > 0 && q.next()) {
        lastAt = q.value(0).toString();
        lastId = q.value(1).toString();
        excess -= q.value(2).toLongLong();
    }
    q.finish();
    if (lastId.isEmpty()) return true;
    return remove(QStringLiteral("(stored_at < ? OR (stored_at = ? AND result_id <= ?))"),
                  {lastAt, lastAt, lastId},
                  QStringLiteral("over the cap of %1 bytes").arg(retention.maxBytes), stamp, said,
                  error);
}

}  // namespace results
