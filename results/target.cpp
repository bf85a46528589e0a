#include "results/target.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

namespace results {

QString Target::display() const {
    if (engine == Engine::Sqlite) return path;
    QString shownHost =
        host.startsWith('/') ? QString::fromUtf8(QUrl::toPercentEncoding(host)) : host;
    return QStringLiteral("postgresql://") + user + QLatin1Char('@') + shownHost +
           QLatin1Char(':') + QString::number(port) + QLatin1Char('/') + dbName;
}

QString Target::spoolPath() const {
    if (engine == Engine::Sqlite) return path + QStringLiteral(".spool");
    // One spool per server and database, named so that it can be told apart.
    QString name = QStringLiteral("%1@%2_%3_%4").arg(user, host).arg(port).arg(dbName);
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9@._-]")), QStringLiteral("_"));
    return dataFolder() + QStringLiteral("/spool/") + name + QStringLiteral(".spool");
}

QString dataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/gps-coldstart");
}

Target defaultTarget() {
    Target t;
    t.path = dataFolder() + QStringLiteral("/results.sqlite");
    return t;
}

namespace {

std::optional<Target> fail(QString* error, const QString& argument, const QString& why) {
    if (error) {
        *error = QStringLiteral("--db %1: %2 (expected postgresql://USER@HOST[:PORT]/DBNAME)")
                     .arg(argument, why);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Target> parseTarget(const QString& dbArgument, QString* error) {
    const QString arg = dbArgument.trimmed();
    if (arg.isEmpty()) {
        if (error) *error = QStringLiteral("--db: the database is empty; name a file or a server");
        return std::nullopt;
    }
    static const QRegularExpression scheme(QStringLiteral("^(postgresql|postgres)://"),
                                           QRegularExpression::CaseInsensitiveOption);
    const auto schemeMatch = scheme.match(arg);
    if (!schemeMatch.hasMatch()) {
        if (arg.contains(QStringLiteral("://"))) {
            if (error) {
                *error = QStringLiteral(
                             "--db %1: unknown kind of database; use a file path or "
                             "postgresql://USER@HOST[:PORT]/DBNAME")
                             .arg(arg);
            }
            return std::nullopt;
        }
        Target t;
        t.path = QFileInfo(arg).absoluteFilePath();
        if (QFileInfo(t.path).isDir()) {
            if (error)
                *error = QStringLiteral("--db %1: is a folder, not a database file").arg(arg);
            return std::nullopt;
        }
        return t;
    }

    // A password written into the argument by mistake is masked in every message.
    QString rest = arg.mid(schemeMatch.capturedLength());
    const int at = rest.lastIndexOf('@');
    if (at < 0) return fail(error, arg, QStringLiteral("no USER@ before the host"));
    const QString userInfo = rest.left(at);
    const int colonInUser = userInfo.indexOf(':');
    if (colonInUser >= 0) {
        const QString shown = arg.left(schemeMatch.capturedLength()) + userInfo.left(colonInUser) +
                              QStringLiteral(":***") + rest.mid(at);
        return fail(error, shown,
                    QStringLiteral("a password does not belong in --db; give it in PGPASSWORD or "
                                   "~/.pgpass"));
    }
    const QString& shown = arg;
    if (userInfo.isEmpty()) return fail(error, shown, QStringLiteral("the user name is empty"));
    rest = rest.mid(at + 1);
    const int slash = rest.indexOf('/');
    if (slash < 0) return fail(error, shown, QStringLiteral("no /DBNAME after the host"));
    QString hostPort = rest.left(slash);
    const QString db = QUrl::fromPercentEncoding(rest.mid(slash + 1).toUtf8());
    if (db.isEmpty() || db.contains('/') || db.contains('?')) {
        return fail(error, shown, QStringLiteral("the database name is missing or malformed"));
    }

    Target t;
    t.engine = Target::Engine::Postgres;
    t.user = QUrl::fromPercentEncoding(userInfo.toUtf8());
    t.dbName = db;
    const int colon = hostPort.lastIndexOf(':');
    if (colon >= 0 && !hostPort.endsWith(']')) {
        bool ok = false;
        const int port = hostPort.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            return fail(error, shown,
                        QStringLiteral("port \"%1\" is not a number from 1 to 65535")
                            .arg(hostPort.mid(colon + 1)));
        }
        t.port = port;
        hostPort = hostPort.left(colon);
    }
    if (hostPort.startsWith('[') && hostPort.endsWith(']')) hostPort = hostPort.mid(1).chopped(1);
    t.host = QUrl::fromPercentEncoding(hostPort.toUtf8());
    if (t.host.isEmpty()) return fail(error, shown, QStringLiteral("the host is empty"));
    return t;
}

}  // namespace results
