// Telling the line's system every kept result.
//
// A station delivers to one target or several (a label printer's command
// and the MES's address, say), each with a queue of its own.  Beside each
// result, in the same transaction, it keeps a row for each target in the
// table "deliveries": the target, the result's id and JSON, whether it was
// delivered, how many attempts were made, when the last was and its error,
// and when the next may be made.  Nothing kept is ever missed, a station
// killed at any moment finds what it had not delivered at its next start,
// and a report lists what waits.
//
// Each target's queue is delivered strictly in the order the results were
// kept: only its oldest undelivered result is ever tried, and a failure holds
// the ones behind it, in that target's queue only, until it has been
// delivered.  A result is delivered at least once to each target; the
// receiver recognises a repeat by the result's "id".
//
// This header holds the decisions, free of processes, sockets and clocks: the
// back-off, what the queue does next, what an attempt came to and what the
// line answered.  The attempts themselves are the Deliverer's
// (results/deliverer.h).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <optional>

namespace results {

// Where results go: a command (run by /bin/sh) or an HTTP address, by its
// name.  A target is named after the option that gives it and its place
// among that option's: "deliver", "deliver-2", ... for the commands,
// "deliver-url", "deliver-url-2", ... for the addresses.
struct DeliveryTarget {
    QString name;
    QString command;
    QString url;
};
QList<DeliveryTarget> deliveryTargets(const QStringList& commands, const QStringList& urls);

// The name of a queue row kept before results had targets: the station's
// first target takes such rows over when it first reads its queue.
inline const QString kUnnamedTarget = QString();

// One result in a target's delivery queue, as stored.
struct Delivery {
    qint64 seq = 0;  // its place in the queue: the order it was kept in
    QString target;
    QString resultId;
    QString station;
    QByteArray payload;  // the result's JSON, as printed
    QDateTime queuedAt;
    int attempts = 0;
    QDateTime attemptedAt;  // the last attempt's time; invalid when none was made or not known
    QString lastError;
    QDateTime nextAt;  // no attempt before this
};

// What waits in a target's queue.
struct QueueState {
    int waiting = 0;
    QDateTime oldest;  // the oldest waiting result's time of keeping; invalid when none waits
};

// Seconds to wait after the attempts-th failed attempt in a row: base,
// doubled at each further failure, never more than cap (5 s, 10 s, 20 s ...
// 300 s with the defaults).
double retryDelayS(int attempts, double baseS, double capS);

// What the queue does next, given its oldest undelivered result (none: the
// queue is empty): wait for a new result, wait until the head's next
// attempt is due, or try the head now.
struct Step {
    enum Kind { Idle, Wait, Attempt } kind = Idle;
    qint64 waitMs = 0;  // Wait: how long
};
Step nextStep(const std::optional<Delivery>& head, const QDateTime& now);

// What one attempt came to.
struct Attempted {
    bool delivered = false;
    QString error;       // why not, in a line
    bool rerun = false;  // the line asks for the unit again
};
// A delivery command's end: exit status 0 is delivered; a crash, a time-out
// or a command that could not be started is not.  Its standard output is the
// line's answer (readAnswer); a failure's error names the command's last
// line of standard error.
struct CommandEnd {
    bool started = true;
    bool timedOut = false;
    bool crashed = false;
    int exitCode = 0;
    QByteArray output;
    QByteArray errors;
    QString startError;  // why it could not be started
};
Attempted commandAttempted(const CommandEnd& end, int timeoutS);
// An HTTP POST's end: a 2xx status is delivered, its body the line's
// answer; any other status, or no answer, is not.
struct HttpEnd {
    int status = 0;        // 0: no HTTP answer at all
    QString networkError;  // why there was none (or the status's own words)
    QByteArray body;
};
Attempted httpAttempted(const HttpEnd& end);

// Whether the line's answer asks for the unit again: a JSON object with
// "rerun": true.  Anything else (nothing, other JSON, other text) is no.
bool asksRerun(const QByteArray& answer);

// A delivery's result: the slot and the unit the answer is about.
QString rerunNotice(const QJsonObject& result);

// The columns of a queue's row as deliveryOf() reads them, in its order.
inline constexpr const char* kDeliveryColumns =
    "seq, target, result_id, station, payload, queued_at, attempts, attempted_at, last_error, "
    "next_at";
// The row a query selected with kDeliveryColumns.
Delivery deliveryOf(const QSqlQuery& query);

// The undelivered results of a station (empty: of every station), oldest
// first, each target's in its order; nothing, with error, on a failure.
std::optional<QList<Delivery>> undelivered(const QSqlDatabase& db, const QString& station,
                                           QString* error);

// The undelivered results as report --undelivered prints them at now: a
// heading line, then each result's line and its attempts' line.  Nobody
// delivers while no station of the name runs, so an attempt that is due is
// said to come with the next station or gps-coldstart-cli deliver.
QString undeliveredText(const QList<Delivery>& waiting, const QDateTime& now);
// And as its --json prints it: {"undelivered": [...], "count": N}.
QJsonObject undeliveredJson(const QList<Delivery>& waiting);

}  // namespace results
