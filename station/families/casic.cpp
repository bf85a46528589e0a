// CASIC receivers: $PCAS06,0 asks the firmware, answered "$GPTXT,...,SW=...";
// $PCAS06,1 the hardware, answered "HW=<hardware>,<unique ID>"; the antenna
// supervisor reports in text ("ANTENNA OK", "ANTENNA OPEN", "ANTENNA
// SHORT"); the binary protocol's packets (BA CE) show the family.  The
// restart command gets no answer and no query of the settings is published.
#include "station/families.h"

namespace station {

namespace {

using namespace families;

// PCAS10, restart; its one field: 2 cold, 1 warm, 0 hot.
std::string start(gpslink::StartType type) {
    switch (type) {
        case gpslink::StartType::Cold:
            return gpslink::nmeaCommand("PCAS10,2");
        case gpslink::StartType::Warm:
            return gpslink::nmeaCommand("PCAS10,1");
        case gpslink::StartType::Hot:
            return gpslink::nmeaCommand("PCAS10,0");
        case gpslink::StartType::Factory:
            break;
    }
    return {};
}

std::vector<std::string> queries(bool) {
    return {gpslink::nmeaCommand("PCAS06,0"), gpslink::nmeaCommand("PCAS06,1")};
}

bool sentence(const gpslink::NmeaFields& f, Identity& said) {
    if (startsWith(f.address(), "PCAS")) return true;
    const auto message = txtMessage(f.from(0));
    if (!message) return false;
    if (startsWith(*message, "SW=")) {
        said.firmware = text(message->substr(3));
        return true;
    }
    if (startsWith(*message, "HW=")) {
        said.hardware = text(f[4].substr(3));
        said.uniqueId = text(f.from(5));
        return true;
    }
    return startsWith(*message, "ANTENNA ");
}

std::optional<AntennaState> antenna(std::string_view body) {
    const auto message = txtMessage(body);
    if (!message) return std::nullopt;
    if (*message == "ANTENNA OK") return AntennaState::Ok;
    if (*message == "ANTENNA OPEN") return AntennaState::Open;
    if (*message == "ANTENNA SHORT") return AntennaState::Short;
    return std::nullopt;
}

}  // namespace

namespace rows {

FamilyRow casic() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily::Casic;
    row.rank = 50;
    row.listed = 5;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = row.answersHardware = true;
    row.sentence = sentence;
    row.packets = PacketKind::Casic;
    row.antenna = antenna;
    return row;
}

}  // namespace rows

}  // namespace station
