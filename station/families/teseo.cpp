// STMicroelectronics Teseo receivers (Teseo-LIV3F and the like), from
// UM2229 "Teseo-LIV3F GNSS module - software manual", its NMEA commands:
// $PSTMCOLD, $PSTMWARM and $PSTMHOT restart the receiver cold, warm and hot
// (each without its optional mask: the start's default aids cleared);
// $PSTMGETSWVER,<lib_id> asks a software version, answered by
// $PSTMVER,<version>; lib_id 7 asks the version of the whole binary image,
// the firmware as flashed.  The station knows no answer of the restart
// commands nor an antenna state in NMEA, and does not read its settings
// back.
#include "station/families.h"

namespace station {

namespace {

using namespace families;

std::string start(gpslink::StartType type) {
    switch (type) {
        case gpslink::StartType::Cold:
            return gpslink::nmeaCommand("PSTMCOLD");
        case gpslink::StartType::Warm:
            return gpslink::nmeaCommand("PSTMWARM");
        case gpslink::StartType::Hot:
            return gpslink::nmeaCommand("PSTMHOT");
        case gpslink::StartType::Factory:  // $PSTMRESTOREPAR then a reset: two commands
            break;
    }
    return {};
}

std::vector<std::string> queries(bool) {
    return {gpslink::nmeaCommand("PSTMGETSWVER,7")};
}

bool sentence(const gpslink::NmeaFields& f, Identity& said) {
    if (!startsWith(f.address(), "PSTM")) return false;
    if (f.address() == "PSTMVER" && f.size() >= 2) said.firmware = text(f[1]);
    return true;
}

}  // namespace

namespace rows {

FamilyRow teseo() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily("teseo");
    row.rank = 60;  // no other family answers $PSTMGETSWVER
    row.listed = 7;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = true;
    row.sentence = sentence;
    return row;
}

}  // namespace rows

}  // namespace station
