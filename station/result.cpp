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
    for (const results::MeasureRow& row : results::kMeasures)
        for (const auto& [bound, value] :
             {std::pair{&row.least, least(row.measure)}, std::pair{&row.most, most(row.measure)}})
            if (bound->key && value) limits.insert(QLatin1String(bound->key), *value);
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
        case F::Study:
            return study.isEmpty() ? QJsonValue() : QJsonValue(study);
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
        // The measures given by their rows alone.
        case F::Agc:
        case F::Noise:
        case F::Jamming:
            return orNull(measured(results::measureOf(field)->measure), 2);
        case F::LevelDbm:
            return orNull(levelDbm, 1);
        case F::Generator:
            return orNull(generator);
        case F::Antenna:
            if (!antennaChanges) return {};
            return antenna.isEmpty() ? QStringLiteral("unknown") : antenna;
        case F::AntennaChanges:
            return antennaChanges ? QJsonValue(*antennaChanges) : QJsonValue();
        case F::Config:
            return orNull(config);
        case F::ConfigSha256:
            return orNull(configSha256);
        case F::LimitResults:
            return results::limitResultsJson(limitResults());
        // The store's own, and the signal's members in their columns.
        case F::Id:
        case F::EvidenceSha256:
        case F::EvidenceRemoved:
        case F::SignalSv:
        case F::SignalSamples:
        case F::SignalCn0Mean:
        case F::SignalCn0Sd:
        case F::SignalCn0RawMean:
        case F::SignalOffset:
        case F::SignalCalibrationId:
        case F::SignalValues:
            return {};
        // The fields of the tests of their own rows (station/testtypes.h): a
        // measure's value to its decimals, else as the test recorded it.
        default:
            break;
    }
    if (const results::MeasureRow* m = results::measureOf(field))
        return orNull(measured(m->measure), m->decimals);
    const auto given = own.find(field);
    return given == own.end() ? QJsonValue() : given->second;
}

std::optional<double> CycleResult::measured(Measure m) const {
    switch (m) {
        case Measure::Ttff:
            return ttffS;
        case Measure::Satellites:
            return satellites ? std::optional<double>(*satellites) : std::nullopt;
        case Measure::SkyCn0:
            return cn0Mean4;
        case Measure::SignalCn0:
            return signal ? signal->mean() : std::nullopt;
        case Measure::Hdop:
            return hdop;
        default:
            if (results::rowOf(m).golden) return signal ? signal->figures[m] : std::nullopt;
            return otherMeasures[static_cast<std::size_t>(m)];
    }
}

std::vector<results::LimitResult> CycleResult::limitResults() const {
    using results::LimitOutcome;
    const auto judgedBy = [this](results::Test test) {
        if (test == results::Test::Fix) return fixJudged;
        if (test == results::Test::Signal)
            return signal && signal->reason && *signal->reason != Reason::SignalNotSeen;
        return judged.count(test) > 0;  // the others say it themselves
    };
    std::vector<results::LimitResult> out;
    for (const results::MeasureRow& m : results::kMeasures) {
        const auto &low = limits.least(m.measure), &high = limits.most(m.measure);
        if (!low && !high) continue;
        const auto value = measured(m.measure);
        const LimitOutcome outcome = !judgedBy(m.test)                ? LimitOutcome::NotMeasured
                                     : limits.judge(m.measure, value) ? LimitOutcome::Fail
                                                                      : LimitOutcome::Pass;
        out.push_back({m.measure, value, low, high, outcome});
    }
    return out;
}

void CycleResult::setMeasured(Measure m, std::optional<double> value) {
    switch (m) {
        case Measure::Ttff:
            ttffS = value;
            break;
        case Measure::Satellites:
            satellites = value ? std::optional<int>(int(*value)) : std::nullopt;
            break;
        case Measure::SkyCn0:
            cn0Mean4 = value;
            break;
        case Measure::SignalCn0:  // the signal test's own result holds these
        case Measure::Agc:
        case Measure::Noise:
        case Measure::Jamming:
            break;
        case Measure::Hdop:
            hdop = value;
            break;
        default:
            otherMeasures[static_cast<std::size_t>(m)] = value;
    }
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
        {"resets_not_proven", resetsUnproven},
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
    if (result.resetUnproven()) ++unproven_;
    if (!result.ttffS) return;
    const double ttff = *result.ttffS;
    ttffMin_ = ttffCount_ == 0 ? ttff : std::min(ttffMin_, ttff);
    ttffMax_ = ttffCount_ == 0 ? ttff : std::max(ttffMax_, ttff);
    ttffSum_ += ttff;
    ++ttffCount_;
    if (bins_.empty() && ttffs_.size() < kExactTtffs) {
        ttffs_.push_back(ttff);
        return;
    }
    if (bins_.empty()) {  // one too many to keep each: into bins with the others
        for (double kept : ttffs_) binTtff(kept);
        std::vector<double>().swap(ttffs_);
    }
    binTtff(ttff);
}

void Tally::binTtff(double ttffS) {
    const auto indexOf = [this](double s) {
        const double index = std::floor(std::max(0.0, s) / binS_);
        return std::int32_t(std::min(index, double(INT32_MAX)));
    };
    auto at =
        std::lower_bound(bins_.begin(), bins_.end(), indexOf(ttffS),
                         [](const auto& bin, std::int32_t index) { return bin.first < index; });
    while ((at == bins_.end() || at->first != indexOf(ttffS)) && bins_.size() >= kMaxTtffBins) {
        // No room for a bin of its own: bins twice as wide, pairs merged.
        binS_ *= 2;
        std::size_t out = 0;
        for (const auto& [index, count] : bins_) {
            if (out > 0 && bins_[out - 1].first == index / 2)
                bins_[out - 1].second += count;
            else
                bins_[out++] = {index / 2, count};
        }
        bins_.resize(out);
        at =
            std::lower_bound(bins_.begin(), bins_.end(), indexOf(ttffS),
                             [](const auto& bin, std::int32_t index) { return bin.first < index; });
    }
    if (at != bins_.end() && at->first == indexOf(ttffS))
        ++at->second;
    else
        bins_.insert(at, {indexOf(ttffS), 1});
}

std::size_t Tally::ttffBytes() const {
    return ttffs_.capacity() * sizeof(double) + bins_.capacity() * sizeof(bins_.front());
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
    summary.resetsUnproven = unproven_;
    if (ttffCount_ == 0) return summary;
    if (bins_.empty()) {
        std::vector<double> sorted = ttffs_;
        std::sort(sorted.begin(), sorted.end());
        summary.ttffMean = results::mean(sorted);
        summary.ttffMedian = results::median(sorted);
        summary.ttffP95 = results::nearestRank(sorted, 95);
        summary.ttffMax = sorted.back();
        return summary;
    }
    results::Distribution middles;  // each bin as its middle
    middles.reserve(bins_.size());
    for (const auto& [index, count] : bins_)
        middles.emplace_back(std::clamp((index + 0.5) * binS_, ttffMin_, ttffMax_),
                             std::int64_t(count));
    summary.ttffMean = ttffSum_ / double(ttffCount_);
    summary.ttffMedian = results::median(middles);
    summary.ttffP95 = results::nearestRank(middles, 95);
    summary.ttffMax = ttffMax_;
    return summary;
}

QString programVersion() {
    return QStringLiteral(COLDSTART_VERSION);
}

}  // namespace station
