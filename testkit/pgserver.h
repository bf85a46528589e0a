// A PostgreSQL 15 server of the test's own: Debian's binaries, a data folder
// in a temporary folder, password logins on a free loopback port, run as the
// unprivileged `postgres` user when the tests run as root.  Stopped and
// removed when the object goes.  It starts and stops with the event loop running.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

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

    // durable: the server syncs to disk as a production server does.
    explicit PgServer(bool durable = false) : durable_(durable) {
        if (!available()) return;
        port_ = freePort();
        QFile pwfile(dir_.filePath("pw"));
        if (!pwfile.open(QIODevice::WriteOnly) || pwfile.write(kPassword) < 0) return;
        pwfile.close();
        ::chmod(QFile::encodeName(dir_.path()).constData(), 0777);  // for the `postgres` user
        if (!run("initdb", {"-D", data(), "-U", kUser, "--pwfile", pwfile.fileName(),
                            "--auth=scram-sha-256", "-E", "UTF8", "--locale=C", "--no-sync"}))
            return;
        ok_ = start();
    }
    ~PgServer() {
        if (ok_) stop();
    }

    bool ok() const { return ok_; }
    const QString& error() const { return error_; }
    QString url(const QString& db) const {
        return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(kUser).arg(port_).arg(db);
    }

    bool start() {
        const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1")
                                    .arg(port_)
                                    .arg(dir_.path()) +
                                (durable_ ? "" : " -c fsync=off -c synchronous_commit=off");
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
    QTemporaryDir dir_;
    int port_ = 0;
    bool ok_ = false;
    QString error_;
};

}  // namespace results::testing
