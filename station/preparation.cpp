#include "station/preparation.h"

#include <utility>

namespace station {

namespace {

constexpr qint64 kNsPerMs = 1000000;

}  // namespace

Preparation::Preparation(Settings settings, const StartRule& rule, Actions actions)
    : settings_(std::move(settings)), rule_(rule), actions_(std::move(actions)), gate_(rule) {}

void Preparation::begin(qint64 nowMs) {
    if (settings_.powerStart) return powerCycle(Then::Probe, nowMs);
    probe(nowMs);
}

void Preparation::retry(qint64 nowMs) {
    // What the first probe found is known the second time.
    if (rate() > 0) settings_.probe.baud = rate();
    settings_.probe.family = family();
    probe_.reset();
    identityAsked_ = identityChecked_ = false;
    beginCycle();
    powerCycle(Then::Probe, nowMs);
}

void Preparation::powerAgain(qint64 nowMs) {
    powerCycle(Then::Link, nowMs);
}

void Preparation::beginCycle() {
    ended_ = started_ = false;
    gate_.beginCycle();
    onNs_.reset();
    proof_.reset();
    power_.reset();
}

// Off, the plan's off time, on; then what follows, with the power-on's moment.
void Preparation::powerCycle(Then then, qint64 nowMs) {
    power_.emplace(settings_.powerOffTimeS);
    then_ = then;
    followPower(nowMs, nowMs * kNsPerMs);
}

// Does what the power cycle's step asks.
void Preparation::followPower(qint64 nowMs, qint64 nowNs) {
    if (!power_ || ended_) return;
    switch (power_->step()) {
        case PowerCycle::Step::SwitchingOn:
            if (proof_) proof_->switchingOn(nowMs);
            [[fallthrough]];
        case PowerCycle::Step::SwitchingOff:
            actions_.show(power_->note());
            return actions_.power(power_->command());
        case PowerCycle::Step::Off:
            actions_.show(power_->note());
            // A power start listens meanwhile: the unit must fall silent.
            if (settings_.powerStart) {
                proof_.emplace(family());
                proof_->switchedOff(nowMs);
                actions_.listenWhileOff();
            }
            return;
        case PowerCycle::Step::On:
            onNs_ = nowNs;
            // Back on first, whatever the unit did meanwhile: the slot is
            // not left off.
            if (followProof()) return;
            if (then_ == Then::Probe) return probe(nowMs);
            linkAsked_ = true;
            return actions_.linkMayStart();
        case PowerCycle::Step::Failed:
            return actions_.failed(Reason::PowerFailed, power_->problem());
    }
}

void Preparation::powerEnded(const QString& failure, qint64 nowNs) {
    if (ended_ || !power_) return;
    const qint64 nowMs = nowNs / kNsPerMs;
    power_->commandEnded(failure, nowMs);
    followPower(nowMs, nowNs);
}

// Takes what the power proof came to: the restart proven to the fix test,
// or the cycle ended as power-failed with what the unit did.  True when it
// ended.
bool Preparation::followProof() {
    if (!proof_ || ended_ || !onNs_) return false;  // the slot back on first
    if (proof_->failed()) {
        actions_.failed(Reason::PowerFailed, proof_->note());
        return true;
    }
    if (proof_->proven() && started_) actions_.poweredOn(*onNs_);
    return false;
}

void Preparation::probe(qint64 nowMs) {
    actions_.probing();
    linkAsked_ = false;
    Probe::Settings settings = settings_.probe;
    if (settings.baud == 0 && actions_.lastRate) settings.lastRate = actions_.lastRate();
    Probe::Port port = actions_.probe;
    port.listenAt = [this](int rate) {
        gate_.relistened();  // a GGA heard at another rate is not the link's
        return actions_.probe.listenAt(rate);
    };
    probe_.emplace(settings, identity_, std::move(port));
    probe_->start(nowMs);
    followProbe();
}

void Preparation::tick(qint64 nowMs) {
    if (ended_) return;
    if (power_ && power_->step() == PowerCycle::Step::Off) {
        power_->tick(nowMs);
        if (power_->step() == PowerCycle::Step::Off) return;  // woken a moment early
        return followPower(nowMs, nowMs * kNsPerMs);
    }
    if (!probe_) return;
    probe_->step(nowMs);
    followProbe();
}

std::optional<qint64> Preparation::nextDeadlineMs() const {
    if (ended_) return std::nullopt;
    if (power_ && power_->step() != PowerCycle::Step::On) return power_->nextDeadlineMs();
    return probe_ ? probe_->nextDeadlineMs() : std::nullopt;
}

// Takes what the probe came to.
void Preparation::followProbe() {
    if (ended_ || !probe_) return;
    switch (probe_->state()) {
        case Probe::State::Listening:
        case Probe::State::Switching:
        case Probe::State::AskingFamily:
            return actions_.show(probe_->note());
        case Probe::State::LinkMayStart:
            if (linkAsked_) return;
            linkAsked_ = true;
            return actions_.linkMayStart();
        case Probe::State::AskingIdentity:
        case Probe::State::ProbingRates:
            return;
        case Probe::State::IdentityIn:
            // Answered in full: held to the plan now.  A unit that did not
            // answer is held to it at its verdict, its answers read meanwhile.
            if (probe_->answered() && !identityChecked_)
                if (const auto fault = identityFault()) return actions_.failed(*fault, {});
            return actions_.identityIn();
        case Probe::State::Failed:
            actions_.note(probe_->note());
            return actions_.failed(*probe_->failure(), {});
    }
}

void Preparation::bytes(qint64 nowMs) {
    if (probe_) probe_->heardBytes();
    if (proof_) proof_->received(nowMs);
}

bool Preparation::sentence(std::string_view body, bool preparing) {
    if (probe_) probe_->heardSentence();
    // A GGA's text, read as a Gga next (see gga()).
    if (preparing && body.substr(2, 4) == "GGA,") gate_.heardGgaLine(gpslink::nmeaCommand(body));
    identity_.sentence(body);
    if (proof_ && !ended_) {
        proof_->sentence(body);
        if (followProof()) return true;
    }
    gate_.sentence();
    return false;
}

bool Preparation::gga(const Gga& gga, bool preparing, qint64 nowMs, qint64 nowNs) {
    if (preparing) gate_.heardGga(gga, nowNs);
    if (!proof_ || ended_) return false;
    proof_->gga(gga, nowMs);
    return followProof();
}

void Preparation::packet(const Packet& packet) {
    if (probe_) probe_->heardPacket(packet.kind == PacketKind::Sirf);
    identity_.packet(packet);
}

void Preparation::portOpened(qint64 nowMs) {
    gate_.portOpened();
    if (heard()) askIdentity(nowMs);
}

void Preparation::timeCounted(qint64 nowMs) {
    askIdentity(nowMs);
}

std::optional<StartGate::HeardGga> Preparation::linkStarts(bool portOpen) {
    return gate_.linkStarts(portOpen);
}

std::optional<qint64> Preparation::powerStarts() {
    if (!settings_.powerStart || !onNs_) return std::nullopt;
    started_ = true;
    if (proof_ && family()) proof_->setFamily(*family());
    return onNs_;
}

void Preparation::probeOtherRates(qint64 nowMs) {
    if (probe_) probe_->probeOtherRates(nowMs);
}

void Preparation::resetSeen(qint64 nowMs) {
    if (probe_) probe_->askAgain(nowMs);
}

// The link has opened the port: the receiver is asked who it is, and the
// answers are read beside the link's count of GGA times; the command does
// not wait for them (or it goes with the fifth GGA time).
void Preparation::askIdentity(qint64 nowMs) {
    if (identityAsked_ || !probe_) return;
    identityAsked_ = true;
    probe_->askIdentity(nowMs);
    if (probe_->state() == Probe::State::Failed) return followProbe();
    if (!settings_.testsFix) actions_.listening();  // the link has the port and only listens
}

bool Preparation::ready(qint64 nowMs, bool mayAsk) {
    if (!probe_ || ended_) return false;
    // Asked who it is once it talks on the link's port, whether or not its
    // GGA has a time yet.
    if (mayAsk && gate_.heardSinceOpen()) askIdentity(nowMs);
    if (probe_->state() == Probe::State::AskingIdentity) {
        probe_->step(nowMs);
        // Its identity in: checked, and then back here.
        if (probe_->state() != Probe::State::AskingIdentity) {
            followProbe();
            return false;
        }
    }
    // Heard on the link's port: the fix test has seen what the unit had
    // before the command.
    return gate_.commandNow(probe_->commandMayGo());
}

std::optional<Reason> Preparation::identityFault() {
    if (identityChecked_) return std::nullopt;
    identityChecked_ = true;
    const auto fault =
        checkIdentity(identity_.identity(), settings_.requireIdentity, settings_.expectFirmware);
    if (!fault) return std::nullopt;
    actions_.note(fault->note);
    return fault->reason;
}

}  // namespace station
