// One calibration of a slot with a golden unit, as the calibrations table
// keeps it: the golden unit's C/N0 of the generator's satellite measured in
// the slot, what it is known to read, and the offset a signal test there adds
// to what it measures (expected minus measured).
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <vector>

#include "vocabulary/fields.h"

namespace results {

// The RF front end's figures a unit reported, by measure: the measures whose
// row is `golden` (u-blox: AGC count, noise level per millisecond, CW jamming
// indicator), each the mean of its readings in a signal test; empty where the
// family reports none.
struct FrontEndFigures {
    std::array<std::optional<double>, kMeasureCount> values;

    std::optional<double>& operator[](Measure m) { return values[std::size_t(m)]; }
    const std::optional<double>& operator[](Measure m) const { return values[std::size_t(m)]; }
    bool any() const {
        for (const auto& v : values)
            if (v) return true;
        return false;
    }
};

// How many of a slot's latest calibrations are read for the golden unit's
// figures from which its RF limits are learned.
inline constexpr int kGoldenRunsRead = 100;

struct Calibration {
    qint64 id = 0;  // given by the store
    QDateTime time;
    QString station;
    QString port;  // the slot's stable port name, as given on the command line
    QString operatorName;
    QString golden;           // the golden unit's serial number
    double expected = 0;      // dB-Hz the golden unit reads
    double measured = 0;      // dB-Hz it read in this slot
    double offset = 0;        // expected - measured
    FrontEndFigures figures;  // the golden unit's in this calibration
    // With a signal generator: its level in dBm while the golden unit was
    // measured, `expected` being what the golden unit reads at that level at
    // its antenna port; the offset is then the slot's path loss, in dB.
    std::optional<double> levelDbm;
    // Read with the slot's latest calibration: the figures of its golden
    // runs, newest first (this one's first), at most kGoldenRunsRead.
    std::vector<FrontEndFigures> goldenRuns;
};

// A slot whose offset moved more than this since its previous calibration
// is flagged, dB.
inline constexpr double kDriftFlagDb = 1.0;

// A calibration kept, or why not.
struct CalibrationKept {
    std::optional<qint64> id;             // empty: not kept, see error
    std::optional<Calibration> previous;  // the slot's latest calibration before it
    // The alarms its offset raised, each "CHART RULE" (results/linecharts.h).
    QStringList alarms;
    QString error;
};

}  // namespace results
