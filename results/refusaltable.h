// The units the line refused before they started (table route_refusals),
// never spooled.
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

#include "results/database.h"

namespace results {

// A unit the line refused before it started.
struct Refusal {
    QDateTime time;
    QString station, port, unit, lot, operatorName, plan, reason;
};

class RefusalTable {
public:
    // db outlives the table.
    explicit RefusalTable(Database& db) : db_(db) {}
    // Keeps a refusal; its id, or nothing, with error, on a failure.
    std::optional<qint64> save(const Refusal& refusal, QString* error);

private:
    Database& db_;
};

}  // namespace results
