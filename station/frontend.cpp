#include "station/frontend.h"

#include "station/families.h"

namespace station {

std::string_view nameOf(AntennaState state) {
    switch (state) {
        case AntennaState::Ok:
            return "ok";
        case AntennaState::Open:
            return "open";
        case AntennaState::Short:
            return "short";
        case AntennaState::Unknown:
            break;
    }
    return "unknown";
}

bool reportsAntenna(gpslink::ReceiverFamily family) {
    return familyRow(family).antenna != nullptr;
}

bool reportsFigures(gpslink::ReceiverFamily family) {
    return familyRow(family).frontEnd != nullptr;
}

std::optional<AntennaState> antennaFromSentence(std::string_view body) {
    for (const FamilyRow& row : familyTable())
        if (row.antenna)
            if (const auto state = row.antenna(body)) return state;
    return std::nullopt;
}

std::optional<FrontEnd> frontEndFromPacket(const Packet& packet) {
    for (const FamilyRow& row : familyTable())
        if (row.frontEnd && row.packets == packet.kind)
            if (auto frontEnd = row.frontEnd(packet)) return frontEnd;
    return std::nullopt;
}

}  // namespace station
