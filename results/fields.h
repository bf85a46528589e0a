// The fields of a unit's result: one row each, iterated by the station's
// JSON (station/result.cpp, one case each of a switch the compiler holds to
// every field) and by the results table's columns (results/store.cpp).
//
// A field is in the JSON result, in a column of the results table, or both.
// The signal test's figures are one JSON object, "signal", whose members are
// kept in columns named "signal_" and the member ("signal_cn0_mean").  "id"
// is the store's: a result is given one when it is kept.  A column is added
// by a schema step that appends (docs/RESULTS.md); a field is never renamed.
#pragma once

#include <cstddef>

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
    Study,
};

struct FieldRow {
    Field field;
    const char* name;
    FieldKind kind;
    bool json;    // a member of the JSON result
    bool column;  // a column of the results table
};

// clang-format off
inline constexpr FieldRow kFields[] = {
    // field                       name                     kind              json   column
    {Field::Id,                  "id",                    FieldKind::Text,  false, true},
    {Field::Unit,                "unit",                  FieldKind::Text,  true,  true},
    {Field::Station,             "station",               FieldKind::Text,  true,  true},
    {Field::Lot,                 "lot",                   FieldKind::Text,  true,  true},
    {Field::Operator,            "operator",              FieldKind::Text,  true,  true},
    {Field::Cycle,               "cycle",                 FieldKind::Int,   true,  true},
    {Field::Started,             "started",               FieldKind::Text,  true,  true},
    {Field::Ended,               "ended",                 FieldKind::Text,  true,  true},
    {Field::Result,              "result",                FieldKind::Text,  true,  true},
    {Field::Reason,              "reason",                FieldKind::Text,  true,  true},
    {Field::Status,              "status",                FieldKind::Text,  true,  true},
    {Field::Port,                "port",                  FieldKind::Text,  true,  true},
    {Field::Device,              "device",                FieldKind::Text,  true,  true},
    {Field::Baud,                "baud",                  FieldKind::Int,   true,  true},
    {Field::Receiver,            "receiver",              FieldKind::Text,  true,  true},
    {Field::Start,               "start",                 FieldKind::Text,  true,  true},
    {Field::ColdStartSent,       "cold_start_sent",       FieldKind::Bool,  true,  true},
    {Field::Confirmed,           "confirmed",             FieldKind::Bool,  true,  true},
    {Field::ResetVerified,       "reset_verified",        FieldKind::Bool,  true,  true},
    {Field::TtffS,               "ttff_s",                FieldKind::Real,  true,  true},
    {Field::Satellites,          "satellites",            FieldKind::Int,   true,  true},
    {Field::Hdop,                "hdop",                  FieldKind::Real,  true,  true},
    {Field::Cn0Max,              "cn0_max",               FieldKind::Real,  true,  true},
    {Field::Cn0Mean4,            "cn0_mean4",             FieldKind::Real,  true,  true},
    {Field::SvWithSnr,           "sv_with_snr",           FieldKind::Int,   true,  true},
    {Field::Limits,              "limits",                FieldKind::Json,  true,  true},
    {Field::Version,             "version",               FieldKind::Text,  true,  true},
    {Field::Plan,                "plan",                  FieldKind::Text,  true,  true},
    {Field::PlanSha256,          "plan_sha256",           FieldKind::Text,  true,  true},
    {Field::Retest,              "retest",                FieldKind::Bool,  true,  true},
    {Field::Firmware,            "firmware",              FieldKind::Text,  true,  true},
    {Field::Hardware,            "hardware",              FieldKind::Text,  true,  true},
    {Field::UniqueId,            "unique_id",             FieldKind::Text,  true,  true},
    {Field::SatellitesGga,       "satellites_gga",        FieldKind::Int,   true,  true},
    {Field::Sky,                 "sky",                   FieldKind::Json,  true,  true},
    {Field::Tests,               "tests",                 FieldKind::Json,  true,  true},
    {Field::Signal,              "signal",                FieldKind::Json,  true,  false},
    {Field::SignalSv,            "signal_sv",             FieldKind::Text,  false, true},
    {Field::SignalSamples,       "signal_samples",        FieldKind::Int,   false, true},
    {Field::SignalCn0Mean,       "signal_cn0_mean",       FieldKind::Real,  false, true},
    {Field::SignalCn0Sd,         "signal_cn0_sd",         FieldKind::Real,  false, true},
    {Field::SignalCn0RawMean,    "signal_cn0_raw_mean",   FieldKind::Real,  false, true},
    {Field::SignalOffset,        "signal_offset",         FieldKind::Real,  false, true},
    {Field::SignalCalibrationId, "signal_calibration_id", FieldKind::Int,   false, true},
    {Field::SignalValues,        "signal_values",         FieldKind::Json,  false, true},
    {Field::Study,               "study",                 FieldKind::Text,  true,  true},
};
// clang-format on

constexpr bool fieldsInOrder() {
    for (std::size_t i = 0; i < std::size(kFields); ++i)
        if (static_cast<std::size_t>(kFields[i].field) != i) return false;
    return true;
}
static_assert(fieldsInOrder(), "kFields lists the fields in the order of their enumeration");

}  // namespace results
