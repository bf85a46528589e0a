// The reset commands of the receiver families the tool can cold-start, as the
// bytes written to the receiver's serial line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/nmea.h"  // the NMEA commands are written with nmeaCommand

namespace gpslink {

enum class ReceiverFamily { Sirf, Mtk, Airoha, QuectelLg, Casic, Ublox };

// Cold: every aid lost (ephemeris, almanac, time, position).  Warm: the
// ephemeris lost, time and position kept.  Hot: everything kept.  Factory:
// a cold start that also clears the configuration.
enum class StartType { Cold, Warm, Hot, Factory };

inline constexpr std::array<ReceiverFamily, 6> kReceiverFamilies = {
    ReceiverFamily::Sirf,      ReceiverFamily::Mtk,   ReceiverFamily::Airoha,
    ReceiverFamily::QuectelLg, ReceiverFamily::Casic, ReceiverFamily::Ublox};
inline constexpr std::array<StartType, 4> kStartTypes = {StartType::Cold, StartType::Warm,
                                                         StartType::Hot, StartType::Factory};

// "sirf", "mtk", "airoha", "quectel-lg", "casic", "ublox".
std::string_view nameOf(ReceiverFamily family);
std::optional<ReceiverFamily> receiverFamilyFromName(std::string_view name);

// "cold", "warm", "hot", "factory".
std::string_view nameOf(StartType type);
std::optional<StartType> startTypeFromName(std::string_view name);

// The bytes that make a receiver of the family start so: an NMEA sentence with
// its checksum and CR LF, or for ublox a binary UBX frame.  Empty when the
// family has no such start.
std::string resetCommand(ReceiverFamily family, StartType type);

// The two-byte checksum of a UBX frame (8-bit Fletcher) over bytes, which are
// the class, id, length and payload.
std::array<std::uint8_t, 2> ubxChecksum(std::string_view bytes);
// A UBX frame: sync characters B5 62, class, id, the payload length (two
// bytes, least significant first), the payload and the checksum.
std::string ubxFrame(std::uint8_t messageClass, std::uint8_t messageId, std::string_view payload);
// The size in bytes of a configuration item's value (UBX-CFG-VALSET/VALGET),
// from bits 28 to 30 of its key ID: 1 for a bit (kept in a byte) or a byte,
// 2, 4 or 8; 0 for none.
std::size_t ubxValueSize(std::uint32_t key);

}  // namespace gpslink
