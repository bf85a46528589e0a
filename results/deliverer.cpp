#include "results/deliverer.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <cmath>

#include "results/storeworker.h"

namespace results {

QStringList DeliverySettings::targetNames() const {
    QStringList names;
    for (const DeliveryTarget& t : targets) names << t.name;
    return names;
}

// A target's queue and the attempt under way.
struct Deliverer::Lane {
    DeliveryTarget target;
    bool adopt = false;  // takes over the rows kept without a target at its first read
    QueueState state;
    QString lastError;
    QTimer timer;        // the next attempt, or reading the queue again
    bool busy = false;   // a read, an attempt or its record under way
    bool again = false;  // poked while busy
    bool known = false;
    bool read = false;  // once
    QProcess* process = nullptr;
    QNetworkReply* reply = nullptr;

    bool drained() const { return !busy && !again && known && state.waiting == 0; }
};

Deliverer::Deliverer(StoreWorker* store, DeliverySettings settings, QObject* parent)
    : QObject(parent), store_(store), settings_(std::move(settings)) {
    for (const DeliveryTarget& target : settings_.targets) {
        auto lane = std::make_unique<Lane>();
        lane->target = target;
        lane->adopt = lanes_.empty();
        lane->timer.setSingleShot(true);
        connect(&lane->timer, &QTimer::timeout, this, [this, l = lane.get()] { pump(*l); });
        lanes_.push_back(std::move(lane));
    }
}

Deliverer::~Deliverer() {
    for (const auto& lane : lanes_) {
        if (lane->process) {
            lane->process->disconnect(this);
            lane->process->kill();
            lane->process->waitForFinished(1000);
        }
        if (lane->reply) {
            lane->reply->disconnect(this);
            lane->reply->abort();
        }
    }
}

QList<Deliverer::TargetState> Deliverer::states() const {
    QList<TargetState> states;
    for (const auto& lane : lanes_)
        states << TargetState{lane->target.name, lane->state, lane->lastError};
    return states;
}

int Deliverer::waiting() const {
    int n = 0;
    for (const auto& lane : lanes_) n += lane->state.waiting;
    return n;
}

bool Deliverer::drained() const {
    return std::all_of(lanes_.begin(), lanes_.end(),
                       [](const auto& lane) { return lane->drained(); });
}

bool Deliverer::read() const {
    return std::all_of(lanes_.begin(), lanes_.end(), [](const auto& lane) { return lane->read; });
}

void Deliverer::start() {
    for (const auto& lane : lanes_) pump(*lane);
}

void Deliverer::poke() {
    for (const auto& lane : lanes_) {
        lane->known = false;
        if (lane->busy)
            lane->again = true;
        else
            pump(*lane);
    }
}

void Deliverer::later(Lane& lane, double seconds) {
    lane.timer.start(int(std::ceil(std::max(0.0, seconds) * 1000)));
}

void Deliverer::pump(Lane& lane) {
    if (lane.busy) {
        lane.again = true;
        return;
    }
    lane.busy = true;
    lane.again = false;
    lane.timer.stop();
    // The answers come back through the store's worker, which may outlive this.
    store_->nextDelivery(
        settings_.station, lane.target.name, lane.adopt,
        [this, &lane, alive = QPointer<Deliverer>(this)](
            const std::optional<Delivery>& head, const QueueState& state, const QString& error) {
            if (!alive) return;
            if (!error.isEmpty()) {
                lane.busy = false;
                lane.lastError = QStringLiteral("cannot read the delivery queue of %1: %2")
                                     .arg(lane.target.name, error);
                emit problem(lane.lastError);
                later(lane, settings_.retryS);
                return;
            }
            lane.adopt = false;
            lane.read = true;
            lane.state = state;
            const Step step = nextStep(head, QDateTime::currentDateTimeUtc());
            if (step.kind == Step::Attempt) {
                attempt(lane, *head);
                emit queueChanged();
                return;
            }
            lane.busy = false;
            lane.known = !lane.again;
            emit queueChanged();
            if (lane.again) {
                pump(lane);
            } else if (step.kind == Step::Wait) {
                lane.timer.start(int(std::max<qint64>(step.waitMs, 1)));
            }
        });
}

void Deliverer::attempt(Lane& lane, const Delivery& head) {
    if (!lane.target.command.isEmpty())
        runCommand(lane, head);
    else
        post(lane, head);
}

void Deliverer::runCommand(Lane& lane, const Delivery& head) {
    auto* process = new QProcess(this);
    lane.process = process;
    const QJsonObject result = QJsonDocument::fromJson(head.payload).object();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GPS_COLDSTART_RESULT_ID"), head.resultId);
    for (const auto& [name, field] :
         {std::pair{"GPS_COLDSTART_UNIT", "unit"}, std::pair{"GPS_COLDSTART_PORT", "port"},
          std::pair{"GPS_COLDSTART_RESULT", "result"}})
        environment.insert(QLatin1String(name), result.value(QLatin1String(field)).toString());
    process->setProcessEnvironment(environment);
    auto timedOut = std::make_shared<bool>(false);
    auto* limit = new QTimer(process);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, process, [process, timedOut] {
        *timedOut = true;
        process->kill();
    });
    const auto ended = [this, &lane, process, head, timedOut](CommandEnd end) {
        if (lane.process != process) return;
        lane.process = nullptr;
        end.timedOut = *timedOut;
        end.output = process->readAllStandardOutput();
        end.errors = process->readAllStandardError();
        process->deleteLater();
        finish(lane, head, commandAttempted(end, int(settings_.timeoutS)));
    };
    connect(process, &QProcess::finished, this, [ended](int exitCode, QProcess::ExitStatus status) {
        CommandEnd end;
        end.exitCode = exitCode;
        end.crashed = status == QProcess::CrashExit;
        ended(end);
    });
    connect(process, &QProcess::errorOccurred, this,
            [process, ended](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart) return;
                CommandEnd end;
                end.started = false;
                end.startError = process->errorString();
                ended(end);
            });
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), lane.target.command});
    process->write(head.payload + '\n');
    process->closeWriteChannel();
    limit->start(int(settings_.timeoutS * 1000));
}

void Deliverer::post(Lane& lane, const Delivery& head) {
    if (!network_) network_ = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(lane.target.url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Idempotency-Key", head.resultId.toUtf8());
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // A redirection is an answer to correct in the address, not to follow.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(int(settings_.timeoutS * 1000));
    QNetworkReply* reply = network_->post(request, head.payload);
    lane.reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, &lane, reply, head] {
        if (lane.reply != reply) return;
        lane.reply = nullptr;
        HttpEnd end;
        end.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        end.body = reply->readAll();
        if (end.status == 0) end.networkError = reply->errorString();
        reply->deleteLater();
        finish(lane, head, httpAttempted(end));
    });
}

void Deliverer::finish(Lane& lane, const Delivery& head, const Attempted& attempted) {
    const int attempts = head.attempts + 1;
    const double delay =
        attempted.delivered ? 0 : retryDelayS(attempts, settings_.retryS, settings_.retryMaxS);
    const QDateTime nextAt = QDateTime::currentDateTimeUtc().addMSecs(qint64(delay * 1000));
    const QJsonObject result = QJsonDocument::fromJson(head.payload).object();
    store_->recordAttempt(
        head.seq, attempted.delivered, attempted.error, nextAt,
        [this, &lane, alive = QPointer<Deliverer>(this), attempted, result,
         delay](const QString& error) {
            if (!alive) return;
            lane.busy = false;
            if (!error.isEmpty()) {
                // The attempt is made again: the receiver tells a
                // repeat by the id.
                emit problem(QStringLiteral("cannot record a delivery: ") + error);
                later(lane, settings_.retryS);
                return;
            }
            if (attempted.delivered) {
                lane.lastError.clear();
                emit delivered(lane.target.name, result);
                if (attempted.rerun) emit rerunAsked(result);
            } else {
                lane.lastError = attempted.error;
                emit attemptFailed(lane.target.name, result, attempted.error, delay);
            }
            pump(lane);
        });
}

}  // namespace results
