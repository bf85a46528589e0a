#include "results/reasons.h"

#include <array>

namespace results {

namespace {

// The outcomes' codes, in the order of the enumeration.
constexpr std::array<const char*, 4> kOutcomes = {"pass", "fail", "station-fault", "interrupted"};

// The table is in the order of the enumeration, so a reason is its own index.
constexpr bool inOrder() {
    for (std::size_t i = 0; i < std::size(kReasons); ++i)
        if (static_cast<std::size_t>(kReasons[i].reason) != i) return false;
    return true;
}
constexpr bool same(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
// Each code names one reason: a code copied to a new row would store the
// new reason as the old.
constexpr bool codesDiffer() {
    for (std::size_t i = 0; i < std::size(kReasons); ++i)
        for (std::size_t j = i + 1; j < std::size(kReasons); ++j)
            if (same(kReasons[i].code, kReasons[j].code)) return false;
    return true;
}
static_assert(inOrder(), "kReasons lists the reasons in the order of their enumeration");
static_assert(codesDiffer(), "every reason has a code of its own");
static_assert(std::size(kReasons) == static_cast<std::size_t>(Reason::StationNotQualified) + 1,
              "every reason has its row");

}  // namespace

const ReasonRow& rowOf(Reason reason) {
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
