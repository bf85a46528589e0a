#include "results/deliveryqueue.h"

#include <QJsonDocument>
#include <QSqlError>

namespace results {

DeliveryQueue::DeliveryQueue(Database& db, QStringList targets)
    : db_(db), targets_(std::move(targets)), insert_(db.connection()) {}

bool DeliveryQueue::enqueue(const QJsonObject& result, QString* error) {
    QSqlQuery& q = insert_;
    if (!prepared_) {
        if (!q.prepare(QStringLiteral(
                "INSERT INTO deliveries (target, result_id, station, payload, queued_at,"
                " delivered, attempts, last_error, next_at) VALUES (?, ?, ?, ?, ?, ?, 0, '', "
                "?)"))) {
            *error = q.lastError().text();
            return false;
        }
        prepared_ = true;
    }
    const QString now = isoTime(QDateTime::currentDateTimeUtc());
    const QString payload = QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact));
    for (const QString& target : targets_) {
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

std::optional<Delivery> DeliveryQueue::next(const QString& station, const QString& target,
                                            bool adopt, QueueState* state, QString* error) {
    QSqlQuery q(db_.connection());
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

bool DeliveryQueue::recordAttempt(qint64 seq, bool delivered, const QString& why,
                                  const QDateTime& nextAt, QString* error) {
    QSqlQuery q(db_.connection());
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

}  // namespace results
