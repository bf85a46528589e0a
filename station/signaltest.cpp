#include "station/signaltest.h"

namespace station {

SignalTest::SignalTest(const Settings& s) : samples_(s.samples), timeoutS_(s.timeoutS) {
    result_.rfLimits = s.rf;
    result_.sv = s.sv;
    result_.offset = s.offset;
    result_.calibrationId = s.calibrationId;
    const auto colon = s.sv.indexOf(QLatin1Char(':'));
    system_ = s.sv.left(colon).toStdString();
    prn_ = s.sv.mid(colon + 1).toInt();
}

void SignalTest::start(qint64 nowMs) {
    if (started_) return;
    started_ = true;
    sinceMs_ = nowMs;
}

bool SignalTest::secondEnded(const Second& second, qint64 nowMs) {
    if (!running()) return false;
    bool listed = false;
    for (const SkySatellite& s : second.sky.satellites) {
        if (s.system != system_ || s.prn != prn_) continue;
        listed = true;
        if (!s.cn0 || *s.cn0 <= 0) continue;
        if (result_.values.empty()) sinceMs_ = nowMs;  // first seen: the time-out counts from here
        result_.values.push_back(*s.cn0);
        if (int(result_.values.size()) >= samples_) over_ = true;
        return true;
    }
    const bool fixed = second.gga && isRealFix(second.gga->quality);
    absent_ = fixed && !listed && !second.sky.satellites.empty() && result_.values.empty()
                  ? absent_ + 1
                  : 0;
    if (absent_ >= kNotInViewS) over_ = result_.notInView = true;
    return false;
}

void SignalTest::frontEnd(const FrontEnd& f) {
    if (!running()) return;
    for (std::size_t m = 0; m < results::kMeasureCount; ++m) {
        if (!f.figures.values[m]) continue;
        figures_[m].sum += *f.figures.values[m];
        ++figures_[m].count;
    }
}

void SignalTest::tick(qint64 nowMs) {
    if (running() && nowMs >= *nextDeadlineMs()) over_ = true;
}

std::optional<qint64> SignalTest::nextDeadlineMs() const {
    if (!running()) return std::nullopt;
    return sinceMs_ + qint64(timeoutS_) * 1000;
}

void SignalTest::judge(const Limits& limits) {
    over_ = true;
    const auto mean = result_.mean();
    if (int(result_.values.size()) < samples_ || !mean)
        result_.reason = Reason::SignalNotSeen;
    else
        result_.reason = limits.judge(Measure::SignalCn0, mean).value_or(Reason::Ok);
    for (std::size_t m = 0; m < results::kMeasureCount; ++m)
        if (figures_[m].count) result_.figures.values[m] = figures_[m].sum / figures_[m].count;
    if (*result_.reason != Reason::Ok || !result_.rfLimits) return;
    // The first golden measure outside its slot's limit, in its row's words:
    // "AGC 1200 outside 2650 to 2950", "noise not reported".
    for (const results::MeasureRow& row : results::kMeasures) {
        const std::optional<RfLimit>& limit = (*result_.rfLimits)[row.measure];
        if (!row.golden || !limit) continue;
        const auto said = [&](const QString& what) {
            return QString::fromUtf8(row.said).arg(what);
        };
        const auto number = [&](double v) { return QString::number(v, 'f', row.decimals); };
        const std::optional<double>& value = result_.figures[row.measure];
        if (!value)
            result_.rfNote = said(QStringLiteral("not reported"));
        else if (*value < limit->low || *value > limit->high)
            result_.rfNote =
                QStringLiteral("%1 outside %2 to %3")
                    .arg(said(number(*value)), number(limit->low), number(limit->high));
        else
            continue;
        result_.reason = Reason::RfHealth;
        return;
    }
}

}  // namespace station
