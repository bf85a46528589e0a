#include "sim/nmea.h"

namespace gpssim {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::uint8_t nmeaChecksum(std::string_view body) {
    std::uint8_t sum = 0;
    for (char c : body) sum ^= static_cast<std::uint8_t>(c);
    return sum;
}

std::string nmeaSentence(std::string_view body) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::uint8_t sum = nmeaChecksum(body);
    std::string line;
    line.reserve(body.size() + 6);
    line += '$';
    line += body;
    line += '*';
    line += kHex[sum >> 4];
    line += kHex[sum & 0x0F];
    line += "\r\n";
    return line;
}

bool nmeaChecksumValid(std::string_view line) {
    if (line.size() < 4 || line.front() != '$' || line[line.size() - 3] != '*') return false;
    const int high = hexValue(line[line.size() - 2]);
    const int low = hexValue(line[line.size() - 1]);
    if (high < 0 || low < 0) return false;
    return nmeaChecksum(line.substr(1, line.size() - 4)) == high * 16 + low;
}

}  // namespace gpssim
