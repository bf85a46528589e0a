// NMEA 0183 framing as the simulated receiver needs it: checksums for the
// sentences it sends, and checking of the sentences it is sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gpssim {

// "$", body, "*", the checksum as two upper-case hex digits, CR LF.
std::string nmeaSentence(std::string_view body);

// True when line (without its line end) is "$body*hh" and hh, in either
// case, is the checksum of body.
bool nmeaChecksumValid(std::string_view line);

}  // namespace gpssim
