#include "results/deliverer.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <cmath>

#include "results/storeworker.h"

namespace results {

QString deliveryProblem(const DeliverySettings& settings) {
    if (!settings.command.isEmpty() && !settings.url.isEmpty())
        return QStringLiteral(
            "--deliver and --deliver-url cannot both be given: one way at a time");
    return {};
}

Deliverer::Deliverer(StoreWorker* store, DeliverySettings settings, QObject* parent)
    : QObject(parent), store_(store), settings_(std::move(settings)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &Deliverer::pump);
}

Deliverer::~Deliverer() {
    if (process_) {
        process_->disconnect(this);
        process_->kill();
        process_->waitForFinished(1000);
    }
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void Deliverer::start() {
    pump();
}

void Deliverer::poke() {
    known_ = false;
    if (busy_) {
        again_ = true;
        return;
    }
    pump();
}

void Deliverer::later(double seconds) {
    timer_.start(int(std::ceil(std::max(0.0, seconds) * 1000)));
}

void Deliverer::pump() {
    if (busy_) {
        again_ = true;
        return;
    }
    busy_ = true;
    again_ = false;
    timer_.stop();
    // The answers come back through the store's worker, which may outlive this.
    store_->nextDelivery(settings_.station, [this, alive = QPointer<Deliverer>(this)](
                                                const std::optional<Delivery>& head,
                                                const QueueState& state, const QString& error) {
        if (!alive) return;
        if (!error.isEmpty()) {
            busy_ = false;
            emit problem(QStringLiteral("cannot read the delivery queue: ") + error);
            later(settings_.retryS);
            return;
        }
        state_ = state;
        const Step step = nextStep(head, QDateTime::currentDateTimeUtc());
        if (step.kind == Step::Attempt) {
            attempt(*head);
            emit queueChanged(state_);
            return;
        }
        busy_ = false;
        known_ = !again_;
        emit queueChanged(state_);
        if (again_) {
            pump();
        } else if (step.kind == Step::Wait) {
            timer_.start(int(std::max<qint64>(step.waitMs, 1)));
        }
    });
}

void Deliverer::attempt(const Delivery& head) {
    if (!settings_.command.isEmpty())
        runCommand(head);
    else
        post(head);
}

void Deliverer::runCommand(const Delivery& head) {
    auto* process = new QProcess(this);
    process_ = process;
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
    const auto ended = [this, process, head, timedOut](CommandEnd end) {
        if (process_ != process) return;
        process_ = nullptr;
        end.timedOut = *timedOut;
        end.output = process->readAllStandardOutput();
        end.errors = process->readAllStandardError();
        process->deleteLater();
        finish(head, commandAttempted(end, int(settings_.timeoutS)));
    };
    connect(process, &QProcess::finished, this,
            [process, ended](int exitCode, QProcess::ExitStatus status) {
                Q_UNUSED(process);
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
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), settings_.command});
    process->write(head.payload + '\n');
    process->closeWriteChannel();
    limit->start(int(settings_.timeoutS * 1000));
}

void Deliverer::post(const Delivery& head) {
    if (!network_) network_ = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(settings_.url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Idempotency-Key", head.resultId.toUtf8());
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // A redirection is an answer to correct in the address, not to follow.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(int(settings_.timeoutS * 1000));
    QNetworkReply* reply = network_->post(request, head.payload);
    reply_ = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply, head] {
        if (reply_ != reply) return;
        reply_ = nullptr;
        HttpEnd end;
        end.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        end.body = reply->readAll();
        if (end.status == 0) end.networkError = reply->errorString();
        reply->deleteLater();
        finish(head, httpAttempted(end));
    });
}

void Deliverer::finish(const Delivery& head, const Attempted& attempted) {
    const int attempts = head.attempts + 1;
    const double delay =
        attempted.delivered ? 0 : retryDelayS(attempts, settings_.retryS, settings_.retryMaxS);
    const QDateTime nextAt = QDateTime::currentDateTimeUtc().addMSecs(qint64(delay * 1000));
    const QJsonObject result = QJsonDocument::fromJson(head.payload).object();
    store_->recordAttempt(
        head.seq, attempted.delivered, attempted.error, nextAt,
        [this, alive = QPointer<Deliverer>(this), attempted, result, delay](const QString& error) {
            if (!alive) return;
            busy_ = false;
            if (!error.isEmpty()) {
                // The attempt is made again: the receiver tells a repeat by the id.
                emit problem(QStringLiteral("cannot record a delivery: ") + error);
                later(settings_.retryS);
                return;
            }
            if (attempted.delivered) {
                emit delivered(result);
                if (attempted.rerun) emit rerunAsked(result);
            } else {
                emit attemptFailed(result, attempted.error, delay);
            }
            pump();
        });
}

}  // namespace results
