// One calibration of a slot with a golden unit, as the calibrations table
// keeps it: the golden unit's C/N0 of the generator's satellite measured in
// the slot, what it is known to read, and the offset a signal test there adds
// to what it measures (expected minus measured).
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

namespace results {

struct Calibration {
    qint64 id = 0;  // given by the store
    QDateTime time;
    QString station;
    QString port;  // the slot's stable port name, as given on the command line
    QString operatorName;
    QString golden;       // the golden unit's serial number
    double expected = 0;  // dB-Hz the golden unit reads
    double measured = 0;  // dB-Hz it read in this slot
    double offset = 0;    // expected - measured
};

// A calibration kept, or why not.
struct CalibrationKept {
    std::optional<qint64> id;             // empty: not kept, see error
    std::optional<Calibration> previous;  // the slot's latest calibration before it
    QString error;
};

}  // namespace results
