// The test types a plan may list (--test), one row each: its name, where
// the --test help says it, the measures it gives, its own settings, what it
// needs of the station, and how the sequencer makes it for a cycle.
//
// Each row is made by a file of station/tests/ (station::testrows::<name>()),
// which the build lists as it lists the families' files; a test type with
// code of its own keeps it beside its row.  A new test type is that file, its
// measures' and fields' rows in vocabulary/fields.h and its reasons' rows in
// vocabulary/reasons.h: the plan's settings and their help, the --test list,
// the generator and calibration checks, the sequencer, the result and the
// window's limits line take it from there.
//
// The fix, signal, antenna and configuration tests are the sequencer's own
// (sequencer.h): their rows name them and say them, and make nothing.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "station/config.h"
#include "station/fixtest.h"
#include "station/runtest.h"
#include "station/settings.h"

namespace station {

struct SweepSlot;

// What a test type is made from for a cycle.
struct TestMaking {
    const UnitConfig& unit;
    FixTest::Settings fix;   // the plan's fix test's, with the family and command found
    const SweepSlot* sweep;  // the slot's place in the generator's sweep; null: none
    std::function<FixTest::Line()> line;
    std::function<Second()> secondSoFar;
};

struct TestTypeRow {
    const char* name;  // in a plan's list of tests
    // Its place in a plan's list, which is the order the turns run in.
    int order;
    // What the --test help says of it, in the help's own order; null: said
    // with another's.
    const char* said = nullptr;
    int saidAt = 0;
    // The test its measures name (vocabulary/fields.h); empty: none.
    std::optional<results::Test> measures = std::nullopt;
    // Its own settings (OwnNumber fields), listed after the signal test's;
    // its limits follow them, the command line's and the plan's only.
    std::vector<Setting> settings = {};
    // Why a plan with it needs the signal generator; null: it does not.
    const char* needsGenerator = nullptr;
    // It reads the slot's calibration; its levels at the antenna port need
    // the slot's path loss too.
    bool readsCalibration = false;
    bool readsPathLoss = false;
    // A turn of the cycle, after the fix and signal tests; null where the
    // sequencer runs the test itself, or the cycle cannot have it (no sweep).
    std::unique_ptr<RunTest> (*make)(const TestMaking&) = nullptr;
};

// Every test type, in the order of a plan's list.
const std::vector<TestTypeRow>& testTypes();
// The row of a test a plan lists; null: none.
const TestTypeRow* testTypeNamed(const QString& name);
// The row whose test gives the measure.
const TestTypeRow& testTypeOf(results::Test test);
// A number of the row's own settings as the plan has it.
double ownNumber(const PlanSettings& plan, const char* key);

}  // namespace station
