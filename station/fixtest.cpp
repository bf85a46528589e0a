#include "station/fixtest.h"

#include <algorithm>

#include "station/restartsign.h"

namespace station {

namespace {

constexpr qint64 kResetSilenceMs = 2000;  // a silence this long after the command is a reset
constexpr qint64 kSkyWaitMs = 1500;       // the fix's second is over by then at any rate
constexpr qint64 kBurstOverMs = 250;      // quiet this long after the fix: its second's burst is in
constexpr int kClockBackMs = 2000;  // a GGA time this far before the last: the clock restarted
constexpr int kHourMs = 3600000;

QString unrealWords(int quality) {
    return QStringLiteral("GGA fix quality %1, not a fix from satellites").arg(quality);
}

// A time back from the last before the command, but not across midnight.
// A clock counting from 00:00:00 at power-up proves nothing by its reading
// alone: a unit that ignores the command goes on counting from where it was,
// so only a time behind that one shows a clock that started over.
bool clockWentBack(int lastMs, int nowMs) {
    if (lastMs >= 23 * kHourMs && nowMs < kHourMs) return false;
    return nowMs < lastMs - kClockBackMs;
}

}  // namespace

void FixTest::commandOut(qint64 atNs) {
    if (commandAtMs_ || verdict_) return;
    commandAtNs_ = atNs;
    commandAtMs_ = atNs / 1000000;
    hadFixAtCommand_ = hadFix_;
    banner_ = false;
}

void FixTest::poweredOn(qint64 atNs) {
    commandOut(atNs);
    proven(Sign::PoweredOn);
}

void FixTest::sentence(std::string_view body) {
    if (!commandAtMs_ || resetVerified_ || verdict_) return;
    switch (restartSign(settings_.family, body, settings_.command)) {
        case RestartSign::StartedUp:
            return proven(Sign::StartedUp);
        case RestartSign::Acknowledged:
            return proven(Sign::Acknowledged);
        case RestartSign::Banner:
            banner_ = true;
            return;
        case RestartSign::None:
            return;
    }
}

void FixTest::proven(Sign sign) {
    if (resetVerified_) return;
    resetVerified_ = true;
    sign_ = sign;
}

bool FixTest::proofRequired() const {
    return settings_.requireProof || (settings_.requireReset && hadFixAtCommand_);
}

void FixTest::received(qint64 nowMs) {
    lastReceiveMs_ = nowMs;
}

void FixTest::gga(const Gga& gga, qint64 nowNs) {
    if (verdict_ || fix_) return;
    const bool resetSeenBefore = resetVerified_;
    if (!commandAtMs_) {
        lastTimeMs_ = gga.timeMs;
    } else if (!resetVerified_) {
        const bool lostFix = gga.quality == 0 || !gga.timeMs;
        if (lostFix && hadFix_)
            proven(Sign::FixLost);
        else if (!gga.timeMs && lastTimeMs_)
            proven(Sign::TimeLost);
        else if (gga.timeMs && lastTimeMs_ && !isRealFix(gga.quality) &&
                 clockWentBack(*lastTimeMs_, *gga.timeMs))
            // The unit's own clock, not a fix's time: a fix may put right a
            // clock that ran ahead, which is no restart.
            proven(Sign::ClockRestarted);
        else if (banner_ && gga.quality == 0)
            proven(Sign::Banner);
    }
    banner_ = false;
    if (gga.quality == 0) return;
    const bool counts = resetSeenBefore || (commandAtMs_ && !resetVerified_ && !proofRequired());
    if (counts && isRealFix(gga.quality)) {
        ttffS_ = double(nowNs - commandAtNs_) / 1e9;
        fix_ = gga;
        fixAtMs_ = nowNs / 1000000;
        if (!resetSeenBefore)
            note_ = hadFixAtCommand_ ? QStringLiteral("reset not proven: the unit kept its fix")
                                     : QStringLiteral(
                                           "reset not proven: the unit had no fix to lose and "
                                           "showed no sign of a restart");
    } else if (commandAtMs_ && !isRealFix(gga.quality)) {
        // Estimated (6) may still turn into a real fix; manual input (7)
        // and simulation (8) never do: a unit left in demo mode.
        if (counts) unrealFix_ = gga.quality;  // it would have been the fix
        if (gga.quality >= 7) return end(Reason::NotARealFix, unrealWords(gga.quality));
    }
    hadFix_ = true;
}

void FixTest::secondEnded(const Second& second) {
    if (fixPending()) return decide(second);
    if (commandAtMs_) ++secondsSinceCommand_;
    if (second.sky.satellites.empty()) return;  // no GSV in it (some send it every few seconds)
    if (!commandAtMs_) {
        tracking_ = second.sky.withSnr > 0;
    } else if (secondsSinceCommand_ > 1 && tracking_ && second.sky.withSnr == 0 &&
               !resetVerified_ && !verdict_) {
        // The first second to end may have begun before the command.
        proven(Sign::SkyLost);
    }
}

void FixTest::tick(qint64 nowMs, const Line& line, const Second& secondSoFar) {
    if (verdict_) return;
    if (fix_) {
        if (nowMs >= *skyWholeAt()) decide(secondSoFar);
        return;
    }
    if (!commandAtMs_) return;
    if (const auto silence = silenceAt(); silence && nowMs >= *silence) proven(Sign::Silence);
    if (nowMs >= *confirmationAt()) {
        if (line.deviceAway) return end(Reason::ReceiverOff);
        if (!line.confirmed) return end(Reason::NoConfirmation);  // no GGA time since
        if (!resetVerified_ && proofRequired()) return end(Reason::ResetNotTaken);
    }
    if (nowMs >= *fixTimeoutAt()) {
        if (unrealFix_) return end(Reason::NotARealFix, unrealWords(unrealFix_));
        end(Reason::NoFix);
    }
}

std::optional<qint64> FixTest::nextDeadlineMs(qint64 nowMs, const Line& line) const {
    if (verdict_ || !commandAtMs_) return std::nullopt;
    if (fix_) return skyWholeAt();
    std::optional<qint64> next = fixTimeoutAt();
    const auto earlier = [&](std::optional<qint64> at) {
        if (at) next = std::min(*next, *at);
    };
    earlier(silenceAt());
    // Once past, the confirmation limit asks for nothing more, unless the
    // device is away: then it is due at once.
    if (*confirmationAt() > nowMs || line.deviceAway) earlier(confirmationAt());
    return next;
}

std::optional<qint64> FixTest::skyWholeAt() const {
    if (!fix_) return std::nullopt;
    return std::min(fixAtMs_ + kSkyWaitMs, std::max(lastReceiveMs_, fixAtMs_) + kBurstOverMs);
}

std::optional<qint64> FixTest::silenceAt() const {
    if (!commandAtMs_ || resetVerified_) return std::nullopt;
    return std::max(lastReceiveMs_, *commandAtMs_) + kResetSilenceMs;
}

std::optional<qint64> FixTest::confirmationAt() const {
    if (!commandAtMs_) return std::nullopt;
    return *commandAtMs_ + qint64(settings_.confirmTimeoutS) * 1000;
}

std::optional<qint64> FixTest::fixTimeoutAt() const {
    if (!commandAtMs_) return std::nullopt;
    return *commandAtMs_ + qint64(settings_.fixTimeoutS) * 1000;
}

void FixTest::end(Reason reason, QString note) {
    verdict_ = reason;
    note_ = std::move(note);
}

void FixTest::decide(const Second& second) {
    atFix_ = second;
    end(judge(settings_.limits, figuresOf(*ttffS_, *fix_, second)), note_);
}

Figures FixTest::figuresOf(double ttffS, const Gga& fix, const Second& second) {
    Figures f;
    auto set = [&](Measure m, std::optional<double> v) { f[std::size_t(m)] = v; };
    set(Measure::Ttff, ttffS);
    // The union of the second's GSA sentences, else GGA's own count.
    const auto satellites = second.gsaSatellites ? second.gsaSatellites : fix.satellites;
    set(Measure::Satellites, satellites ? std::optional<double>(*satellites) : std::nullopt);
    set(Measure::SkyCn0, second.sky.meanTop4);
    set(Measure::Hdop, fix.hdop);
    return f;
}

Reason FixTest::judge(const Limits& limits, const Figures& figures) {
    for (const results::MeasureRow& m : results::kMeasures)
        if (m.test == results::Test::Fix)
            if (const auto reason = limits.judge(m.measure, figures[std::size_t(m.measure)]))
                return *reason;
    return Reason::Ok;
}

}  // namespace station
