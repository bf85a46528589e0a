// The results store on a thread of its own.
//
// A commit synced to disk, a spool lock held by another process, a server
// that takes seconds to answer or a report over a whole lot must not hold up
// the thread that reads the serial ports and draws the window: while that
// thread waits, no port is read and every other unit's time to first fix
// comes out late.  A StoreWorker owns a Store opened on its own thread (a Qt
// SQL connection lives in the thread that opened it) and does every save,
// query and reopening there, one after another in the order asked.
//
// Results are kept in the order they are handed over, and kept() reports
// each, in that order, on the caller's thread once the store has committed
// or spooled it.  A caller shows a result as stored only then.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <functional>
#include <memory>
#include <optional>

#include "results/gaugereport.h"
#include "results/htmlreport.h"
#include "results/report.h"
#include "results/store.h"

namespace results {

// The figures over one filter, or why there are none.
struct SummaryAnswer {
    Filter filter;
    std::optional<Summary> summary;
    QString error;
};

class StoreWorker : public QObject {
    Q_OBJECT
public:
    // Opens the store on the worker's thread and waits for it, as
    // Store::open does: nullptr and a message in *error when it cannot be
    // opened.  warn is called on the worker's thread.
    static std::unique_ptr<StoreWorker> open(const Target& target, QString* error,
                                             Store::Options options = {}, Store::Sink warn = {});
    // Keeps every result handed over before it ends the thread; kept() is not
    // emitted for those still under way then.
    ~StoreWorker() override;

    const Target& target() const { return target_; }

    // Hands a result over to be kept; tag comes back with it in kept().
    // With evidence, the unit's framed bytes: they are hashed, compressed and
    // written on the worker's thread (see Store::save).
    void save(const QJsonObject& result, int tag = 0) { save(result, QByteArray(), tag); }
    void save(const QJsonObject& result, const QByteArray& evidence, int tag = 0);
    // The evidence retention keeps: applied now, and after each save.
    void setRetention(const Store::Retention& retention);
    // Results handed over that kept() has not reported yet.
    int pending() const { return pending_; }
    // Results go to the spool, as of the latest kept() or reopened().
    bool spooling() const { return spooling_; }

    // While results go to the spool: opens the database again, which moves
    // the spool in; reopened() follows when it answers.  Nothing while an
    // earlier attempt is still under way.
    void retry(Store::Options options);
    // The figures over each filter, answered by summarized().  While results
    // go to the spool there is no answer: the database is failing.  A request
    // made while one is under way replaces any other waiting behind it.
    void summarize(const QList<Filter>& filters);
    // The distributions over the filter (the report page's figures),
    // answered by distributed(), as summarize() is.
    void distribute(const Filter& filter);

    // Keeps a slot's calibration; done is called on this object's thread
    // once it is committed, or has failed.
    void keepCalibration(const Calibration& calibration,
                         std::function<void(const CalibrationKept&)> done);
    // The latest calibration of each of a station's ports (a port without
    // one is not in the map), or why there is no answer; done is called on
    // this object's thread.
    using LatestCalibrations =
        std::function<void(const QMap<QString, Calibration>& latest, const QString& error)>;
    void latestCalibrations(const QString& station, const QStringList& ports,
                            LatestCalibrations done);
    // Why gauge study NAME does not qualify the station now (empty: it
    // does; results/gaugereport.h), or why there is no answer; done is
    // called on this object's thread.
    // Of a station's ports, those held on an alarm (SpcTable::held), or why
    // there is no answer; done is called on this object's thread.
    using Held = std::function<void(const QStringList& held, const QString& error)>;
    void heldSlots(const QString& station, const QStringList& ports, Held done);
    using Qualification = std::function<void(const QString& problem, const QString& error)>;
    void qualification(const QString& study, double maxAgeS, Qualification done);
    // The gauge R&R of study NAME, each measure with values (results/gaugereport.h),
    // or why there is no answer; done is called on this object's thread.
    using StudyGrr = std::function<void(const GrrSection& section, const QString& error)>;
    void studyGrr(const QString& study, StudyGrr done);

    // The oldest undelivered result of the station's target
    // (results/delivery.h; adopt: Store::nextDelivery) and what waits, or why
    // there is no answer; done is called on this object's thread, after
    // every save asked before.
    using NextDelivery = std::function<void(const std::optional<Delivery>& head,
                                            const QueueState& state, const QString& error)>;
    void nextDelivery(const QString& station, const QString& target, bool adopt, NextDelivery done);
    // Records an attempt at the queue's row seq; done gets why it could not
    // be recorded (empty: it was).
    void recordAttempt(qint64 seq, bool delivered, const QString& why, const QDateTime& nextAt,
                       std::function<void(const QString& error)> done);

    // Keeps a unit the line refused; done is called on this object's thread
    // with the error (empty: kept).  Counted in pending() until then.
    void keepRefusal(const Refusal& refusal, std::function<void(const QString& error)> done);

signals:
    // The result with its "id", as the store kept it.
    void kept(int tag, const QJsonObject& result, results::Store::Saved saved);
    // pending() fell to 0.
    void drained();
    // The database answers again and the spool has been moved in.
    void reopened();
    void summarized(const QList<results::SummaryAnswer>& answers);
    void distributed(const results::Filter& filter, const results::Distributions& data);

private:
    explicit StoreWorker(const Target& target);
    void onKept(int tag, const QJsonObject& result, Store::Saved saved, bool spooling);
    // Runs task on the worker's thread, after everything asked before it.
    template <class Task>
    void post(Task task);

    class Back;
    Target target_;
    QThread thread_;
    Back* back_;  // lives on thread_, deleted when it ends
    int pending_ = 0;
    bool spooling_ = false;
    bool retrying_ = false;
    bool summarizing_ = false;
    std::optional<QList<Filter>> nextSummary_;
    bool distributing_ = false;
    std::optional<Filter> nextDistribution_;
};

}  // namespace results
