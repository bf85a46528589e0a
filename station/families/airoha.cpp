// Airoha receivers (PAIR command set): $PAIR020 asks the firmware version;
// $PAIR001,cmd,0 acknowledges the start command cmd as done.  No antenna
// state and no query of the settings are published.
#include "station/families.h"

namespace station {

namespace {

using namespace families;

// PAIR commands 006 cold, 005 warm, 004 hot, 007 full cold start.
std::string start(gpslink::StartType type) {
    switch (type) {
        case gpslink::StartType::Cold:
            return gpslink::nmeaCommand("PAIR006");
        case gpslink::StartType::Warm:
            return gpslink::nmeaCommand("PAIR005");
        case gpslink::StartType::Hot:
            return gpslink::nmeaCommand("PAIR004");
        case gpslink::StartType::Factory:
            return gpslink::nmeaCommand("PAIR007");
    }
    return {};
}

std::vector<std::string> queries(bool) {
    return {gpslink::nmeaCommand("PAIR020")};
}

bool sentence(const gpslink::NmeaFields& f, Identity& said) {
    if (!startsWith(f.address(), "PAIR")) return false;
    if (f.address() == "PAIR020" && f.size() >= 2) said.firmware = text(f[1]);
    return true;
}

RestartSign restartSign(std::string_view body, std::string_view command) {
    return startsWith(body, "PAIR001,") &&
                   acknowledges(gpslink::NmeaFields(body), "PAIR001", command, "PAIR", "0")
               ? RestartSign::Acknowledged
               : RestartSign::None;
}

}  // namespace

namespace rows {

FamilyRow airoha() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily::Airoha;
    row.rank = 30;
    row.listed = 3;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = true;
    row.sentence = sentence;
    row.restartSign = restartSign;
    return row;
}

}  // namespace rows

}  // namespace station
