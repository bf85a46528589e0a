// The station's figures for the plant's monitoring: a file in the Prometheus
// text exposition format, version 0.0.4, that the node exporter's textfile
// collector reads (--collector.textfile.directory).  Names and units follow
// the Prometheus naming conventions (https://prometheus.io/docs/practices/naming/):
// base units (seconds), "_total" for counters, "_info" for the build's
// version; the labels are the station, the slot (its port), the result, the
// reason, the delivery target and the alarm's rule, never a unit's serial
// number, so that the series stay few.
//
// StationFigures is what the station has counted since it started; its
// exposition is made without a clock (the age of the delivery queue's
// oldest entry is read against a given time), and MetricsFile writes it
// whole to a temporary file beside the target and renames it, so that the
// collector never reads half a file.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <map>
#include <tuple>
#include <vector>

namespace session {

// A histogram's buckets (upper bounds, ascending; +Inf is implied) and what
// fell in each, its sum and its count.
struct Histogram {
    explicit Histogram(std::vector<double> bounds = {});
    void observe(double value);
    std::vector<double> bounds;
    std::vector<quint64> counts;  // per bucket, not cumulative; the last is +Inf's
    double sum = 0;
    quint64 count = 0;
};

// The buckets: TTFFs from a hot start's second to a cold start's fix
// time-out; cycle times, which add the reset, its confirmation and the
// other tests to the TTFF.
const std::vector<double>& ttffBuckets();
const std::vector<double>& cycleBuckets();

struct StationFigures {
    QString version;  // the build's
    // Units tested by slot, result and reason.
    std::map<std::tuple<QString, QString, QString, QString>, quint64>
        units;                                                     // station, slot, result, reason
    std::map<std::pair<QString, QString>, Histogram> ttff, cycle;  // station, slot
    struct Queue {
        QString station, target;
        int waiting = 0;
        QDateTime oldest;  // invalid when none waits
    };
    QList<Queue> queues;
    // Alarms raised, by station and the rule's name.  Filled by the control
    // charts' side (addAlarms()); the exposition lists whatever it holds.
    std::map<std::pair<QString, QString>, quint64> alarms;

    // Counts a kept result as the store gives it (station, port, result,
    // reason, ttff_s, started and ended).
    void addResult(const QJsonObject& result);
    // Adds raised alarms, by rule name, of one station.
    void addAlarms(const QString& station, const std::map<QString, quint64>& byRule);
};

// A label's value as the format writes it between its quotes: backslash,
// double quote and line feed escaped.
QString escapeLabel(const QString& value);

// The whole file, each family with its HELP and TYPE lines; a family with
// no sample is left out.  now: the time the queue's ages are read against.
QByteArray exposition(const StationFigures& figures, const QDateTime& now);

// Writes text to path through a temporary file in the same directory,
// renamed over it; false, with why, when it cannot.
bool writeWhole(const QString& path, const QByteArray& text, QString* why);

// The file of one station's session: written at its start, on each kept
// result, on each change of the delivery queues and at its end.
class MetricsFile : public QObject {
    Q_OBJECT
public:
    MetricsFile(QString path, QString version, QObject* parent = nullptr);

    StationFigures& figures() { return figures_; }
    // Writes the file now; a failure is told by failed() once until a write
    // succeeds again.
    void write();
    const QString& path() const { return path_; }

signals:
    void failed(const QString& why);

private:
    QString path_;
    StationFigures figures_;
    bool failing_ = false;
};

}  // namespace session
