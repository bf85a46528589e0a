// NMEA 0183 and UBX framing as the simulated receiver needs it: checksums for
// the sentences and packets it sends, and checking of what it is sent.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace gpssim {

// "$", body, "*", the checksum as two upper-case hex digits, CR LF.
std::string nmeaSentence(std::string_view body);

// True when line (without its line end) is "$body*hh" and hh, in either
// case, is the checksum of body.
bool nmeaChecksumValid(std::string_view line);

// UBX's 8-bit Fletcher checksum over class, id, length and payload.
std::array<std::uint8_t, 2> ubxSum(std::string_view bytes);

// A UBX packet: B5 62, class, id, the payload's length (least significant
// byte first), the payload, the checksum.
std::string ubxPacket(int messageClass, int id, std::string_view payload);

}  // namespace gpssim
