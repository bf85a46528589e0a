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

}  // namespace

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
