// The report's answers about single units rather than figures: which stored
// result a person means (by the unit's serial, or the id or its beginning),
// the units a selection leaves failed, and the heading of a unit's bytes
// written out as text.
#pragma once

#include <QJsonArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QTextStream>
#include <optional>
#include <vector>

#include "results/report.h"
#include "vocabulary/evidence.h"
#include "vocabulary/limitresults.h"

namespace results {

// One stored result, as far as a person names and reads it.
struct ResultRow {
    QString id, unit, station, port, lot, study, started, ended, result, reason, status;
    std::optional<qint64> cycle;
    QString sv;  // the signal test's satellite, where it had one
    // Each limit's result (vocabulary/limitresults.h); none for a result kept
    // before they were, or without a limit.
    std::vector<LimitResult> limits;
};
// The limits the result failed, in its row's words ("TTFF 22.0 s > 15 s").
QStringList failedLimitWords(const ResultRow& row);

// How a unit's serial narrows its results: its results of one cycle, and
// those whose stored start begins with `started` ("2026-12-07T08:01").
struct Pick {
    std::optional<qint64> cycle;
    QString started;
    bool any() const { return cycle || !started.isEmpty(); }
};

// What a key named: the row, or a mistake in the person's words; and, when
// a serial has several results, which one was taken.
struct Lookup {
    std::optional<ResultRow> row;
    QString mistake;
    QString note;
};

// The shortest beginning of an id taken as one.
constexpr int kShortestIdPrefix = 4;

// The result key names, with its limits' results: a result's id; else, when
// serials is true, the unit of that serial, its latest result (of those pick
// leaves: the latest of them); else the one result whose id begins with it.
// Every result is looked in, a study's too.  Nothing, with error, when the
// database fails.
std::optional<Lookup> findResult(const QSqlDatabase& db, const QString& key, const Pick& pick,
                                 bool serials, QString* error);

// A unit whose latest pass or fail in the selection is a fail: that result,
// with its limits' results, and how many of its tests there failed.  A
// result without a serial is a unit of its own.
struct FailedUnit {
    ResultRow latest;
    qint64 failures = 0;
};
// In the order of their latest result's start.
std::optional<QList<FailedUnit>> failedUnits(const QSqlDatabase& db, const Filter& filter,
                                             QString* error);
QJsonArray failedUnitsJson(const QList<FailedUnit>& units);
// The list under its heading, at most `most` lines of units (the rest counted).
void printFailedUnits(const QList<FailedUnit>& units, QTextStream& out, int most);

// What the text of a result's evidence begins with: the unit, its slot, the
// verdict and its reason, each limit's result, the times, what came and
// went, and each silence.
QString evidenceHeading(const ResultRow& row, const std::vector<evidence::Chunk>& chunks);

}  // namespace results
