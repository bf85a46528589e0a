#include "station/frontend.h"

#include <cstdint>

#include "gpslink/nmea.h"

namespace station {

namespace {

// u-blox's antenna supervisor states, in the binary messages' numbering.
std::optional<AntennaState> ubloxState(std::uint8_t status) {
    switch (status) {
        case 0:  // INIT
        case 1:  // DONTKNOW
            return AntennaState::Unknown;
        case 2:
            return AntennaState::Ok;
        case 3:
            return AntennaState::Short;
        case 4:
            return AntennaState::Open;
        default:
            return std::nullopt;
    }
}

std::uint8_t u1(std::string_view payload, std::size_t at) {
    return static_cast<std::uint8_t>(payload[at]);
}

int u2(std::string_view payload, std::size_t at) {
    return u1(payload, at) | u1(payload, at + 1) << 8;
}

}  // namespace

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
    using gpslink::ReceiverFamily;
    return family == ReceiverFamily::Ublox || family == ReceiverFamily::Casic ||
           family == ReceiverFamily::Mtk;
}

bool reportsFigures(gpslink::ReceiverFamily family) {
    return family == gpslink::ReceiverFamily::Ublox;
}

std::optional<AntennaState> antennaFromSentence(std::string_view body) {
    const gpslink::NmeaFields f(body);
    if (f.address() == "PGTOP" && f[1] == "11" && f.size() == 3) {
        if (f[2] == "1") return AntennaState::Short;
        if (f[2] == "2") return AntennaState::Open;
        if (f[2] == "3") return AntennaState::Ok;
        return std::nullopt;
    }
    // Text: total, number, severity, then the text.
    if (f.formatter() != "TXT" || f.size() < 5) return std::nullopt;
    const std::string_view message = f.from(4);
    const struct {
        std::string_view text;
        AntennaState state;
    } forms[] = {
        {"ANTSTATUS=OK", AntennaState::Ok},
        {"ANTSTATUS=OPEN", AntennaState::Open},
        {"ANTSTATUS=SHORT", AntennaState::Short},
        {"ANTSTATUS=INIT", AntennaState::Unknown},
        {"ANTSTATUS=DONTKNOW", AntennaState::Unknown},
        {"ANTENNA OK", AntennaState::Ok},
        {"ANTENNA OPEN", AntennaState::Open},
        {"ANTENNA SHORT", AntennaState::Short},
    };
    for (const auto& form : forms)
        if (message == form.text) return form.state;
    return std::nullopt;
}

std::optional<FrontEnd> frontEndFromPacket(const Packet& packet) {
    if (packet.kind != PacketKind::Ubx || packet.messageClass() != 0x0A) return std::nullopt;
    const std::string_view p = packet.payload();
    FrontEnd f;
    if (packet.messageId() == 0x09 && p.size() >= 60) {  // MON-HW
        f.figures[results::Measure::Noise] = u2(p, 16);
        f.figures[results::Measure::Agc] = u2(p, 18);
        f.antenna = ubloxState(u1(p, 20));
        f.figures[results::Measure::Jamming] = u1(p, 45);
        return f;
    }
    if (packet.messageId() == 0x38 && p.size() >= 4 + 24 && u1(p, 1) >= 1) {  // MON-RF
        f.antenna = ubloxState(u1(p, 4 + 2));
        f.figures[results::Measure::Noise] = u2(p, 4 + 12);
        f.figures[results::Measure::Agc] = u2(p, 4 + 14);
        f.figures[results::Measure::Jamming] = u1(p, 4 + 16);
        return f;
    }
    return std::nullopt;
}

}  // namespace station
