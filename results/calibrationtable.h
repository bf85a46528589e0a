// The slots' calibrations (table calibrations): each kept in a transaction
// of its own with the slot's previous one read in it, never spooled.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "results/calibration.h"
#include "results/database.h"

namespace results {

class CalibrationTable {
public:
    // db outlives the table.
    explicit CalibrationTable(Database& db) : db_(db) {}

    // Keeps a slot's calibration and returns the id it was given; in
    // *previous the slot's latest calibration before it, if any.  Nothing,
    // with error, on a failure.
    // within, when given, runs in the same transaction once the row is in,
    // with its id; false from it rolls the calibration back.
    using Within = std::function<bool(qint64 id, QString* error)>;
    std::optional<qint64> save(const Calibration& calibration, std::optional<Calibration>* previous,
                               QString* error, const Within& within = {});
    // A station's port's calibrations, newest first, at most count of them;
    // nothing, with error, on a failure.
    std::optional<std::vector<Calibration>> latest(const QString& station, const QString& port,
                                                   int count, QString* error);

private:
    Database& db_;
};

}  // namespace results
