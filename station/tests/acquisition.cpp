// Acquisition sensitivity: the weakest level at the antenna port a cold
// start fixes at, by bisection under the plan's top (sensitivity.h).
#include "station/sensitivity.h"
#include "station/testtypes.h"

namespace station::testrows {

namespace {

std::unique_ptr<RunTest> make(const TestMaking& m) {
    if (!m.sweep) return nullptr;
    SensitivityRun::Settings s;
    s.search = SensitivityRun::Search::Acquisition;
    s.acquisition.topDbm = ownNumber(m.unit, "acquisition_top_dbm");
    s.fix = m.fix;
    s.fix.limits = {};  // the fix only: the level decides, not the fix test's limits
    s.limits = m.unit.limits;
    return std::make_unique<SensitivityRun>(std::move(s), *m.sweep, m.line, m.secondSoFar);
}

}  // namespace

TestTypeRow acquisition() {
    TestTypeRow row{"acquisition", 30};
    row.said =
        "acquisition and tracking (with a signal generator: the weakest level a cold start "
        "fixes at, and the weakest a fix holds at)";
    row.saidAt = 40;
    row.measures = results::Test::Acquisition;
    row.settings = {
        Setting{"acquisition_top_dbm", "acquisition-top", "DBM",
                "The top of the acquisition test's 32 dB window (default %1).", Kind::Number,
                OwnNumber{-130}}
            .range(-200, 0, "dBm")
            .notStored()
            .when(InForce::UnlessDefault),
    };
    row.needsGenerator = kLevelsNeedTheGenerator;
    row.readsCalibration = row.readsPathLoss = true;
    row.make = make;
    return row;
}

}  // namespace station::testrows
