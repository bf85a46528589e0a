// The receiver families and start types by name, and the framing of u-blox's
// binary commands; the start commands themselves are the families' rows
// (station/families.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/nmea.h"  // the NMEA commands are written with nmeaCommand

namespace gpslink {

// A receiver family, known by its name ("sirf", "mtk", ...).  What the
// station knows of each family, its start commands included, is the family's
// row (station/families.h); the families named here are the ones the
// simulator models and the tests name.  Any other family is its row's
// ReceiverFamily("name").
class ReceiverFamily {
public:
    constexpr ReceiverFamily() = default;
    constexpr explicit ReceiverFamily(std::string_view name) : name_(name) {}
    constexpr std::string_view name() const { return name_; }

    friend constexpr bool operator==(ReceiverFamily a, ReceiverFamily b) {
        return a.name_ == b.name_;
    }
    friend constexpr bool operator!=(ReceiverFamily a, ReceiverFamily b) { return !(a == b); }
    friend constexpr bool operator<(ReceiverFamily a, ReceiverFamily b) {
        return a.name_ < b.name_;
    }

    static const ReceiverFamily Sirf, Mtk, Airoha, QuectelLg, Casic, Ublox;

private:
    std::string_view name_;
};

inline constexpr ReceiverFamily ReceiverFamily::Sirf{"sirf"};
inline constexpr ReceiverFamily ReceiverFamily::Mtk{"mtk"};
inline constexpr ReceiverFamily ReceiverFamily::Airoha{"airoha"};
inline constexpr ReceiverFamily ReceiverFamily::QuectelLg{"quectel-lg"};
inline constexpr ReceiverFamily ReceiverFamily::Casic{"casic"};
inline constexpr ReceiverFamily ReceiverFamily::Ublox{"ublox"};

// Cold: every aid lost (ephemeris, almanac, time, position).  Warm: the
// ephemeris lost, time and position kept.  Hot: everything kept.  Factory:
// a cold start that also clears the configuration.
enum class StartType { Cold, Warm, Hot, Factory };

inline constexpr std::array<StartType, 4> kStartTypes = {StartType::Cold, StartType::Warm,
                                                         StartType::Hot, StartType::Factory};

inline std::string_view nameOf(ReceiverFamily family) {
    return family.name();
}

// "cold", "warm", "hot", "factory".
std::string_view nameOf(StartType type);
std::optional<StartType> startTypeFromName(std::string_view name);

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
