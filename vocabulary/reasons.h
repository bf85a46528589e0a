// Why a cycle ended as it did, and what that makes of it.
//
// Every reason is one row of kReasons:
//   - its code, which results, JSON and databases carry: scripts, reports and
//     stored files rely on the codes, so a code is never renamed or reused;
//   - the outcome it gives the cycle (pass, fail, station fault, interrupted);
//   - whether the receiver still talks after it, so that a signal test may
//     follow a fix test that ended so;
//   - whether what the run saw beside (its note: "the receiver talks at 4800
//     baud, not 9600") says it all, in place of the reason's own words.
// The words of a reason are its row's where they are fixed (a test type's
// own reasons), else a case of words.cpp's switch; a test holds every reason
// to having words of its own.  The results library reads codes back as text:
// a database may hold codes of later versions.
#pragma once

#include <QString>
#include <QStringView>
#include <optional>

namespace results {

enum class Outcome { Pass, Fail, StationFault, Interrupted };

enum class Reason {
    Ok,
    TtffOverLimit,
    TooFewSatellites,
    Cn0UnderLimit,
    NoData,
    BaudMismatch,
    NoConfirmation,
    ResetNotTaken,
    NoFix,
    NotARealFix,
    ReceiverOff,
    PortUnavailable,
    Interrupted,
    BinaryMode,
    FamilyUnknown,
    IdentityUnknown,
    WrongFirmware,
    SignalLow,
    SignalHigh,
    SignalNotSeen,
    CalibrationNeeded,
    HdopOverLimit,
    AntennaOpen,
    AntennaShort,
    AntennaUnknown,
    ConfigRejected,
    ConfigMismatch,
    RfHealth,
    StationNotQualified,
    RouteCheckFailed,
    PowerFailed,
    OffsetTooLarge,
    AcquisitionOverLimit,
    TrackingOverLimit,
    InstrumentFault,
    SlotHeld,
    FixLost,
};

struct ReasonRow {
    Reason reason;
    const char* code;
    Outcome outcome;
    bool keepsTalking;
    bool noteSaysAll;
    // Its words where they are fixed; null: said from the result
    // (station/words.cpp), or by the limit it failed.
    const char* words = nullptr;
};

// clang-format off
inline constexpr ReasonRow kReasons[] = {
    // reason                     code                  outcome                 talks  note
    {Reason::Ok,                "ok",                 Outcome::Pass,          true,  false},
    {Reason::TtffOverLimit,     "ttff-over-limit",    Outcome::Fail,          true,  false},
    {Reason::TooFewSatellites,  "too-few-satellites", Outcome::Fail,          true,  false},
    {Reason::Cn0UnderLimit,     "cn0-under-limit",    Outcome::Fail,          true,  false},
    {Reason::NoData,            "no-data",            Outcome::Fail,          false, false},
    {Reason::BaudMismatch,      "baud-mismatch",      Outcome::Fail,          false, true},
    {Reason::NoConfirmation,    "no-confirmation",    Outcome::Fail,          false, false},
    {Reason::ResetNotTaken,     "reset-not-taken",    Outcome::Fail,          true,  false},
    {Reason::NoFix,             "no-fix",             Outcome::Fail,          true,  false},
    {Reason::NotARealFix,       "not-a-real-fix",     Outcome::Fail,          true,  true},
    {Reason::ReceiverOff,       "receiver-off",       Outcome::Fail,          false, false},
    {Reason::PortUnavailable,   "port-unavailable",   Outcome::StationFault,  false, false},
    {Reason::Interrupted,       "interrupted",        Outcome::Interrupted,   false, false},
    {Reason::BinaryMode,        "binary-mode",        Outcome::Fail,          false, true},
    {Reason::FamilyUnknown,     "family-unknown",     Outcome::Fail,          false, true},
    {Reason::IdentityUnknown,   "identity-unknown",   Outcome::Fail,          true,  true},
    {Reason::WrongFirmware,     "wrong-firmware",     Outcome::Fail,          true,  true},
    {Reason::SignalLow,         "signal-low",         Outcome::Fail,          true,  false},
    {Reason::SignalHigh,        "signal-high",        Outcome::Fail,          true,  false},
    {Reason::SignalNotSeen,     "signal-not-seen",    Outcome::Fail,          true,  false},
    {Reason::CalibrationNeeded, "calibration-needed", Outcome::StationFault,  false, false},
    {Reason::HdopOverLimit,     "hdop-over-limit",    Outcome::Fail,          true,  false},
    {Reason::AntennaOpen,       "antenna-open",       Outcome::Fail,          true,  false},
    {Reason::AntennaShort,      "antenna-short",      Outcome::Fail,          true,  false},
    {Reason::AntennaUnknown,    "antenna-unknown",    Outcome::Fail,          true,  false},
    {Reason::ConfigRejected,    "config-rejected",    Outcome::Fail,          true,  false},
    {Reason::ConfigMismatch,    "config-mismatch",    Outcome::Fail,          true,  false},
    {Reason::RfHealth,          "rf-health",          Outcome::Fail,          true,  false},
    {Reason::StationNotQualified, "station-not-qualified", Outcome::StationFault, false, false},
    {Reason::RouteCheckFailed,  "route-check-failed", Outcome::StationFault,  false, false},
    {Reason::PowerFailed,       "power-failed",       Outcome::StationFault,  false, false},
    // A calibration's, not a unit's: the golden unit reads too far from its
    // known C/N0 in the slot, which stays out of use (station/calibration.h).
    {Reason::OffsetTooLarge,    "offset-too-large",   Outcome::StationFault,  true,  false},
    // A sensitivity test's (station/sensitivity.h): the weakest level found
    // is above the plan's limit.
    {Reason::AcquisitionOverLimit, "acquisition-over-limit", Outcome::Fail,  true,  false,
     "no cold start fixed as weak a signal as the plan asks"},
    {Reason::TrackingOverLimit, "tracking-over-limit", Outcome::Fail,         true,  false,
     "the fix was lost at a signal stronger than the plan allows"},
    // The signal generator did not answer, reported an error or went away:
    // the station's, for every slot in the sweep, never a unit's.
    {Reason::InstrumentFault,   "instrument-fault",   Outcome::StationFault,  false, true},
    // With --hold-on-alarm: the slot has an open alarm (results/spctable.h).
    {Reason::SlotHeld,          "slot-held",          Outcome::StationFault,  false, false},
    // A hold test's (station/tests/hold.cpp): the fix lost at the plan's
    // hold level.
    {Reason::FixLost,           "fix-lost",           Outcome::Fail,          true,  false,
     "the fix was lost at the plan's hold level"},
};
// clang-format on

namespace reasons_checked {
// The table is in the order of the enumeration, so a reason is its own index.
constexpr bool inOrder() {
    for (std::size_t i = 0; i < std::size(kReasons); ++i)
        if (static_cast<std::size_t>(kReasons[i].reason) != i) return false;
    return true;
}
constexpr bool same(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
// Each code names one reason: a code copied to a new row would store the
// new reason as the old.
constexpr bool codesDiffer() {
    for (std::size_t i = 0; i < std::size(kReasons); ++i)
        for (std::size_t j = i + 1; j < std::size(kReasons); ++j)
            if (same(kReasons[i].code, kReasons[j].code)) return false;
    return true;
}
static_assert(inOrder(), "kReasons lists the reasons in the order of their enumeration");
static_assert(codesDiffer(), "every reason has a code of its own");

}  // namespace reasons_checked

const ReasonRow& rowOf(Reason reason);
inline Outcome outcomeOf(Reason reason) {
    return rowOf(reason).outcome;
}
QString codeOf(Reason reason);
std::optional<Reason> reasonFromCode(QStringView code);

// "pass", "fail", "station-fault", "interrupted".
QString codeOf(Outcome outcome);
std::optional<Outcome> outcomeFromCode(QStringView code);

}  // namespace results
