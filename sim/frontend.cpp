#include "sim/frontend.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "gpslink/nmea.h"
#include "gpslink/resetcommand.h"

namespace gpssim {
namespace {

using F = gpslink::ReceiverFamily;

constexpr std::array<std::pair<Antenna, std::string_view>, 4> kNames = {{
    {Antenna::Ok, "ok"},
    {Antenna::Open, "open"},
    {Antenna::Short, "short"},
    {Antenna::Unknown, "unknown"},
}};

constexpr std::int64_t kLongestMs = 24 * 3600 * 1000LL;

// u-blox's supervisor states (aStatus, antStatus): 0 INIT, 1 DONTKNOW, 2 OK,
// 3 SHORT, 4 OPEN; and its antenna power (aPower, antPower): 0 OFF, 1 ON, 2
// DONTKNOW.
char ubloxStatus(Antenna state) {
    switch (state) {
        case Antenna::Ok:
            return 2;
        case Antenna::Short:
            return 3;
        case Antenna::Open:
            return 4;
        case Antenna::Unknown:
            break;
    }
    return 1;
}

char ubloxPower(Antenna state) {
    return state == Antenna::Unknown ? 2 : 1;
}

void putU2(std::string& payload, std::size_t at, int value) {
    payload[at] = char(value & 0xFF);
    payload[at + 1] = char((value >> 8) & 0xFF);
}

int spreadOf(int value, int spread, int high, Rng& rng) {
    if (spread <= 0) return value;
    const int delta = int(rng.below(std::uint32_t(2 * spread + 1))) - spread;
    return std::clamp(value + delta, 0, high);
}

}  // namespace

std::string_view nameOf(Antenna state) {
    for (const auto& [value, text] : kNames)
        if (value == state) return text;
    return {};
}

std::vector<AntennaChange> antennaScheduleFrom(std::string_view text, std::string& error) {
    std::vector<AntennaChange> schedule;
    const gpslink::NmeaFields items(text);
    if (items.overlong()) {
        error = "more than " + std::to_string(gpslink::NmeaFields::kMaxFields) + " antenna states";
        return {};
    }
    for (const std::string_view item : items) {
        const std::size_t sign = item.find('@');
        const std::string_view name = item.substr(0, sign);
        const auto known = std::find_if(kNames.begin(), kNames.end(),
                                        [&](const auto& n) { return n.second == name; });
        if (known == kNames.end()) {
            error =
                "unknown antenna state \"" + std::string(name) + "\" (ok, open, short or unknown)";
            return {};
        }
        std::int64_t seconds = 0;
        if (sign != std::string_view::npos) {
            const std::string_view number = item.substr(sign + 1);
            const auto [end, fault] =
                std::from_chars(number.data(), number.data() + number.size(), seconds);
            if (fault != std::errc() || end != number.data() + number.size() || seconds < 0 ||
                seconds * 1000 > kLongestMs) {
                error = "\"" + std::string(item) +
                        "\": the second after power-up is a whole "
                        "number from 0 to 86400";
                return {};
            }
        } else if (!schedule.empty()) {
            error = "\"" + std::string(item) +
                    "\": each change after the first needs its "
                    "second, e.g. open@20";
            return {};
        }
        if (!schedule.empty() && seconds * 1000 <= schedule.back().fromMs) {
            error = "\"" + std::string(item) + "\": the changes go in time order";
            return {};
        }
        schedule.push_back({seconds * 1000, known->first});
    }
    return schedule;
}

Antenna antennaAt(const std::vector<AntennaChange>& schedule, std::int64_t sinceMs) {
    Antenna state = Antenna::Unknown;
    for (const AntennaChange& change : schedule)
        if (change.fromMs <= sinceMs) state = change.state;
    return state;
}

bool saysAntenna(gpslink::ReceiverFamily family) {
    return family == F::Ublox || family == F::Casic || family == F::Mtk;
}

std::string antennaSentence(gpslink::ReceiverFamily family, Antenna state) {
    if (family == F::Ublox) {
        constexpr const char* kWords[] = {"OK", "OPEN", "SHORT", "DONTKNOW"};
        return gpslink::nmeaCommand(std::string("GNTXT,01,01,02,ANTSTATUS=") +
                                    kWords[static_cast<int>(state)]);
    }
    if (family == F::Casic) {
        constexpr const char* kWords[] = {"OK", "OPEN", "SHORT"};
        if (state == Antenna::Unknown) return {};
        return gpslink::nmeaCommand(std::string("GPTXT,01,01,01,ANTENNA ") +
                                    kWords[static_cast<int>(state)]);
    }
    if (family == F::Mtk) {
        constexpr const char* kValues[] = {"3", "2", "1"};
        if (state == Antenna::Unknown) return {};
        return gpslink::nmeaCommand(std::string("PGTOP,11,") + kValues[static_cast<int>(state)]);
    }
    return {};  // SiRF, Airoha and Quectel LG publish no antenna state
}

FrontEndReading readFrontEnd(const FrontEndFigures& f, Rng& rng) {
    FrontEndReading r{};
    r.agc = spreadOf(f.agc, f.spread, 8191, rng);
    r.noise = spreadOf(f.noise, f.spread, 65535, rng);
    r.jamming = spreadOf(f.jamming, f.spread, 255, rng);
    return r;
}

// pinSel, pinBank, pinDir, pinVal (16 bytes), noisePerMS (16), agcCnt (18),
// aStatus (20), aPower (21), flags (22: rtcCalib; jammingState 0, not
// judged), reserved (23), usedMask (24), VP (28, 17 bytes), jamInd (45),
// reserved (46), pinIrq, pullH, pullL (48 to 59).
std::string monHwPayload(const FrontEndReading& r, Antenna antenna) {
    std::string p(60, '\0');
    putU2(p, 16, r.noise);
    putU2(p, 18, r.agc);
    p[20] = ubloxStatus(antenna);
    p[21] = ubloxPower(antenna);
    p[22] = 0x01;
    p[45] = char(r.jamming);
    return p;
}

// version 0, nBlocks, two reserved bytes; per block: blockId (0), flags (1:
// jammingState 0, not judged), antStatus (2), antPower (3), postStatus (4),
// reserved (8), noisePerMS (12), agcCnt (14), jamInd (16), ofsI, magI, ofsQ,
// magQ (17 to 20), reserved (21 to 23).
std::string monRfPayload(const std::vector<FrontEndReading>& blocks, Antenna antenna) {
    std::string p(4, '\0');
    p[1] = char(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::string b(24, '\0');
        b[0] = char(i);
        b[2] = ubloxStatus(antenna);
        b[3] = ubloxPower(antenna);
        putU2(b, 12, blocks[i].noise);
        putU2(b, 14, blocks[i].agc);
        b[16] = char(blocks[i].jamming);
        p += b;
    }
    return p;
}

}  // namespace gpssim
