// A PostgreSQL 15 server of the test's own: Debian's binaries, a data folder
// in a temporary folder, password logins on a free loopback port, run as the
// unprivileged `postgres` user when the tests run as root.  Stopped and
// removed when the object goes.  It starts and stops with the event loop running.
// With a certificate and its key it takes TLS connections too (ssl=on);
// makeAuthority() and makeCertificate() make them with the openssl tool.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace results::testing {

class PgServer {
public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin/";
    static bool available() { return QFileInfo(QString(kBin) + "pg_ctl").isExecutable(); }
    static constexpr const char* kUser = "coldstart";
    static constexpr const char* kPassword = "bench-pw-7";

    // The server's certificate and its key, PEM files.
    struct Tls {
        QString certificate, key;
    };

    // durable: the server syncs to disk as a production server does.
    explicit PgServer(bool durable = false, std::optional<Tls> tls = std::nullopt)
        : durable_(durable), tls_(tls.has_value()) {
        if (!available()) return;
        port_ = freePort();
        QFile pwfile(dir_.filePath("pw"));
        if (!pwfile.open(QIODevice::WriteOnly) || pwfile.write(kPassword) < 0) return;
        pwfile.close();
        ::chmod(QFile::encodeName(dir_.path()).constData(), 0777);  // for the `postgres` user
        if (!run("initdb", {"-D", data(), "-U", kUser, "--pwfile", pwfile.fileName(),
                            "--auth=scram-sha-256", "-E", "UTF8", "--locale=C", "--no-sync"}))
            return;
        // The server reads its key only when the key is its own user's and private.
        if (tls && !(serversOwn(tls->certificate, "server.crt", 0644) &&
                     serversOwn(tls->key, "server.key", 0600)))
            return;
        ok_ = start();
    }

    // A certificate authority of its own in folder: NAME.crt and NAME.key.
    static bool makeAuthority(const QString& folder, const QString& name, QString* error) {
        return openssl(
            folder,
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-days", "2", "-subj", "/CN=" + name, "-keyout", name + ".key", "-out", name + ".crt"},
            error);
    }
    // A certificate for hostName signed by the authority: NAME.crt and NAME.key.
    static bool makeCertificate(const QString& folder, const QString& authority,
                                const QString& name, const QString& hostName, QString* error) {
        return openssl(folder,
                       {"req",
                        "-x509",
                        "-newkey",
                        "ec",
                        "-pkeyopt",
                        "ec_paramgen_curve:prime256v1",
                        "-nodes",
                        "-days",
                        "2",
                        "-subj",
                        "/CN=" + hostName,
                        "-addext",
                        "subjectAltName=DNS:" + hostName,
                        "-CA",
                        authority + ".crt",
                        "-CAkey",
                        authority + ".key",
                        "-keyout",
                        name + ".key",
                        "-out",
                        name + ".crt"},
                       error);
    }
    ~PgServer() {
        if (ok_) stop();
    }

    bool ok() const { return ok_; }
    const QString& error() const { return error_; }
    int port() const { return port_; }
    QString url(const QString& db) const {
        return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(kUser).arg(port_).arg(db);
    }

    bool start() {
        const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1")
                                    .arg(port_)
                                    .arg(dir_.path()) +
                                (durable_ ? "" : " -c fsync=off -c synchronous_commit=off") +
                                (tls_ ? " -c ssl=on" : "");
        return run("pg_ctl", {"-D", data(), "-l", dir_.filePath("log"), "-w", "-t", "60", "-o",
                              options, "start"});
    }
    bool stop() { return run("pg_ctl", {"-D", data(), "-m", "fast", "-w", "stop"}); }

private:
    static int freePort() {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
    }
    QString data() const { return dir_.filePath("data"); }

    // A copy in the data folder, where the server looks for it, as its user's.
    bool serversOwn(const QString& from, const QString& name, int mode) {
        const QString to = data() + "/" + name;
        if (!QFile::copy(from, to)) {
            error_ = "cannot copy " + from + " to " + to;
            return false;
        }
        const QByteArray path = QFile::encodeName(to);
        const passwd* postgres = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
        if (::chmod(path.constData(), mode) != 0 ||
            (postgres && ::chown(path.constData(), postgres->pw_uid, postgres->pw_gid) != 0)) {
            error_ = "cannot hand " + to + " to the server's user";
            return false;
        }
        return true;
    }

    static bool openssl(const QString& folder, const QStringList& args, QString* error) {
        QProcess p;
        p.setWorkingDirectory(folder);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("openssl", args);
        if (!p.waitForStarted(30000) ||
            !QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 120000) ||
            p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            if (error)
                *error = "openssl " + args.join(' ') + ": " + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    }

    bool run(const QString& tool, const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0)  // the server refuses to run as root
            p.start("runuser", QStringList{"-u", "postgres", "--", kBin + tool} + args);
        else
            p.start(kBin + tool, args);
        if (!p.waitForStarted(30000) ||
            !QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 120000) ||
            p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            error_ = tool + ": " + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    }

    bool durable_;
    bool tls_;
    QTemporaryDir dir_;
    int port_ = 0;
    bool ok_ = false;
    QString error_;
};

}  // namespace results::testing
