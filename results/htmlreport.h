// The report as one page a browser opens: yield per lot and per day, retests
// apart from first tests, the TTFF histogram and cumulative distribution
// against the limit in force, the same for the signal test's C/N0 against its
// window, the C/N0 of each slot as box plots, every other measure as its row
// says (the sensitivity levels in dBm: their distribution and per slot), each
// slot's calibration offset (or path loss) over time as a control chart, the statistics of every
// measure with its Cpk, the failures by reason, and a lot's failed units.  Self-contained (charts
// as inline SVG, no script, nothing fetched), every chart's numbers in a table under it, and sized
// for A4.  The definitions are docs/RESULTS.md's and statistics.h's.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "results/calibration.h"
#include "results/lookup.h"
#include "results/measures.h"
#include "results/report.h"

namespace results {

// The units and tests of one lot or one day.  A unit's first test is its
// first in that lot or on that day.
struct Yield {
    QString key;                                     // the lot, or the day (YYYY-MM-DD, UTC)
    qint64 units = 0;                                // distinct serials
    qint64 firstPass = 0;                            // units whose first test passed
    qint64 passed = 0;                               // units with a pass
    qint64 tests = 0;                                // results, with or without a serial
    qint64 failed = 0, faults = 0, interrupted = 0;  // results by outcome
    qint64 retests = 0, retestsPassed = 0;           // results stored as a retest
};

// One measure's values over the selection, sorted, with its limit; a measure
// held within a window (the signal test's C/N0) has a lower limit too.
struct PageMeasure {
    const char* key;       // the column: "ttff_s"
    const char* limitKey;  // its limit in "limits": "max_ttff_s"; nullptr for none
    QString name;          // "TTFF"
    QString unit;          // "s"; empty for a count
    bool upper = true;     // the limit is a maximum
    std::vector<double> sorted;
    std::optional<LimitInForce> limit;
    const char* lowKey = nullptr;  // the window's lower limit: "cn0_low"
    std::optional<LimitInForce> low;
    const MeasureRow* row = nullptr;                 // its row in the measures' table
    QMap<QString, std::vector<double>> byPort = {};  // sorted, per port, where drawn per slot
};

// One calibration of a slot with a golden unit (the calibrations table).
struct CalibrationPoint {
    qint64 id = 0;
    QString time, operatorName, golden;
    double expected = 0, measured = 0, offset = 0;
    std::optional<double> drift;  // the offset's change since the slot's previous calibration
    // The generator's level it was made at: its offset is the slot's path loss.
    std::optional<double> levelDbm;
};
// A slot's calibrations in the selection's time, oldest first.
struct SlotCalibrations {
    QString station, port;
    std::vector<CalibrationPoint> history;
};

// Everything the page shows, read with the report's selection.
struct Distributions {
    Summary summary;
    QList<Yield> lots, days;
    std::vector<PageMeasure> measures;                // in the measures' table order
    QMap<QString, std::vector<double>> cn0ByPort;     // sorted, per port
    QMap<QString, std::vector<double>> signalByPort;  // the signal test's, sorted, per port
    QStringList signalSv;                             // the generators' satellites: "GPS:1"
    QList<SlotCalibrations> calibrations;             // per station and port
    std::optional<QList<FailedUnit>> failedUnits;     // a lot's (results/lookup.h)
};
// The measures' places in Distributions::measures.
enum MeasureIndex {
    kTtff = int(Measure::Ttff),
    kCn0 = int(Measure::SkyCn0),
    kSignal = int(Measure::SignalCn0),
};

// Each query selects with the report's WHERE on the indexed columns and
// reads the selected rows at most once.  Calibrations are selected by the
// report's station and times only (a calibration belongs to no lot or unit).
std::optional<Distributions> distributions(const QSqlDatabase& db, const Filter& filter,
                                           QString* error);

// What the page says it covers.
struct PageHeading {
    QString database;   // as the report names it
    QString selection;  // "lot WO-7, since 2026-12-01"; empty: every result
    QString made;       // when, ISO 8601 UTC
};
// studySection: a gauge study's section (results/gaugereport.h), placed last.
QByteArray htmlPage(const Distributions& data, const PageHeading& heading,
                    const QByteArray& studySection = {});
// A gauge study's own page: its sections (results/gaugereport.h,
// results/strikes.h) under the page's heading, nothing of the line's results.
QByteArray studyPage(const PageHeading& heading, const QByteArray& sections);

}  // namespace results
