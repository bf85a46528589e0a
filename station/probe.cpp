#include "station/probe.h"

#include <algorithm>
#include <iterator>

#include "station/families.h"

namespace station {

namespace {

using gpslink::ReceiverFamily;
using results::Reason;

constexpr qint64 kListenMs = 1500;    // at each rate, for a checked sentence or packet
constexpr qint64 kAskMs = 1500;       // for an answer to one family's query
constexpr qint64 kIdentityMs = 3000;  // counted for the answers to the family's identity queries
constexpr qint64 kSwitchMs = 3000;    // for NMEA after the switch from SiRF binary

// The rates tried when the rate is to be found, commonest first.
constexpr int kSearchOrder[] = {9600, 4800, 115200, 38400, 57600, 19200, 230400, 460800, 921600};

QString familyName(ReceiverFamily family) {
    return QString::fromLatin1(gpslink::nameOf(family).data());
}

}  // namespace

Probe::Probe(Settings settings, const IdentityReader& identity, Port port)
    : settings_(settings), identity_(identity), port_(std::move(port)), family_(settings.family) {}

void Probe::start(qint64 nowMs) {
    state_ = State::Listening;
    rates_.clear();
    if (settings_.baud > 0) {
        rates_ = {settings_.baud};
    } else {
        const int last = settings_.lastRate;
        if (std::find(std::begin(kSearchOrder), std::end(kSearchOrder), last) !=
            std::end(kSearchOrder))
            rates_.push_back(last);
        for (int rate : kSearchOrder)
            if (rate != last) rates_.push_back(rate);
    }
    const int first = rates_.front();
    rates_.erase(rates_.begin());
    if (!listen(first, nowMs)) {  // the link reports the port as it finds it
        note_.clear();
        state_ = State::LinkMayStart;
    }
}

void Probe::askIdentity(qint64 nowMs) {
    if (!family_) {  // "auto", and the receiver said nothing before the link ran
        return fail(Reason::FamilyUnknown,
                    QStringLiteral("the receiver did not say which family it is"));
    }
    state_ = State::AskingIdentity;
    since_ = nowMs;
    if (!identity_.complete(*family_))
        for (const std::string& query : identityQueries(*family_)) port_.send(query);
}

void Probe::askAgain(qint64 nowMs) {
    if (!commandMayGo() || askedAgain_ || answered()) return;
    askedAgain_ = true;
    state_ = State::AskingIdentity;
    since_ = nowMs;
    for (const std::string& query : identityQueries(*family_)) port_.send(query);
}

bool Probe::answered() const {
    return family_ && identity_.complete(*family_);
}

void Probe::probeOtherRates(qint64 nowMs) {
    rates_.clear();
    for (int rate : kSearchOrder)
        if (rate != settings_.baud) rates_.push_back(rate);
    state_ = State::ProbingRates;
    since_ = nowMs - kListenMs;  // the rate given was heard out
    valid_ = false;
}

void Probe::heardPacket(bool sirf) {
    valid_ = true;
    if (sirf) ++sirfPackets_;
}

bool Probe::listen(int rate, qint64 nowMs) {
    if (!port_.listenAt(rate)) return false;
    rate_ = rate;
    since_ = nowMs;
    valid_ = sentence_ = false;
    sirfPackets_ = 0;
    note_ = QStringLiteral("listening at %1 baud").arg(rate);
    return true;
}

void Probe::fail(Reason reason, QString note) {
    state_ = State::Failed;
    failure_ = reason;
    note_ = std::move(note);
}

// A sentence or packet came at this rate: on to the family.
void Probe::found(int rate, qint64 nowMs) {
    found_ = rate;
    state_ = State::AskingFamily;
    since_ = nowMs;
    step(nowMs);
}

void Probe::step(qint64 nowMs) {
    const qint64 inState = nowMs - since_;
    switch (state_) {
        case State::Listening:
            if (valid_) {
                port_.rateWorked(rate_);
                if (!sentence_ && sirfPackets_ > 0) {  // SiRF binary, not NMEA
                    family_ = ReceiverFamily::Sirf;
                    found_ = rate_;
                    if (!settings_.toNmea || rate_ > 0xFFFF)
                        return fail(Reason::BinaryMode,
                                    QStringLiteral("the receiver talks SiRF binary at %1 baud, "
                                                   "not NMEA")
                                        .arg(rate_));
                    // Its identity while it still talks binary, then the switch.
                    for (const std::string& query : identityQueries(ReceiverFamily::Sirf, true))
                        port_.send(query);
                    state_ = State::Switching;
                    since_ = nowMs;
                    sentence_ = false;
                    note_ = QStringLiteral("switching the receiver from SiRF binary to NMEA");
                    return;
                }
                return found(rate_, nowMs);
            }
            if (inState < kListenMs) return;
            if (!rates_.empty()) {
                const int next = rates_.front();
                rates_.erase(rates_.begin());
                if (!listen(next, nowMs)) {
                    note_.clear();
                    state_ = State::LinkMayStart;
                }
                return;
            }
            if (settings_.baud > 0) {  // the link reports what it finds
                note_.clear();
                state_ = State::LinkMayStart;
                return;
            }
            return fail(anyBytes_ ? Reason::BaudMismatch : Reason::NoData,
                        anyBytes_ ? QStringLiteral("no NMEA sentence or binary packet at any rate")
                                  : QStringLiteral("nothing at any rate"));
        case State::Switching:
            if (!switchSent_) {  // the identity first, while it talks binary
                if (!identity_.complete(ReceiverFamily::Sirf) && inState < kIdentityMs) return;
                port_.send(sirfToNmea(rate_));
                switchSent_ = true;
                sentence_ = false;
                since_ = nowMs;
                return;
            }
            if (sentence_) return found(rate_, nowMs);
            if (inState < kSwitchMs) return;
            return fail(
                Reason::BinaryMode,
                QStringLiteral("the receiver talks SiRF binary and did not switch to NMEA"));
        case State::AskingFamily:
            if (family_ || identity_.family()) {
                if (!family_) family_ = identity_.family();
                note_.clear();
                state_ = State::LinkMayStart;  // its identity is asked once the link has the port
                return;
            }
            if (asking_ > 0 && inState < kAskMs) return;
            if (asking_ == familyTable().size())
                return fail(Reason::FamilyUnknown,
                            QStringLiteral("the receiver did not say which family it is"));
            note_ = QStringLiteral("asking whether the receiver is %1")
                        .arg(familyName(familyTable()[asking_].family));
            for (const std::string& query : familyTable()[asking_++].identityQueries(false))
                port_.send(query);
            since_ = nowMs;
            return;
        case State::AskingIdentity:  // the link runs meanwhile, its command not held
            if (!identity_.complete(*family_) && inState < kIdentityMs) return;
            state_ = State::IdentityIn;
            return;
        case State::ProbingRates:
            if (valid_)
                return fail(Reason::BaudMismatch, QStringLiteral("the receiver talks at %1 baud, "
                                                                 "not %2")
                                                      .arg(rate_)
                                                      .arg(settings_.baud));
            if (inState < kListenMs) return;
            if (rates_.empty()) return fail(Reason::BaudMismatch, {});
            {
                const int next = rates_.front();
                rates_.erase(rates_.begin());
                if (!port_.listenAt(next)) return;
                rate_ = next;
                since_ = nowMs;
                valid_ = sentence_ = false;
            }
            return;
        case State::LinkMayStart:
        case State::IdentityIn:
        case State::Failed:
            return;
    }
}

std::optional<qint64> Probe::nextDeadlineMs() const {
    switch (state_) {
        case State::Listening:
        case State::ProbingRates:
            return valid_ ? since_ : since_ + kListenMs;
        case State::Switching:
            if (!switchSent_)
                return identity_.complete(ReceiverFamily::Sirf) ? since_ : since_ + kIdentityMs;
            return sentence_ ? since_ : since_ + kSwitchMs;
        case State::AskingFamily:
            if (family_ || identity_.family() || asking_ == 0) return since_;
            return since_ + kAskMs;
        case State::AskingIdentity:
            return identity_.complete(*family_) ? since_ : since_ + kIdentityMs;
        case State::LinkMayStart:
        case State::IdentityIn:
        case State::Failed:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace station
