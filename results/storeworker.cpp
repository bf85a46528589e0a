#include "results/storeworker.h"

#include "results/gaugereport.h"
#include "results/query.h"
#include "results/summaries.h"

#include <QDateTime>
#include <QMetaObject>
#include <cstdio>
#include <utility>

namespace results {

// The side of the worker that lives on its thread and owns the store.
class StoreWorker::Back : public QObject {
public:
    std::unique_ptr<Store> store;
    Store::Retention retention;

    void applyRetention() {
        QString error;
        QStringList said;
        if (!store->applyRetention(retention, QDateTime::currentDateTimeUtc(), &said, &error))
            said << QStringLiteral("retention of the evidence failed: ") + error;
        for (const QString& line : said) warn(line);
    }
    Store::Sink warn;
};

template <class Task>
void StoreWorker::post(Task task) {
    // Calls queued to one object run in the order they were made.
    QMetaObject::invokeMethod(back_, std::move(task), Qt::QueuedConnection);
}

StoreWorker::StoreWorker(const Target& target) : target_(target), back_(new Back) {
    thread_.setObjectName(QStringLiteral("results store"));
    back_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, back_, &QObject::deleteLater);
    thread_.start();
}

std::unique_ptr<StoreWorker> StoreWorker::open(const Target& target, QString* error,
                                               Store::Options options, Store::Sink warn) {
    std::unique_ptr<StoreWorker> worker(new StoreWorker(target));
    Back* back = worker->back_;
    QString why;
    QMetaObject::invokeMethod(
        back,
        [&] {
            back->warn = warn ? warn : [](const QString& text) {
                std::fprintf(stderr, "gps-coldstart: %s\n", text.toUtf8().constData());
            };
            back->store = Store::open(target, &why, options, warn);
        },
        Qt::BlockingQueuedConnection);
    if (!back->store) {
        if (error) *error = why;
        return nullptr;
    }
    return worker;
}

StoreWorker::~StoreWorker() {
    // After every task asked before: the connection closes on its own thread.
    post([back = back_] {
        back->store.reset();
        QThread::currentThread()->quit();
    });
    thread_.wait();
}

void StoreWorker::save(const QJsonObject& result, const QByteArray& evidence, int tag) {
    ++pending_;
    post([this, back = back_, given = result, evidence, tag] {
        QJsonObject result = given;
        const Store::Saved saved = back->store->save(result, evidence);
        if (back->retention.any()) back->applyRetention();
        const bool spooling = back->store->spooling();
        QMetaObject::invokeMethod(
            this, [=] { onKept(tag, result, saved, spooling); }, Qt::QueuedConnection);
    });
}

void StoreWorker::onKept(int tag, const QJsonObject& result, Store::Saved saved, bool spooling) {
    --pending_;
    spooling_ = spooling;
    emit kept(tag, result, saved);
    if (pending_ == 0) emit drained();
}

void StoreWorker::setRetention(const Store::Retention& retention) {
    post([back = back_, retention] {
        back->retention = retention;
        back->applyRetention();
    });
}

void StoreWorker::keepRefusal(const Refusal& refusal,
                              std::function<void(const QString& error)> done) {
    ++pending_;
    post([this, back = back_, refusal, done = std::move(done)] {
        QString error;
        if (!back->store->saveRefusal(refusal, &error) && error.isEmpty())
            error = QStringLiteral("the refusal was not kept");
        QMetaObject::invokeMethod(
            this,
            [this, done, error] {
                --pending_;
                done(error);
                if (pending_ == 0) emit drained();
            },
            Qt::QueuedConnection);
    });
}

void StoreWorker::retry(Store::Options options) {
    if (retrying_) return;
    retrying_ = true;
    post([this, back = back_, target = target_, options] {
        bool reopened = false;
        if (back->store->spooling()) {
            QString error;
            auto fresh = Store::open(target, &error, options, [](const QString&) {});
            if (fresh) {
                back->store = std::move(fresh);
                reopened = true;
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, reopened] {
                retrying_ = false;
                if (!reopened) return;
                spooling_ = false;
                emit this->reopened();
            },
            Qt::QueuedConnection);
    });
}

void StoreWorker::summarize(const QList<Filter>& filters) {
    if (summarizing_) {
        nextSummary_ = filters;
        return;
    }
    summarizing_ = true;
    post([this, back = back_, filters] {
        std::optional<QList<SummaryAnswer>> answers;
        if (!back->store->spooling()) {
            answers.emplace();
            // The session's and the lot's figures of one moment (their
            // summaries built first, if they are not yet).
            for (const Filter& filter : filters) {
                QString why;
                prepareSummaries(back->store->database(), filter, {}, &why);
            }
            const Snapshot moment(back->store->database());
            for (const Filter& filter : filters) {
                SummaryAnswer answer{filter, std::nullopt, {}};
                answer.summary = results::summarize(back->store->database(), filter, &answer.error);
                answers->append(answer);
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, answers] {
                summarizing_ = false;
                if (answers) emit summarized(*answers);
                if (nextSummary_) summarize(*std::exchange(nextSummary_, std::nullopt));
            },
            Qt::QueuedConnection);
    });
}

void StoreWorker::distribute(const Filter& filter) {
    if (distributing_) {
        nextDistribution_ = filter;
        return;
    }
    distributing_ = true;
    post([this, back = back_, filter] {
        std::optional<Distributions> data;
        QString error;
        if (!back->store->spooling())
            data = results::distributions(back->store->database(), filter, &error);
        QMetaObject::invokeMethod(
            this,
            [this, filter, data] {
                distributing_ = false;
                if (data) emit distributed(filter, *data);
                if (nextDistribution_) distribute(*std::exchange(nextDistribution_, std::nullopt));
            },
            Qt::QueuedConnection);
    });
}

void StoreWorker::keepCalibration(const Calibration& calibration,
                                  std::function<void(const CalibrationKept&)> done) {
    post([this, back = back_, calibration, done = std::move(done)] {
        CalibrationKept kept;
        kept.id =
            back->store->saveCalibration(calibration, &kept.previous, &kept.error, &kept.alarms);
        QMetaObject::invokeMethod(
            this, [done, kept] { done(kept); }, Qt::QueuedConnection);
    });
}

void StoreWorker::latestCalibrations(const QString& station, const QStringList& ports,
                                     LatestCalibrations done) {
    post([this, back = back_, station, ports, done = std::move(done)] {
        QMap<QString, Calibration> latest;
        QString error;
        for (const QString& port : ports) {
            const auto found = back->store->calibrations(station, port, kGoldenRunsRead, &error);
            if (!found) break;
            if (found->empty()) continue;
            Calibration c = found->front();
            for (const Calibration& run : *found) c.goldenRuns.push_back(run.figures);
            latest.insert(port, c);
        }
        QMetaObject::invokeMethod(
            this, [done, latest, error] { done(latest, error); }, Qt::QueuedConnection);
    });
}

void StoreWorker::heldSlots(const QString& station, const QStringList& ports, Held done) {
    post([this, back = back_, station, ports, done = std::move(done)] {
        QString error;
        QStringList held;
        for (const QString& port : ports) {
            const auto is = back->store->spc().held(station, port, &error);
            if (!is) break;
            if (*is) held << port;
        }
        QMetaObject::invokeMethod(
            this, [done, held, error] { done(held, error); }, Qt::QueuedConnection);
    });
}

void StoreWorker::qualification(const QString& study, double maxAgeS, Qualification done) {
    post([this, back = back_, study, maxAgeS, done = std::move(done)] {
        QString error, latest, problem;
        const auto measures = studyMeasures(back->store->database(), study, &error, &latest);
        if (measures)
            problem = qualificationProblem(study, *measures, latest,
                                           QDateTime::currentDateTimeUtc(), maxAgeS);
        QMetaObject::invokeMethod(
            this, [done, problem, error] { done(problem, error); }, Qt::QueuedConnection);
    });
}

void StoreWorker::studyGrr(const QString& study, StudyGrr done) {
    post([this, back = back_, study, done = std::move(done)] {
        QString error;
        GrrSection section{study, {}, {}};
        if (const auto measures = studyMeasures(back->store->database(), study, &error))
            section = grrSection(study, *measures, {});
        QMetaObject::invokeMethod(
            this, [done, section, error] { done(section, error); }, Qt::QueuedConnection);
    });
}

void StoreWorker::nextDelivery(const QString& station, const QString& target, bool adopt,
                               NextDelivery done) {
    post([this, back = back_, station, target, adopt, done = std::move(done)] {
        QueueState state;
        QString error;
        std::optional<Delivery> head;
        if (back->store->spooling())
            error = QStringLiteral("the results database is failing");
        else
            head = back->store->nextDelivery(station, target, adopt, &state, &error);
        QMetaObject::invokeMethod(
            this, [done, head, state, error] { done(head, state, error); }, Qt::QueuedConnection);
    });
}

void StoreWorker::recordAttempt(qint64 seq, bool delivered, const QString& why,
                                const QDateTime& nextAt,
                                std::function<void(const QString& error)> done) {
    post([this, back = back_, seq, delivered, why, nextAt, done = std::move(done)] {
        QString error;
        back->store->recordAttempt(seq, delivered, why, nextAt, &error);
        QMetaObject::invokeMethod(
            this, [done, error] { done(error); }, Qt::QueuedConnection);
    });
}

}  // namespace results
