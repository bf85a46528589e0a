#include "results/delivery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <cmath>

#include "results/store.h"

namespace results {

double retryDelayS(int attempts, double baseS, double capS) {
    if (attempts < 1) return 0;
    // 2^62 overflows nothing a double holds; the cap takes it from there.
    const double delay = baseS * std::ldexp(1.0, std::min(attempts - 1, 62));
    return std::min(delay, capS);
}

Step nextStep(const std::optional<Delivery>& head, const QDateTime& now) {
    if (!head) return {Step::Idle, 0};
    if (head->nextAt.isValid() && head->nextAt > now)
        return {Step::Wait, now.msecsTo(head->nextAt)};
    return {Step::Attempt, 0};
}

bool asksRerun(const QByteArray& answer) {
    const QJsonDocument document = QJsonDocument::fromJson(answer.trimmed());
    return document.isObject() && document.object().value(QLatin1String("rerun")).toBool(false);
}

namespace {

// The last non-empty line of a process's or a server's text, cut short.
QString lastLine(const QByteArray& text) {
    const QList<QByteArray> lines = text.trimmed().split('\n');
    QString line = QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last()).trimmed();
    if (line.size() > 200) line = line.left(200) + QStringLiteral("...");
    return line;
}

QString withDetail(const QString& what, const QByteArray& detail) {
    const QString line = lastLine(detail);
    return line.isEmpty() ? what : QStringLiteral("%1: %2").arg(what, line);
}

}  // namespace

Attempted commandAttempted(const CommandEnd& end, int timeoutS) {
    if (!end.started)
        return {false, QStringLiteral("the command could not be started (%1)").arg(end.startError),
                false};
    if (end.timedOut)
        return {
            false,
            withDetail(QStringLiteral("no end within %1 s; the command was killed").arg(timeoutS),
                       end.errors),
            false};
    if (end.crashed)
        return {false, withDetail(QStringLiteral("the command crashed"), end.errors), false};
    if (end.exitCode != 0)
        return {
            false,
            withDetail(QStringLiteral("the command ended with exit status %1").arg(end.exitCode),
                       end.errors),
            false};
    return {true, QString(), asksRerun(end.output)};
}

Attempted httpAttempted(const HttpEnd& end) {
    if (end.status >= 200 && end.status < 300) return {true, QString(), asksRerun(end.body)};
    if (end.status == 0)
        return {false,
                QStringLiteral("no answer from the server (%1)")
                    .arg(end.networkError.isEmpty() ? QStringLiteral("unknown error")
                                                    : end.networkError),
                false};
    return {false, withDetail(QStringLiteral("HTTP status %1").arg(end.status), end.body), false};
}

QString rerunNotice(const QJsonObject& result) {
    const QString unit = result.value(QLatin1String("unit")).toString();
    const QString port = result.value(QLatin1String("port")).toString();
    return QStringLiteral("the line asks for %1 in %2 again (re-run)")
        .arg(unit.isEmpty() ? QStringLiteral("the unit") : QStringLiteral("unit ") + unit,
             port.isEmpty() ? QStringLiteral("its slot") : port);
}

QList<DeliveryTarget> deliveryTargets(const QStringList& commands, const QStringList& urls) {
    QList<DeliveryTarget> targets;
    const auto add = [&](const QStringList& given, const QString& option,
                         QString DeliveryTarget::*way) {
        int place = 0;
        for (const QString& text : given) {
            if (text.isEmpty()) continue;
            DeliveryTarget target;
            target.name = ++place == 1 ? option : QStringLiteral("%1-%2").arg(option).arg(place);
            target.*way = text;
            targets << target;
        }
    };
    add(commands, QStringLiteral("deliver"), &DeliveryTarget::command);
    add(urls, QStringLiteral("deliver-url"), &DeliveryTarget::url);
    return targets;
}

Delivery deliveryOf(const QSqlQuery& q) {
    const auto time = [&](int column) {
        return QDateTime::fromString(q.value(column).toString(), Qt::ISODateWithMs);
    };
    Delivery d;
    d.seq = q.value(0).toLongLong();
    d.target = q.value(1).toString();
    d.resultId = q.value(2).toString();
    d.station = q.value(3).toString();
    d.payload = q.value(4).toString().toUtf8();
    d.queuedAt = time(5);
    d.attempts = q.value(6).toInt();
    d.attemptedAt = time(7);
    d.lastError = q.value(8).toString();
    d.nextAt = time(9);
    return d;
}

std::optional<QList<Delivery>> undelivered(const QSqlDatabase& db, const QString& station,
                                           QString* error) {
    QList<Delivery> found;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM deliveries WHERE delivered = ?%2 ORDER BY seq")
                  .arg(QLatin1String(kDeliveryColumns))
                  .arg(station.isEmpty() ? QString() : QStringLiteral(" AND station = ?")));
    q.addBindValue(false);
    if (!station.isEmpty()) q.addBindValue(station);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    while (q.next()) found << deliveryOf(q);
    return found;
}

namespace {

// "40 s", "12 min", "3 h".
QString spanText(qint64 seconds) {
    seconds = std::max<qint64>(0, seconds);
    return seconds < 120    ? QStringLiteral("%1 s").arg(seconds)
           : seconds < 7200 ? QStringLiteral("%1 min").arg(seconds / 60)
                            : QStringLiteral("%1 h").arg(seconds / 3600);
}

QString targetText(const QString& target) {
    return target.isEmpty() ? QStringLiteral("(the station's first target)") : target;
}

}  // namespace

QString undeliveredText(const QList<Delivery>& waiting, const QDateTime& now) {
    QString out =
        QStringLiteral("%1 for delivery to the line%2\n")
            .arg(waiting.size() == 1 ? QStringLiteral("1 result waits")
                                     : QStringLiteral("%1 results wait").arg(waiting.size()),
                 waiting.isEmpty() ? QStringLiteral(".") : QStringLiteral(", oldest first:"));
    for (const Delivery& d : waiting) {
        const QJsonObject result = QJsonDocument::fromJson(d.payload).object();
        const QString unit = result.value(QLatin1String("unit")).toString();
        out += QStringLiteral("  %1  %2  station %3  unit %4  %5  %6  id %7\n")
                   .arg(isoTime(d.queuedAt), targetText(d.target), d.station,
                        unit.isEmpty() ? QStringLiteral("-") : unit,
                        result.value(QLatin1String("port")).toString(),
                        result.value(QLatin1String("result")).toString(), d.resultId);
        QString attempts;
        if (d.attempts == 0)
            attempts = QStringLiteral("no attempt yet");
        else if (d.attemptedAt.isValid())
            attempts =
                QStringLiteral("%1 %2, the last at %3 (%4 ago)")
                    .arg(d.attempts)
                    .arg(d.attempts == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts"))
                    .arg(isoTime(d.attemptedAt), spanText(d.attemptedAt.secsTo(now)));
        else  // kept before the time of an attempt was
            attempts =
                QStringLiteral("%1 %2, the last at a time not recorded")
                    .arg(d.attempts)
                    .arg(d.attempts == 1 ? QStringLiteral("attempt") : QStringLiteral("attempts"));
        if (!d.lastError.isEmpty()) attempts += QStringLiteral(": ") + d.lastError;
        const QString later = QStringLiteral(
                                  "with the next start of station %1 or gps-coldstart-cli deliver "
                                  "--station %1")
                                  .arg(d.station);
        const QString next =
            d.nextAt.isValid() && d.nextAt > now
                ? QStringLiteral("next at %1 (in %2) if station %3 runs, else %4")
                      .arg(isoTime(d.nextAt), spanText(now.secsTo(d.nextAt)), d.station, later)
                : QStringLiteral("next %1").arg(later);
        out += QStringLiteral("    %1\n    %2\n").arg(attempts, next);
    }
    return out;
}

QJsonObject undeliveredJson(const QList<Delivery>& waiting) {
    QJsonArray list;
    for (const Delivery& d : waiting) {
        const QJsonObject result = QJsonDocument::fromJson(d.payload).object();
        list.append(QJsonObject{
            {"id", d.resultId},
            {"station", d.station},
            {"target", d.target},
            {"unit", result.value(QLatin1String("unit")).toString()},
            {"port", result.value(QLatin1String("port")).toString()},
            {"result", result.value(QLatin1String("result")).toString()},
            {"queued_at", isoTime(d.queuedAt)},
            {"attempts", d.attempts},
            {"last_attempt_at",
             d.attemptedAt.isValid() ? QJsonValue(isoTime(d.attemptedAt)) : QJsonValue()},
            {"last_error", d.lastError},
            {"next_attempt_at", isoTime(d.nextAt)}});
    }
    return QJsonObject{{"undelivered", list}, {"count", list.size()}};
}

}  // namespace results
