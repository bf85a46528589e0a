// MediaTek receivers (PMTK command set): $PMTK605 asks the firmware release,
// answered by $PMTK705; $PMTK010,001 (the start-up notice) and
// $PMTK011,MTKGPS (the system message sent with it) come only after a
// start, and $PMTK001,cmd,3 acknowledges the start command cmd as done;
// GlobalTop and other MediaTek modules' antenna advisor sends $PGTOP,11,n
// (1 active antenna shorted, 2 internal antenna in use, i.e. no active
// antenna, 3 active antenna in use); settings are read back with $PMTK400
// and $PMTK414.
#include "station/families.h"

namespace station {

namespace {

using namespace families;

// PMTK packet types 103 cold, 102 warm, 101 hot, 104 full cold start (the
// configuration back to its defaults too).
std::string start(gpslink::StartType type) {
    switch (type) {
        case gpslink::StartType::Cold:
            return gpslink::nmeaCommand("PMTK103");
        case gpslink::StartType::Warm:
            return gpslink::nmeaCommand("PMTK102");
        case gpslink::StartType::Hot:
            return gpslink::nmeaCommand("PMTK101");
        case gpslink::StartType::Factory:
            return gpslink::nmeaCommand("PMTK104");
    }
    return {};
}

std::vector<std::string> queries(bool) {
    return {gpslink::nmeaCommand("PMTK605")};
}

bool sentence(const gpslink::NmeaFields& f, Identity& said) {
    if (!startsWith(f.address(), "PMTK")) return false;
    if (f.address() == "PMTK705" && f.size() >= 2) {
        said.firmware = text(f[1]);
        if (f.size() >= 4) said.hardware = text(f[3]);
    }
    return true;
}

RestartSign restartSign(std::string_view body, std::string_view command) {
    if (!startsWith(body, "PMTK0")) return RestartSign::None;
    if (body == "PMTK010,001" || body == "PMTK011,MTKGPS") return RestartSign::StartedUp;
    if (acknowledges(gpslink::NmeaFields(body), "PMTK001", command, "PMTK", "3"))
        return RestartSign::Acknowledged;
    return RestartSign::None;
}

std::optional<AntennaState> antenna(std::string_view body) {
    if (!startsWith(body, "PGTOP,")) return std::nullopt;
    const gpslink::NmeaFields f(body);
    if (f[1] != "11" || f.size() != 3) return std::nullopt;
    if (f[2] == "1") return AntennaState::Short;
    if (f[2] == "2") return AntennaState::Open;
    if (f[2] == "3") return AntennaState::Ok;
    return std::nullopt;
}

}  // namespace

namespace rows {

FamilyRow mtk() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily::Mtk;
    row.rank = 40;
    row.listed = 2;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = row.answersHardware = true;
    row.sentence = sentence;
    row.restartSign = restartSign;
    row.antenna = antenna;
    row.readsBackSettings = true;
    return row;
}

}  // namespace rows

}  // namespace station
