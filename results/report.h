// The line's questions over stored results: units tested and passed,
// first-pass yield, failures by reason, TTFF statistics, per station and
// overall; and the matching rows as CSV.  The figures come from the summaries
// kept at each save where one serves the selection (results/summaries.h).
#pragma once

#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <optional>

#include "results/pace.h"

namespace results {

// Which results a report covers; an empty field does not filter.
struct Filter {
    QString since;        // stored time, inclusive lower bound
    QString untilBefore;  // stored time, exclusive upper bound
    QString station;
    QString lot;
    QString unit;
    // Empty: production results only; else the results of this gauge study.
    QString study = {};
};

// Where a report's figures come from: the summaries kept at each save where
// one serves the filter (else the selected rows), or always the rows.
enum class Source { Summaries, Rows };

// Reads --since or --until: a date (YYYY-MM-DD, a whole UTC day) or an ISO
// 8601 time (UTC when it has no offset).  An upper bound includes its day or
// its millisecond.  Returns the stored-time bound, or nothing.
std::optional<QString> parseBound(const QString& text, bool upper);

struct TtffStats {
    qint64 count = 0;
    double mean = 0, median = 0, p95 = 0, max = 0;
};

struct Failure {
    QString result;  // fail, station-fault or interrupted
    QString reason;
    qint64 count = 0;
};

// The passes whose start command went out, and those of them whose reset
// the stream never proved (reset_verified false): a pass the line may not
// trust as a start of the kind asked for.
struct ResetCounts {
    qint64 passed = 0, unproven = 0;
    void add(const ResetCounts& o) {
        passed += o.passed;
        unproven += o.unproven;
    }
    // "36 of 120 passes"
    QString words() const;
};

struct Figures {
    qint64 results = 0;
    QMap<QString, qint64> outcomes;  // results by "result"
    qint64 unitsTested = 0;
    qint64 unitsPassed = 0;
    qint64 unitsFirstPass = 0;
    QList<Failure> failures;  // most frequent first
    TtffStats ttff;
    // Units per hour (results/pace.h): the sum of the slots' (a station's
    // slots by port; overall, every station's); the handling summed over them.
    std::optional<double> unitsPerHour;
    Pace pace;
    QMap<QString, Pace> ports;
    ResetCounts resets;
    QMap<QString, ResetCounts> portResets;  // by slot; a station's only

    // Units that passed their first test, of the units tested; none without units.
    std::optional<double> firstPassYield() const;
    // A fraction as the report and the windows show it: "66.7 %", or "-" for none.
    static QString percent(std::optional<double> fraction);
};

struct Summary {
    Figures overall;
    QMap<QString, Figures> stations;
};

std::optional<Summary> summarize(const QSqlDatabase& db, const Filter& filter, QString* error,
                                 Source source = Source::Summaries);
// The same figures from what one read of the database counted (results/summaries.h).
struct Tally;
Summary summaryOf(const Tally& tally);
QJsonObject summaryJson(const Summary& summary);
void printSummary(const Summary& summary, QTextStream& out);

// The matching rows, oldest first, one per result, under a header line
// (RFC 4180 quoting).
bool writeCsv(const QSqlDatabase& db, const Filter& filter, QIODevice& out, QString* error);

}  // namespace results
