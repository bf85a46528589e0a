// Getting to know a receiver before the link runs, sending nothing that
// changes a setting.  No clock and no port of its own: the run tells it what
// came and when, and does what it asks of the port.
//
// - It listens, at the rate given or with "auto" at each rate in turn (the
//   rate that last worked on the port first, then 9600, 4800, 115200, 38400,
//   57600, 19200, 230400, 460800, 921600), 1.5 s at each, until a sentence
//   with a right checksum or a binary packet with a right checksum arrives.
// - A SiRF receiver that sends SiRF binary instead of NMEA is in binary mode:
//   it fails (binary-mode), or with toNmea is asked who it is in binary and
//   then switched back with SiRF binary message 129 at the line's rate.
// - With the family "auto" it is taken from what the receiver said by itself
//   (proprietary sentences, text banners, binary packets), else from which
//   family's identity query it answers, asked in the family table's order, 1.5 s each.
// - Once the link has opened the port the receiver is asked who it is with
//   its family's queries.  The family is known by then, so the start command
//   does not wait for the answers: they are read while the unit acquires,
//   3 s counted for them.  Many receivers answer none of their family's
//   queries; one that has not answered in full is asked once more after its
//   reset, which may have cut its answers short.
// - When the link found characters but no GGA time at the rate given, the
//   other rates are listened to, to say which one the receiver talks at.
#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gpslink/resetcommand.h"
#include "station/identity.h"
#include "vocabulary/reasons.h"

namespace station {

class Probe {
public:
    struct Settings {
        int baud = 0;                                   // 0: found by listening
        std::optional<gpslink::ReceiverFamily> family;  // empty: found from what it says
        bool toNmea = false;
        int lastRate = 0;  // the rate that last worked on the port; 0: none known
    };
    // What the probe asks of the run, which owns the port.
    struct Port {
        // The line set to rate, its input discarded; false when it cannot be.
        std::function<bool(int rate)> listenAt;
        std::function<void(const std::string& bytes)> send;
        // A rate the receiver talked at, to be tried first next time.
        std::function<void(int rate)> rateWorked;
    };
    enum class State {
        Listening,       // at a rate, for a checked sentence or packet
        Switching,       // a SiRF receiver from binary to NMEA
        AskingFamily,    // one family's identity query at a time
        LinkMayStart,    // the rate and the family are known (or left to the link to find out)
        AskingIdentity,  // the link runs; the family's identity queries are out
        IdentityIn,      // answered, or its time is up
        ProbingRates,    // after the link found no GGA time at the rate given
        Failed,
    };

    Probe(Settings settings, const IdentityReader& identity, Port port);

    // Begins listening.
    void start(qint64 nowMs);
    // The link has the port: asks who the receiver is.
    void askIdentity(qint64 nowMs);
    // Its reset seen: a receiver that has not answered in full is asked
    // once more.
    void askAgain(qint64 nowMs);
    // The family is known and its queries are out: the start command may go,
    // the answers read meanwhile.
    bool commandMayGo() const {
        return state_ == State::AskingIdentity || state_ == State::IdentityIn;
    }
    // Every item the family offers has been answered.
    bool answered() const;
    // The link found characters but no GGA time at the rate given.
    void probeOtherRates(qint64 nowMs);

    // What came at the current rate.
    void heardBytes() { anyBytes_ = true; }
    void heardSentence() { valid_ = sentence_ = true; }
    void heardPacket(bool sirf);
    // A checked sentence or packet came at the current rate.
    bool heard() const { return valid_; }
    // Acts on what came and on the time: at every input and at nextDeadlineMs().
    void step(qint64 nowMs);
    // The next moment step() acts if nothing comes first (a moment past:
    // at once); empty: it waits for the run, not for the time.
    std::optional<qint64> nextDeadlineMs() const;

    State state() const { return state_; }
    // The rate the receiver was found to talk at; 0: not found (yet).
    int rate() const { return found_; }
    std::optional<gpslink::ReceiverFamily> family() const { return family_; }
    // Why it failed, once it has.
    std::optional<results::Reason> failure() const { return failure_; }
    // What it is doing or found, in the station's words ("listening at 9600
    // baud", "the receiver talks at 4800 baud, not 9600"); empty: nothing to say.
    const QString& note() const { return note_; }

private:
    bool listen(int rate, qint64 nowMs);
    void fail(results::Reason reason, QString note);
    void found(int rate, qint64 nowMs);

    Settings settings_;
    const IdentityReader& identity_;
    Port port_;
    State state_ = State::Listening;
    std::vector<int> rates_;  // still to try
    int rate_ = 0;
    int found_ = 0;
    qint64 since_ = 0;  // when this state or rate began
    bool anyBytes_ = false, valid_ = false, sentence_ = false;
    int sirfPackets_ = 0;
    bool switchSent_ = false;
    bool askedAgain_ = false;
    std::size_t asking_ = 0;  // the family asked, in the family table's order
    std::optional<gpslink::ReceiverFamily> family_;
    std::optional<results::Reason> failure_;
    QString note_;
};

}  // namespace station
