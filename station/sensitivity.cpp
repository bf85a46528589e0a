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

void LevelSweep::request(int slot, double dBm, qint64 nowMs) {
    if (fault_ || !in_.count(slot)) return;
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
    wants_[slot] = {dBm, nowMs};
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
    qint64 first = wants_.begin()->second.atMs;
    for (const auto& [slot, want] : wants_) first = std::min(first, want.atMs);
    if (wants_.size() >= in_.size()) return first;  // every slot has asked
    return first + settings_.gatherMs;
}

std::optional<double> LevelSweep::take(qint64 nowMs) {
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
