#include "vocabulary/reasons.h"

#include <array>

namespace results {

namespace {

// The outcomes' codes, in the order of the enumeration.
constexpr std::array<const char*, 4> kOutcomes = {"pass", "fail", "station-fault", "interrupted"};

}  // namespace

const ReasonRow& rowOf(Reason reason) {
    Q_ASSERT_X(static_cast<std::size_t>(reason) < std::size(kReasons), "rowOf",
               "a reason without its row");
    return kReasons[static_cast<std::size_t>(reason)];
}

QString codeOf(Reason reason) {
    return QString::fromLatin1(rowOf(reason).code);
}

std::optional<Reason> reasonFromCode(QStringView code) {
    for (const ReasonRow& row : kReasons)
        if (code == QLatin1String(row.code)) return row.reason;
    return std::nullopt;
}

QString codeOf(Outcome outcome) {
    return QString::fromLatin1(kOutcomes[static_cast<std::size_t>(outcome)]);
}

std::optional<Outcome> outcomeFromCode(QStringView code) {
    for (std::size_t i = 0; i < kOutcomes.size(); ++i)
        if (code == QLatin1String(kOutcomes[i])) return static_cast<Outcome>(i);
    return std::nullopt;
}

}  // namespace results
