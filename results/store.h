// Every unit's result, kept in a SQLite file or on a line's PostgreSQL server
// through one Qt SQL code path, with a spool file that catches results while
// the database is failing.  Schema and decisions: docs/RESULTS.md.
//
// A Store lives in the thread that opened it (a Qt SQL connection does).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "results/calibration.h"
#include "results/delivery.h"
#include "results/fields.h"
#include "results/target.h"

namespace results {

// One column of the results table, as it maps to a field of the JSON result.
struct Column {
    using Kind = FieldKind;
    const char* name;
    Kind kind;
};
// The result fields kept in columns (results/fields.h, "id" first), without
// the store's own columns.
const std::vector<Column>& resultColumns();

// A time as stored: ISO 8601 UTC with milliseconds, e.g. "2026-12-07T01:02:03.456Z".
QString isoTime(const QDateTime& t);

// The schema version this program writes.
int latestSchemaVersion();

// A unit the line refused before it started.
struct Refusal {
    QDateTime time;
    QString station, port, unit, lot, operatorName, plan, reason;
};

class Store {
public:
    struct Options {
        // Open an existing database only; a missing SQLite file is an error.
        bool create = true;
        // How long a SQLite write waits for another process's write to finish.
        int busyTimeoutMs = 10000;
        // A test and benchmark hook, 0 in use: each save() waits this long
        // before it writes, as a database held by another program would.
        int holdEachSaveMs = 0;
        // Each result saved (or moved in from the spool) also joins the
        // delivery queue of each of these targets, in the same transaction
        // (results/delivery.h); none: no queue.
        QStringList deliveries;
    };
    using Sink = std::function<void(const QString&)>;

    // Opens or creates the database, creates or migrates the schema, then
    // moves a spool left by an earlier run in (once per result id) and removes
    // it.  On failure returns nullptr and a message naming the database (never
    // a password) in *error.  Messages about the spool go to warn (standard
    // error when empty).
    static std::unique_ptr<Store> open(const Target& target, QString* error, Options options,
                                       Sink warn = {});
    static std::unique_ptr<Store> open(const Target& target, QString* error) {
        return open(target, error, Options());
    }
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    enum class Saved {
        Stored,   // committed to the database
        Spooled,  // the database failed; the result is in the spool file, synced to disk
        Lost,     // neither the database nor the spool file took it
    };
    // Stores one result in one transaction.  Gives the result an "id" (a
    // UUID) when it has none, so that the caller prints the id it stored.
    // After the first database failure every later result goes to the spool,
    // and one warning goes to the sink.  A unit's first cycle whose unit
    // already has a result in its lot is marked a retest ("retest": true).
    //
    // With evidence (the unit's framed bytes, results/evidence.h) its SHA-256
    // goes into the result ("evidence_sha256") and the bytes, compressed,
    // into the evidence table in the same transaction; a spooled result
    // carries them in its line.
    Saved save(QJsonObject& result, const QByteArray& evidence = {});

    // Stores many results in one transaction; a result whose id is already
    // stored is skipped.  Returns how many were new, or -1 on a failure.
    qint64 saveBatch(const QList<QJsonObject>& results, QString* error);

    // Keeps a slot's calibration in one transaction and returns the id it
    // was given; in *previous the slot's latest calibration before it, if
    // any.  Nothing, with error, on a failure (calibrations are never spooled).
    std::optional<qint64> saveCalibration(const Calibration& calibration,
                                          std::optional<Calibration>* previous, QString* error);
    // A station's port's calibrations, newest first, at most count of them;
    // nothing, with error, on a failure.
    std::optional<std::vector<Calibration>> calibrations(const QString& station,
                                                         const QString& port, int count,
                                                         QString* error);

    // The oldest undelivered result of a station's target, and in *state
    // what waits; nothing when none waits, or, with error, on a failure.
    // With adopt the target first takes over the station's rows kept without
    // a target (kUnnamedTarget).
    std::optional<Delivery> nextDelivery(const QString& station, const QString& target, bool adopt,
                                         QueueState* state, QString* error);
    // Records an attempt to deliver the queue's row seq: delivered, or why
    // not and when the next attempt may be made.
    bool recordAttempt(qint64 seq, bool delivered, const QString& why, const QDateTime& nextAt,
                       QString* error);
    // A result's evidence, as kept.
    struct Evidence {
        enum class State {
            Kept,         // framed: the bytes, their SHA-256 checked against the row's
            NoResult,     // no result has that id
            NotRecorded,  // the result was kept without evidence
            Removed,      // retention removed it; removed: when
            Damaged,      // the bytes do not unpack or do not match the row's SHA-256
        };
        State state = State::NoResult;
        QByteArray framed;
        QString sha256;   // the row's
        QString removed;  // when retention removed it
    };
    // Nothing, with error, when the database fails.
    std::optional<Evidence> evidence(const QString& id, QString* error);

    // How long evidence is kept and how many bytes (compressed) of it the
    // database holds at most; 0: no limit.
    struct Retention {
        int days = 0;
        qint64 maxBytes = 0;
        bool any() const { return days > 0 || maxBytes > 0; }
    };
    // Removes the evidence retention no longer keeps, oldest first: the rows
    // stay, each saying when its evidence was removed.  What it removed is
    // said in *said, a line each time.  False, with error, when the database
    // fails.
    bool applyRetention(const Retention& retention, const QDateTime& now, QStringList* said,
                        QString* error);
    // Keeps a unit the line refused (table route_refusals); its id, or
    // nothing, with error, on a failure (refusals are never spooled).
    std::optional<qint64> saveRefusal(const Refusal& refusal, QString* error);

    const Target& target() const { return target_; }
    bool spooling() const { return spooling_; }
    int schemaVersion() const;
    // The connection, for queries over the stored results (the report).
    QSqlDatabase database() const;

private:
    Store(const Target& target, Sink warn, int holdEachSaveMs, QStringList deliveries);
    bool connect(const Options& options, QString* error);
    bool migrate(QString* error);
    bool importSpool(QString* error);
    bool insert(const QJsonObject& result, bool* inserted, QString* error);
    bool enqueue(const QJsonObject& result, QString* error);
    bool insert(const QJsonObject& result, const QByteArray& packed, bool* inserted,
                QString* error);
    bool removeEvidence(const QString& condition, const QVariantList& values, const QString& why,
                        const QString& now, QStringList* said, QString* error);
    Saved spool(const QJsonObject& result);
    void markRetest(QJsonObject& result);
    void warn(const QString& text) const;

    Target target_;
    Sink warn_;
    QString connection_;
    int holdEachSaveMs_;
    QStringList deliveries_;  // the targets whose queues each result joins
    bool spooling_ = false;
    // The evidence's bytes in the database, as last counted and since added;
    // negative until counted.
    qint64 evidenceBytes_ = -1;
    struct Prepared;
    std::unique_ptr<Prepared> prepared_;
};

}  // namespace results
