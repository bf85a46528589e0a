#include "results/measures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cmath>

namespace results {

std::optional<LimitInForce> limitInForce(const LimitCounts& counts, const char* key, bool upper) {
    std::optional<LimitInForce> best;
    const auto values = counts.byKey.value(QLatin1String(key));
    for (auto it = values.begin(); it != values.end(); ++it) {
        const bool better = !best || it.value() > best->results ||
                            (it.value() == best->results &&
                             (upper ? it.key() < best->value : it.key() > best->value));
        if (better) best = LimitInForce{it.key(), it.value(), counts.results};
    }
    return best;
}

MeasureStats measureStats(const MeasureRow& kind, const Values& values,
                          std::optional<LimitInForce> low, std::optional<LimitInForce> high) {
    MeasureStats s;
    s.kind = &kind;
    s.low = low;
    s.high = high;
    const Distribution& d = values.all;
    s.count = countOf(d);
    if (s.count) {
        s.mean = mean(d);
        s.sd = sampleSd(d);
        s.min = d.front().first;
        s.max = d.back().first;
        s.median = median(d);
        s.p95 = nearestRank(d, 95);
        s.cpk = cpkAgainst(s.mean, s.sd, low ? std::optional(low->value) : std::nullopt,
                           high ? std::optional(high->value) : std::nullopt);
    }
    // The span of a one-sided limit is its distance from zero, unless the
    // measure's row gives its band.
    const double span = low && high ? high->value - low->value
                        : low       ? std::abs(low->value)
                        : high      ? std::abs(high->value)
                                    : 0;
    const double band = kind.marginal > 0 ? kind.marginal : span / 10;
    for (const auto& [v, n] : values.passed)
        if ((low && v >= low->value && v <= low->value + band) ||
            (high && v <= high->value && v >= high->value - band))
            s.marginal += n;
    s.passed = countOf(values.passed);
    s.passedMean = mean(values.passed);
    s.passedSd = sampleSd(values.passed);
    return s;
}

QList<SlotStats> slotStats(const QList<SlotSum>& sums) {
    QMap<QString, QList<SlotSum>> byStation;
    for (const SlotSum& s : sums) byStation[s.station] << s;
    QList<SlotStats> out;
    for (const QList<SlotSum>& station : byStation) {
        const bool signal = std::any_of(station.begin(), station.end(), [](const SlotSum& s) {
            return s.column == QLatin1String("signal_cn0_mean");
        });
        const QLatin1String column(signal ? "signal_cn0_mean" : "cn0_mean4");
        qint64 n = 0;
        double sum = 0;
        for (const SlotSum& s : station)
            if (s.column == column) n += s.count, sum += s.sum;
        for (const SlotSum& s : station) {
            if (s.column != column) continue;
            SlotStats slot{s.station, s.port, s.column, s.count, s.sum / double(s.count), 0, false};
            slot.delta = slot.mean - sum / double(n);
            slot.flagged = slot.delta < -kSlotFlagDb;
            out << slot;
        }
    }
    return out;
}

Quality qualityOf(const QMap<QString, Values>& values, const QList<SlotSum>& sums,
                  const LimitCounts& limits) {
    Quality q;
    for (const MeasureRow& kind : kMeasures) {
        auto limit = [&](const char* key, bool upper) {
            return key ? limitInForce(limits, key, upper) : std::nullopt;
        };
        q.measures.push_back(measureStats(kind, values.value(QLatin1String(keyOf(kind))),
                                          limit(kind.least.key, false),
                                          limit(kind.most.key, true)));
    }
    q.perSlot = slotStats(sums);
    return q;
}

QJsonObject qualityJson(const Quality& q) {
    QJsonObject measures, marginal;
    for (const MeasureStats& m : q.measures) {
        auto figure = [&](double v, bool defined) {
            return defined ? QJsonValue(v) : QJsonValue();
        };
        QJsonObject limits;
        if (m.low) limits.insert(QLatin1String(m.kind->least.key), m.low->value);
        if (m.high) limits.insert(QLatin1String(m.kind->most.key), m.high->value);
        measures.insert(QLatin1String(keyOf(*m.kind)),
                        QJsonObject{{"count", m.count},
                                    {"mean", figure(m.mean, m.count)},
                                    {"sd", figure(m.sd, m.count > 1)},
                                    {"min", figure(m.min, m.count)},
                                    {"max", figure(m.max, m.count)},
                                    {"median", figure(m.median, m.count)},
                                    {"p95", figure(m.p95, m.count)},
                                    {"cpk", figure(m.cpk.value_or(0), bool(m.cpk))},
                                    {"limits", limits}});
        if (m.low || m.high) marginal.insert(QLatin1String(keyOf(*m.kind)), m.marginal);
    }
    QJsonArray perSlot;
    for (const SlotStats& s : q.perSlot)
        perSlot.append(QJsonObject{{"station", s.station},
                                   {"port", s.port},
                                   {"measure", s.column},
                                   {"count", s.count},
                                   {"cn0_mean", s.mean},
                                   {"delta", s.delta},
                                   {"flagged", s.flagged}});
    return QJsonObject{{"measures", measures}, {"slots", perSlot}, {"marginal", marginal}};
}

namespace {

QString fixed(double v) {
    return QString::number(v, 'f', 2);
}

QString nameOf(const MeasureRow& kind) {
    return *kind.unit
               ? QStringLiteral("%1 (%2)").arg(QLatin1String(kind.label), QLatin1String(kind.unit))
               : QLatin1String(kind.label);
}

// The measures' column, as wide as the longest name.
int nameWidth() {
    int width = 20;
    for (const MeasureRow& kind : kMeasures) width = std::max(width, int(nameOf(kind).size()));
    return width;
}

QString limitsText(const MeasureStats& m) {
    auto value = [](double v) { return QString::number(v, 'g', QLocale::FloatingPointShortest); };
    if (m.low && m.high) return value(m.low->value) + QStringLiteral(" to ") + value(m.high->value);
    if (m.low) return QStringLiteral(">= ") + value(m.low->value);
    if (m.high) return QStringLiteral("<= ") + value(m.high->value);
    return QStringLiteral("-");
}

}  // namespace

void printQuality(const Quality& q, QTextStream& out) {
    out << "\nMeasures (every result with a value, pass or fail; limits in force)\n"
        << QStringLiteral("  %1 %2 %3 %4 %5 %6 %7 %8  %9 %10\n")
               .arg(QStringLiteral("Measure"), -nameWidth())
               .arg(QStringLiteral("n"), 6)
               .arg(QStringLiteral("mean"), 8)
               .arg(QStringLiteral("sd"), 7)
               .arg(QStringLiteral("min"), 8)
               .arg(QStringLiteral("max"), 8)
               .arg(QStringLiteral("median"), 8)
               .arg(QStringLiteral("p95"), 8)
               .arg(QStringLiteral("limits"), -12)
               .arg(QStringLiteral("Cpk"), 6);
    // A test that did not run (the signal test: its C/N0 and RF figures) has no
    // row; a fix test's measure without a value has one, with its n of 0.
    const auto ran = [](const MeasureStats& m) { return m.count > 0 || m.kind->test == Test::Fix; };
    for (const MeasureStats& m : q.measures) {
        if (!ran(m)) continue;
        out << QStringLiteral("  %1 %2").arg(nameOf(*m.kind), -nameWidth()).arg(m.count, 6);
        if (m.count)
            out << QStringLiteral(" %1 %2 %3 %4 %5 %6  %7 %8")
                       .arg(fixed(m.mean), 8)
                       .arg(m.count > 1 ? fixed(m.sd) : QStringLiteral("-"), 7)
                       .arg(fixed(m.min), 8)
                       .arg(fixed(m.max), 8)
                       .arg(fixed(m.median), 8)
                       .arg(fixed(m.p95), 8)
                       .arg(limitsText(m), -12)
                       .arg(m.cpk ? fixed(*m.cpk) : QStringLiteral("-"), 6);
        out << '\n';
    }
    for (const MeasureStats& m : q.measures)
        for (const auto& [limit, key] :
             {std::pair{m.low, m.kind->least.key}, {m.high, m.kind->most.key}})
            if (limit && limit->results != limit->of)
                out << QStringLiteral(
                           "  %1 %2: the most frequent of the selected results' "
                           "limits (%3 of %4)\n")
                           .arg(QLatin1String(key))
                           .arg(limit->value)
                           .arg(limit->results)
                           .arg(limit->of);

    out << QStringLiteral(
               "\nMarginal passes (within 10 % of the limits' span inside a limit, %1 dB of a "
               "sensitivity level's)\n")
               .arg(rowOf(Measure::Acquisition).marginal);
    for (const MeasureStats& m : q.measures)
        if ((m.low || m.high) && ran(m))
            out << QStringLiteral("  %1 %2 of %3 passes\n")
                       .arg(nameOf(*m.kind), -nameWidth())
                       .arg(m.marginal, 6)
                       .arg(m.passed);

    if (q.perSlot.isEmpty()) return;
    out << QStringLiteral(
               "\nSlots (mean C/N0 in dB-Hz, and its difference from the station's; "
               "more than %1 dB below stands out)\n")
               .arg(kSlotFlagDb)
        << QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
               .arg(QStringLiteral("Station"), -12)
               .arg(QStringLiteral("Port"), -24)
               .arg(QStringLiteral("C/N0"), -6)
               .arg(QStringLiteral("n"), 6)
               .arg(QStringLiteral("mean"), 7)
               .arg(QStringLiteral("delta"), 7);
    for (const SlotStats& s : q.perSlot)
        out << QStringLiteral("  %1 %2 %3 %4 %5 %6%7\n")
                   .arg(s.station.isEmpty() ? QStringLiteral("(none)") : s.station, -12)
                   .arg(s.port, -24)
                   .arg(s.column == QLatin1String("cn0_mean4") ? QStringLiteral("sky")
                                                               : QStringLiteral("signal"),
                        -6)
                   .arg(s.count, 6)
                   .arg(fixed(s.mean), 7)
                   .arg((s.delta >= 0 ? QStringLiteral("+") : QString()) + fixed(s.delta), 7)
                   .arg(s.flagged ? QStringLiteral("  LOW") : QString());
}

std::vector<SuggestedLimit> suggestLimits(const Quality& q) {
    std::vector<SuggestedLimit> out;
    for (const MeasureStats& m : q.measures) {
        if (m.passed < 2) continue;
        for (const auto& [key, upper] :
             {std::pair{m.kind->least.key, false}, {m.kind->most.key, true}}) {
            if (!key) continue;
            double value = m.passedMean + (upper ? 3 : -3) * m.passedSd;
            // A whole measure's limit passes the same values as mean ± 3σ itself.
            if (m.kind->whole) value = upper ? std::floor(value + 1e-9) : std::ceil(value - 1e-9);
            out.push_back({&m, key, upper, value});
        }
    }
    return out;
}

}  // namespace results
