#include "gpslink/nmea.h"

#include <charconv>

namespace gpslink {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool digits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::uint8_t nmeaChecksum(std::string_view body) {
    std::uint8_t sum = 0;
    for (char c : body) sum ^= static_cast<std::uint8_t>(c);
    return sum;
}

std::string nmeaCommand(std::string_view body) {
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

std::optional<std::string_view> nmeaCheckedBody(std::string_view sentence) {
    if (sentence.size() < 4 || sentence.size() > kMaxSentence || sentence.front() != '$')
        return std::nullopt;
    const std::size_t star = sentence.size() - 3;
    if (sentence[star] != '*') return std::nullopt;
    const int high = hexValue(sentence[star + 1]), low = hexValue(sentence[star + 2]);
    const std::string_view body = sentence.substr(1, star - 1);
    for (char c : body)
        if (c < 0x20 || c > 0x7E || c == '$' || c == '*') return std::nullopt;
    if (high < 0 || low < 0 || nmeaChecksum(body) != high * 16 + low) return std::nullopt;
    return body;
}

NmeaFields::NmeaFields(std::string_view body) : body_(body) {
    for (std::size_t at = 0;; ++count_) {
        if (count_ == kMaxFields) {
            ++count_;
            return;
        }
        const std::size_t comma = body.find(',', at);
        fields_[count_] = body.substr(at, comma == std::string_view::npos ? comma : comma - at);
        if (comma == std::string_view::npos) {
            ++count_;
            return;
        }
        at = comma + 1;
    }
}

std::string_view NmeaFields::from(std::size_t i) const {
    if (i >= stored()) return {};
    return body_.substr(std::size_t(fields_[i].data() - body_.data()));
}

std::string_view NmeaFields::talker() const {
    const std::string_view a = address();
    return a.size() == 5 && a[0] != 'P' ? a.substr(0, 2) : std::string_view();
}

std::string_view NmeaFields::formatter() const {
    const std::string_view a = address();
    return a.size() == 5 && a[0] != 'P' ? a.substr(2) : std::string_view();
}

bool NmeaFields::number(std::size_t i, std::optional<int>& value, std::size_t maxDigits) const {
    value.reset();
    const std::string_view text = (*this)[i];
    if (text.empty()) return true;
    if (text.size() > maxDigits || maxDigits > 9 || !digits(text)) return false;
    int n = 0;
    std::from_chars(text.data(), text.data() + text.size(), n);
    value = n;
    return true;
}

bool NmeaFields::decimal(std::size_t i, std::optional<double>& value) const {
    value.reset();
    const std::string_view text = (*this)[i];
    if (text.empty()) return true;
    if (text.size() > 8 || text == ".") return false;
    int points = 0;
    for (char c : text) {
        if (c == '.')
            ++points;
        else if (c < '0' || c > '9')
            return false;
    }
    if (points > 1) return false;
    double n = 0;
    std::from_chars(text.data(), text.data() + text.size(), n);
    value = n;
    return true;
}

bool NmeaFields::time(std::size_t i, std::optional<int>& ms) const {
    ms.reset();
    const std::string_view text = (*this)[i];
    if (text.empty()) return true;
    if (text.size() < 6 || !digits(text.substr(0, 6))) return false;
    const auto two = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
    const int hh = two(0), mm = two(2), ss = two(4);
    if (hh > 23 || mm > 59 || ss > 60) return false;
    int fraction = 0;
    if (text.size() > 6) {  // a fraction of a second, to any number of digits up to five
        if (text[6] != '.' || text.size() == 7 || text.size() > 12 || !digits(text.substr(7)))
            return false;
        for (std::size_t at = 7; at < 10 && at < text.size(); ++at)
            fraction += (text[at] - '0') * (at == 7 ? 100 : at == 8 ? 10 : 1);
    }
    ms = ((hh * 60 + mm) * 60 + ss) * 1000 + fraction;
    return true;
}

bool NmeaFields::hex(std::size_t i, std::optional<int>& value) const {
    value.reset();
    const std::string_view text = (*this)[i];
    if (text.empty()) return true;
    if (text.size() != 1 || hexValue(text[0]) < 0) return false;
    value = hexValue(text[0]);
    return true;
}

}  // namespace gpslink
