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
    for (const SkySatellite& s : second.sky.satellites) {
        if (s.system != system_ || s.prn != prn_ || !s.cn0 || *s.cn0 <= 0) continue;
        if (result_.values.empty()) sinceMs_ = nowMs;  // first seen: the time-out counts from here
        result_.values.push_back(*s.cn0);
        if (int(result_.values.size()) >= samples_) over_ = true;
        return true;
    }
    return false;
}

void SignalTest::frontEnd(const FrontEnd& f) {
    if (!running()) return;
    const auto add = [](Sum& to, const std::optional<int>& value) {
        if (!value) return;
        to.sum += *value;
        ++to.count;
    };
    add(agc_, f.agc);
    add(noise_, f.noise);
    add(jamming_, f.jamming);
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
    const auto average = [](const Sum& s) {
        return s.count ? std::optional(s.sum / s.count) : std::nullopt;
    };
    results::FrontEndFigures& f = result_.figures;
    f = {average(agc_), average(noise_), average(jamming_)};
    if (*result_.reason != Reason::Ok || !result_.rfLimits) return;
    const RfLimits& l = *result_.rfLimits;
    const struct {
        const char* name;
        const std::optional<double>& value;
        const std::optional<RfLimit>& limit;
    } figures[] = {
        {"AGC", f.agc, l.agc}, {"noise", f.noise, l.noise}, {"jamming", f.jamming, l.jamming}};
    const auto number = [](double v) { return QString::number(v, 'f', 0); };
    for (const auto& figure : figures) {
        if (!figure.limit) continue;
        if (!figure.value)
            result_.rfNote = QStringLiteral("%1 not reported").arg(QLatin1String(figure.name));
        else if (*figure.value < figure.limit->low || *figure.value > figure.limit->high)
            result_.rfNote = QStringLiteral("%1 %2 outside %3 to %4")
                                 .arg(QLatin1String(figure.name), number(*figure.value),
                                      number(figure.limit->low), number(figure.limit->high));
        else
            continue;
        result_.reason = Reason::RfHealth;
        return;
    }
}

}  // namespace station
