// A gauge study's runs struck out.  A run that should not count (a unit put
// into the wrong slot, a run cut short by a knocked cable) would leave the
// study unbalanced for good; it is struck instead, with who and why, in a
// table of its own: the result itself stays as it was stored, and the strike
// is a record too, never changed or deleted (the station role may add to
// struck_runs but not update or delete in it; results/roles.h).  A study's
// analysis, its verdict and a station's qualification leave its struck runs
// out (results/gaugereport.h).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QTextStream>
#include <optional>

#include "results/lookup.h"

namespace results {

struct Strike {
    QString resultId, study, unit, port, started;  // the run
    QString at;                                    // when it was struck, as stored
    QString by;                                    // who struck it, as they gave it
    QString role;  // the database role that struck it (PostgreSQL; empty on SQLite)
    QString why;
};

// Strikes the run out of its study: done, or a mistake in the person's words
// (not a study's run, already struck: with when, by whom and why).  Nothing,
// with error, when the database fails (a report role may not strike).
struct Struck {
    std::optional<Strike> strike;
    QString mistake;
};
std::optional<Struck> strikeRun(const QSqlDatabase& db, const ResultRow& run, const QString& by,
                                const QString& why, const QDateTime& now, QString* error);

// The study's struck runs, in the order they were struck.
std::optional<QList<Strike>> studyStrikes(const QSqlDatabase& db, const QString& study,
                                          QString* error);

// "Struck runs, left out: ..." a line each; nothing without any.
void printStrikes(const QList<Strike>& strikes, QTextStream& out);
QJsonArray strikesJson(const QList<Strike>& strikes);
// The page's list of them, to follow the study's section; empty without any.
QByteArray strikesHtml(const QList<Strike>& strikes);

}  // namespace results
