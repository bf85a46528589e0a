// The signal test: the C/N0 of the generator's satellite (signaltest.h), run
// by the sequencer itself after the fix test.
#include "station/testtypes.h"

namespace station::testrows {

TestTypeRow signal() {
    TestTypeRow row{"signal", 20};
    row.said = "signal (the C/N0 of the --cn0-sv satellite)";
    row.saidAt = 20;
    row.measures = results::Test::Signal;
    row.readsCalibration = true;
    return row;
}

}  // namespace station::testrows
