// Quectel LG-series receivers: $PQTMVERNO asks the version, $PQTMUNIQID the
// unique ID.  Their restart commands get no answer and their start-up output
// has nothing of its own; no antenna state and no query of the settings are
// published.
#include "station/families.h"

namespace station {

namespace {

using namespace families;

// Its proprietary start commands, one sentence each.
std::string start(gpslink::StartType type) {
    switch (type) {
        case gpslink::StartType::Cold:
            return gpslink::nmeaCommand("PQTMCOLD");
        case gpslink::StartType::Warm:
            return gpslink::nmeaCommand("PQTMWARM");
        case gpslink::StartType::Hot:
            return gpslink::nmeaCommand("PQTMHOT");
        case gpslink::StartType::Factory:
            break;
    }
    return {};
}

std::vector<std::string> queries(bool) {
    return {gpslink::nmeaCommand("PQTMVERNO"), gpslink::nmeaCommand("PQTMUNIQID")};
}

bool sentence(const gpslink::NmeaFields& f, Identity& said) {
    if (!startsWith(f.address(), "PQTM")) return false;
    if (f.address() == "PQTMVERNO" && f.size() >= 2 && f[1] != "ERROR") said.firmware = text(f[1]);
    if (f.address() == "PQTMUNIQID" && f.size() >= 4 && f[1] == "OK") said.uniqueId = text(f[3]);
    return true;
}

}  // namespace

namespace rows {

FamilyRow quectellg() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily::QuectelLg;
    row.rank = 20;
    row.listed = 4;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = row.answersUniqueId = true;
    row.sentence = sentence;
    return row;
}

}  // namespace rows

}  // namespace station
