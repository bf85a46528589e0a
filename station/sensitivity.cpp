#include "station/sensitivity.h"

#include <algorithm>
#include <cmath>

namespace station {

namespace {

// Levels are steps of a bisection or of a plan's step: equal within this.
constexpr double kSameDb = 1e-6;

bool same(double a, double b) {
    return std::abs(a - b) < kSameDb;
}

}  // namespace

AcquisitionSearch::AcquisitionSearch(const Settings& settings)
    : settings_(settings), high_(settings.topDbm), low_(settings.topDbm - settings.windowDb) {}

std::optional<double> AcquisitionSearch::nextLevel() const {
    if (done()) return std::nullopt;
    return (high_ + low_) / 2;
}

void AcquisitionSearch::outcome(bool fixed) {
    const auto level = nextLevel();
    if (!level) return;
    ++tried_;
    if (fixed) {
        high_ = *level;
        fixedAt_ = *level;
    } else {
        low_ = *level;
    }
}

std::optional<double> TrackingSearch::nextLevel() const {
    if (done_) return std::nullopt;
    return settings_.startDbm - steps_ * settings_.stepDb;
}

void TrackingSearch::outcome(bool held) {
    const auto level = nextLevel();
    if (!level) return;
    ++steps_;
    if (!held) {
        done_ = true;
        return;
    }
    heldAt_ = *level;
    if (*level - settings_.stepDb < settings_.floorDbm - kSameDb) done_ = true;
}

int LevelSweep::join() {
    in_.insert(next_);
    return next_++;
}

void LevelSweep::request(int slot, double dBm) {
    if (fault_ || slot < 0 || slot >= next_) return;
    in_.insert(slot);  // a slot that left comes back by asking again
    dwelling_.erase(slot);
    // The level already set, with nobody waiting for another: dwell at once.
    const bool othersWait = std::any_of(wants_.begin(), wants_.end(), [&](const auto& want) {
        return want.first != slot && !same(want.second.dBm, dBm);
    });
    if (level_ && same(*level_, dBm) && !setting_ && !othersWait) {
        wants_.erase(slot);
        dwelling_.insert(slot);
        return;
    }
    wants_[slot] = {dBm, std::nullopt};
}

void LevelSweep::hold(int slot) {
    if (fault_ || slot < 0 || slot >= next_ || !level_) return;
    in_.insert(slot);
    wants_.erase(slot);
    dwelling_.insert(slot);
}

void LevelSweep::release(int slot) {
    dwelling_.erase(slot);
}

void LevelSweep::leave(int slot) {
    in_.erase(slot);
    wants_.erase(slot);
    dwelling_.erase(slot);
}

std::optional<double> LevelSweep::choose() const {
    std::vector<std::pair<double, int>> counts;  // level, slots that want it
    for (const auto& [slot, want] : wants_) {
        auto it = std::find_if(counts.begin(), counts.end(),
                               [&](const auto& c) { return same(c.first, want.dBm); });
        if (it == counts.end())
            counts.push_back({want.dBm, 1});
        else
            ++it->second;
    }
    if (counts.empty()) return std::nullopt;
    return std::max_element(counts.begin(), counts.end(),
                            [](const auto& a, const auto& b) {
                                return a.second != b.second ? a.second < b.second
                                                            : a.first < b.first;
                            })
        ->first;
}

std::optional<qint64> LevelSweep::nextDeadlineMs() const {
    if (fault_ || setting_ || !dwelling_.empty() || wants_.empty()) return std::nullopt;
    std::optional<qint64> first;
    for (const auto& [slot, want] : wants_) {
        if (!want.atMs) return 0;  // a request to be seen now
        first = first ? std::min(*first, *want.atMs) : *want.atMs;
    }
    if (wants_.size() >= in_.size()) return first;  // every slot has asked
    return *first + settings_.gatherMs;
}

std::optional<double> LevelSweep::take(qint64 nowMs) {
    for (auto& [slot, want] : wants_)
        if (!want.atMs) want.atMs = nowMs;
    const auto due = nextDeadlineMs();
    if (!due || nowMs < *due) return std::nullopt;
    const double dBm = *choose();
    if (level_ && same(*level_, dBm)) {
        grantAt(dBm);
        return std::nullopt;
    }
    setting_ = dBm;
    return dBm;
}

void LevelSweep::levelSet(double dBm) {
    if (fault_) return;
    setting_.reset();
    level_ = dBm;
    ++changes_;
    grantAt(dBm);
}

void LevelSweep::grantAt(double dBm) {
    for (auto it = wants_.begin(); it != wants_.end();) {
        if (same(it->second.dBm, dBm)) {
            dwelling_.insert(it->first);
            it = wants_.erase(it);
        } else {
            ++it;
        }
    }
}

void LevelSweep::fault(const QString& message) {
    if (fault_) return;
    fault_ = message;
    wants_.clear();
    dwelling_.clear();
    setting_.reset();
    level_.reset();
}

}  // namespace station

namespace station {

namespace {

// How often a slot waiting for its level asks the sweep.
constexpr qint64 kAskEveryMs = 100;

}  // namespace

SensitivityRun::SensitivityRun(Settings settings, SweepSlot slot,
                               std::function<FixTest::Line()> line,
                               std::function<Second()> secondSoFar)
    : settings_(std::move(settings)),
      slot_(slot),
      line_(std::move(line)),
      soFar_(std::move(secondSoFar)),
      acquisition_(settings_.acquisition),
      tracking_(settings_.tracking) {}

std::optional<double> SensitivityRun::wantedPortDbm() const {
    return settings_.search == Search::Acquisition ? acquisition_.nextLevel()
                                                   : tracking_.nextLevel();
}

std::optional<double> SensitivityRun::foundDbm() const {
    const auto found = settings_.search == Search::Acquisition ? acquisition_.sensitivityDbm()
                                                               : tracking_.sensitivityDbm();
    // Searched in the sweep's terms; the unit had the generator's level less its own loss.
    if (!found) return std::nullopt;
    return *found + slot_.sweepLossDb - slot_.lossDb;
}

void SensitivityRun::start(qint64 nowMs) {
    started_ = true;
    ask(nowMs);
}

void SensitivityRun::ask(qint64 nowMs) {
    const auto level = wantedPortDbm();
    if (!level) {
        const auto found = foundDbm();
        const Measure m =
            settings_.search == Search::Acquisition ? Measure::Acquisition : Measure::Tracking;
        if (const auto over = settings_.limits.judge(m, found)) return finish(*over);
        // No cold start fixed at any level of the window, its strongest
        // included: a unit that does not fix, whatever the plan's limit.
        if (!found && settings_.search == Search::Acquisition)
            return finish(Reason::NoFix,
                          QStringLiteral("no cold start fixed at any level searched"));
        return finish(Reason::Ok);
    }
    dwelling_ = false;
    slot_.sweep->request(slot_.slot, *level + slot_.sweepLossDb);
    if (settings_.search == Search::Acquisition) {
        trial_.emplace(settings_.fix);
        timeSinceCommand_ = false;
    }
    tick(nowMs);
}

void SensitivityRun::begin(qint64 nowMs) {
    dwelling_ = true;
    if (settings_.search == Search::Acquisition) {
        output_ = settings_.fix.command;
        trial_->commandOut(nowMs * 1000000);
        return;
    }
    lost_ = false;
    if (hasFix_)
        holdUntilMs_ = nowMs + qint64(settings_.trackDwellS) * 1000;
    else  // the first level: a fix had there first
        fixWaitUntilMs_ = nowMs + qint64(settings_.fix.fixTimeoutS) * 1000;
}

void SensitivityRun::outcome(bool ok, qint64 nowMs) {
    dwelling_ = false;
    holdUntilMs_.reset();
    slot_.sweep->release(slot_.slot);
    if (settings_.search == Search::Acquisition)
        acquisition_.outcome(ok);
    else
        tracking_.outcome(ok);
    ask(nowMs);
}

void SensitivityRun::finish(Reason reason, QString note) {
    if (verdict_) return;
    verdict_ = reason;
    note_ = std::move(note);
    dwelling_ = false;
    slot_.sweep->leave(slot_.slot);
}

void SensitivityRun::sentence(std::string_view body, qint64) {
    if (trial_ && dwelling_) trial_->sentence(body);
}

void SensitivityRun::gga(const Gga& gga, qint64 nowNs) {
    if (verdict_) return;
    hasFix_ = isRealFix(gga.quality);
    if (trial_) {
        if (dwelling_ && gga.timeMs) timeSinceCommand_ = true;
        trial_->gga(gga, nowNs);
    }
    if (settings_.search == Search::Tracking && holdUntilMs_ && !hasFix_) lost_ = true;
    tick(nowNs / 1000000);
}

void SensitivityRun::second(const Second& second, qint64 nowMs) {
    if (trial_ && dwelling_) trial_->secondEnded(second);
    tick(nowMs);
}

void SensitivityRun::tick(qint64 nowMs) {
    if (verdict_ || !started_) return;
    if (const auto& fault = slot_.sweep->faulted()) return finish(Reason::InstrumentFault, *fault);
    if (!dwelling_) {
        if (slot_.sweep->dwelling(slot_.slot)) begin(nowMs);
        if (!dwelling_) return;
    }
    if (settings_.search == Search::Acquisition) {
        FixTest::Line line = line_();
        line.confirmed = timeSinceCommand_;
        trial_->tick(nowMs, line, soFar_());
        const auto verdict = trial_->verdict();
        if (!verdict) return;
        if (trial_->fix() || *verdict == Reason::NoFix)
            return outcome(trial_->fix().has_value(), nowMs);
        return finish(*verdict, trial_->note());  // the unit, not the level
    }
    if (fixWaitUntilMs_) {
        if (hasFix_) {
            fixWaitUntilMs_.reset();
            holdUntilMs_ = nowMs + qint64(settings_.trackDwellS) * 1000;
        } else if (nowMs >= *fixWaitUntilMs_) {
            return finish(Reason::NoFix,
                          QStringLiteral("no fix at the tracking test's first level"));
        }
        return;
    }
    if (lost_) return outcome(false, nowMs);
    if (holdUntilMs_ && nowMs >= *holdUntilMs_) outcome(true, nowMs);
}

std::optional<qint64> SensitivityRun::nextDeadlineMs(qint64 nowMs) const {
    if (verdict_ || !started_) return std::nullopt;
    if (!dwelling_) return nowMs + kAskEveryMs;
    if (trial_) return trial_->nextDeadlineMs(nowMs, line_());
    return fixWaitUntilMs_ ? fixWaitUntilMs_ : holdUntilMs_;
}

void SensitivityRun::stop(Reason why) {
    if (!verdict_) finish(why);
}

void SensitivityRun::show(Stage& stage, qint64) const {
    if (const auto level = wantedPortDbm())
        stage.sv =
            QStringLiteral("%1 dBm").arg(*level + slot_.sweepLossDb - slot_.lossDb, 0, 'f', 1);
}

void SensitivityRun::record(CycleResult& result) const {
    const bool acquisition = settings_.search == Search::Acquisition;
    // A search the station's fault cut short found no level: its lowest so far
    // is not the unit's, and would count in the measure's figures.
    const bool cut = verdict_ && outcomeOf(*verdict_) == Outcome::StationFault;
    if (!cut)
        result.setMeasured(acquisition ? Measure::Acquisition : Measure::Tracking, foundDbm());
    if (acquisition) result.own[results::Field::ColdStarts] = acquisition_.coldStarts();
    if (verdict_ && !cut)
        result.judged.insert(acquisition ? results::Test::Acquisition : results::Test::Tracking);
}

}  // namespace station
