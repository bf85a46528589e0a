// The line's control charts in the database: the baselines frozen for each
// slot's (or station's) series (table spc_baselines, a new row each time an
// engineer freezes or recomputes one, the latest in force), and the alarms
// the new points raise (table alarms), each kept in the transaction of the
// result or calibration that raised it, and cleared by an engineer with who
// and why.  The charts and their rules: results/linecharts.h.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "results/calibration.h"
#include "results/database.h"
#include "results/linecharts.h"

namespace results {

// A baseline as kept.  port is empty for the whole station's series.
struct SpcBaseline {
    qint64 id = 0;
    QString station, port;
    spc::Series series = spc::Series::Ttff;
    QString fromAt, toAt;  // the first and last point's time
    QStringList lots;      // the lots named, if the baseline was given by lot
    spc::Baseline figures;
    QDateTime frozenAt;
    QString frozenBy, why;
};

// What an engineer names as a baseline: a period of the points' times
// (results' start, calibrations' time), or lots.
struct BaselineRequest {
    QString station, port;
    spc::Series series = spc::Series::Ttff;
    QDateTime from, to;  // either may be invalid: open
    QStringList lots;
    QString by, why;
};

struct SpcAlarm {
    qint64 id = 0;
    QDateTime raisedAt;
    QString station, port, chart, rule;
    double value = 0;
    QString resultId;
    std::optional<qint64> calibrationId;
    qint64 baselineId = 0;
    std::optional<QDateTime> clearedAt;
    QString clearedBy, clearedWhy;

    QJsonObject toJson() const;
};

class SpcTable {
public:
    // db outlives the table.
    explicit SpcTable(Database& db) : db_(db) {}
    void setRules(spc::RuleSet rules, const spc::Designs& designs) {
        rules_ = rules;
        designs_ = designs;
    }

    // Freezes a baseline from the points it names and keeps it, in a
    // transaction of its own.  Nothing, with error, when the points are too
    // few (named in the message) or the database fails.
    std::optional<SpcBaseline> freeze(const BaselineRequest& request, const QDateTime& now,
                                      QString* error);
    // The baseline in force for a slot's series (the latest frozen); none
    // when none was frozen.  False, with error, on a failure.
    bool baseline(const QString& station, const QString& port, spc::Series series,
                  std::optional<SpcBaseline>* found, QString* error);

    // In the caller's transaction: judges a result just inserted (its
    // slot's and its station's TTFF, and the yield of its lot on each, as
    // spc::judgeLot does) and keeps what it raises; each alarm also goes
    // into the result's "alarms" (ids of the chart and the rule).
    bool judgeResult(QJsonObject& result, QString* error);
    // In the caller's transaction: judges a calibration just inserted (its
    // slot's golden offset).  What it raised in *raised.
    bool judgeCalibration(const Calibration& calibration, qint64 id, std::vector<SpcAlarm>* raised,
                          QString* error);

    // The alarms of a station (every station when empty), of a port when
    // one is given, oldest first; with openOnly those not cleared.
    std::optional<std::vector<SpcAlarm>> alarms(const QString& station, const QString& port,
                                                bool openOnly, QString* error);
    // Whether a slot is held: an alarm not cleared was raised since its
    // latest calibration (or by it).
    std::optional<bool> held(const QString& station, const QString& port, QString* error);
    // Clears a slot's open alarms, with who and why; how many.
    std::optional<int> clear(const QString& station, const QString& port, const QString& by,
                             const QString& why, const QDateTime& now, QString* error);

    // The chart of a series after its baseline, as the report draws it:
    // for TTFF and the offset the points' values and the time of each.
    bool pointsAfter(const SpcBaseline& b, int newest, std::vector<double>* values,
                     QStringList* times, QString* error);
    bool lotsAfter(const SpcBaseline& b, std::vector<spc::Sample>* lots, QStringList* names,
                   QString* error);
    // The report page's section: each chart of each baseline in force (of
    // a station, or every station's when empty) with its limits, the points
    // after the baseline and a ring around each that broke a rule.  Empty
    // when no baseline was frozen; nothing, with error, on a failure.
    std::optional<QByteArray> chartsSection(const QString& station, QString* error);

private:
    bool judge(const QString& station, const QString& port, spc::Series series,
               const QString& resultId, std::optional<qint64> calibrationId, const QDateTime& at,
               std::vector<SpcAlarm>* raised, QString* error);
    // The point of the result's lot on a slot's (station's) p-chart.
    bool judgeLot(const QString& station, const QString& port, const QJsonObject& result,
                  const QDateTime& at, std::vector<SpcAlarm>* raised, QString* error);
    // Keeps an alarm of the baseline's series.
    bool keep(const SpcBaseline& b, const spc::Finding& f, const QString& resultId,
              std::optional<qint64> calibrationId, const QDateTime& at,
              std::vector<SpcAlarm>* raised, QString* error);

    // The latest baseline of each series, read again only when the highest
    // id kept differs from the one they were read at: baselines are only
    // ever added, by any process, so a save reads one number, not a row per
    // series it judges.
    bool refreshBaselines(QString* error);
    // The baseline in force as last read; none when there is none.
    const SpcBaseline* inForce(const QString& station, const QString& port,
                               spc::Series series) const;

    Database& db_;
    std::optional<QSqlQuery> newest_;  // the highest id's query, prepared once
    qint64 baselinesAt_ = -1;          // the highest id when read; -1: never read
    std::map<std::tuple<QString, QString, int>, SpcBaseline> latest_;
    spc::RuleSet rules_ = spc::RuleSet::WesternElectric;
    spc::Designs designs_;
};

}  // namespace results
