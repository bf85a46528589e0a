// The fix test: a verified reset and the time to first fix (fixtest.h), run
// by the sequencer itself from the cycle's start.
#include "station/testtypes.h"

namespace station::testrows {

TestTypeRow fix() {
    TestTypeRow row{"fix", 10};
    row.said = "fix (a verified reset and the time to first fix; the default)";
    row.saidAt = 10;
    row.measures = results::Test::Fix;
    return row;
}

}  // namespace station::testrows
