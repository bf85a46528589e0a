// Every unit's result, kept in a SQLite file or on a line's PostgreSQL server
// through one Qt SQL code path, with a spool file that catches results while
// the database is failing.  Schema and decisions: docs/RESULTS.md.
//
// The store puts together the jobs that share its one connection
// (results/database.h): the results table, the delivery queues, the
// calibrations, the refusals, the evidence, and the spool.  A new job is a
// class over the Database, a member here, and the calls that use it.
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
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "results/calibration.h"
#include "results/database.h"
#include "results/delivery.h"
#include "results/evidencetable.h"
#include "results/limitrows.h"
#include "results/packer.h"
#include "results/refusaltable.h"
#include "results/spctable.h"
#include "results/target.h"
#include "vocabulary/fields.h"

namespace results {

class CalibrationTable;
class DeliveryQueue;
class ResultsTable;
class Spool;

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
        // The rules the control charts judge each new point by, and the
        // CUSUM's and the EWMA's designs (results/linecharts.h).
        spc::RuleSet spcRules = spc::RuleSet::WesternElectric;
        spc::Designs spcDesigns;
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
    // With evidence (the unit's framed bytes, vocabulary/evidence.h) its SHA-256
    // goes into the result ("evidence_sha256") and the bytes, compressed,
    // into the evidence table in the same transaction; a spooled result
    // carries them in its line.
    //
    // The result's slot's and station's control charts judge it in the same
    // transaction (results/spctable.h): what it raised is kept with it and
    // listed in its "alarms".
    Saved save(QJsonObject& result, const QByteArray& evidence = {});

    // Stores many results in one transaction; a result whose id is already
    // stored is skipped.  Returns how many were new, or -1 on a failure.
    qint64 saveBatch(const QList<QJsonObject>& results, QString* error);

    // Keeps a slot's calibration in one transaction and returns the id it
    // was given; in *previous the slot's latest calibration before it, if
    // any.  Nothing, with error, on a failure (calibrations are never spooled).
    // The alarms its offset raised go into the same transaction, and each
    // into *alarms ("CHART RULE") when given.
    std::optional<qint64> saveCalibration(const Calibration& calibration,
                                          std::optional<Calibration>* previous, QString* error,
                                          QStringList* alarms = nullptr);
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
    using Evidence = EvidenceTable::Evidence;
    // Nothing, with error, when the database fails.
    std::optional<Evidence> evidence(const QString& id, QString* error);

    // How long evidence is kept and how many bytes (compressed) of it the
    // database holds at most; 0: no limit.
    using Retention = EvidenceTable::Retention;
    // Removes the evidence retention no longer keeps, oldest first: the rows
    // stay, each saying when its evidence was removed.  What it removed is
    // said in *said, a line each time.  False, with error, when the database
    // fails.
    bool applyRetention(const Retention& retention, const QDateTime& now, QStringList* said,
                        QString* error);
    // Keeps a unit the line refused (table route_refusals); its id, or
    // nothing, with error, on a failure (refusals are never spooled).
    std::optional<qint64> saveRefusal(const Refusal& refusal, QString* error);

    // The control charts: their rules and designs, the baselines, the alarms.
    SpcTable& spc() { return *spc_; }

    const Target& target() const { return db_.target(); }
    bool spooling() const { return spooling_; }
    int schemaVersion() const;
    // The connection, for queries over the stored results (the report).
    QSqlDatabase database() const;

private:
    Store(const Target& target, Sink warn, int holdEachSaveMs);
    bool insert(QJsonObject& result, const QByteArray& packed, bool* inserted, QString* error);
    Saved spool(const QJsonObject& result);
    void warn(const QString& text) const;

    Sink warn_;
    int holdEachSaveMs_;
    bool spooling_ = false;
    // The connection first: the jobs' queries go before it closes.
    Database db_;
    std::unique_ptr<ResultsTable> results_;
    std::unique_ptr<DeliveryQueue> deliveries_;
    std::unique_ptr<CalibrationTable> calibrations_;
    std::unique_ptr<RefusalTable> refusals_;
    std::unique_ptr<EvidenceTable> evidence_;
    std::unique_ptr<LimitResultsTable> limitResults_;
    std::unique_ptr<SpcTable> spc_;
    std::unique_ptr<Spool> spool_;
    Packer packer_;
};

}  // namespace results
