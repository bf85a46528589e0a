// Tracking sensitivity: from a fix at the plan's level, the weakest level at
// the antenna port the fix holds at, stepped down (sensitivity.h).
#include "station/sensitivity.h"
#include "station/testtypes.h"

namespace station::testrows {

namespace {

std::unique_ptr<RunTest> make(const TestMaking& m) {
    if (!m.sweep) return nullptr;
    SensitivityRun::Settings s;
    s.search = SensitivityRun::Search::Tracking;
    s.tracking = {m.unit.levelDbm, ownNumber(m.unit, "track_step_db"),
                  ownNumber(m.unit, "track_floor_dbm")};
    s.trackDwellS = int(ownNumber(m.unit, "track_dwell"));
    s.fix = m.fix;
    s.fix.limits = {};
    s.limits = m.unit.limits;
    return std::make_unique<SensitivityRun>(std::move(s), *m.sweep, m.line, m.secondSoFar);
}

}  // namespace

TestTypeRow tracking() {
    TestTypeRow row{"tracking", 40};  // said with acquisition
    row.measures = results::Test::Tracking;
    row.settings = {
        Setting{"track_step_db", "track-step", "DB",
                "The tracking test's step down from --level (default %1).", Kind::Number,
                OwnNumber{1}}
            .range(0.1, 20, "dB")
            .notStored()
            .when(InForce::UnlessDefault),
        Setting{"track_floor_dbm", "track-floor", "DBM",
                "The tracking test's lowest level (default %1).", Kind::Number, OwnNumber{-170}}
            .range(-200, 0, "dBm")
            .notStored()
            .when(InForce::UnlessDefault),
        Setting{"track_dwell", "track-dwell", "S",
                "Seconds the fix must hold at each step of the tracking test (default %1).",
                Kind::Number, OwnNumber{10, true}}
            .range(1, 3600, "s")
            .notStored()
            .when(InForce::UnlessDefault),
    };
    row.needsGenerator = kLevelsNeedTheGenerator;
    row.readsCalibration = row.readsPathLoss = true;
    row.make = make;
    return row;
}

}  // namespace station::testrows
