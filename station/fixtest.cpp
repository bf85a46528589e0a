#include "station/fixtest.h"

#include <algorithm>

namespace station {

namespace {

constexpr qint64 kResetSilenceMs = 2000;  // a silence this long after the command is a reset
constexpr int kRestartedClockMs = 10000;  // a GGA time under 00:00:10: the clock restarted
constexpr qint64 kSkyWaitMs = 1500;       // the fix's second is over by then at any rate

QString unrealWords(int quality) {
    return QStringLiteral("GGA fix quality %1, not a fix from satellites").arg(quality);
}

}  // namespace

void FixTest::commandOut(qint64 atNs) {
    if (commandAtMs_ || verdict_) return;
    commandAtNs_ = atNs;
    commandAtMs_ = atNs / 1000000;
}

void FixTest::received(qint64 nowMs) {
    lastReceiveMs_ = nowMs;
}

void FixTest::gga(const Gga& gga, qint64 nowNs) {
    if (verdict_ || fix_) return;
    const bool resetSeenBefore = resetVerified_;
    if (commandAtMs_ && !resetVerified_) {
        const bool lostFix = gga.quality == 0 || !gga.timeMs;
        if ((lostFix && hadFix_) || (gga.timeMs && *gga.timeMs < kRestartedClockMs))
            resetVerified_ = true;
    }
    if (gga.quality == 0) return;
    const bool counts =
        resetSeenBefore || (commandAtMs_ && !resetVerified_ && !settings_.requireReset);
    if (counts && isRealFix(gga.quality)) {
        ttffS_ = double(nowNs - commandAtNs_) / 1e9;
        fix_ = gga;
        fixAtMs_ = nowNs / 1000000;
    } else if (commandAtMs_ && !isRealFix(gga.quality)) {
        // Estimated (6) may still turn into a real fix; manual input (7)
        // and simulation (8) never do: a unit left in demo mode.
        if (counts) unrealFix_ = gga.quality;  // it would have been the fix
        if (gga.quality >= 7) return end(Reason::NotARealFix, unrealWords(gga.quality));
    }
    hadFix_ = true;
}

void FixTest::secondEnded(const Second& second) {
    if (fixPending()) decide(second);
}

void FixTest::tick(qint64 nowMs, const Line& line, const Second& secondSoFar) {
    if (verdict_) return;
    if (fix_) {
        if (nowMs >= *skyWholeAt()) decide(secondSoFar);
        return;
    }
    if (!commandAtMs_) return;
    if (const auto silence = silenceAt(); silence && nowMs >= *silence) resetVerified_ = true;
    if (nowMs >= *confirmationAt()) {
        if (line.deviceAway) return end(Reason::ReceiverOff);
        if (!line.confirmed) return end(Reason::NoConfirmation);  // no GGA time since
        if (!resetVerified_ && settings_.requireReset) return end(Reason::ResetNotTaken);
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
    return fixAtMs_ + kSkyWaitMs;
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
    end(judge(settings_.limits, figuresOf(*ttffS_, *fix_, second)));
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
