// The delivery queues (table deliveries): each new result joins the queue of
// each target it is delivered to, in the caller's transaction, and a
// deliverer takes them one by one (results/deliverer.h).
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <optional>

#include "results/database.h"
#include "results/delivery.h"

namespace results {

class DeliveryQueue {
public:
    // targets: the queues each new result joins; none: no queue.  After db
    // is connected; db outlives the queue.
    DeliveryQueue(Database& db, QStringList targets);

    // Whether a new result joins any queue.
    bool any() const { return !targets_.isEmpty(); }
    // Puts a new result in the queue of each target.
    bool enqueue(const QJsonObject& result, QString* error);

    // The oldest undelivered result of a station's target, and in *state
    // what waits; nothing when none waits, or, with error, on a failure.
    // With adopt the target first takes over the station's rows kept without
    // a target (kUnnamedTarget).
    std::optional<Delivery> next(const QString& station, const QString& target, bool adopt,
                                 QueueState* state, QString* error);
    // Records an attempt to deliver the queue's row seq: delivered, or why
    // not and when the next attempt may be made.
    bool recordAttempt(qint64 seq, bool delivered, const QString& why, const QDateTime& nextAt,
                       QString* error);

private:
    Database& db_;
    QStringList targets_;
    QSqlQuery insert_;  // prepared at its first use, after the schema exists
    bool prepared_ = false;
};

}  // namespace results
