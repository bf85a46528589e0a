// The report's figures kept at each save, so that a report costs in
// proportion to what it selects rather than to the size of the database.
//
// Each save adds its row, in the row's own transaction, to the summaries of
// three scopes: every result ("all", name ""), its lot ("lot", the lot) and
// its day ("day", the UTC date of `started`), each per station:
//
// - summary_outcomes: results by (result, reason);
// - summary_values: each measure's values as stored, with how many results
//   had each value (medians and percentiles are read from these);
// - summary_slots: each slot's (port's) C/N0 as count and sum;
// - summary_resets: each slot's passes whose start command went out, and
//   those of them whose reset was not proven;
// - summary_units: the units tested, passed and passed at their first test,
//   per station and over every station (a save reads the unit's earlier
//   tests from its rows to know what its own test changes).
//
// A scope with rows stored before the summaries were kept (summary_start) is
// built from its rows by the first report that needs it, and listed in
// summary_scopes; until then saves leave it alone.  A lot's or a day's rows
// are grouped by a statement per summary; every result's, millions of rows
// after an upgrade, are read twice and counted as they come (in storing
// order, then by unit), since grouping them once per summary took minutes.  A scope whose every row
// came later is kept by the saves from its first row.
//
// A filter that one scope answers (no filter, a lot, one whole day, each
// with or without a station) is read from the summaries; any other selection
// reads its rows through the index of its narrowest condition.
#pragma once

#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "results/pace.h"
#include "results/report.h"
#include "results/statistics.h"
#include "results/target.h"
#include "results/values.h"
#include "vocabulary/fields.h"

namespace results {

// The measures whose values are kept, as their columns are named, in the
// order of the measures' table (vocabulary/fields.h).
const QStringList& summaryMeasures();

struct MeasureValues {
    QMap<QString, Values> overall;                        // by measure
    QMap<QString, QMap<QString, Distribution>> stations;  // by station, then measure: all
    QList<SlotSum> perSlot;                               // by station, port, then column
    LimitCounts limits;
};

// Each measure's distribution, each slot's C/N0 and the limits the results
// were judged under, over the filter's results.
std::optional<MeasureValues> measureValues(const QSqlDatabase& db, const Filter& filter,
                                           QString* error, Source source = Source::Summaries);

// Everything the report counts, per station, over one selection.
struct Tally {
    // Resets by station, then slot (port).
    QMap<QString, QMap<QString, ResetCounts>> resets;
    struct Units {
        qint64 tested = 0, passed = 0, firstPass = 0;
    };
    // Results by station, then by (result, reason).
    QMap<QString, QMap<std::pair<QString, QString>, qint64>> outcomes;
    QMap<QString, Units> stationUnits;
    Units units;  // over every station: a unit's first test is its first anywhere
    MeasureValues values;
    SlotPaces pace;  // units per hour and handling, per station and slot
};
std::optional<Tally> tally(const QSqlDatabase& db, const Filter& filter, QString* error,
                           Source source);

// The stored values of one row, as a save adds them.
struct SummaryRow {
    QString station, lot, unit, started, result, reason, port;
    QString limits;                                 // as stored: the JSON text, empty without one
    std::optional<double> measures[kMeasureCount];  // in summaryMeasures() order
    QString ended, id;
    bool startSent = false, resetVerified = false;
};

// The scopes a row is summarized in, (kind, name): every result, its lot, its day.
std::array<std::pair<QString, QString>, 3> summaryScopesOf(const QString& lot,
                                                           const QString& started);

// Whether a scope's summaries hold every row of it, for the saves of one
// connection: a scope once found whole stays whole, and is remembered.  On
// PostgreSQL a save that meets a scope not yet built holds a shared lock
// until it commits, which a build takes exclusively: the build then sees the
// save's row, or the save sees the scope built and adds its row itself.
class ScopeCheck {
public:
    explicit ScopeCheck(const QSqlDatabase& db);
    ~ScopeCheck();
    // False with the error when the database failed.
    bool whole(const std::pair<QString, QString>& scope, bool* yes, QString* error);

private:
    struct Queries;
    std::unique_ptr<Queries> q_;
};

// Adds rows to the summaries of their built scopes inside the caller's
// transaction, with its statements prepared once.
class SummaryWriter {
public:
    explicit SummaryWriter(const QSqlDatabase& db);
    ~SummaryWriter();
    bool add(const SummaryRow& row, QString* error);

private:
    struct Queries;
    QSqlDatabase db_;
    std::unique_ptr<Queries> q_;
    std::unique_ptr<ScopeCheck> scopes_;
    std::unique_ptr<PaceWriter> pace_;
};

// Builds the summaries of the scope that answers the filter from its rows,
// in a transaction of its own, when a scope does and they are not built yet.
// progress is told how far a long build has come.  Outside a report's
// snapshot only; a report whose scope is not built reads its rows.
bool prepareSummaries(const QSqlDatabase& db, const Filter& filter,
                      const std::function<void(const QString&)>& progress, QString* error);

}  // namespace results
