#include "station/sequencer.h"

#include "station/frontend.h"

namespace station {

namespace {

// Without an antenna to watch, as long as the identity's answers are awaited.
constexpr qint64 kIdentityMs = 3000;

}  // namespace

Sequencer::Sequencer(const UnitConfig& config, RunPort& port, const RunClock& clock, Hooks hooks)
    : unit_(config), port_(port), clock_(clock), hooks_(std::move(hooks)) {
    idleFix_ = std::make_unique<FixRun>(fixSettings(), hooks_.line, hooks_.secondSoFar);
    fix_ = idleFix_.get();
    turns_.push_back(std::make_unique<ObserveRun>(kIdentityMs));  // until the first cycle
}

FixTest::Settings Sequencer::fixSettings() const {
    FixTest::Settings settings;
    settings.requireReset = unit_.requireReset;
    settings.confirmTimeoutS = unit_.confirmTimeoutS;
    settings.fixTimeoutS = unit_.fixTimeoutS;
    settings.limits = unit_.limits;
    settings.requireProof = unit_.requireHotReset;
    settings.family = family_;
    settings.command = unit_.command;
    return settings;
}

SignalTest::Settings Sequencer::signalSettings() const {
    return {unit_.cn0Sv,  unit_.cn0Samples,    unit_.fixTimeoutS,
            unit_.offset, unit_.calibrationId, unit_.rfLimits};
}

std::unique_ptr<RunTest> Sequencer::make(const TestTypeRow& type) const {
    return type.make(
        {unit_, fixSettings(), sweep_ ? &*sweep_ : nullptr, hooks_.line, hooks_.secondSoFar});
}

void Sequencer::beginCycle() {
    ++cycle_;
    ending_ = false;
    earlier_.reset();
    turn_ = 0;
    turns_.clear();
    madeBy_.clear();
    signal_ = nullptr;
    auto fix = std::make_unique<FixRun>(fixSettings(), hooks_.line, hooks_.secondSoFar);
    fix_ = fix.get();
    if (unit_.testsFix())
        turns_.push_back(std::move(fix));
    else
        idleFix_ = std::move(fix);
    if (unit_.testsSignal()) {
        auto signal = std::make_unique<SignalRun>(signalSettings(), unit_.limits,
                                                  family_ == gpslink::ReceiverFamily::Ublox);
        signal_ = signal.get();
        turns_.push_back(std::move(signal));
    }
    // The cycle's cold start and measurements are at the level set now: the
    // plan's (the first is set before the units start; waitsForLevel() has
    // waited for it where a search of the cycle before had left another).
    if (sweep_) sweep_->sweep->hold(sweep_->slot);
    madeBy_.resize(turns_.size());
    for (const TestTypeRow& type : testTypes())
        if (type.make && unit_.tests.contains(QLatin1String(type.name)))
            if (auto test = make(type)) {
                turns_.push_back(std::move(test));
                madeBy_.push_back(&type);
            }
    if (turns_.empty())
        turns_.push_back(std::make_unique<ObserveRun>(
            unit_.testsAntenna() ? qint64(unit_.antennaS) * 1000 : kIdentityMs));
    antenna_.reset();
    if (unit_.testsAntenna()) {
        antenna_.emplace();
        antenna_->start(clock_.nowMs());
    }
}

void Sequencer::renewTests() {
    for (std::size_t i = 0; i < turns_.size(); ++i) {
        auto& test = turns_[i];
        if (test.get() == fix_) {
            auto fix = std::make_unique<FixRun>(fixSettings(), hooks_.line, hooks_.secondSoFar);
            fix_ = fix.get();
            test = std::move(fix);
        } else if (i < madeBy_.size() && madeBy_[i] && !test->started()) {
            if (auto again = make(*madeBy_[i])) test = std::move(again);
        } else if (test.get() == signal_ && !test->started()) {
            auto signal = std::make_unique<SignalRun>(signalSettings(), unit_.limits,
                                                      family_ == gpslink::ReceiverFamily::Ublox);
            signal_ = signal.get();
            test = std::move(signal);
        }
    }
    if (!unit_.testsFix()) {
        idleFix_ = std::make_unique<FixRun>(fixSettings(), hooks_.line, hooks_.secondSoFar);
        fix_ = idleFix_.get();
    }
}

double Sequencer::planLevelDbm() const {
    return unit_.levelDbm + sweep_->sweepLossDb;
}

bool Sequencer::waitsForLevel() {
    if (!sweep_) return false;
    LevelSweep& sweep = *sweep_->sweep;
    if (sweep.faulted()) return false;  // the instrument's fault ends the run instead
    if (sweep.dwelling(sweep_->slot)) return false;
    if (!sweep.waiting(sweep_->slot)) sweep.request(sweep_->slot, planLevelDbm());
    return !sweep.dwelling(sweep_->slot);
}

void Sequencer::listening() {
    if (ending_ || current().started()) return;
    current().start(clock_.nowMs());
    hooks_.changed();
}

void Sequencer::interrupt() {
    interrupted_ = true;
    end(Reason::Interrupted);
}

RunTest::Kind Sequencer::kind() const {
    if (config_ && config_->started()) return RunTest::Kind::Configuring;
    const RunTest& test = *turns_[turn_];
    return test.started() ? test.kind() : RunTest::Kind::Fix;
}

void Sequencer::received() {
    fix().received(clock_.nowMs());
}

void Sequencer::heardAntenna(std::optional<AntennaState> state) {
    if (!state || !antenna_ || ending_ || configuring()) return;
    const auto before = antenna_->state();
    antenna_->seen(*state, clock_.nowMs());
    if (antenna_->state() != before) hooks_.changed();
}

void Sequencer::sentence(std::string_view body) {
    heardAntenna(antennaFromSentence(body));
    if (configuring()) {
        config_->sentence(body, clock_.nowMs());
        followConfig();
    }
    if (!ending_ && !configuring() && &current() != fix_ && current().started())
        current().sentence(body, clock_.nowMs());
    fix().sentence(body);  // every checked sentence of the cycle is the fix test's
}

void Sequencer::packet(const Packet& packet) {
    if (const auto frontEnd = frontEndFromPacket(packet)) heardAntenna(frontEnd->antenna);
    if (configuring()) {
        config_->packet(packet, clock_.nowMs());
        return followConfig();
    }
    if (!ending_) current().packet(packet, clock_.nowMs());
}

void Sequencer::gga(const Gga& gga) {
    if (ending_ || configuring()) return;
    if (RunTest& test = current(); &test != fix_ && test.started()) {
        test.gga(gga, clock_.nowNs());
        return followTurn();
    }
    if (kind() != RunTest::Kind::Fix) return;
    fix_->gga(gga, clock_.nowNs());
    if (&current() == fix_) followTurn();
}

void Sequencer::second(const Second& second) {
    if (ending_ || configuring()) return;
    RunTest& test = current();
    if (test.started() && test.kind() != RunTest::Kind::Fix) {
        test.second(second, clock_.nowMs());
        if (test.kind() == RunTest::Kind::Measuring) hooks_.changed();
        return followTurn();
    }
    fix_->second(second, clock_.nowMs());
    if (&test == fix_) followTurn();
}

void Sequencer::tick() {
    if (ending_) return;
    if (configuring()) {
        config_->tick(clock_.nowMs());
        return followConfig();
    }
    if (!current().started()) return;
    current().tick(clock_.nowMs());
    followTurn();
}

std::optional<qint64> Sequencer::nextDeadlineMs() const {
    if (ending_) return std::nullopt;
    const qint64 now = clock_.nowMs();
    if (configuring()) return config_->nextDeadlineMs(now);
    const RunTest& test = *turns_[turn_];
    return test.started() ? test.nextDeadlineMs(now) : std::nullopt;
}

void Sequencer::write(RunTest& test) {
    const std::string out = test.takeOutput();
    if (!out.empty()) port_.write(out);
}

void Sequencer::followTurn() {
    if (ending_) return;
    write(current());
    if (const auto verdict = current().verdict()) turnEnded(*verdict);
}

void Sequencer::turnEnded(Reason verdict) {
    const RunTest& test = current();
    if (const QString note = test.note(); !note.isEmpty()) hooks_.note(note);
    if (verdict == Reason::ReceiverOff && hooks_.line().deviceAway)
        hooks_.note(QStringLiteral("the device did not come back at %1").arg(unit_.device));
    // Held to the plan first: the unit may have begun talking only later.
    if (turn_ == 0 && test.checksIdentity())
        if (const auto fault = hooks_.identityFault()) verdict = *fault;
    end(verdict);
}

void Sequencer::end(Reason reason) {
    if (ending_) return;
    if (reason == Reason::NoData && unit_.powerRetry && !powerRetried_ && !interrupted_) {
        powerRetried_ = true;
        return hooks_.powerRetry();
    }
    const Outcome outcome = outcomeOf(reason);
    if (turn_ + 1 < turns_.size() && outcome != Outcome::Interrupted &&
        rowOf(reason).keepsTalking) {
        if (!earlier_ || outcomeOf(*earlier_) == Outcome::Pass) earlier_ = reason;
        ++turn_;
        port_.holdCommand();
        current().start(clock_.nowMs());
        hooks_.changed();
        return followTurn();
    }
    if (current().started()) current().stop(reason);
    // The first failure comes first; a station fault stands whatever it.
    if (earlier_ && outcomeOf(*earlier_) != Outcome::Pass && outcome != Outcome::StationFault)
        return measured(*earlier_);
    measured(reason);
}

void Sequencer::measured(Reason verdict) {
    if (antenna_ && verdict == Reason::Ok) verdict = antenna_->judge(unit_.requireAntenna);
    const Outcome outcome = outcomeOf(verdict);
    const bool last = interrupted_ || !fix().ttffS() || cycle_ >= unit_.cycles;
    if (unit_.testsConfig() && !config_ && last && rowOf(verdict).keepsTalking &&
        (outcome == Outcome::Pass || (outcome == Outcome::Fail && unit_.configAfterFail)))
        return startConfig(verdict);
    close(verdict);
}

void Sequencer::startConfig(Reason verdict) {
    measured_ = verdict;
    const QString refusal = family_ ? configRefusal(*unit_.configuration, *family_)
                                    : QStringLiteral("the receiver's family is not known");
    if (!refusal.isEmpty()) {  // a family found by listening that cannot take it
        hooks_.note(refusal);
        return close(outcomeOf(verdict) == Outcome::Pass ? Reason::ConfigRejected : verdict);
    }
    config_ = std::make_unique<ConfigRun>(unit_.configuration->name, *family_,
                                          unit_.configuration->items.at(*family_));
    port_.holdCommand();
    config_->start(clock_.nowMs());
    hooks_.changed();
    followConfig();
}

// Writes what the configuration test asks for; its verdict ends the cycle.
void Sequencer::followConfig() {
    if (!configuring()) return;
    write(*config_);
    const auto verdict = config_->verdict();
    if (!verdict) return;
    if (*verdict != Reason::Ok) hooks_.note(config_->note());
    close(outcomeOf(*measured_) == Outcome::Pass ? *verdict : *measured_);
}

void Sequencer::close(Reason reason) {
    ending_ = true;
    if (sweep_) sweep_->sweep->leave(sweep_->slot);
    hooks_.closed(reason);
}

void Sequencer::show(Stage& stage) const {
    if (!ending_) turns_[turn_]->show(stage, clock_.nowMs());
}

void Sequencer::record(CycleResult& result) const {
    fix_->record(result);
    for (const auto& test : turns_)
        if (test.get() != fix_) test->record(result);
    if (antenna_) {
        const auto state = antenna_->state();
        result.antenna = QLatin1String(nameOf(state.value_or(AntennaState::Unknown)).data());
        result.antennaChanges = antenna_->changes();
    }
    if (config_) config_->record(result);
    if (sweep_) result.levelDbm = unit_.levelDbm;
}

}  // namespace station
