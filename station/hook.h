// The commands the station runs for the line and for the fixture: the line's
// route check, asked before a unit starts, and the fixture's power switch.
//
// A command is the user's text.  Without shell characters it is split as
// QProcess::splitCommand() splits it (double quotes group words) and run
// directly, the station's own arguments after the user's.  With any of
// | & ; < > ( ) $ ` * ? ~ or a line break it is run by /bin/sh -c, the
// station's arguments being the script's "$@" (so "relay.sh 2>>log" works
// as typed).  Its standard input is the JSON the station writes, then closed;
// its standard output is read whole (at most kMaxAnswer bytes), its standard
// error only for a message.  A command that has not ended within its time
// is killed (SIGKILL) and counts as having given no answer.  Nothing waits
// on the event loop: the end is reported to a callback.
//
// What an end means is decided without a process: routeAnswer() and
// hookFailure() below.
#pragma once

#include <QByteArray>
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

// A command's text made into a program and its arguments, the station's
// arguments appended; empty program when the text holds no command.
struct HookCommand {
    QString program;
    QStringList arguments;
};
HookCommand hookCommand(const QString& text, const QStringList& extra);

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
    void ended();

    QProcess* process_ = nullptr;
    QTimer timer_;
    HookEnd end_;
    std::function<void(const HookEnd&)> done_;
};

}  // namespace station
