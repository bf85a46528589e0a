#include "station/hook.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace station {

namespace {

// Outside quotes, what makes the shell do more than split words.
bool shellCharacter(QChar c) {
    return QStringView(u"|&;<>(){}[$`*?~#!").contains(c);
}

// A shell variable's name: NAME=VALUE before the program is an assignment.
bool isName(const QString& word) {
    static const QRegularExpression name(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return name.match(word).hasMatch();
}

// The text split into words as /bin/sh splits it, unless it needs the shell.
struct Words {
    QStringList words;
    bool needsShell = false;
    QString error;
};

Words splitAsShell(const QString& text) {
    enum class Quote { None, Single, Double };
    Words out;
    Quote quote = Quote::None;
    QString word;
    bool inWord = false;  // "" is a word
    bool quoted = false;  // the word so far has quotes or backslashes
    const auto shell = [&] {
        out.needsShell = true;
        return out;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const QChar next = i + 1 < text.size() ? text.at(i + 1) : QChar();
        if (c == QLatin1Char('\n')) return shell();
        if (quote == Quote::Single) {
            if (c == QLatin1Char('\''))
                quote = Quote::None;
            else
                word += c;
            continue;
        }
        if (quote == Quote::Double) {
            if (c == QLatin1Char('"')) {
                quote = Quote::None;
            } else if (c == QLatin1Char('$') || c == QLatin1Char('`')) {
                return shell();
            } else if (c == QLatin1Char('\\') && QStringView(u"$`\"\\").contains(next)) {
                word += next;
                ++i;
            } else {
                word += c;
            }
            continue;
        }
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inWord) out.words << word;
            word.clear();
            inWord = quoted = false;
            continue;
        }
        if (shellCharacter(c)) return shell();
        if (c == QLatin1Char('=') && out.words.isEmpty() && !quoted && isName(word)) return shell();
        inWord = true;
        if (c == QLatin1Char('\'')) {
            quote = Quote::Single;
            quoted = true;
        } else if (c == QLatin1Char('"')) {
            quote = Quote::Double;
            quoted = true;
        } else if (c == QLatin1Char('\\')) {
            if (next.isNull()) {
                out.error = QStringLiteral("ends with a lone backslash");
                return out;
            }
            word += next;
            ++i;
            quoted = true;
        } else {
            word += c;
        }
    }
    if (quote != Quote::None) {
        out.error = quote == Quote::Single ? QStringLiteral("has an unterminated single quote")
                                           : QStringLiteral("has an unterminated double quote");
        return out;
    }
    if (inWord) out.words << word;
    return out;
}

}  // namespace

HookCommand hookCommand(const QString& text, const QStringList& words) {
    Words split = splitAsShell(text);
    if (split.needsShell) {
        // "$0" names the script in the shell's messages; the words are "$@".
        return {
            QStringLiteral("/bin/sh"),
            QStringList{QStringLiteral("-c"), text, QStringLiteral("gps-coldstart-hook")} + words,
            {}};
    }
    if (!split.error.isEmpty()) return {{}, {}, split.error};
    if (split.words.isEmpty() || split.words.first().isEmpty())
        return {{}, {}, QStringLiteral("names no program")};
    const QString program = split.words.takeFirst();
    return {program, split.words + words, {}};
}

int hookMsLeft(qint64 ranNs, int timeoutMs) {
    const qint64 leftNs = qint64(timeoutMs) * 1000000 - ranNs;
    return leftNs <= 0 ? 0 : int((leftNs + 999999) / 1000000);
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
    // A coarse timer may fire up to 5 % early: 9.5 s into a 10 s limit.
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Hook::expired);
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
    connect(process_, &QProcess::started, this, &Hook::started);
    QProcess* process = process_;
    process->start(command.program, command.arguments);
    if (process_ != process) return;  // it could not be run, and that has been reported
    process->write(input);
    process->closeWriteChannel();
}

// Its time counts from here, when the program is running, not from when it
// was asked for: starting a process can take a while on a busy station.
void Hook::started() {
    clock_.start();
    timer_.start(end_.timeoutMs);
}

void Hook::expired() {
    if (!process_) return;
    if (const int left = hookMsLeft(clock_.nsecsElapsed(), end_.timeoutMs); left > 0)
        return timer_.start(left);
    end_.timedOut = true;
    process_->kill();  // finished() follows
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
