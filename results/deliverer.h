// Hands each kept result to each of the station's delivery targets, from
// the targets' queues in the results database (results/delivery.h), each
// queue in the order kept and on its own: a target that fails holds only
// its own queue.
//
// A target is one of two ways:
//
// - a command (--deliver CMD), run by /bin/sh with the result's JSON and a
//   newline on its standard input and the result's id, unit, port and
//   verdict in GPS_COLDSTART_RESULT_ID, GPS_COLDSTART_UNIT,
//   GPS_COLDSTART_PORT and GPS_COLDSTART_RESULT; exit status 0 is delivered;
// - an HTTP POST of the result's JSON (--deliver-url URL, Content-Type
//   application/json, the id also in the Idempotency-Key header); a 2xx
//   status is delivered.
//
// The command's standard output or the server's body may answer
// {"rerun": true}: the line wants the unit tested again (rerunAsked()).
// An attempt that has no end within the time-out is a failure (the command
// is killed).  A failure is tried again after the back-off
// (retryDelayS()); the results behind it in its target's queue wait.
//
// The deliverer lives on the caller's thread and never blocks it: the
// commands and the requests run asynchronously on its event loop, and the
// queues are read and written on the store's own thread.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <optional>
#include <vector>

#include "results/delivery.h"

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;

namespace results {

class StoreWorker;

struct DeliverySettings {
    QList<DeliveryTarget> targets;  // --deliver and --deliver-url, each repeatable
    double retryS = 5;
    double retryMaxS = 300;
    double timeoutS = 30;
    QString station;  // whose queues

    bool enabled() const { return !targets.isEmpty(); }
    QStringList targetNames() const;
};

// The delivery settings of a station's plan (a station::UnitConfig: its
// deliver keys and its station's name).
template <class Plan>
DeliverySettings deliverySettingsOf(const Plan& plan) {
    DeliverySettings s;
    s.targets = deliveryTargets(plan.deliver, plan.deliverUrl);
    s.retryS = plan.deliverRetryS;
    s.retryMaxS = plan.deliverRetryMaxS;
    s.timeoutS = plan.deliverTimeoutS;
    s.station = plan.station;
    return s;
}

class Deliverer : public QObject {
    Q_OBJECT
public:
    // store must outlive the deliverer.
    Deliverer(StoreWorker* store, DeliverySettings settings, QObject* parent = nullptr);
    ~Deliverer() override;

    // Begins with what an earlier run left in the queues.
    void start();
    // A result was kept: look at the queues again.
    void poke();

    // A target's queue, as last read, and its latest failure (empty once it
    // delivers again).
    struct TargetState {
        QString target;
        QueueState queue;
        QString lastError;
    };
    QList<TargetState> states() const;
    // The results that wait over every target, as last read.
    int waiting() const;
    // Each target's queue has been read at least once.
    bool read() const;
    // Every kept result delivered to every target: nothing waits as read
    // since the last poke, and no attempt is under way.
    bool drained() const;

signals:
    void queueChanged();
    void delivered(const QString& target, const QJsonObject& result);
    // An attempt failed; the next is in retryInS seconds.
    void attemptFailed(const QString& target, const QJsonObject& result, const QString& why,
                       double retryInS);
    // A queue could not be read or written.
    void problem(const QString& why);
    void rerunAsked(const QJsonObject& result);

private:
    struct Lane;
    void pump(Lane& lane);
    void attempt(Lane& lane, const Delivery& head);
    void runCommand(Lane& lane, const Delivery& head);
    void post(Lane& lane, const Delivery& head);
    void finish(Lane& lane, const Delivery& head, const Attempted& attempted);
    void later(Lane& lane, double seconds);

    StoreWorker* store_;
    DeliverySettings settings_;
    std::vector<std::unique_ptr<Lane>> lanes_;  // one per target, in the settings' order
    QNetworkAccessManager* network_ = nullptr;
};

}  // namespace results
