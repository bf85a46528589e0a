#include "station/result.h"

#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "results/statistics.h"

namespace station {

namespace {

QJsonValue orNull(const std::optional<double>& value, int decimals) {
    if (!value) return QJsonValue::Null;
    const double scale = std::pow(10.0, decimals);
    return std::round(*value * scale) / scale;
}

QJsonValue orNull(const std::optional<int>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue orNull(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString isoUtc(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

}  // namespace

QJsonObject Limits::toJson() const {
    QJsonObject limits;
    if (maxTtffS) limits.insert("max_ttff_s", *maxTtffS);
    if (minSats) limits.insert("min_sats", *minSats);
    if (minCn0) limits.insert("min_cn0", *minCn0);
    if (cn0Low) limits.insert("cn0_low", *cn0Low);
    if (cn0High) limits.insert("cn0_high", *cn0High);
    return limits;
}

std::optional<double> SignalResult::rawMean() const {
    if (values.empty()) return std::nullopt;
    return results::mean(std::vector<double>(values.begin(), values.end()));
}

std::optional<double> SignalResult::mean() const {
    const auto raw = rawMean();
    if (!raw) return std::nullopt;
    return *raw + offset.value_or(0);
}

std::optional<double> SignalResult::sd() const {
    if (values.size() < 2) return std::nullopt;
    return results::sampleSd(std::vector<double>(values.begin(), values.end()));
}

QJsonObject SignalResult::toJson() const {
    QJsonArray readings;
    for (int v : values) readings.append(v);
    const auto exact = [](const std::optional<double>& v) {
        return v ? QJsonValue(*v) : QJsonValue();
    };
    return QJsonObject{
        {"sv", sv},
        {"samples", int(values.size())},
        {"cn0_mean", exact(mean())},
        {"cn0_sd", exact(sd())},
        {"cn0_raw_mean", exact(rawMean())},
        {"offset", exact(offset)},
        {"calibration_id", calibrationId ? QJsonValue(*calibrationId) : QJsonValue()},
        {"values", readings},
        // null when it was not measured
        {"result", reason ? QJsonValue(codeOf(outcomeOf(*reason))) : QJsonValue()},
        {"reason", reason ? QJsonValue(codeOf(*reason)) : QJsonValue()},
    };
}

QJsonObject CycleResult::toJson() const {
    return QJsonObject{
        {"port", port},
        {"device", device},
        {"baud", baud > 0 ? QJsonValue(baud) : QJsonValue()},  // 0: not found
        {"unit", unit},
        {"station", station},
        {"operator", operatorName},
        {"lot", lot},
        {"receiver", receiver},
        {"start", start},
        {"cycle", cycle},
        {"started", isoUtc(started)},
        {"ended", isoUtc(ended)},
        {"result", codeOf(outcome())},
        {"reason", codeOf(reason)},
        {"status", status},
        {"cold_start_sent", coldStartSent},
        {"confirmed", confirmed},
        {"reset_verified", resetVerified},
        {"ttff_s", orNull(ttffS, 2)},
        {"satellites", orNull(satellites)},
        {"satellites_gga", orNull(satellitesGga)},
        {"hdop", orNull(hdop, 2)},
        {"cn0_max", orNull(cn0Max)},
        {"cn0_mean4", orNull(cn0Mean4, 2)},
        {"sv_with_snr", orNull(svWithSnr)},
        {"sky", ttffS ? QJsonValue(sky) : QJsonValue()},
        {"firmware", orNull(firmware)},
        {"hardware", orNull(hardware)},
        {"unique_id", orNull(uniqueId)},
        {"limits", limits.toJson()},
        {"plan", plan.isEmpty() ? QJsonValue() : QJsonValue(plan)},
        {"plan_sha256", planSha256},
        {"retest", retest},
        {"version", programVersion()},
        {"tests", QJsonArray::fromStringList(tests)},
        {"signal", signal ? QJsonValue(signal->toJson()) : QJsonValue()},
    };
}

QJsonObject Summary::toJson() const {
    return QJsonObject{
        {"port", port},
        {"unit", unit},
        {"cycles", cycles},
        {"passed", passed},
        {"ttff_mean_s", orNull(ttffMean, 2)},
        {"ttff_median_s", orNull(ttffMedian, 2)},
        {"ttff_p95_s", orNull(ttffP95, 2)},
        {"ttff_max_s", orNull(ttffMax, 2)},
    };
}

void Tally::add(const CycleResult& result) {
    last_ = result;
    ++cycles_;
    if (result.outcome() == Outcome::Pass) ++passed_;
    if (result.outcome() == Outcome::Fail) ++failed_;
    if (result.outcome() == Outcome::StationFault) ++faults_;
    if (result.ttffS) ttffs_.push_back(*result.ttffS);
}

int Tally::count(Outcome outcome) const {
    switch (outcome) {
        case Outcome::Pass:
            return passed_;
        case Outcome::Fail:
            return failed_;
        case Outcome::StationFault:
            return faults_;
        case Outcome::Interrupted:
            break;
    }
    return 0;
}

Summary Tally::summary() const {
    Summary summary;
    if (last_) {
        summary.port = last_->port;
        summary.unit = last_->unit;
    }
    summary.cycles = cycles_;
    summary.passed = passed_;
    if (ttffs_.empty()) return summary;
    std::vector<double> sorted = ttffs_;
    std::sort(sorted.begin(), sorted.end());
    summary.ttffMean = results::mean(sorted);
    summary.ttffMedian = results::median(sorted);
    summary.ttffP95 = results::nearestRank(sorted, 95);
    summary.ttffMax = sorted.back();
    return summary;
}

QString programVersion() {
    return QStringLiteral(COLDSTART_VERSION);
}

}  // namespace station
