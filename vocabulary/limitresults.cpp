#include "vocabulary/limitresults.h"

#include <QJsonObject>
#include <QLocale>
#include <array>
#include <cmath>

namespace results {

namespace {

// The outcomes' codes, in the order of the enumeration.
constexpr std::array<const char*, 3> kLimitOutcomes = {"pass", "fail", "not-measured"};

QJsonValue orNull(const std::optional<double>& v) {
    return v ? QJsonValue(*v) : QJsonValue();
}

std::optional<double> numberOf(const QJsonValue& v) {
    return v.isDouble() ? std::optional(v.toDouble()) : std::nullopt;
}

// A limit as it was given: "15", "30.5".
QString limitText(double value) {
    return QLocale::c().toString(value, 'g', QLocale::FloatingPointShortest);
}

// The row's words with {sv} the satellite; without one, none:
// "signal C/N0 of {sv} at least %1" becomes "signal C/N0 at least %1".
QString withSv(const char* words, const QString& sv) {
    QString text = QLatin1String(words);
    if (sv.isEmpty()) text.replace(QLatin1String(" of {sv}"), QString());
    return text.replace(QLatin1String("{sv}"), sv).trimmed();
}

}  // namespace

QString codeOf(LimitOutcome outcome) {
    return QString::fromLatin1(kLimitOutcomes[static_cast<std::size_t>(outcome)]);
}

std::optional<LimitOutcome> limitOutcomeFromCode(QStringView code) {
    for (std::size_t i = 0; i < kLimitOutcomes.size(); ++i)
        if (code == QLatin1String(kLimitOutcomes[i])) return static_cast<LimitOutcome>(i);
    return std::nullopt;
}

const MeasureRow* measureOfKey(QStringView key) {
    for (const MeasureRow& m : kMeasures)
        if (key == QLatin1String(keyOf(m))) return &m;
    return nullptr;
}

QJsonArray limitResultsJson(const std::vector<LimitResult>& limits) {
    QJsonArray out;
    for (const LimitResult& l : limits) {
        const auto value = l.value ? std::optional(std::round(*l.value * 100) / 100) : std::nullopt;
        out.append(QJsonObject{{"measure", QLatin1String(keyOf(rowOf(l.measure)))},
                               {"value", orNull(value)},
                               {"low", orNull(l.low)},
                               {"high", orNull(l.high)},
                               {"result", codeOf(l.outcome)}});
    }
    return out;
}

std::vector<LimitResult> limitResultsFromJson(const QJsonValue& json) {
    std::vector<LimitResult> out;
    for (const QJsonValue& v : json.toArray()) {
        const QJsonObject o = v.toObject();
        const MeasureRow* m = measureOfKey(o.value(QLatin1String("measure")).toString());
        const auto outcome = limitOutcomeFromCode(o.value(QLatin1String("result")).toString());
        if (!m || !outcome) continue;
        out.push_back({m->measure, numberOf(o.value(QLatin1String("value"))),
                       numberOf(o.value(QLatin1String("low"))),
                       numberOf(o.value(QLatin1String("high"))), *outcome});
    }
    return out;
}

QString limitResultWords(const LimitResult& l, const QString& sv) {
    const MeasureRow& m = rowOf(l.measure);
    const QString unit = *m.unit ? QStringLiteral(" ") + QLatin1String(m.unit) : QString();
    if (l.outcome == LimitOutcome::NotMeasured) {
        QString held;
        if (l.low && l.high && m.heldBoth)
            held = withSv(m.heldBoth, sv).arg(limitText(*l.low), limitText(*l.high));
        else if (l.low || l.high)
            held = withSv((l.low ? m.least : m.most).held, sv)
                       .arg(limitText(l.low ? *l.low : *l.high));
        return QStringLiteral("%1 not measured (%2)").arg(QLatin1String(m.label), held);
    }
    const QString said =
        withSv(m.said, sv)
            .arg(l.value ? QString::number(*l.value, 'f', m.decimals) : QStringLiteral("-"));
    // The lower limit is judged first, as the verdict judges it.
    const bool below = l.low && (l.value ? *l.value < *l.low : *l.low > 0);
    if (l.outcome == LimitOutcome::Fail) {
        if (l.low && (below || !l.high))
            return said + QStringLiteral(" < ") + limitText(*l.low) + unit;
        if (l.high) return said + QStringLiteral(" > ") + limitText(*l.high) + unit;
        return said;
    }
    if (l.low && l.high)
        return said + QStringLiteral(" in %1 to %2").arg(limitText(*l.low), limitText(*l.high)) +
               unit;
    if (l.low) return said + QStringLiteral(" >= ") + limitText(*l.low) + unit;
    if (l.high) return said + QStringLiteral(" <= ") + limitText(*l.high) + unit;
    return said;
}

}  // namespace results
