// A session with an SCPI instrument, without a clock or a socket: the caller
// hands in what the connection did and what the instrument said, with the
// time, and takes out the bytes to write and what came of each operation.
//
// - Lines are ended by a newline both ways (IEEE 488.2-1992, 7.5 and 8.5:
//   <PROGRAM MESSAGE TERMINATOR>, <RESPONSE MESSAGE TERMINATOR>; the LXI raw
//   socket on port 5025 carries them as they are).
// - clear(): *CLS clears the status and the error queue left by whoever had
//   the instrument before (IEEE 488.2, 10.3); identify(): *IDN? (10.14), the
//   instrument's identity, recorded with every result.
// - set(command): the command, then *OPC? (10.19), which answers "1" once
//   the instrument has finished every operation before it, then
//   SYSTem:ERRor? (SCPI-99 Volume 2, 21.8, SYSTem:ERRor[:NEXT]?) read until
//   it answers 0,"No error"; any other entry is a fault naming it.
// - One query is out at a time, so a reply belongs to the query before it;
//   each has a deadline.  No answer by then, a reply nobody asked for, one
//   that is not what its query answers, and a dropped connection are each a
//   fault.  A fault ends the session: what is queued is dropped and nothing
//   more is written.  Every fault's message names the instrument (its
//   address, and its identity once known).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <deque>
#include <optional>
#include <vector>

namespace instrument {

class ScpiSession {
public:
    struct Settings {
        QString address;        // "host:port", as the messages name the instrument
        int timeoutMs = 10000;  // for the connection and for each answer
        int maxErrors = 32;     // error queue entries read after a setting at most
        QString identity;       // known from an earlier session, until identify() says
    };
    // What came of an operation, in the order they ended.
    struct Outcome {
        enum Kind {
            Identified,  // identify() done; text and identity() have the answer
            Done,        // a set() done: finished, the error queue empty
            Fault,       // the session ended; text says why
        } kind;
        QString text;  // the setting's command; the fault's message
    };

    explicit ScpiSession(Settings settings)
        : settings_(std::move(settings)), identity_(settings_.identity) {}

    // The connection is being made; it must be made within the time-out.
    void connecting(qint64 nowMs);
    // The connection is up: the queued lines go out.
    void connected(qint64 nowMs);
    // The connection went away (or was refused).
    void disconnected(qint64 nowMs, const QString& why);
    // Bytes from the instrument.
    void received(const QByteArray& bytes, qint64 nowMs);
    // A deadline fell due (or any moment after it).
    void tick(qint64 nowMs);
    // The next moment tick() may act; empty: nothing awaited.
    std::optional<qint64> nextDeadlineMs() const;

    // The operations, queued in order; written at once when the connection
    // is up and nothing is awaited.
    void clear(qint64 nowMs);
    void identify(qint64 nowMs);
    void set(const QByteArray& command, qint64 nowMs);

    // The bytes to write now; taken once.
    QByteArray takeOutput();
    std::vector<Outcome> takeOutcomes();

    bool faulted() const { return faulted_; }
    // Nothing queued and nothing awaited.
    bool idle() const { return steps_.empty() && !awaiting_; }
    const QString& identity() const { return identity_; }
    // "instrument 127.0.0.1:5025 (Maker,Model,serial,version)"
    QString name() const;

private:
    enum class Expect { Identity, Complete, Error };
    struct Step {
        QByteArray line;
        std::optional<Expect> expect;  // a query's answer; empty: a command
        QByteArray setting;            // the setting the step belongs to
    };
    void pump(qint64 nowMs);
    void answer(const QByteArray& line, qint64 nowMs);
    void fault(const QString& what);

    Settings settings_;
    std::deque<Step> steps_;
    std::optional<Step> awaiting_;
    std::optional<qint64> deadlineMs_;
    bool connected_ = false;
    bool faulted_ = false;
    int errorsRead_ = 0;  // entries read after the setting under way
    QStringList errors_;  // the errors among them
    QByteArray input_;    // a reply's bytes until its newline
    QByteArray output_;
    std::vector<Outcome> outcomes_;
    QString identity_;
};

}  // namespace instrument
