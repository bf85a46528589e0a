// Each limit a unit was held to, judged and kept on its own, as a test
// executive keeps each measurement's outcome: a unit over its TTFF and its
// HDOP limits has both in its result.  The cycle's reason stays the first
// failing limit in the measures' table order (vocabulary/fields.h); these say
// what the others came to.
//
// One per measure that had a limit in the plan, in the table's order, with
// its value (none where it has none), its limits (both, for a window) and
// its result: pass, fail, or not measured (the test that gives the value
// did not come to its verdict: no fix, a signal test that did not run or
// did not see its satellite).  A measure without a value in a test that came
// to its verdict is judged as the verdict judges it: beyond any upper limit
// and below any lower limit above 0.
//
// In a result's JSON they are "limit_results"; a database keeps them in the
// table limit_results (docs/RESULTS.md).  Results kept before that table
// have none.
#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

#include "vocabulary/fields.h"

namespace results {

enum class LimitOutcome { Pass, Fail, NotMeasured };

struct LimitResult {
    Measure measure;
    std::optional<double> value;
    std::optional<double> low, high;  // the plan's lower and upper limit; none: not set
    LimitOutcome outcome;

    bool operator==(const LimitResult& o) const {
        return measure == o.measure && value == o.value && low == o.low && high == o.high &&
               outcome == o.outcome;
    }
};

// "pass", "fail", "not-measured".
QString codeOf(LimitOutcome outcome);
std::optional<LimitOutcome> limitOutcomeFromCode(QStringView code);

// The measure whose key ("ttff_s") this is.
const MeasureRow* measureOfKey(QStringView key);

// [{"measure": "ttff_s", "value": 22.03, "low": null, "high": 15, "result": "fail"}, ...];
// the value to two decimals, as the measure's own field has it.
QJsonArray limitResultsJson(const std::vector<LimitResult>& limits);
// Back from a result's JSON (a spooled line, a delivery's payload): an element
// whose measure or result this version does not know is left out.
std::vector<LimitResult> limitResultsFromJson(const QJsonValue& json);

// In the measure's row's words, against its limits: "TTFF 22.0 s > 15 s",
// "8 satellites >= 6", "GPS:1 C/N0 42.30 in 40 to 50 dB-Hz", "TTFF not
// measured (at most 15 s)".  sv: the signal test's satellite.
QString limitResultWords(const LimitResult& limit, const QString& sv = {});

}  // namespace results
