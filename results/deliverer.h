// Hands each kept result to the line's system, from the delivery queue in
// the results database (results/delivery.h), in the order kept.
//
// Two ways, one at a time:
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
// (retryDelayS()); the results behind it wait.
//
// The deliverer lives on the caller's thread and never blocks it: the
// command and the request run asynchronously on its event loop, and the
// queue is read and written on the store's own thread.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <optional>

#include "results/delivery.h"

class QNetworkAccessManager;
class QNetworkReply;
class QProcess;

namespace results {

class StoreWorker;

struct DeliverySettings {
    QString command;  // --deliver
    QString url;      // --deliver-url
    double retryS = 5;
    double retryMaxS = 300;
    double timeoutS = 30;
    QString station;  // whose queue

    bool enabled() const { return !command.isEmpty() || !url.isEmpty(); }
};

// The delivery settings of a station's plan (a station::UnitConfig: its
// deliver keys and its station's name).
template <class Plan>
DeliverySettings deliverySettingsOf(const Plan& plan) {
    DeliverySettings s;
    s.command = plan.deliver;
    s.url = plan.deliverUrl;
    s.retryS = plan.deliverRetryS;
    s.retryMaxS = plan.deliverRetryMaxS;
    s.timeoutS = plan.deliverTimeoutS;
    s.station = plan.station;
    return s;
}

// Why the settings cannot deliver (both ways given); empty when they can.
// The address itself is checked where it is read (station/settings.h).
QString deliveryProblem(const DeliverySettings& settings);

class Deliverer : public QObject {
    Q_OBJECT
public:
    // store must outlive the deliverer.
    Deliverer(StoreWorker* store, DeliverySettings settings, QObject* parent = nullptr);
    ~Deliverer() override;

    // Begins with what an earlier run left in the queue.
    void start();
    // A result was kept: look at the queue again.
    void poke();

    // What waits, as last read.
    const QueueState& state() const { return state_; }
    // Every kept result delivered: nothing waits as read since the last
    // poke, and no attempt is under way.
    bool drained() const { return !busy_ && !again_ && known_ && state_.waiting == 0; }

signals:
    void queueChanged(const results::QueueState& state);
    void delivered(const QJsonObject& result);
    // An attempt failed; the next is in retryInS seconds.
    void attemptFailed(const QJsonObject& result, const QString& why, double retryInS);
    // The queue could not be read or written.
    void problem(const QString& why);
    void rerunAsked(const QJsonObject& result);

private:
    void pump();
    void attempt(const Delivery& head);
    void runCommand(const Delivery& head);
    void post(const Delivery& head);
    void finish(const Delivery& head, const Attempted& attempted);
    void later(double seconds);

    StoreWorker* store_;
    DeliverySettings settings_;
    QueueState state_;
    QTimer timer_;        // the next attempt, or reading the queue again
    bool busy_ = false;   // a read, an attempt or its record under way
    bool again_ = false;  // poked while busy
    bool known_ = false;
    QNetworkAccessManager* network_ = nullptr;
    QProcess* process_ = nullptr;
    QNetworkReply* reply_ = nullptr;
};

}  // namespace results
