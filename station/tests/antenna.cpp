// The antenna test: the antenna's state read throughout the cycle
// (antennatest.h), beside the other tests.
#include "station/testtypes.h"

namespace station::testrows {

TestTypeRow antenna() {
    TestTypeRow row{"antenna", 50};
    row.said = "antenna (the antenna's state throughout)";
    row.saidAt = 30;
    return row;
}

}  // namespace station::testrows
