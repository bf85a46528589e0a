// SiRF receivers: $PSRF125 asks the software version, answered by $PSRF195;
// in SiRF binary, message 132 asks it and message 6 answers.  The $PSRFTXT
// start-up banner with the software version hints at a restart (it is also
// repeated while the receiver runs, so it proves one only with the next GGA
// having no fix).  No antenna state and no query of the settings are
// published in NMEA.
#include "gpslink/link.h"
#include "station/families.h"

namespace station {

namespace {

using namespace families;

// NMEA input message 101, navigation initialisation.  Its fields: ECEF X, Y
// and Z in metres, clock offset in Hz, GPS time of week in seconds, GPS week
// number, channel count, reset configuration.  Zero position, clock and time
// with all 12 channels; reset configuration 4 cold, 2 warm, 1 hot.  The cold
// start is the very sentence the bench window sends.
std::string start(gpslink::StartType type) {
    switch (type) {
        case gpslink::StartType::Cold:
            return std::string(gpslink::kColdStartSentence);
        case gpslink::StartType::Warm:
            return gpslink::nmeaCommand("PSRF101,0,0,0,0,0,0,12,2");
        case gpslink::StartType::Hot:
            return gpslink::nmeaCommand("PSRF101,0,0,0,0,0,0,12,1");
        case gpslink::StartType::Factory:
            break;
    }
    return {};
}

std::vector<std::string> queries(bool binary) {
    // Binary message 132, poll software version (its sub-ID 0).
    if (binary) return {sirfFrame(std::string("\x84\x00", 2))};
    return {gpslink::nmeaCommand("PSRF125")};
}

bool sentence(const gpslink::NmeaFields& f, Identity& said) {
    if (!startsWith(f.address(), "PSRF")) return false;
    // The answer to $PSRF125, and the start-up banner "$PSRFTXT,Version ...".
    if (f.address() == "PSRF195" && f.size() >= 2) said.firmware = text(f[1]);
    const std::string_view body = f.from(0);
    const std::size_t version = body.find("Version");
    if (startsWith(body, "PSRFTXT") && version != std::string_view::npos)
        said.firmware = text(body.substr(version + 7));
    return true;
}

void packet(const Packet& packet, Identity& said) {
    // Message 6, the software version: the text, or in later receivers two
    // lengths, then the version and the customer's.
    const std::string_view payload = packet.payload();
    if (packet.messageClass() != 6 || payload.size() < 2) return;
    const auto first = static_cast<unsigned char>(payload[0]);
    if (first < 0x20 && payload.size() >= 2 + std::size_t(first))
        said.firmware = text(payload.substr(2, first));
    else
        said.firmware = text(payload);
}

RestartSign restartSign(std::string_view body, std::string_view) {
    // $PSRFTXTVersion GSW3.2.2..., $PSRFTXT,Version:GSW3...
    return startsWith(body, "PSRFTXT") && containsNoCase(body, "version") ? RestartSign::Banner
                                                                          : RestartSign::None;
}

}  // namespace

namespace rows {

FamilyRow sirf() {
    FamilyRow row;
    row.family = gpslink::ReceiverFamily::Sirf;
    row.rank = 70;
    row.listed = 1;
    row.start = start;
    row.identityQueries = queries;
    row.answersFirmware = true;
    row.sentence = sentence;
    row.packets = PacketKind::Sirf;
    row.packet = packet;
    row.restartSign = restartSign;
    return row;
}

}  // namespace rows

}  // namespace station
