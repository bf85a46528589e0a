// The configuration test: the plan's configuration written, saved and read
// back after the last cycle (configtest.h).
#include "station/testtypes.h"

namespace station::testrows {

TestTypeRow config() {
    TestTypeRow row{"config", 60};
    row.said = "config (the --config file written, saved and read back)";
    row.saidAt = 60;
    return row;
}

}  // namespace station::testrows
