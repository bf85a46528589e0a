#include "gpslink/resetcommand.h"

#include <utility>

namespace gpslink {
namespace {

constexpr std::array<std::pair<StartType, std::string_view>, 4> kStartNames = {{
    {StartType::Cold, "cold"},
    {StartType::Warm, "warm"},
    {StartType::Hot, "hot"},
    {StartType::Factory, "factory"},
}};

// UBX-CFG-RST, class 0x06, id 0x04, a four-byte payload: navBbrMask, the
// battery-backed data to clear, two bytes least significant first (FFFF all
// of it, cold; 0001 the ephemeris, warm; 0000 nothing, hot); resetMode 0x02,
// a controlled software reset of the GNSS part only, so that the receiver's
// USB port stays connected; reserved1, zero.
std::string ubloxReset(std::string_view navBbrMask) {
    return ubxFrame(0x06, 0x04, std::string(navBbrMask) + std::string("\x02\x00", 2));
}

// One row per family: its name and its start commands, cold, warm, hot and
// factory, each what `command` makes the bytes of (an NMEA sentence's body,
// a binary frame's payload); empty where the family has no such start.
struct Family {
    ReceiverFamily family;
    std::string_view name;
    std::string (*command)(std::string_view start);
    std::array<std::string_view, 4> starts;
};

const Family kFamilies[] = {
    // SiRF NMEA input message 101, navigation initialisation.  Its fields:
    // ECEF X, Y and Z in metres, clock offset in Hz, GPS time of week in
    // seconds, GPS week number, channel count, reset configuration.  Zero
    // position, clock and time with all 12 channels; reset configuration 1
    // hot, 2 warm, 4 cold.
    {ReceiverFamily::Sirf,
     "sirf",
     nmeaCommand,
     {"PSRF101,0,0,0,0,0,0,12,4", "PSRF101,0,0,0,0,0,0,12,2", "PSRF101,0,0,0,0,0,0,12,1", ""}},
    // MediaTek PMTK packet types 101 hot, 102 warm, 103 cold, 104 full cold
    // start (the configuration back to its defaults too).
    {ReceiverFamily::Mtk, "mtk", nmeaCommand, {"PMTK103", "PMTK102", "PMTK101", "PMTK104"}},
    // Airoha PAIR commands 004 hot, 005 warm, 006 cold, 007 full cold start.
    {ReceiverFamily::Airoha, "airoha", nmeaCommand, {"PAIR006", "PAIR005", "PAIR004", "PAIR007"}},
    // Quectel LG-series proprietary start commands, one sentence each.
    {ReceiverFamily::QuectelLg, "quectel-lg", nmeaCommand, {"PQTMCOLD", "PQTMWARM", "PQTMHOT", ""}},
    // CASIC PCAS10 restart; its one field: 0 hot, 1 warm, 2 cold.
    {ReceiverFamily::Casic, "casic", nmeaCommand, {"PCAS10,2", "PCAS10,1", "PCAS10,0", ""}},
    // UBX-CFG-RST's navBbrMask (see ubloxReset).
    {ReceiverFamily::Ublox,
     "ublox",
     ubloxReset,
     {std::string_view("\xFF\xFF", 2), std::string_view("\x01\x00", 2),
      std::string_view("\x00\x00", 2), ""}},
};

const Family* rowOf(ReceiverFamily family) {
    for (const Family& row : kFamilies)
        if (row.family == family) return &row;
    return nullptr;
}

}  // namespace

std::string_view nameOf(ReceiverFamily family) {
    const Family* row = rowOf(family);
    return row ? row->name : std::string_view();
}

std::optional<ReceiverFamily> receiverFamilyFromName(std::string_view name) {
    for (const Family& row : kFamilies)
        if (row.name == name) return row.family;
    return std::nullopt;
}

std::string_view nameOf(StartType type) {
    for (const auto& [value, text] : kStartNames)
        if (value == type) return text;
    return {};
}

std::optional<StartType> startTypeFromName(std::string_view name) {
    for (const auto& [value, text] : kStartNames)
        if (text == name) return value;
    return std::nullopt;
}

std::string resetCommand(ReceiverFamily family, StartType type) {
    const Family* row = rowOf(family);
    if (!row) return {};
    for (std::size_t i = 0; i < kStartTypes.size(); ++i) {
        if (kStartTypes[i] != type || row->starts[i].empty()) continue;
        return row->command(row->starts[i]);
    }
    return {};
}

std::array<std::uint8_t, 2> ubxChecksum(std::string_view bytes) {
    std::uint8_t a = 0, b = 0;
    for (char c : bytes) {
        a = static_cast<std::uint8_t>(a + static_cast<std::uint8_t>(c));
        b = static_cast<std::uint8_t>(b + a);
    }
    return {a, b};
}

std::string ubxFrame(std::uint8_t messageClass, std::uint8_t messageId, std::string_view payload) {
    std::string body;
    body += static_cast<char>(messageClass);
    body += static_cast<char>(messageId);
    body += static_cast<char>(payload.size() & 0xFF);
    body += static_cast<char>((payload.size() >> 8) & 0xFF);
    body += payload;
    const std::array<std::uint8_t, 2> sum = ubxChecksum(body);
    return std::string("\xB5\x62", 2) + body + static_cast<char>(sum[0]) +
           static_cast<char>(sum[1]);
}

std::size_t ubxValueSize(std::uint32_t key) {
    switch ((key >> 28) & 0x7) {
        case 1:
        case 2:
            return 1;
        case 3:
            return 2;
        case 4:
            return 4;
        case 5:
            return 8;
        default:
            return 0;
    }
}

}  // namespace gpslink
