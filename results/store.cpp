#include "results/store.h"

#include "results/limitrows.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>
#include <QUuid>
#include <algorithm>

#include "results/calibrationtable.h"
#include "results/deliveryqueue.h"
#include "results/resultstable.h"
#include "results/spool.h"
#include "vocabulary/evidence.h"

namespace results {

namespace {

void ensureId(QJsonObject& result) {
    if (result.value(QLatin1String("id")).toString().isEmpty())
        result.insert(QLatin1String("id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
}

void writeStderr(const QString& text) {
    QTextStream err(stderr);
    err << "gps-coldstart: " << text << '\n';
}

// A spooled result's evidence: the compressed bytes in base64.
constexpr char kSpooledEvidence[] = "evidence_packed";

}  // namespace

Store::Store(const Target& target, Sink warn, int holdEachSaveMs)
    : warn_(std::move(warn)), holdEachSaveMs_(holdEachSaveMs), db_(target) {}

Store::~Store() = default;

QSqlDatabase Store::database() const {
    return db_.connection();
}

int Store::schemaVersion() const {
    return db_.schemaVersion();
}

void Store::warn(const QString& text) const {
    if (warn_)
        warn_(text);
    else
        writeStderr(text);
}

std::unique_ptr<Store> Store::open(const Target& target, QString* error, Options options,
                                   Sink warn) {
    QDeadlineTimer deadline(options.busyTimeoutMs);
    for (int attempt = 1;; ++attempt) {
        std::unique_ptr<Store> store(new Store(target, warn, options.holdEachSaveMs));
        QString why;
        const bool connected = store->db_.connect(options.create, options.busyTimeoutMs, &why);
        if (connected) {
            Store& s = *store;
            s.results_ = std::make_unique<ResultsTable>(s.db_);
            s.deliveries_ = std::make_unique<DeliveryQueue>(s.db_, options.deliveries);
            s.calibrations_ = std::make_unique<CalibrationTable>(s.db_);
            s.refusals_ = std::make_unique<RefusalTable>(s.db_);
            s.evidence_ = std::make_unique<EvidenceTable>(s.db_);
            s.limitResults_ = std::make_unique<LimitResultsTable>(s.db_);
            s.spc_ = std::make_unique<SpcTable>(s.db_);
            s.spc_->setRules(options.spcRules, options.spcDesigns);
            s.spool_ = std::make_unique<Spool>(target.spoolPath(),
                                               [&s](const QString& text) { s.warn(text); });
        }
        const auto saveBatch = [&store](const QList<QJsonObject>& results, QString* e) {
            return store->saveBatch(results, e);
        };
        if (connected && store->db_.migrate(&why) &&
            store->spool_->moveIn(saveBatch, target.display(), &why))
            return store;
        // Processes that open one new SQLite file at the same moment: SQLite
        // refuses one of them at once rather than wait into a deadlock, so
        // that one starts over.
        const bool busy = target.engine == Target::Engine::Sqlite &&
                          why.contains(QLatin1String("locked"), Qt::CaseInsensitive);
        if (busy && !deadline.hasExpired()) {
            store.reset();
            QThread::msleep(10 * std::min(attempt, 10));
            continue;
        }
        if (error) *error = QStringLiteral("results database %1: %2").arg(target.display(), why);
        return nullptr;
    }
}

// One result's row, its queues, its evidence and its summaries, in the
// caller's transaction.
bool Store::insert(QJsonObject& result, const QByteArray& packed, bool* inserted, QString* error) {
    const QString storedAt = isoTime(QDateTime::currentDateTimeUtc());
    ResultsTable::Inserted row;
    if (!results_->insert(result, storedAt, &row, error)) return false;
    if (inserted) *inserted = row.added;
    if (!row.added) return true;
    if (deliveries_->any() && !deliveries_->enqueue(result, error)) return false;
    if (!packed.isEmpty() && !evidence_->add(row.summary.id, storedAt, packed, error)) return false;
    if (!limitResults_->keep(result, error)) return false;
    return results_->summarize(row, error) && spc_->judgeResult(result, error);
}

Store::Saved Store::save(QJsonObject& result, const QByteArray& evidence) {
    ensureId(result);
    QByteArray packed;
    if (!evidence.isEmpty()) {
        result.insert(QLatin1String("evidence_sha256"), evidence::sha256(evidence));
        packed = packer_.pack(evidence);
        if (packed.isEmpty()) packed = qCompress(evidence);
    }
    // A spooled result carries its evidence in its line.
    const auto spool = [&] {
        if (packed.isEmpty()) return this->spool(result);
        QJsonObject line = result;
        line.insert(QLatin1String(kSpooledEvidence), QString::fromLatin1(packed.toBase64()));
        return this->spool(line);
    };
    if (holdEachSaveMs_ > 0) QThread::msleep(unsigned(holdEachSaveMs_));
    if (spooling_) return spool();
    QString why;
    // The row and its summaries in one transaction.
    QSqlQuery tx(database());
    if (db_.begin(tx)) {
        results_->markRetest(result);
        if (insert(result, packed, nullptr, &why) && tx.exec(QStringLiteral("COMMIT")))
            return Saved::Stored;
        if (why.isEmpty()) why = tx.lastError().text();
        tx.exec(QStringLiteral("ROLLBACK"));
        // Rolled back with the row: the spooled result raised nothing yet.
        result.remove(QLatin1String("alarms"));
    } else {
        why = tx.lastError().text();
    }
    spooling_ = true;
    evidence_->recount();
    const Saved saved = spool();
    if (saved == Saved::Spooled) {
        warn(QStringLiteral("results database %1 failed (%2); from now on results are kept in %3 "
                            "and moved into the database at the next start with the same --db")
                 .arg(target().display(), why.trimmed(), target().spoolPath()));
    }
    return saved;
}

Store::Saved Store::spool(const QJsonObject& result) {
    return spool_->append(result) ? Saved::Spooled : Saved::Lost;
}

qint64 Store::saveBatch(const QList<QJsonObject>& results, QString* error) {
    QSqlQuery begin(database());
    if (!db_.begin(begin)) {
        if (error) *error = begin.lastError().text();
        return -1;
    }
    qint64 added = 0;
    for (QJsonObject r : results) {
        ensureId(r);
        const QByteArray packed =
            QByteArray::fromBase64(r.take(QLatin1String(kSpooledEvidence)).toString().toLatin1());
        bool inserted = false;
        QString why;
        if (!insert(r, packed, &inserted, &why)) {
            if (error) *error = why;
            begin.exec(QStringLiteral("ROLLBACK"));
            return -1;
        }
        added += inserted;
    }
    if (!begin.exec(QStringLiteral("COMMIT"))) {
        if (error) *error = begin.lastError().text();
        begin.exec(QStringLiteral("ROLLBACK"));
        return -1;
    }
    return added;
}

std::optional<qint64> Store::saveCalibration(const Calibration& calibration,
                                             std::optional<Calibration>* previous, QString* error,
                                             QStringList* alarms) {
    return calibrations_->save(calibration, previous, error, [&](qint64 id, QString* why) {
        std::vector<SpcAlarm> raised;
        if (!spc_->judgeCalibration(calibration, id, &raised, why)) return false;
        for (const SpcAlarm& a : raised)
            if (alarms) *alarms << a.chart + QLatin1Char(' ') + a.rule;
        return true;
    });
}

std::optional<std::vector<Calibration>> Store::calibrations(const QString& station,
                                                            const QString& port, int count,
                                                            QString* error) {
    return calibrations_->latest(station, port, count, error);
}

std::optional<Delivery> Store::nextDelivery(const QString& station, const QString& target,
                                            bool adopt, QueueState* state, QString* error) {
    return deliveries_->next(station, target, adopt, state, error);
}

bool Store::recordAttempt(qint64 seq, bool delivered, const QString& why, const QDateTime& nextAt,
                          QString* error) {
    return deliveries_->recordAttempt(seq, delivered, why, nextAt, error);
}

std::optional<qint64> Store::saveRefusal(const Refusal& refusal, QString* error) {
    return refusals_->save(refusal, error);
}

std::optional<Store::Evidence> Store::evidence(const QString& id, QString* error) {
    return evidence_->read(id, error);
}

bool Store::applyRetention(const Retention& retention, const QDateTime& now, QStringList* said,
                           QString* error) {
    return spooling_ || evidence_->applyRetention(retention, now, said, error);
}

}  // namespace results
