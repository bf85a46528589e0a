#include "results/delivery.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <cmath>

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

std::optional<QList<Delivery>> undelivered(const QSqlDatabase& db, const QString& station,
                                           QString* error) {
    QList<Delivery> found;
    if (!db.tables().contains(QLatin1String("deliveries"))) return found;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT seq, result_id, station, payload, queued_at, attempts, last_error,"
                       " next_at FROM deliveries WHERE delivered = ?%1 ORDER BY seq")
            .arg(station.isEmpty() ? QString() : QStringLiteral(" AND station = ?")));
    q.addBindValue(false);
    if (!station.isEmpty()) q.addBindValue(station);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    while (q.next()) {
        Delivery d;
        d.seq = q.value(0).toLongLong();
        d.resultId = q.value(1).toString();
        d.station = q.value(2).toString();
        d.payload = q.value(3).toString().toUtf8();
        d.queuedAt = QDateTime::fromString(q.value(4).toString(), Qt::ISODateWithMs);
        d.attempts = q.value(5).toInt();
        d.lastError = q.value(6).toString();
        d.nextAt = QDateTime::fromString(q.value(7).toString(), Qt::ISODateWithMs);
        found << d;
    }
    return found;
}

}  // namespace results
