#include "gpslink/resetcommand.h"

#include <utility>

namespace gpslink {
namespace {

constexpr std::array<std::pair<ReceiverFamily, std::string_view>, 6> kFamilyNames = {{
    {ReceiverFamily::Sirf, "sirf"},
    {ReceiverFamily::Mtk, "mtk"},
    {ReceiverFamily::Airoha, "airoha"},
    {ReceiverFamily::QuectelLg, "quectel-lg"},
    {ReceiverFamily::Casic, "casic"},
    {ReceiverFamily::Ublox, "ublox"},
}};

constexpr std::array<std::pair<StartType, std::string_view>, 4> kStartNames = {{
    {StartType::Cold, "cold"},
    {StartType::Warm, "warm"},
    {StartType::Hot, "hot"},
    {StartType::Factory, "factory"},
}};

// SiRF NMEA input message 101, navigation initialisation.  Its fields: ECEF
// X, Y and Z in metres, clock offset in Hz, GPS time of week in seconds, GPS
// week number, channel count, reset configuration.  Zero position, clock and
// time with all 12 channels; reset configuration 1 hot, 2 warm, 4 cold.
std::string sirfCommand(StartType type) {
    switch (type) {
        case StartType::Cold:
            return nmeaCommand("PSRF101,0,0,0,0,0,0,12,4");
        case StartType::Warm:
            return nmeaCommand("PSRF101,0,0,0,0,0,0,12,2");
        case StartType::Hot:
            return nmeaCommand("PSRF101,0,0,0,0,0,0,12,1");
        case StartType::Factory:
            break;
    }
    return {};
}

// MediaTek PMTK packet types 101 hot, 102 warm, 103 cold, 104 full cold
// start (the configuration back to its defaults too).
std::string mtkCommand(StartType type) {
    switch (type) {
        case StartType::Cold:
            return nmeaCommand("PMTK103");
        case StartType::Warm:
            return nmeaCommand("PMTK102");
        case StartType::Hot:
            return nmeaCommand("PMTK101");
        case StartType::Factory:
            return nmeaCommand("PMTK104");
    }
    return {};
}

// Airoha PAIR commands 004 hot, 005 warm, 006 cold, 007 full cold start.
std::string airohaCommand(StartType type) {
    switch (type) {
        case StartType::Cold:
            return nmeaCommand("PAIR006");
        case StartType::Warm:
            return nmeaCommand("PAIR005");
        case StartType::Hot:
            return nmeaCommand("PAIR004");
        case StartType::Factory:
            return nmeaCommand("PAIR007");
    }
    return {};
}

// Quectel LG-series proprietary start commands, one sentence each.
std::string quectelLgCommand(StartType type) {
    switch (type) {
        case StartType::Cold:
            return nmeaCommand("PQTMCOLD");
        case StartType::Warm:
            return nmeaCommand("PQTMWARM");
        case StartType::Hot:
            return nmeaCommand("PQTMHOT");
        case StartType::Factory:
            break;
    }
    return {};
}

// CASIC PCAS10 restart; its one field: 0 hot, 1 warm, 2 cold.
std::string casicCommand(StartType type) {
    switch (type) {
        case StartType::Cold:
            return nmeaCommand("PCAS10,2");
        case StartType::Warm:
            return nmeaCommand("PCAS10,1");
        case StartType::Hot:
            return nmeaCommand("PCAS10,0");
        case StartType::Factory:
            break;
    }
    return {};
}

// UBX-CFG-RST, class 0x06, id 0x04, a four-byte payload.
std::string ubloxCommand(StartType type) {
    // navBbrMask, the battery-backed data to clear, two bytes least
    // significant first: FFFF all of it (cold), 0001 the ephemeris (warm),
    // 0000 nothing (hot).
    std::string payload;
    switch (type) {
        case StartType::Cold:
            payload = std::string("\xFF\xFF", 2);
            break;
        case StartType::Warm:
            payload = std::string("\x01\x00", 2);
            break;
        case StartType::Hot:
            payload = std::string("\x00\x00", 2);
            break;
        case StartType::Factory:
            return {};
    }
    // resetMode 0x02: a controlled software reset of the GNSS part only, so
    // that the receiver's USB port stays connected.
    payload += '\x02';
    // reserved1: zero.
    payload += '\x00';
    return ubxFrame(0x06, 0x04, payload);
}

}  // namespace

std::string_view nameOf(ReceiverFamily family) {
    for (const auto& [value, text] : kFamilyNames)
        if (value == family) return text;
    return {};
}

std::optional<ReceiverFamily> receiverFamilyFromName(std::string_view name) {
    for (const auto& [value, text] : kFamilyNames)
        if (text == name) return value;
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
    switch (family) {
        case ReceiverFamily::Sirf:
            return sirfCommand(type);
        case ReceiverFamily::Mtk:
            return mtkCommand(type);
        case ReceiverFamily::Airoha:
            return airohaCommand(type);
        case ReceiverFamily::QuectelLg:
            return quectelLgCommand(type);
        case ReceiverFamily::Casic:
            return casicCommand(type);
        case ReceiverFamily::Ublox:
            return ubloxCommand(type);
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
