#include "station/hook.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace station {

HookCommand hookCommand(const QString& text, const QStringList& extra) {
    static const QRegularExpression shellish(QStringLiteral("[|&;<>()$`*?~\\n]"));
    if (text.trimmed().isEmpty()) return {};
    if (text.contains(shellish)) {
        // "$0" is the script's name in messages; the station's words are "$@".
        return {QStringLiteral("/bin/sh"),
                QStringList{QStringLiteral("-c"), text + QStringLiteral(" \"$@\""),
                            QStringLiteral("gps-coldstart-hook")} +
                    extra};
    }
    QStringList words = QProcess::splitCommand(text);
    if (words.isEmpty()) return {};
    const QString program = words.takeFirst();
    return {program, words + extra};
}

namespace {

// The first line of what the command said on standard error, if anything.
QString firstLine(const QByteArray& bytes) {
    const QString text = QString::fromUtf8(bytes).trimmed();
    return text.section(QLatin1Char('\n'), 0, 0).left(200);
}

}  // namespace

QString hookFailure(const HookEnd& end) {
    if (!end.started) return QStringLiteral("could not be run: %1").arg(end.error);
    if (end.timedOut)
        return QStringLiteral("gave no answer within %1 s and was killed")
            .arg(end.timeoutMs / 1000.0);
    const QString said = firstLine(end.err);
    const QString tail = said.isEmpty() ? QString() : QStringLiteral(": ") + said;
    if (end.crashed) return QStringLiteral("crashed") + tail;
    if (end.exitCode != 0) return QStringLiteral("exited with status %1").arg(end.exitCode) + tail;
    return {};
}

RouteAnswer routeAnswer(const HookEnd& end) {
    using K = RouteAnswer::Kind;
    const QString failure = hookFailure(end);
    if (!failure.isEmpty()) return {K::Failed, failure};
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(end.out.trimmed(), &error);
    const QString shown = QString::fromUtf8(end.out.trimmed().left(80));
    const auto notTheAnswer = [&] {
        return RouteAnswer{K::Failed, QStringLiteral("answered \"%1\", not {\"allow\": true} or "
                                                     "{\"allow\": false, \"reason\": \"...\"}")
                                          .arg(shown)};
    };
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return notTheAnswer();
    const QJsonObject answer = doc.object();
    const QJsonValue allow = answer.value(QLatin1String("allow"));
    if (!allow.isBool()) return notTheAnswer();
    if (allow.toBool()) return {K::Allow, {}};
    const QString reason = answer.value(QLatin1String("reason")).toString().trimmed();
    if (reason.isEmpty()) return {K::Failed, QStringLiteral("refused the unit without a reason")};
    return {K::Refuse, reason};
}

Hook::Hook(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (!process_) return;
        end_.timedOut = true;
        process_->kill();  // finished() follows
    });
}

Hook::~Hook() {
    cancel();
}

void Hook::run(const HookCommand& command, const QByteArray& input, int timeoutMs,
               std::function<void(const HookEnd&)> done) {
    cancel();
    end_ = HookEnd{};
    end_.timeoutMs = timeoutMs;
    done_ = std::move(done);
    process_ = new QProcess(this);
    connect(process_, &QProcess::finished, this, &Hook::ended);
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || !process_) return;
        end_.started = false;
        end_.error = process_->errorString();
        ended();
    });
    // Read as it comes, so that a talkative command never blocks on a full pipe.
    connect(process_, &QProcess::readyReadStandardOutput, this, [this] {
        const QByteArray bytes = process_->readAllStandardOutput();
        end_.out += bytes.left(std::max<qsizetype>(0, kMaxAnswer - end_.out.size()));
    });
    connect(process_, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray bytes = process_->readAllStandardError();
        end_.err += bytes.left(std::max<qsizetype>(0, 4096 - end_.err.size()));
    });
    timer_.start(timeoutMs);
    QProcess* process = process_;
    process->start(command.program, command.arguments);
    if (process_ != process) return;  // it could not be run, and that has been reported
    process->write(input);
    process->closeWriteChannel();
}

void Hook::ended() {
    if (!process_) return;
    timer_.stop();
    QProcess* process = std::exchange(process_, nullptr);
    if (end_.started) {
        end_.out += process->readAllStandardOutput().left(
            std::max<qsizetype>(0, kMaxAnswer - end_.out.size()));
        end_.err += process->readAllStandardError().left(4096);
        end_.crashed = !end_.timedOut && process->exitStatus() == QProcess::CrashExit;
        end_.exitCode = process->exitCode();
    }
    process->disconnect(this);
    process->deleteLater();
    const HookEnd end = end_;  // done may run the next command
    if (auto done = std::exchange(done_, nullptr)) done(end);
}

void Hook::cancel() {
    timer_.stop();
    done_ = nullptr;
    if (QProcess* process = std::exchange(process_, nullptr)) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);  // reaped at once after SIGKILL
        process->deleteLater();
    }
}

}  // namespace station
