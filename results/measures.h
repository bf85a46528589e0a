// The quality engineer's statistics over the report's selection: per measure
// count, mean, σ, min, max, median, p95 and Cpk against the limits in force,
// and the passes near a limit; per slot the mean C/N0 beside its station's;
// and limits proposed from the passing results.  Definitions and a worked
// example: docs/RESULTS.md.
//
// Every figure comes from one answer of the database, measureValues
// (results/summaries.h), given in results/values.h's terms: each measure's
// values as a distribution, each slot's C/N0 count and sum, and how many
// results carry each limit, read from the summaries kept at each save where
// they serve the selection.  Nothing here reads the database.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QTextStream>
#include <optional>
#include <vector>

#include "results/statistics.h"
#include "results/values.h"
#include "vocabulary/fields.h"

namespace results {

// The limit most of the selected results were judged under.
struct LimitInForce {
    double value = 0;
    qint64 results = 0;  // results judged under this value
    qint64 of = 0;       // results in the selection
};
// The most frequent value of the key; a tie goes to the stricter value (the
// lower of a maximum, the higher of a minimum).  Nothing when no result has it.
std::optional<LimitInForce> limitInForce(const LimitCounts& counts, const char* key, bool upper);

struct MeasureStats {
    const MeasureRow* kind = nullptr;
    qint64 count = 0;
    double mean = 0, sd = 0, min = 0, max = 0, median = 0, p95 = 0;
    std::optional<double> cpk;
    std::optional<LimitInForce> low, high;
    // Passes within 10 % of the limits' span inside a limit.
    qint64 marginal = 0;
    // The passing results' values, from which limits are proposed.
    qint64 passed = 0;
    double passedMean = 0, passedSd = 0;
};
MeasureStats measureStats(const MeasureRow& kind, const Values& values,
                          std::optional<LimitInForce> low, std::optional<LimitInForce> high);

struct SlotStats {
    QString station, port, column;  // column: which C/N0 the mean is of
    qint64 count = 0;
    double mean = 0;
    double delta = 0;  // from the station's mean of that column
    bool flagged = false;
};
// A slot more than this far below its station's mean stands out (dB).
constexpr double kSlotFlagDb = 1.5;
// Per station, the signal test's C/N0 where any of its slots has one, else the sky's.
QList<SlotStats> slotStats(const QList<SlotSum>& sums);

struct Quality {
    std::vector<MeasureStats> measures;  // in the measures' table order
    QList<SlotStats> perSlot;            // by station, then port
};
// The figures from the three reads' answers.
Quality qualityOf(const QMap<QString, Values>& values, const QList<SlotSum>& sums,
                  const LimitCounts& limits);
// {"measures": {KEY: {...}}, "slots": [...], "marginal": {KEY: n}}; numbers unrounded.
QJsonObject qualityJson(const Quality& q);
void printQuality(const Quality& q, QTextStream& out);

// A limit proposed from the passing results: mean − 3σ for a minimum, mean +
// 3σ for a maximum, rounded up to a whole number for a whole measure.
struct SuggestedLimit {
    const MeasureStats* measure;
    const char* key;  // the limit's key: "max_ttff_s"
    bool upper;
    double value;
};
// Limits of every measure with at least two passing values and a limit key.
std::vector<SuggestedLimit> suggestLimits(const Quality& q);

}  // namespace results
