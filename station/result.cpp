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

QJsonValue CycleResult::value(results::Field field) const {
    using F = results::Field;
    switch (field) {
        case F::Port:
            return port;
        case F::Device:
            return device;
        case F::Baud:
            return baud > 0 ? QJsonValue(baud) : QJsonValue();  // 0: not found
        case F::Unit:
            return unit;
        case F::Station:
            return station;
        case F::Operator:
            return operatorName;
        case F::Lot:
            return lot;
        case F::Receiver:
            return receiver;
        case F::Start:
            return start;
        case F::Cycle:
            return cycle;
        case F::Started:
            return isoUtc(started);
        case F::Ended:
            return isoUtc(ended);
        case F::Result:
            return codeOf(outcome());
        case F::Reason:
            return codeOf(reason);
        case F::Status:
            return status;
        case F::ColdStartSent:
            return coldStartSent;
        case F::Confirmed:
            return confirmed;
        case F::ResetVerified:
            return resetVerified;
        case F::TtffS:
            return orNull(ttffS, 2);
        case F::Satellites:
            return orNull(satellites);
        case F::SatellitesGga:
            return orNull(satellitesGga);
        case F::Hdop:
            return orNull(hdop, 2);
        case F::Cn0Max:
            return orNull(cn0Max);
        case F::Cn0Mean4:
            return orNull(cn0Mean4, 2);
        case F::SvWithSnr:
            return orNull(svWithSnr);
        case F::Sky:
            return ttffS ? QJsonValue(sky) : QJsonValue();
        case F::Firmware:
            return orNull(firmware);
        case F::Hardware:
            return orNull(hardware);
        case F::UniqueId:
            return orNull(uniqueId);
        case F::Limits:
            return limits.toJson();
        case F::Plan:
            return plan.isEmpty() ? QJsonValue() : QJsonValue(plan);
        case F::PlanSha256:
            return planSha256;
        case F::Retest:
            return retest;
        case F::Version:
            return programVersion();
        case F::Tests:
            return QJsonArray::fromStringList(tests);
        case F::Signal:
            return signal ? QJsonValue(signal->toJson()) : QJsonValue();
        // The store's own, and the signal's members in their columns.
        case F::Id:
        case F::SignalSv:
        case F::SignalSamples:
        case F::SignalCn0Mean:
        case F::SignalCn0Sd:
        case F::SignalCn0RawMean:
        case F::SignalOffset:
        case F::SignalCalibrationId:
        case F::SignalValues:
            break;
    }
    return {};
}

QJsonObject CycleResult::toJson() const {
    QJsonObject json;
    for (const results::FieldRow& row : results::kFields)
        if (row.json) json.insert(QLatin1String(row.name), value(row.field));
    return json;
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
