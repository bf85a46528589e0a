// The commands the station runs for the line and for the fixture: the line's
// route check, asked before a unit starts, and the fixture's power switch.
//
// A command is the user's text, read as /bin/sh reads it.  When the shell
// would do nothing with it but remove quotes and split it into words (single
// quotes, double quotes and backslashes honoured as the shell honours them),
// it is run directly, the station's words after the user's.  When it holds
// anything more -- outside quotes any of | & ; < > ( ) { } [ $ ` * ? ~ # !,
// in double quotes $ or `, a line break anywhere, or a first word NAME=VALUE
// -- it is run as /bin/sh -c TEXT gps-coldstart-hook WORDS..., the station's
// words being the script's positional parameters ("$@", $1, ...) and nothing
// appended to the text: relay.sh "$@" 2>>log works as typed.
//
// Its standard input is the JSON the station writes, then closed; its
// standard output is read whole (at most kMaxAnswer bytes), its standard
// error only for a message.  A command is never killed before its time: the
// time counts from when it has started, and a timer that fires early is set
// again for the rest.  One that has not ended by then is killed (SIGKILL) and
// counts as having given no answer.  Nothing waits on the event loop: the end
// is reported to a callback.
//
// What an end means is decided without a process: routeAnswer() and
// hookFailure() below.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

namespace station {

// How long each command may take before it is killed.
inline constexpr int kRouteCheckTimeoutMs = 10000;
inline constexpr int kPowerTimeoutMs = 10000;
// Standard output beyond this is not read.
inline constexpr qsizetype kMaxAnswer = 64 * 1024;

// A command's text made into a program and its arguments with the station's
// words (none for the route check; SLOT PORT on|off for the power switch).
// When the text is not a command, program is empty and error says why
// ("has an unterminated single quote").
struct HookCommand {
    QString program;
    QStringList arguments;
    QString error;
};
HookCommand hookCommand(const QString& text, const QStringList& words);

// How long to wait yet before killing a command that has run ranNs of its
// timeoutMs: 0 when its time is up, never a moment before.
int hookMsLeft(qint64 ranNs, int timeoutMs);

// How a command ended.
struct HookEnd {
    bool started = true;    // false: it could not be run (error says why)
    bool timedOut = false;  // killed after its time
    bool crashed = false;   // ended by a signal
    int exitCode = 0;
    QByteArray out;     // standard output
    QByteArray err;     // standard error
    QString error;      // why it could not be run
    int timeoutMs = 0;  // the time it had
};

// What went wrong with a command, in words ("gave no answer within 10 s and
// was killed", "exited with status 2: no such unit"); empty when it ran and
// exited with status 0.
QString hookFailure(const HookEnd& end);

// The line's answer to a route check.
struct RouteAnswer {
    enum class Kind { Allow, Refuse, Failed };
    Kind kind;
    QString text;  // Refuse: the line's reason; Failed: what happened
};
// The answer's meaning: the command must exit with status 0 and print one
// JSON object, {"allow": true} or {"allow": false, "reason": "..."} with a
// reason that is not empty; anything else is Failed, never an allowed unit.
RouteAnswer routeAnswer(const HookEnd& end);

// Runs one command at a time.
class Hook : public QObject {
    Q_OBJECT
public:
    explicit Hook(QObject* parent = nullptr);
    ~Hook() override;

    // Runs the command with input on its standard input; done is called once,
    // on this object's thread, when it has ended or has been killed.  A run
    // still under way is cancelled first.
    void run(const HookCommand& command, const QByteArray& input, int timeoutMs,
             std::function<void(const HookEnd&)> done);
    // Kills a command under way; its done is not called.
    void cancel();
    bool running() const { return process_ != nullptr; }

private:
    void started();
    void expired();
    void ended();

    QProcess* process_ = nullptr;
    QTimer timer_;         // precise, set when the command has started
    QElapsedTimer clock_;  // from when it started
    HookEnd end_;
    std::function<void(const HookEnd&)> done_;
};

}  // namespace station
