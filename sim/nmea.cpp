#include "sim/nmea.h"

#include <cstdio>

namespace gpssim {

// The simulator checks and makes checksums on its own rather than with the
// station's code, so that a fault there cannot be matched by the same fault
// here: for NMEA the XOR of every byte between "$" and "*".
namespace {

unsigned checksumOf(std::string_view body) {
    unsigned sum = 0;
    for (char c : body) sum ^= std::uint8_t(c);
    return sum;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string nmeaSentence(std::string_view body) {
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", checksumOf(body));
    return "$" + std::string(body) + tail;
}

bool nmeaChecksumValid(std::string_view line) {
    if (line.size() < 4 || line[0] != '$' || line[line.size() - 3] != '*') return false;
    const int high = hexValue(line[line.size() - 2]), low = hexValue(line[line.size() - 1]);
    const std::string_view body = line.substr(1, line.size() - 4);
    return high >= 0 && low >= 0 && body.find_first_of("$*") == std::string_view::npos &&
           unsigned(high * 16 + low) == checksumOf(body);
}

std::array<std::uint8_t, 2> ubxSum(std::string_view bytes) {
    std::uint8_t a = 0, b = 0;
    for (char c : bytes) b = std::uint8_t(b + (a = std::uint8_t(a + std::uint8_t(c))));
    return {a, b};
}

std::string ubxPacket(int messageClass, int id, std::string_view payload) {
    std::string body{char(messageClass), char(id), char(payload.size() & 0xFF),
                     char((payload.size() >> 8) & 0xFF)};
    body += payload;
    const auto sum = ubxSum(body);
    return "\xB5\x62" + body + char(sum[0]) + char(sum[1]);
}

}  // namespace gpssim
