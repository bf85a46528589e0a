#include "station/watcher.h"

#include "gpslink/nmea.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace station {

namespace {

using Fields = gpslink::NmeaFields;

// More fields than any sentence decoded here may have: GSV's 4, four
// satellites of 4 and a signal ID.
constexpr std::size_t kMostFields = 21;

}  // namespace

// GGA: address, UTC time, latitude, N/S, longitude, E/W, fix quality,
// satellites used, HDOP, altitude, M, geoid separation, M, age of
// differential data, reference station: fifteen fields.  Some receivers end
// with more (an empty one, a VDOP): fields after the fifteenth are not read.
// Any field may be null: an empty time is a GGA without a time, an empty fix
// quality one without a fix (a receiver restarting with a kept position sends
// it so), empty satellites or HDOP are not known.
std::optional<Gga> parseGga(std::string_view body) {
    const Fields f(body);
    if (f.size() < 15 || f.size() > kMostFields || f.formatter() != "GGA") return std::nullopt;
    Gga gga;
    gga.time = std::string(f[1]);
    std::optional<int> quality;
    if (!f.time(1, gga.timeMs) || !f.number(6, quality, 1) || (quality && *quality > 8) ||
        !f.number(7, gga.satellites, 2) || !f.decimal(8, gga.hdop))
        return std::nullopt;
    gga.quality = quality.value_or(0);
    return gga;
}

// GSV: address, sentences in the group, this sentence's number, satellites in
// view, then per satellite PRN, elevation, azimuth and C/N0, up to four a
// sentence; NMEA 4.10 adds a signal ID.  The group's fields are what the
// sentence is read for; the rest may be null:
//   - satellites in view empty: not known (it is not used);
//   - a block all empty: no satellite (many receivers pad the group's last
//     sentence to four blocks);
//   - a block without a PRN: no satellite either, for it names none;
//   - elevation, azimuth or C/N0 empty: a satellite without that value (C/N0
//     empty: in view, not tracked).
std::optional<GsvPart> parseGsv(std::string_view body) {
    const Fields f(body);
    if (f.size() < 4 || f.size() > kMostFields || f.formatter() != "GSV") return std::nullopt;
    const std::size_t blocks = (f.size() - 4) / 4;
    const std::size_t rest = (f.size() - 4) % 4;
    if (blocks > 4 || rest > 1) return std::nullopt;
    std::optional<int> total, index, inView;
    if (!f.number(1, total, 1) || !f.number(2, index, 1) || !f.number(3, inView, 2) || !total ||
        !index || *total < 1 || *index < 1 || *index > *total)
        return std::nullopt;
    GsvPart part{std::string(f.talker()), *total, *index, {}, {}};
    if (rest == 1) {
        std::optional<int> signal;
        if (!f.hex(f.size() - 1, signal)) return std::nullopt;
        part.signal = std::string(f.back());
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        std::optional<int> prn;
        GsvPart::Satellite satellite{0, std::nullopt};
        if (!f.number(4 + b * 4, prn, 3)) return std::nullopt;
        if (!prn) continue;  // names no satellite: its other fields are not read
        if (!f.number(4 + b * 4 + 3, satellite.cn0, 2)) return std::nullopt;
        satellite.prn = *prn;
        part.satellites.push_back(satellite);
    }
    return part;
}

// GSA: address, mode, fix type, twelve fields of satellites used, PDOP, HDOP,
// VDOP; NMEA 4.10 adds the system ID.  Empty satellite fields are unused
// channels.  A last field that is not one hex digit is no system ID (some
// receivers send a fourth DOP there): the talker then names the system.
std::optional<GsaPart> parseGsa(std::string_view body) {
    const Fields f(body);
    if (f.size() < 18 || f.size() > 19 || f.formatter() != "GSA") return std::nullopt;
    GsaPart part{std::string(f.talker()), {}, std::nullopt};
    for (std::size_t i = 3; i < 15; ++i) {
        std::optional<int> prn;
        if (!f.number(i, prn, 3)) return std::nullopt;
        if (prn) part.prns.push_back(*prn);
    }
    if (f.size() == 19 && !f.hex(18, part.systemId)) part.systemId.reset();
    return part;
}

std::string systemOf(std::string_view talker, int prn, std::optional<int> systemId) {
    static const char* const kById[] = {"", "GPS", "GLONASS", "Galileo", "BeiDou", "QZSS", "NavIC"};
    std::string system;
    if (systemId && *systemId >= 1 && *systemId <= 6) {
        system = kById[*systemId];
    } else if (talker == "GP") {
        system = "GPS";
    } else if (talker == "GL") {
        system = "GLONASS";
    } else if (talker == "GA") {
        system = "Galileo";
    } else if (talker == "GB" || talker == "BD") {
        system = "BeiDou";
    } else if (talker == "GQ" || talker == "QZ") {
        system = "QZSS";
    } else if (talker == "GI") {
        system = "NavIC";
    } else if (talker == "GN") {  // a combined talker: by the ranges NMEA gives each system
        if (prn >= 1 && prn <= 32) return "GPS";
        if ((prn >= 33 && prn <= 64) || (prn >= 120 && prn <= 158)) return "SBAS";
        if (prn >= 65 && prn <= 96) return "GLONASS";
        if (prn >= 193 && prn <= 202) return "QZSS";
        if ((prn >= 201 && prn <= 263) || (prn >= 401 && prn <= 463)) return "BeiDou";
        if (prn >= 301 && prn <= 336) return "Galileo";
        return {};
    } else {
        return {};
    }
    // GPS talkers and system ID 1 carry SBAS and QZSS satellites in their own ranges.
    if (system == "GPS") {
        if ((prn >= 33 && prn <= 64) || (prn >= 120 && prn <= 158)) return "SBAS";
        if (prn >= 193 && prn <= 202) return "QZSS";
    }
    return system;
}

// Frames where the characters lie: a sentence that begins and ends within
// the chunk is examined in place, and only an unfinished one is kept (in
// pending_) for the next chunk.
void Watcher::feed(std::string_view bytes) {
    const char* const data = bytes.data();
    const std::size_t size = bytes.size();
    // The sentence under way is pending_ followed by data[begin, begin +
    // length - pending_.size()); length 0: none.  A sentence ends two
    // characters after its first "*".
    std::size_t begin = 0;
    std::size_t length = pending_.size();
    std::size_t star = length > 0 ? pending_.find('*') : std::string::npos;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '$') {
            pending_.clear();
            begin = i;
            length = 1;
            star = std::string::npos;
            continue;
        }
        if (length == 0) {  // nothing to do before the next "$"
            const void* next = std::memchr(data + i, '$', size - i);
            if (next == nullptr) return;
            i = std::size_t(static_cast<const char*>(next) - data) - 1;
            continue;
        }
        if (c < 0x20 || c > 0x7E || length >= gpslink::kMaxSentence) {
            pending_.clear();
            length = 0;
            continue;
        }
        if (c == '*' && star == std::string::npos) star = length;
        ++length;
        if (star != std::string::npos && length == star + 3) {
            if (pending_.empty()) {
                sentence(std::string_view(data + begin, length));
            } else {
                pending_.append(data, i + 1);
                sentence(pending_);
                pending_.clear();
            }
            length = 0;
        }
    }
    if (length > 0) pending_.append(data + begin, length - pending_.size());
}

void Watcher::sentence(std::string_view text) {
    const auto body = gpslink::nmeaCheckedBody(text);
    if (!body || body->size() < 5) return;
    if (onSentence) onSentence(*body);
    const std::string_view formatter = body->substr(2, 3);
    if (formatter == "GGA") {
        if (const auto parsed = parseGga(*body)) gga(*parsed);
    } else if (formatter == "GSV") {
        if (const auto part = parseGsv(*body)) gsv(*part);
    } else if (formatter == "GSA") {
        if (const auto part = parseGsa(*body); part && first_) {
            anyGsa_ = true;
            for (int prn : part->prns) {
                std::string system = systemOf(part->talker, prn, part->systemId);
                if (system.empty()) system = systemOf(part->talker, prn);
                if (!system.empty()) used_.insert(Key{system, prn});
            }
        }
    }
}

void Watcher::gga(const Gga& gga) {
    // Times are compared as sent, fractions and all; an empty one never matches.
    if (!first_ || gga.time.empty() || gga.time != first_->time) {
        if (first_) {
            const Second ended = second();
            lastSky_ = ended.sky;
            if (onSecond) onSecond(ended);
        }
        first_ = gga;
        building_.clear();
        order_.clear();
        signals_.clear();
        used_.clear();
        anyGsa_ = false;
    }
    if (onGga) onGga(gga);
}

void Watcher::gsv(const GsvPart& part) {
    if (!first_) return;  // before the first GGA: no second to belong to
    std::string owner = part.talker;
    if (part.number > 1) {
        // Continued by another talker: the group the last sentence went on.
        const auto own = building_.find(part.talker);
        const auto last = building_.find(lastGsvTalker_);
        const bool ownGoesOn = own != building_.end() && own->second.next == part.number &&
                               own->second.total == part.total;
        if (!ownGoesOn && last != building_.end() && last->second.next == part.number &&
            last->second.total == part.total)
            owner = lastGsvTalker_;
    }
    lastGsvTalker_ = owner;
    Group& group = building_[owner];
    if (part.number == 1) group = Group{part.total, 1, {}};
    if (part.total != group.total || part.number != group.next) {  // a piece went missing
        group = Group{};
        return;
    }
    for (const GsvPart::Satellite& s : part.satellites)
        group.entries.push_back(Entry{s, part.talker, part.signal});
    ++group.next;
    if (part.number != part.total) return;
    for (const Entry& entry : group.entries) {
        const std::string system = systemOf(entry.talker, entry.satellite.prn);
        if (system.empty()) continue;
        const Key key{system, entry.satellite.prn};
        auto& known = signals_[key];
        if (known.empty()) order_.push_back(key);
        const auto same = std::find_if(known.begin(), known.end(),
                                       [&](const SkySignal& s) { return s.id == entry.signal; });
        if (same != known.end())
            same->cn0 = entry.satellite.cn0;  // the later group of the second holds
        else
            known.push_back(SkySignal{entry.signal, entry.satellite.cn0});
    }
    group = Group{};
}

Second Watcher::second() const {
    Second s;
    s.gga = first_;
    if (anyGsa_) s.gsaSatellites = static_cast<int>(used_.size());
    std::vector<int> strongest;
    for (const Key& key : order_) {
        SkySatellite satellite{key.system, key.prn, std::nullopt, signals_.at(key)};
        for (const SkySignal& signal : satellite.perSignal)
            if (signal.cn0 && (!satellite.cn0 || *signal.cn0 > *satellite.cn0))
                satellite.cn0 = signal.cn0;
        if (satellite.cn0 && *satellite.cn0 > 0) strongest.push_back(*satellite.cn0);
        s.sky.satellites.push_back(std::move(satellite));
    }
    s.sky.withSnr = static_cast<int>(strongest.size());
    if (strongest.empty()) return s;
    std::sort(strongest.begin(), strongest.end(), std::greater<int>());
    s.sky.max = strongest.front();
    const std::size_t top = std::min<std::size_t>(4, strongest.size());
    double sum = 0;
    for (std::size_t i = 0; i < top; ++i) sum += strongest[i];
    s.sky.meanTop4 = sum / static_cast<double>(top);
    return s;
}

}  // namespace station
