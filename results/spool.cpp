#include "results/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLockFile>
#include <cerrno>
#include <cstring>

namespace results {

namespace {

// Makes a new entry in the folder durable.  Empty, or why it is not.
QString syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    const int failure = fd < 0 || ::fsync(fd) != 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    return failure ? QString::fromLocal8Bit(std::strerror(failure)) : QString();
}

}  // namespace

bool Spool::append(const QJsonObject& result) {
    const QString& path = path_;
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        warn_(QStringLiteral("cannot create %1; a result is lost").arg(folder));
        return false;
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);  // stale only when its process is gone
    if (!lock.tryLock(30000)) {
        warn_(QStringLiteral("cannot lock %1.lock; a result is lost").arg(path));
        return false;
    }
    const bool created = !QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
        warn_(
            QStringLiteral("cannot open %1 (%2); a result is lost").arg(path, file.errorString()));
        return false;
    }
    QByteArray line = QJsonDocument(result).toJson(QJsonDocument::Compact) + '\n';
    // A line cut short by a killed writer is closed, so the next line is whole.
    if (file.size() > 0) {
        char last = 0;
        if (file.seek(file.size() - 1) && file.read(&last, 1) == 1 && last != '\n')
            line.prepend('\n');
    }
    if (file.write(line) != line.size() || ::fsync(file.handle()) != 0) {
        warn_(
            QStringLiteral("cannot write %1 (%2); a result is lost").arg(path, file.errorString()));
        return false;
    }
    file.close();
    if (created) {
        if (const QString why = syncFolder(folder); !why.isEmpty()) {
            warn_(QStringLiteral("cannot sync the folder %1 (%2); the spooled result may be lost")
                      .arg(folder, why));
            return false;
        }
    }
    return true;
}

bool Spool::moveIn(const SaveBatch& save, const QString& into, QString* error) {
    const QString& path = path_;
    if (!QFileInfo::exists(path)) return true;
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(30000)) {
        *error = QStringLiteral("cannot lock %1.lock to move the spool in").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.exists()) return true;  // another process moved it in meanwhile
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the spool %1 (%2)").arg(path, file.errorString());
        return false;
    }
    QList<QJsonObject> spooled;
    int unreadable = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.trimmed().isEmpty()) continue;
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        // A line that is not a whole object was cut by a kill before its
        // result was reported, so it was never printed.
        if (doc.isObject() && !doc.object().value(QLatin1String("id")).toString().isEmpty())
            spooled << doc.object();
        else
            ++unreadable;
    }
    file.close();
    QString why;
    const qint64 added = save(spooled, &why);
    if (added < 0) {
        *error = QStringLiteral("cannot move the spool %1 in: %2").arg(path, why);
        return false;
    }
    if (!file.remove()) {
        *error = QStringLiteral("moved the spool %1 in but cannot remove it (%2)")
                     .arg(path, file.errorString());
        return false;
    }
    warn_(QStringLiteral("moved %1 spooled results from %2 into %3 (%4 were already there, %5 "
                         "unfinished lines dropped)")
              .arg(added)
              .arg(path, into)
              .arg(spooled.size() - added)
              .arg(unreadable));
    return true;
}

}  // namespace results
