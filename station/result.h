// One unit's result for one cycle, and the figures over its cycles.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "results/fields.h"
#include "results/reasons.h"

namespace station {

using results::codeOf;
using results::Outcome;
using results::outcomeOf;
using results::Reason;
using results::rowOf;

// The limits a unit is held to; an empty one is not checked.
struct Limits {
    std::optional<double> maxTtffS;  // seconds
    std::optional<int> minSats;      // satellites used at the fix
    std::optional<double> minCn0;    // mean C/N0 of the four strongest, dB-Hz
    // The signal test's corrected mean C/N0 of the generator's satellite, dB-Hz.
    std::optional<double> cn0Low, cn0High;

    QJsonObject toJson() const;
};

// The signal test: the C/N0 of the generator's satellite, once a second.
struct SignalResult {
    QString sv;                    // "GPS:1"
    std::vector<int> values;       // the raw readings, dB-Hz
    std::optional<double> offset;  // the slot's calibration, added to the raw mean
    std::optional<qint64> calibrationId;
    // Ok, SignalLow, SignalHigh or SignalNotSeen once judged; empty before.
    std::optional<Reason> reason;

    std::optional<double> rawMean() const;
    std::optional<double> mean() const;  // corrected: raw mean + offset
    std::optional<double> sd() const;    // sample standard deviation of the readings
    QJsonObject toJson() const;
};

struct CycleResult {
    QString port;  // as named on the command line
    QString device;
    int baud = 0;
    QString unit;
    QString station;
    QString operatorName;
    QString lot;
    QString receiver;  // family name
    QString start;     // start type
    int cycle = 1;
    QDateTime started, ended;  // UTC
    Reason reason = Reason::Ok;
    QString status;  // the link's last status text, lines joined by "\n"
    bool coldStartSent = false;
    bool confirmed = false;  // by the link's own rule: a GGA time after the command
    bool resetVerified = false;
    std::optional<double> ttffS;
    // Satellites used: the union of the fix's second's GSA sentences, else GGA's figure.
    std::optional<int> satellites;
    std::optional<int> satellitesGga;  // GGA's own figure (some receivers stop at 12)
    std::optional<double> hdop;
    std::optional<int> cn0Max;
    std::optional<double> cn0Mean4;
    std::optional<int> svWithSnr;
    // The fix's second's sky, one object per satellite: system, prn, cn0 and
    // signals (id, cn0); empty without a fix.
    QJsonArray sky;
    // Who the unit said it is; empty when it did not say.
    QString firmware, hardware, uniqueId;
    Limits limits;
    QString plan;         // the plan's name; empty without a plan file
    QString planSha256;   // of the settings the unit was judged under
    bool retest = false;  // the unit already had a result in its lot; the store decides
    QStringList tests = {QStringLiteral("fix")};  // the measurements of the plan
    std::optional<SignalResult> signal;           // with a signal test

    Outcome outcome() const { return outcomeOf(reason); }
    // A field of the JSON result (see results/fields.h); ttff_s to two decimals.
    QJsonValue value(results::Field field) const;
    QJsonObject toJson() const;  // every field of the JSON result
};

// Figures over a unit's cycles: TTFF statistics of the cycles that have one.
struct Summary {
    QString port, unit;
    int cycles = 0;
    int passed = 0;
    std::optional<double> ttffMean, ttffMedian, ttffP95, ttffMax;

    QJsonObject toJson() const;
};

// What a unit keeps of its cycles: the last one whole, of the others only
// what the summary and the exit status need, so a run of many cycles stays
// small.
class Tally {
public:
    void add(const CycleResult& result);
    const std::optional<CycleResult>& last() const { return last_; }
    int count(Outcome outcome) const;
    Summary summary() const;

private:
    std::optional<CycleResult> last_;
    int cycles_ = 0, passed_ = 0, failed_ = 0, faults_ = 0;
    std::vector<double> ttffs_;
};

// Program version stored with every result.
QString programVersion();

}  // namespace station
