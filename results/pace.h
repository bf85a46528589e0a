// Units per hour and handling time, per slot (a station's port), from the
// stored start and end of each result.
//
// A slot's results in order of their start (then of storing) follow one another: the
// time from one result's end to the next one's start is the handling between
// two units (taking one out, putting the next in, scanning it), counted with
// the later result.  A gap longer than kIdleMs is the slot standing idle (a
// break, the end of a shift, no units to test) and counts neither as handling
// nor as working time; a negative gap (the next test started before the last
// one's end was stored) counts as no handling.  A slot's working time is its
// results' test times (end minus start) and its handling; its units per hour
// are its results per working hour.  A station's units per hour are the sum
// of its slots', the whole line's the sum of its stations'.  Results without
// a start or an end in the stored form are not counted.
//
// Kept per scope (every result, lot, day), station and slot in summary_pace at
// each save, as the other summaries are (results/summaries.h); a selection no
// scope serves reads its rows, each with its slot's previous result.
#pragma once

#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace results {

struct Where;
struct SummaryRow;
class ScopeCheck;

// A gap between two results of one slot longer than this is idle time.
constexpr qint64 kIdleMs = 5 * 60 * 1000;

struct Pace {
    qint64 results = 0;  // results with a stored start and end
    qint64 testMs = 0;   // their test times, summed
    qint64 gaps = 0;     // handling gaps counted (idle ones left out)
    qint64 gapMs = 0;    // their lengths, summed
    // Results per working hour; none until a unit has followed another (one
    // handling gap counted): the test times of one round alone are no pace.
    std::optional<double> unitsPerHour() const;
    // The mean handling time in seconds; none without a counted gap.
    std::optional<double> handlingMean() const;
    void add(const Pace& o);
};

// By station, then port.
using SlotPaces = QMap<QString, QMap<QString, Pace>>;

// A stored time ("2026-12-01T08:00:00.000Z") in ms since the epoch; none
// unless in that form.
std::optional<qint64> storedMs(const QString& time);

// A time in the stored form, as a condition in SQL; the same test as
// storedMs().  And such a time's ms since the epoch, in SQL.
QString storedForm(const QString& column);
QString storedMsSql(const QString& time, bool pg);

// What a gap between a slot's two results adds to its pace: one handling
// gap and its length, or nothing when the slot stood idle.
Pace gapOf(qint64 ms);

// The paces of the rows w selects.
bool paceFromRows(const QSqlDatabase& db, const Where& w, SlotPaces& to, QString* error);
// The paces kept for one scope; w selects kind, name (and station).
bool paceFromSummaries(const QSqlDatabase& db, const Where& w, SlotPaces& to, QString* error);

// Adds a saved row to summary_pace of the scopes that are whole, in the
// caller's transaction: its own test and the gap before it, and, when a
// later result of its slot is already stored, that result's gap now measured
// from this one.
class PaceWriter {
public:
    explicit PaceWriter(const QSqlDatabase& db);
    ~PaceWriter();
    bool add(const SummaryRow& row, ScopeCheck& scopes, QString* error);

private:
    struct Queries;
    std::unique_ptr<Queries> q_;
};

// One scope's summary_pace built from its rows (rows: their condition over
// the results; span: a range of started that holds them), in the caller's
// transaction.
bool buildPace(const QSqlDatabase& db, const std::pair<QString, QString>& scope, const Where& rows,
               const Where& span, QString* error);

}  // namespace results
