// u-blox receivers, from the u-blox M10 SPG 5.10 Interface Description and
// the ZED-F9P Interface Description (UBX-18010854): UBX-MON-VER (0A 04) and
// UBX-SEC-UNIQID (27 03) say who the receiver is; the $--TXT start-up banner
// "u-blox ag - www.u-blox.com" hints at a restart (it is also repeated while
// the receiver runs, so it proves one only with the next GGA having no fix);
// the antenna supervisor reports in text (ANTSTATUS=) and in UBX-MON-HW and
// UBX-MON-RF, with the front end's figures; settings are read back with
// UBX-CFG-VALGET.
#include "station/families.h"

namespace station {

namespace {

using namespace families;

// UBX-CFG-RST (06 04), a four-byte payload: navBbrMask, the battery-backed
// data to clear, two bytes least significant first (FFFF all of it, cold;
// 0001 the ephemeris, warm; 0000 nothing, hot); resetMode 0x02, a controlled
// software reset of the GNSS part only, so that the receiver's USB port
// stays connected; reserved1, zero.
std::string start(gpslink::StartType type) {
    const auto reset = [](const char* navBbrMask) {
        return gpslink::ubxFrame(0x06, 0x04,
                                 std::string(navBbrMask, 2) + std::string("\x02\x00", 2));
    };
    switch (type) {
        case gpslink::StartType::Cold:
            return reset("\xFF\xFF");
        case gpslink::StartType::Warm:
            return reset("\x01\x00");
        case gpslink::StartType::Hot:
            return reset("\x00\x00");
        case gpslink::StartType::Factory:
            break;
    }
    return {};
}

std::vector<std::string> queries(bool) {
    // Polls: a message of the class and id with no payload.
    return {gpslink::ubxFrame(0x0A, 0x04, {}), gpslink::ubxFrame(0x27, 0x03, {})};
}

bool sentence(const gpslink::NmeaFields& f, Identity&) {
    if (startsWith(f.address(), "PUBX")) return true;
    const auto message = txtMessage(f.from(0));
    return message && (message->find("u-blox") != std::string_view::npos ||
                       startsWith(*message, "ANTSTATUS="));
}

void packet(const Packet& packet, Identity& said) {
    const std::string_view payload = packet.payload();
    if (packet.messageClass() == 0x0A && packet.messageId() == 0x04 && payload.size() >= 40) {
        // MON-VER: software (30 characters), hardware (10), then extensions
        // of 30 each, some "FWVER=..." and "MOD=...".
        said.firmware = text(payload.substr(0, 30));
        said.hardware = text(payload.substr(30, 10));
        for (std::size_t at = 40; at + 30 <= payload.size(); at += 30) {
            const std::string extension = text(payload.substr(at, 30));
            if (startsWith(extension, "FWVER=")) said.firmware = extension.substr(6);
            if (startsWith(extension, "MOD=")) said.hardware = extension.substr(4);
        }
    }
    if (packet.messageClass() == 0x27 && packet.messageId() == 0x03 && payload.size() >= 9)
        said.uniqueId = hex(payload.substr(4));  // SEC-UNIQID: version, three reserved, the ID
}

RestartSign restartSign(std::string_view body, std::string_view) {
    // $GPTXT,01,01,02,u-blox ag - www.u-blox.com (any talker)
    return body.size() > 5 && body.substr(2, 4) == "TXT," && containsNoCase(body, "u-blox ag")
               ? RestartSign::Banner
               : RestartSign::None;
}

// The supervisor's states: INIT and DONTKNOW say that it does not know.
std::optional<AntennaState> state(std::uint8_t status) {
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

std::optional<AntennaState> antenna(std::string_view body) {
    const auto message = txtMessage(body);
    if (!message || !startsWith(*message, "ANTSTATUS=")) return std::nullopt;
    const std::string_view word = message->substr(10);
    if (word == "OK") return AntennaState::Ok;
    if (word == "OPEN") return AntennaState::Open;
    if (word == "SHORT") return AntennaState::Short;
    if (word == "INIT" || word == "DONTKNOW") return AntennaState::Unknown;
    return std::nullopt;
}

std::uint8_t u1(std::string_view payload, std::size_t at) {
    return static_cast<std::uint8_t>(payload[at]);
}

int u2(std::string_view payload, std::size_t at) {
    return u1(payload, at) | u1(payload, at + 1) << 8;
}

//   UBX-MON-HW (0A 09): noisePerMS (offset 16), agcCnt (18), aStatus (20),
//     jamInd (45)
//   UBX-MON-RF (0A 38): per RF block of 24 bytes from offset 4, antStatus
//     (2), noisePerMS (12), agcCnt (14), jamInd (16); the first block is
//     the antenna's
std::optional<FrontEnd> frontEnd(const Packet& packet) {
    if (packet.messageClass() != 0x0A) return std::nullopt;
    const std::string_view p = packet.payload();
    FrontEnd f;
    if (packet.messageId() == 0x09 && p.size() >= 60) {
        f.figures[results::Measure::Noise] = u2(p, 16);
        f.figures[results::Measure::Agc] = u2(p, 18);
        f.antenna = state(u1(p, 20));
        f.figures[results::Measure::Jamming] = u1(p, 45);
        return f;
    }
    if (packet.messageId() == 0x38 && p.size() >= 4 + 24 && u1(p, 1) >= 1) {
        f.antenna = state(u1(p, 4 + 2));
        f.figures[results::Measure::Noise] = u2(p, 4 + 12);
        f.figures[results::Measure::Agc] = u2(p, 4 + 14);
        f.figures[results::Measure::Jamming] = u1(p, 4 + 16);
        return f;
    }
    return std::nullopt;
}

}  // namespace

namespace rows {

FamilyRow ublox() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily::Ublox;
    row.rank = 10;
    row.listed = 6;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = row.answersHardware = row.answersUniqueId = true;
    row.sentence = sentence;
    row.packets = PacketKind::Ubx;
    row.packet = packet;
    row.restartSign = restartSign;
    row.antenna = antenna;
    row.frontEnd = frontEnd;
    row.readsBackSettings = true;
    return row;
}

}  // namespace rows

}  // namespace station
