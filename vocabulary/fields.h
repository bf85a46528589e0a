// The fields of a unit's result: one row each, iterated by the station's
// JSON (station/result.cpp, one case each of a switch the compiler holds to
// every field) and by the results table's columns (results/resultstable.cpp).
//
// A field is in the JSON result, in a column of the results table, or both.
// The signal test's figures are one JSON object, "signal", whose members are
// kept in columns named "signal_" and the member ("signal_cn0_mean").  "id"
// is the store's: a result is given one when it is kept.  A column is added
// by a schema step that appends (docs/RESULTS.md); a field is never renamed.
#pragma once

#include <cstddef>

#include "vocabulary/reasons.h"

namespace results {

enum class FieldKind { Text, Int, Real, Bool, Json };

enum class Field {
    Id,
    Unit,
    Station,
    Lot,
    Operator,
    Cycle,
    Started,
    Ended,
    Result,
    Reason,
    Status,
    Port,
    Device,
    Baud,
    Receiver,
    Start,
    ColdStartSent,
    Confirmed,
    ResetVerified,
    TtffS,
    Satellites,
    Hdop,
    Cn0Max,
    Cn0Mean4,
    SvWithSnr,
    Limits,
    Version,
    Plan,
    PlanSha256,
    Retest,
    Firmware,
    Hardware,
    UniqueId,
    SatellitesGga,
    Sky,
    Tests,
    Signal,
    SignalSv,
    SignalSamples,
    SignalCn0Mean,
    SignalCn0Sd,
    SignalCn0RawMean,
    SignalOffset,
    SignalCalibrationId,
    SignalValues,
    Antenna,
    AntennaChanges,
    Config,
    ConfigSha256,
    Agc,
    Noise,
    Jamming,
    Study,
    EvidenceSha256,
    EvidenceRemoved,
    LimitResults,
    LevelDbm,
    AcquisitionDbm,
    TrackingDbm,
    ColdStarts,
    Generator,
};

struct FieldRow {
    Field field;
    const char* name;
    FieldKind kind;
    bool json;    // a member of the JSON result
    bool column;  // a column of the results table
    // The schema step that added the column; 0 for none.  The store adds the
    // column of a field whose step has no statements of its own (schema.cpp).
    int since;
};

// clang-format off
inline constexpr FieldRow kFields[] = {
    // field                       name                     kind              json   column  since
    {Field::Id,                  "id",                    FieldKind::Text,  false, true, 1},
    {Field::Unit,                "unit",                  FieldKind::Text,  true,  true, 1},
    {Field::Station,             "station",               FieldKind::Text,  true,  true, 1},
    {Field::Lot,                 "lot",                   FieldKind::Text,  true,  true, 1},
    {Field::Operator,            "operator",              FieldKind::Text,  true,  true, 1},
    {Field::Cycle,               "cycle",                 FieldKind::Int,   true,  true, 1},
    {Field::Started,             "started",               FieldKind::Text,  true,  true, 1},
    {Field::Ended,               "ended",                 FieldKind::Text,  true,  true, 1},
    {Field::Result,              "result",                FieldKind::Text,  true,  true, 1},
    {Field::Reason,              "reason",                FieldKind::Text,  true,  true, 1},
    {Field::Status,              "status",                FieldKind::Text,  true,  true, 1},
    {Field::Port,                "port",                  FieldKind::Text,  true,  true, 1},
    {Field::Device,              "device",                FieldKind::Text,  true,  true, 1},
    {Field::Baud,                "baud",                  FieldKind::Int,   true,  true, 1},
    {Field::Receiver,            "receiver",              FieldKind::Text,  true,  true, 1},
    {Field::Start,               "start",                 FieldKind::Text,  true,  true, 1},
    {Field::ColdStartSent,       "cold_start_sent",       FieldKind::Bool,  true,  true, 1},
    {Field::Confirmed,           "confirmed",             FieldKind::Bool,  true,  true, 1},
    {Field::ResetVerified,       "reset_verified",        FieldKind::Bool,  true,  true, 1},
    {Field::TtffS,               "ttff_s",                FieldKind::Real,  true,  true, 1},
    {Field::Satellites,          "satellites",            FieldKind::Int,   true,  true, 1},
    {Field::Hdop,                "hdop",                  FieldKind::Real,  true,  true, 1},
    {Field::Cn0Max,              "cn0_max",               FieldKind::Real,  true,  true, 1},
    {Field::Cn0Mean4,            "cn0_mean4",             FieldKind::Real,  true,  true, 1},
    {Field::SvWithSnr,           "sv_with_snr",           FieldKind::Int,   true,  true, 1},
    {Field::Limits,              "limits",                FieldKind::Json,  true,  true, 1},
    {Field::Version,             "version",               FieldKind::Text,  true,  true, 1},
    {Field::Plan,                "plan",                  FieldKind::Text,  true,  true, 2},
    {Field::PlanSha256,          "plan_sha256",           FieldKind::Text,  true,  true, 2},
    {Field::Retest,              "retest",                FieldKind::Bool,  true,  true, 2},
    {Field::Firmware,            "firmware",              FieldKind::Text,  true,  true, 3},
    {Field::Hardware,            "hardware",              FieldKind::Text,  true,  true, 3},
    {Field::UniqueId,            "unique_id",             FieldKind::Text,  true,  true, 3},
    {Field::SatellitesGga,       "satellites_gga",        FieldKind::Int,   true,  true, 3},
    {Field::Sky,                 "sky",                   FieldKind::Json,  true,  true, 3},
    {Field::Tests,               "tests",                 FieldKind::Json,  true,  true, 4},
    {Field::Signal,              "signal",                FieldKind::Json,  true,  false, 0},
    {Field::SignalSv,            "signal_sv",             FieldKind::Text,  false, true, 4},
    {Field::SignalSamples,       "signal_samples",        FieldKind::Int,   false, true, 4},
    {Field::SignalCn0Mean,       "signal_cn0_mean",       FieldKind::Real,  false, true, 4},
    {Field::SignalCn0Sd,         "signal_cn0_sd",         FieldKind::Real,  false, true, 4},
    {Field::SignalCn0RawMean,    "signal_cn0_raw_mean",   FieldKind::Real,  false, true, 4},
    {Field::SignalOffset,        "signal_offset",         FieldKind::Real,  false, true, 4},
    {Field::SignalCalibrationId, "signal_calibration_id", FieldKind::Int,   false, true, 4},
    {Field::SignalValues,        "signal_values",         FieldKind::Json,  false, true, 4},
    {Field::Antenna,             "antenna",               FieldKind::Text,  true,  true, 6},
    {Field::AntennaChanges,      "antenna_changes",       FieldKind::Json,  true,  true, 6},
    {Field::Config,              "config",                FieldKind::Text,  true,  true, 6},
    {Field::ConfigSha256,        "config_sha256",         FieldKind::Text,  true,  true, 6},
    {Field::Agc,                 "agc",                   FieldKind::Real,  true,  true, 6},
    {Field::Noise,               "noise",                 FieldKind::Real,  true,  true, 6},
    {Field::Jamming,             "jamming",               FieldKind::Real,  true,  true, 6},
    {Field::Study,               "study",                 FieldKind::Text,  true,  true, 7},
    // The store's: the SHA-256 of the unit's bytes kept as evidence
    // (vocabulary/evidence.h), and when retention removed them.
    {Field::EvidenceSha256,      "evidence_sha256",       FieldKind::Text,  false, true, 10},
    {Field::EvidenceRemoved,     "evidence_removed",      FieldKind::Text,  false, true, 10},
    // Each limit's result (vocabulary/limitresults.h), kept in a table of its own.
    {Field::LimitResults,        "limit_results",         FieldKind::Json,  true,  false, 0},
    // With a signal generator (station/sensitivity.h): the level at the
    // slot's antenna port the fix and signal tests ran at, the weakest levels
    // found by the sensitivity tests, the cold starts the search took, and
    // the generator's own identity (its *IDN? answer).
    {Field::LevelDbm,            "level_dbm",             FieldKind::Real,  true,  true, 18},
    {Field::AcquisitionDbm,      "acquisition_dbm",       FieldKind::Real,  true,  true, 18},
    {Field::TrackingDbm,         "tracking_dbm",          FieldKind::Real,  true,  true, 18},
    {Field::ColdStarts,          "cold_starts",           FieldKind::Int,   true,  true, 18},
    {Field::Generator,           "generator",             FieldKind::Text,  true,  true, 18},
};
// clang-format on

constexpr bool fieldsInOrder() {
    for (std::size_t i = 0; i < std::size(kFields); ++i)
        if (static_cast<std::size_t>(kFields[i].field) != i) return false;
    return true;
}
static_assert(fieldsInOrder(), "kFields lists the fields in the order of their enumeration");

constexpr const FieldRow& rowOf(Field field) {
    return kFields[static_cast<std::size_t>(field)];
}

// The measures: the fields a unit is judged by or a quality engineer follows.
// Each row says everything the station and the report need of a measure:
// its field, its words, the limits a plan may set on it with their options
// and the reason a value beyond them gives, and how the report draws it.
// The verdict, the limits' settings, the words of a failure, the window's
// limits line, the report's statistics and its page iterate this table; the
// value itself is taken from the stream by the test that measures it
// (station/fixtest.cpp, station/signaltest.cpp).
//
// A value beyond a limit fails the unit with the limit's reason; the fix
// test's measures are judged in the table's order, and the first that fails
// names the reason.  A measure without a value (a fix without a sky) is
// beyond any upper limit and below any lower limit above 0.
enum class Measure {
    Ttff,
    Satellites,
    SkyCn0,
    SignalCn0,
    Hdop,
    Agc,
    Noise,
    Jamming,
    Acquisition,
    Tracking
};

// The test a measure's value comes from (its row: station/testtypes.h).
enum class Test { Fix, Signal, Acquisition, Tracking };

// How the report's page draws a measure beside its statistics.
enum class Chart {
    None,          // the statistics only
    Distribution,  // a histogram and a cumulative distribution
    PerSlot,       // a box plot per slot
    Both,          // both of these
};

// One side of a measure's limits; a null key: the measure has no such limit.
struct Bound {
    const char* key;        // the plan key and the member of a result's "limits"
    const char* option;     // the command line's
    const char* valueName;  // the option's value in its help
    const char* help;
    double most;         // the largest value a plan may give (the least is 0)
    const char* dialog;  // the station window's settings dialog
    const char* held;    // the window's words for it, %1 the limit, {sv} the satellite
    Reason reason;       // the unit's reason when its value is beyond it
    double least = 0;    // the smallest value a plan may give
};
inline constexpr Bound kNoBound = {nullptr, nullptr, nullptr, nullptr,
                                   0,       nullptr, nullptr, Reason::Ok};

struct MeasureRow {
    Measure measure;
    Field field;        // its value in a result; the field's name is the measure's key
    const char* label;  // "TTFF"
    const char* unit;   // "s"; "" for a count
    Test test;
    bool whole;  // whole numbers only: its limits too
    // A value in a failure's words: %1 the value with `decimals` decimals,
    // {sv} the signal test's satellite: "TTFF 61.2 s", "5 satellites".
    const char* said;
    int decimals;
    Bound least, most;  // the lower and the upper limit
    // The window's words for a window of both limits, %1 and %2 the limits.
    const char* heldBoth;
    Chart chart;
    // Held per slot to its golden unit's figures (mean ± k·σ of its runs,
    // learned at calibration) rather than to the plan's limits: the RF front
    // end's figures, which differ from one slot's cable and antenna to the next.
    bool golden = false;
    // How close inside a limit a pass is marginal, in the measure's unit; 0:
    // 10 % of the limits' span (results/measures.h).  A level in dBm has no
    // span from zero: the sensitivity tests' band is the loss of sensitivity
    // chip makers' factory tests flag, 1.5 dB.
    double marginal = 0;
};

// clang-format off
inline constexpr MeasureRow kMeasures[] = {
    {Measure::Ttff, Field::TtffS, "TTFF", "s", Test::Fix, false, "TTFF %1 s", 1,
     kNoBound,
     {"max_ttff_s", "max-ttff", "S", "Fail a time to first fix over S seconds.", 86400,
      "Maximum TTFF", "TTFF at most %1 s", Reason::TtffOverLimit},
     nullptr, Chart::Distribution},
    {Measure::Satellites, Field::Satellites, "Satellites", "", Test::Fix, true, "%1 satellites", 0,
     {"min_sats", "min-sats", "N", "Fail a fix with fewer than N satellites used.", 99,
      "Minimum satellites", "at least %1 satellites used", Reason::TooFewSatellites},
     kNoBound, nullptr, Chart::None},
    {Measure::SkyCn0, Field::Cn0Mean4, "Sky C/N0", "dB-Hz", Test::Fix, false, "C/N0 %1", 1,
     {"min_cn0", "min-cn0", "DBHZ",
      "Fail a fix whose four strongest satellites average under DBHZ.", 99,
      "Minimum C/N0 (four strongest)", "C/N0 of the 4 strongest at least %1 dB-Hz",
      Reason::Cn0UnderLimit},
     kNoBound, nullptr, Chart::PerSlot},
    {Measure::SignalCn0, Field::SignalCn0Mean, "Signal C/N0", "dB-Hz", Test::Signal, false,
     "{sv} C/N0 %1", 2,
     {"cn0_low", "cn0-low", "DBHZ",
      "Fail a signal test whose mean C/N0 (corrected) is under DBHZ (signal-low).", 99,
      "Signal C/N0 at least", "signal C/N0 of {sv} at least %1 dB-Hz", Reason::SignalLow},
     {"cn0_high", "cn0-high", "DBHZ",
      "Fail a signal test whose mean C/N0 (corrected) is over DBHZ (signal-high).", 99,
      "Signal C/N0 at most", "signal C/N0 of {sv} at most %1 dB-Hz", Reason::SignalHigh},
     "signal C/N0 of {sv} from %1 to %2 dB-Hz", Chart::Both},
    {Measure::Hdop, Field::Hdop, "HDOP", "", Test::Fix, false, "HDOP %1", 1,
     kNoBound,
     {"max_hdop", "max-hdop", "HDOP", "Fail a fix whose HDOP is over HDOP.", 99,
      "Maximum HDOP", "HDOP at most %1", Reason::HdopOverLimit},
     nullptr, Chart::None},
    // The RF front end's figures of a signal test, where the family reports
    // them (station/frontend.h), each the mean over the test's readings.
    // Held to the slot's golden unit (station/calibration.h), not to a plan.
    {Measure::Agc, Field::Agc, "AGC count", "", Test::Signal, false, "AGC %1", 0,
     kNoBound, kNoBound, nullptr, Chart::PerSlot, true},
    {Measure::Noise, Field::Noise, "Noise level", "per ms", Test::Signal, false, "noise %1", 0,
     kNoBound, kNoBound, nullptr, Chart::PerSlot, true},
    {Measure::Jamming, Field::Jamming, "Jamming indicator", "", Test::Signal, false,
     "jamming %1", 0, kNoBound, kNoBound, nullptr, Chart::PerSlot, true},
    // The weakest levels at the antenna port a cold start fixed at and a fix
    // was held at (station/sensitivity.h).
    {Measure::Acquisition, Field::AcquisitionDbm, "Acquisition sensitivity", "dBm",
     Test::Acquisition, false, "acquisition at %1 dBm", 1, kNoBound,
     {"max_acquisition_dbm", "max-acquisition", "DBM",
      "Fail an acquisition sensitivity test whose weakest level fixed at is above DBM.", 0,
      "Acquisition sensitivity at most", "a cold start fixes at %1 dBm",
      Reason::AcquisitionOverLimit, -200},
     nullptr, Chart::Both, false, 1.5},
    {Measure::Tracking, Field::TrackingDbm, "Tracking sensitivity", "dBm", Test::Tracking,
     false, "fix held down to %1 dBm", 1, kNoBound,
     {"max_tracking_dbm", "max-tracking", "DBM",
      "Fail a tracking sensitivity test whose weakest level the fix held at is above DBM.", 0,
      "Tracking sensitivity at most", "the fix held at %1 dBm", Reason::TrackingOverLimit,
      -200},
     nullptr, Chart::Both, false, 1.5},
};
// clang-format on

inline constexpr std::size_t kMeasureCount = std::size(kMeasures);

constexpr bool measuresInOrder() {
    for (std::size_t i = 0; i < kMeasureCount; ++i)
        if (static_cast<std::size_t>(kMeasures[i].measure) != i) return false;
    return true;
}
static_assert(measuresInOrder(), "kMeasures lists the measures in the order of their enumeration");

constexpr const MeasureRow& rowOf(Measure measure) {
    return kMeasures[static_cast<std::size_t>(measure)];
}
// The measure's key: its field's name ("ttff_s").
constexpr const char* keyOf(const MeasureRow& m) {
    return rowOf(m.field).name;
}
// The measure a field holds, if it is one.
constexpr const MeasureRow* measureOf(Field field) {
    for (const MeasureRow& m : kMeasures)
        if (m.field == field) return &m;
    return nullptr;
}

// How a measure is judged, from the limits it may have.
enum class Judged { Not, AtMost, AtLeast, Window };
constexpr Judged judgedOf(const MeasureRow& m) {
    return m.least.key && m.most.key ? Judged::Window
           : m.most.key              ? Judged::AtMost
           : m.least.key             ? Judged::AtLeast
                                     : Judged::Not;
}

}  // namespace results
