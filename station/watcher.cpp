#include "station/watcher.h"

#include "gpslink/resetcommand.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace station {

namespace {

// NMEA 0183 allows 82 characters a sentence, line end included.
constexpr std::size_t kMaxSentence = 82;

std::vector<std::string_view> split(std::string_view body) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t comma = body.find(',', at);
        if (comma == std::string_view::npos) {
            fields.push_back(body.substr(at));
            return fields;
        }
        fields.push_back(body.substr(at, comma - at));
        at = comma + 1;
    }
}

// A whole number of at most maxDigits digits, nothing else.
std::optional<int> number(std::string_view text, std::size_t maxDigits = 4) {
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

// A decimal such as "0.9" or "12": digits with at most one point.
std::optional<double> decimal(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    int points = 0;
    for (char c : text) {
        if (c == '.')
            ++points;
        else if (c < '0' || c > '9')
            return std::nullopt;
    }
    if (points > 1 || text == ".") return std::nullopt;
    double value = 0;  // read as NMEA writes it, whatever the user's locale
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// hhmmss with optional fraction: the time of day in milliseconds.
std::optional<int> timeOfDay(std::string_view text) {
    if (text.size() < 6) return std::nullopt;
    const auto hh = number(text.substr(0, 2)), mm = number(text.substr(2, 2)),
               ss = number(text.substr(4, 2));
    if (!hh || !mm || !ss || *hh > 23 || *mm > 59 || *ss > 60) return std::nullopt;
    int ms = 0;
    if (text.size() > 6) {  // a fraction of a second, to any number of digits
        if (text[6] != '.' || text.size() == 7 || text.size() > 12) return std::nullopt;
        for (std::size_t i = 7; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            if (i < 10) ms += (text[i] - '0') * (i == 7 ? 100 : i == 8 ? 10 : 1);
        }
    }
    return ((*hh * 60 + *mm) * 60 + *ss) * 1000 + ms;
}

}  // namespace

// GGA: address, UTC time, latitude, N/S, longitude, E/W, fix quality,
// satellites used, HDOP, altitude, M, geoid separation, M, age of
// differential data, reference station: fifteen fields, and some receivers
// end with one more, empty.
std::optional<Gga> parseGga(std::string_view body) {
    const auto f = split(body);
    if (f.size() < 15 || f.size() > 16 || f[0].size() != 5 || f[0].substr(2) != "GGA")
        return std::nullopt;
    if (f.size() == 16 && !f[15].empty()) return std::nullopt;
    Gga gga;
    if (!f[1].empty()) {
        gga.timeMs = timeOfDay(f[1]);
        if (!gga.timeMs) return std::nullopt;
    }
    const auto quality = number(f[6], 1);
    if (!quality || *quality > 8) return std::nullopt;
    gga.quality = *quality;
    if (!f[7].empty()) {
        gga.satellites = number(f[7], 2);
        if (!gga.satellites) return std::nullopt;
    }
    if (!f[8].empty()) {
        gga.hdop = decimal(f[8]);
        if (!gga.hdop) return std::nullopt;
    }
    return gga;
}

// GSV: address, sentences in the group, this sentence's number, satellites in
// view, then per satellite PRN, elevation, azimuth and signal-to-noise
// (empty when not tracked), up to four a sentence; NMEA 4.1 adds a signal ID.
std::optional<GsvPart> parseGsv(std::string_view body) {
    const auto f = split(body);
    if (f.size() < 4 || f[0].size() != 5 || f[0].substr(2) != "GSV") return std::nullopt;
    const std::size_t blocks = (f.size() - 4) / 4;
    const std::size_t rest = (f.size() - 4) % 4;
    if (blocks > 4 || rest > 1) return std::nullopt;
    const auto total = number(f[1], 1), index = number(f[2], 1), inView = number(f[3], 2);
    if (!total || !index || !inView || *total < 1 || *index < 1 || *index > *total)
        return std::nullopt;
    GsvPart part{std::string(f[0].substr(0, 2)), *total, *index, {}};
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::string_view snr = f[4 + b * 4 + 3];
        if (snr.empty()) continue;
        const auto value = number(snr, 2);
        if (!value) return std::nullopt;
        if (*value > 0) part.snr.push_back(*value);
    }
    return part;
}

void Watcher::feed(std::string_view bytes) {
    for (char c : bytes) {
        if (c == '$') {
            pending_.assign(1, c);
            continue;
        }
        if (pending_.empty()) continue;
        if (c == '\r' || c == '\n' || pending_.size() >= kMaxSentence) {
            pending_.clear();
            continue;
        }
        pending_ += c;
        const std::size_t n = pending_.size();
        if (n >= 4 && pending_[n - 3] == '*') {
            sentence(pending_);
            pending_.clear();
        }
    }
}

void Watcher::sentence(std::string_view text) {
    const auto body = gpslink::nmeaCheckedBody(text);
    if (!body || body->size() < 5) return;
    const std::string_view formatter = body->substr(2, 3);
    if (formatter == "GGA") {
        if (const auto gga = parseGga(*body); gga && onGga) onGga(*gga);
    } else if (formatter == "GSV") {
        if (const auto part = parseGsv(*body)) gsv(*part);
    }
}

void Watcher::gsv(const GsvPart& part) {
    Group& group = building_[part.talker];
    if (part.number == 1) group = Group{part.total, 1, {}};
    if (part.total != group.total || part.number != group.next) {  // a piece went missing
        group = Group{};
        return;
    }
    group.snr.insert(group.snr.end(), part.snr.begin(), part.snr.end());
    ++group.next;
    if (part.number == part.total) {
        complete_[part.talker] = std::move(group.snr);
        group = Group{};
    }
}

Sky Watcher::sky() const {
    std::vector<int> all;
    for (const auto& [talker, snr] : complete_) all.insert(all.end(), snr.begin(), snr.end());
    Sky sky;
    sky.withSnr = static_cast<int>(all.size());
    if (all.empty()) return sky;
    std::sort(all.begin(), all.end(), std::greater<int>());
    sky.cn0 = all;
    sky.max = all.front();
    const std::size_t top = std::min<std::size_t>(4, all.size());
    double sum = 0;
    for (std::size_t i = 0; i < top; ++i) sum += all[i];
    sky.meanTop4 = sum / static_cast<double>(top);
    return sky;
}

}  // namespace station
