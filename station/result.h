// One unit's result for one cycle, and the figures over its cycles.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "results/calibration.h"
#include "vocabulary/fields.h"
#include "vocabulary/limitresults.h"
#include "vocabulary/reasons.h"

namespace station {

using results::codeOf;
using results::Outcome;
using results::outcomeOf;
using results::Reason;
using results::rowOf;

using results::kMeasureCount;
using results::Measure;

// A value of each measure, by its index; empty where there is none.
using Figures = std::array<std::optional<double>, kMeasureCount>;

// The limits a unit is held to, by measure (vocabulary/fields.h); an empty one
// is not checked.
struct Limits {
    std::optional<double>& least(Measure m) { return bounds_[index(m)][0]; }
    std::optional<double>& most(Measure m) { return bounds_[index(m)][1]; }
    const std::optional<double>& least(Measure m) const { return bounds_[index(m)][0]; }
    const std::optional<double>& most(Measure m) const { return bounds_[index(m)][1]; }

    // The measure's verdict on its value: the reason of the first limit it
    // is beyond, else nothing.
    std::optional<Reason> judge(Measure m, std::optional<double> value) const {
        const auto &low = least(m), &high = most(m);
        if (low && (value ? *value < *low : *low > 0)) return results::rowOf(m).least.reason;
        if (high && (!value || *value > *high)) return results::rowOf(m).most.reason;
        return std::nullopt;
    }
    // Every limit set, by its key: {"max_ttff_s": 60, "min_sats": 4}.
    QJsonObject toJson() const;

    bool operator==(const Limits& other) const { return bounds_ == other.bounds_; }

private:
    static std::size_t index(Measure m) { return static_cast<std::size_t>(m); }
    std::array<std::array<std::optional<double>, 2>, kMeasureCount> bounds_;
};

// A slot's limits of the golden measures (the RF front end's figures),
// learned from its golden unit: each figure's mean ± k·σ over the golden
// runs; an empty one is not checked.
struct RfLimit {
    double low = 0, high = 0;
};
struct RfLimits {
    std::array<std::optional<RfLimit>, results::kMeasureCount> limits;

    std::optional<RfLimit>& operator[](Measure m) { return limits[std::size_t(m)]; }
    const std::optional<RfLimit>& operator[](Measure m) const { return limits[std::size_t(m)]; }
};

// The signal test: the C/N0 of the generator's satellite, once a second.
struct SignalResult {
    QString sv;                    // "GPS:1"
    std::vector<int> values;       // the raw readings, dB-Hz
    std::optional<double> offset;  // the slot's calibration, added to the raw mean
    std::optional<qint64> calibrationId;
    // The front end's figures over the readings, where the family reports
    // them, and the slot's limits they are held to.
    results::FrontEndFigures figures;
    std::optional<RfLimits> rfLimits;
    QString rfNote;  // the figure outside its limit: "AGC 1200 outside 2650 to 2950"
    // Ended before its time-out: the unit had a fix and listed its
    // satellites without this one (station/signaltest.h).
    bool notInView = false;
    // Ok, SignalLow, SignalHigh, SignalNotSeen or RfHealth once judged; empty before.
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
    QDateTime started, ended;             // UTC
    Reason reason = Reason::Interrupted;  // until judged: never a pass by default
    QString status;                       // the link's last status text, lines joined by "\n"
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
    QString study;        // the gauge study the result is for; empty in production
    bool retest = false;  // the unit already had a result in its lot; the store decides
    QStringList tests = {QStringLiteral("fix")};  // the measurements of the plan
    std::optional<SignalResult> signal;           // with a signal test
    // The measures that have no member above.
    Figures otherMeasures;

    // A measure's value (vocabulary/fields.h), where the result keeps it.
    std::optional<double> measured(Measure m) const;
    void setMeasured(Measure m, std::optional<double> value);
    // The fix test came to its verdict on a fix: its measures were held to
    // the limits.  Without it they were not measured, whatever they hold.
    bool fixJudged = false;
    // The other tests (station/testtypes.h) that came to their verdicts.
    std::set<results::Test> judged;
    // The fields a test fills itself that are no measure and no member here
    // (an acquisition search's cold starts); a field not given is null.
    std::map<results::Field, QJsonValue> own;
    // With a signal generator: the level at the antenna port of the fix and
    // signal tests, and the generator's identity.
    std::optional<double> levelDbm;
    QString generator;
    // Each limit of `limits`, judged on the measured values: pass, fail, or
    // not measured when the test that gives the value did not come to its
    // verdict (vocabulary/limitresults.h).  The first that fails, in the
    // measures' table order, is the reason of a test that ended on its limits.
    std::vector<results::LimitResult> limitResults() const;
    // With an antenna test: the state recorded ("ok", "open", "short",
    // "unknown"; empty when none was seen) and each change with its time.
    QString antenna;
    std::optional<QJsonArray> antennaChanges;
    // With a config test: the configuration's name and the SHA-256 of what
    // was read back, once every item was.
    QString config, configSha256;
    // The unit's bytes of the cycle, framed (vocabulary/evidence.h): from the
    // port's opening, or the previous cycle's verdict, to this one's; empty
    // when the plan keeps none.  Not a field: the store keeps them apart.
    QByteArray evidence;

    Outcome outcome() const { return outcomeOf(reason); }
    // A pass whose start command went out but whose reset the stream never
    // proved: shown beside the verdict wherever one is.
    bool resetUnproven() const {
        return outcome() == Outcome::Pass && coldStartSent && !resetVerified;
    }
    // A field of the JSON result (see vocabulary/fields.h); ttff_s to two decimals.
    QJsonValue value(results::Field field) const;
    QJsonObject toJson() const;  // every field of the JSON result
};

// Figures over a unit's cycles: TTFF statistics of the cycles that have one.
struct Summary {
    QString port, unit;
    int cycles = 0;
    int passed = 0;
    int resetsUnproven = 0;  // passes whose reset was not proven
    std::optional<double> ttffMean, ttffMedian, ttffP95, ttffMax;

    QJsonObject toJson() const;
};

// What a unit keeps of its cycles: the last one whole, of the others only
// what the summary and the exit status need, in memory that stays the same
// however many cycles a day on the line brings.
//
// The TTFFs are kept one by one up to kExactTtffs, so the summary of such a
// run is exact.  Past that they are counted in bins, 1 ms wide while no more
// than kMaxTtffBins bins hold a TTFF (the width doubles, neighbours merged,
// whenever more would be needed): the mean and the maximum stay exact, and
// the median and the 95th percentile are the middle of the bin their rank
// falls in (kept within the smallest and largest TTFF), so within half a bin
// of the exact figures.
class Tally {
public:
    static constexpr std::size_t kExactTtffs = 256;
    static constexpr double kTtffBinS = 0.001;
    static constexpr std::size_t kMaxTtffBins = 2048;

    void add(const CycleResult& result);
    const std::optional<CycleResult>& last() const { return last_; }
    int count(Outcome outcome) const;
    Summary summary() const;
    // Bytes held for the TTFFs, beyond the Tally itself.
    std::size_t ttffBytes() const;
    // The width of the TTFF bins in seconds; 0 while each TTFF is kept.
    double ttffBinS() const { return bins_.empty() ? 0 : binS_; }

private:
    void binTtff(double ttffS);

    std::optional<CycleResult> last_;
    int cycles_ = 0, passed_ = 0, failed_ = 0, faults_ = 0, unproven_ = 0;
    std::vector<double> ttffs_;  // while there are no more than kExactTtffs
    // Past that: the number of TTFFs in each bin [index, index + 1) * binS_
    // that holds any, by index.
    std::vector<std::pair<std::int32_t, std::uint32_t>> bins_;
    double binS_ = kTtffBinS;
    std::int64_t ttffCount_ = 0;
    double ttffSum_ = 0, ttffMin_ = 0, ttffMax_ = 0;
};

// Program version stored with every result.
QString programVersion();

}  // namespace station
