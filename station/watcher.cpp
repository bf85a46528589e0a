#include "station/watcher.h"

#include "gpslink/resetcommand.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <functional>

namespace station {

namespace {

// NMEA 0183 allows 82 characters a sentence, line end included.
constexpr std::size_t kMaxSentence = 82;

// The characters that framing looks at inside a sentence: a new "$", a line
// end, the "*".  Every other character only makes the sentence longer.
constexpr std::array<bool, 256> kFramingCharacters = [] {
    std::array<bool, 256> framing{};
    for (const unsigned char c : {'$', '\r', '\n', '*'}) framing[c] = true;
    return framing;
}();

// The comma-separated fields of a body, without allocating: at most
// kMaxFields, and a body with more counts as kMaxFields + 1 (more than any
// sentence decoded here may have).
class Fields {
public:
    static constexpr std::size_t kMaxFields = 21;  // GSV: 4, four satellites of 4, a signal ID

    explicit Fields(std::string_view body) {
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
    std::size_t size() const { return count_; }
    std::string_view operator[](std::size_t i) const { return fields_[i]; }

private:
    std::array<std::string_view, kMaxFields> fields_;
    std::size_t count_ = 0;
};

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

std::optional<std::string_view> checkedBody(std::string_view sentence) {
    return gpslink::nmeaCheckedBody(sentence);
}

// GGA: address, UTC time, latitude, N/S, longitude, E/W, fix quality,
// satellites used, HDOP, altitude, M, geoid separation, M, age of
// differential data, reference station: fifteen fields, and some receivers
// end with one more, empty.
std::optional<Gga> parseGga(std::string_view body) {
    const Fields f(body);
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
    const Fields f(body);
    if (f.size() < 4 || f[0].size() != 5 || f[0].substr(2) != "GSV") return std::nullopt;
    const std::size_t blocks = (f.size() - 4) / 4;
    const std::size_t rest = (f.size() - 4) % 4;
    if (blocks > 4 || rest > 1) return std::nullopt;
    const auto total = number(f[1], 1), index = number(f[2], 1), inView = number(f[3], 2);
    if (!total || !index || !inView || *total < 1 || *index < 1 || *index > *total)
        return std::nullopt;
    GsvPart part{std::string(f[0].substr(0, 2)), *total, *index, {}};
    part.snr.reserve(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::string_view snr = f[4 + b * 4 + 3];
        if (snr.empty()) continue;
        const auto value = number(snr, 2);
        if (!value) return std::nullopt;
        if (*value > 0) part.snr.push_back(*value);
    }
    return part;
}

// The framing of one character at a time, without copying what arrives: a
// sentence that begins and ends within the chunk is examined where it lies,
// and only an unfinished one is kept (in pending_) for the next chunk.
void Watcher::feed(std::string_view bytes) {
    const char* const data = bytes.data();
    const std::size_t size = bytes.size();
    // The sentence under way is pending_ followed by data[begin, i); pending_
    // holds its start only when it began in an earlier chunk.
    bool open = !pending_.empty();
    std::size_t begin = 0;
    std::size_t length = pending_.size();
    std::size_t star = open ? pending_.find('*') : std::string::npos;  // its first "*"
    for (std::size_t i = 0; i < size; ++i) {
        if (open && star == std::string::npos) {  // skip what only makes it longer
            const std::size_t stop = std::min(size, i + (kMaxSentence - length));
            const std::size_t from = i;
            while (i < stop && !kFramingCharacters[static_cast<unsigned char>(data[i])]) ++i;
            length += i - from;
            if (i == size) break;
        }
        const char c = data[i];
        if (c == '$') {
            pending_.clear();
            open = true;
            begin = i;
            length = 1;
            star = std::string::npos;
            continue;
        }
        if (!open) {  // nothing to do before the next "$"
            const void* next = std::memchr(data + i, '$', size - i);
            if (next == nullptr) return;
            i = std::size_t(static_cast<const char*>(next) - data) - 1;
            continue;
        }
        if (c == '\r' || c == '\n' || length >= kMaxSentence) {
            pending_.clear();
            open = false;
            continue;
        }
        if (c == '*' && star == std::string::npos) star = length;
        ++length;
        if (star != std::string::npos && length == star + 3) {  // the "*" and two after it
            if (pending_.empty()) {
                sentence(std::string_view(data + begin, length));
            } else {
                pending_.append(data, i + 1);
                sentence(pending_);
            }
            pending_.clear();
            open = false;
        }
    }
    if (open && pending_.empty())
        pending_.assign(data + begin, size - begin);
    else if (open)
        pending_.append(data, size);
}

// Only GGA and GSV sentences are checked and decoded; the rest are passed over.
void Watcher::sentence(std::string_view text) {
    const std::string_view formatter = text.substr(3, 3);  // after "$" and the talker
    const bool gga = formatter == "GGA";
    if (!gga && formatter != "GSV") return;
    const auto body = checkedBody(text);
    if (!body || body->size() < 5) return;
    if (gga) {
        if (const auto fix = parseGga(*body); fix && onGga) onGga(*fix);
    } else if (const auto part = parseGsv(*body)) {
        gsv(*part);
    }
}

// The groups keep their storage from epoch to epoch.
void Watcher::gsv(const GsvPart& part) {
    Group& group = building_[part.talker];
    const auto restart = [&group](int total) {
        group.total = total;
        group.next = 1;
        group.snr.clear();
    };
    if (part.number == 1) restart(part.total);
    if (part.total != group.total || part.number != group.next) {  // a piece went missing
        restart(0);
        return;
    }
    group.snr.insert(group.snr.end(), part.snr.begin(), part.snr.end());
    ++group.next;
    if (part.number == part.total) {
        complete_[part.talker].assign(group.snr.begin(), group.snr.end());
        restart(0);
    }
}

Sky Watcher::sky() const {
    std::vector<int> all;
    for (const auto& [talker, snr] : complete_) all.insert(all.end(), snr.begin(), snr.end());
    Sky sky;
    sky.withSnr = static_cast<int>(all.size());
    if (all.empty()) return sky;
    std::sort(all.begin(), all.end(), std::greater<int>());
    sky.max = all.front();
    const std::size_t top = std::min<std::size_t>(4, all.size());
    double sum = 0;
    for (std::size_t i = 0; i < top; ++i) sum += all[i];
    sky.meanTop4 = sum / static_cast<double>(top);
    return sky;
}

}  // namespace station
