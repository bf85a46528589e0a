#include "sim/receivermodel.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "gpslink/nmea.h"
#include "gpslink/resetcommand.h"

namespace gpssim {
namespace {

constexpr std::array<std::pair<Behaviour, std::string_view>, 6> kBehaviourNames = {{
    {Behaviour::Normal, "normal"},
    {Behaviour::Silent, "silent"},
    {Behaviour::WrongBaud, "wrong-baud"},
    {Behaviour::Ignore, "ignore"},
    {Behaviour::SlowConfirm, "slow-confirm"},
    {Behaviour::OffAfter, "off-after"},
}};

// Longest input kept while waiting for a line end; NMEA allows 82 characters.
constexpr std::size_t kMaxInputLine = 200;

// The two characters that start a UBX frame, and a SiRF binary one.
constexpr std::string_view kUbxSync = "\xB5\x62";
constexpr std::string_view kSirfSync = "\xA0\xA2";
// Longest UBX payload taken for a frame; a receiver's commands are far shorter.
constexpr std::size_t kMaxUbxPayload = 512;

// Where the receiver stands once it has a fix.
constexpr std::string_view kPosition = "4807.0380,N,01131.0000,E";

// Vertical dilution of precision, for the PDOP that GSA derives from it and the HDOP.
constexpr double kVdop = 1.5;

// The satellites in view by default: PRN, elevation, azimuth, C/N0.
constexpr std::array<std::array<int, 4>, 12> kDefaultSky = {{
    {7, 79, 48, 42},
    {2, 51, 62, 43},
    {26, 36, 256, 42},
    {27, 27, 138, 42},
    {9, 23, 313, 40},
    {4, 19, 159, 41},
    {15, 12, 41, 38},
    {8, 69, 301, 44},
    {10, 8, 58, 0},
    {13, 5, 196, 0},
    {29, 3, 345, 0},
    {31, 1, 112, 0},
}};

// The start commands as their makers publish them, byte for byte (NMEA
// sentences with their checksums; UBX-CFG-RST is read field by field, in
// ReceiverModel::ubloxReset).  The simulated
// receiver obeys exactly these, never the station's own generator, so a wrong
// byte there shows as a command not obeyed.
struct Published {
    gpslink::ReceiverFamily family;
    gpslink::StartType type;
    std::string_view bytes;  // NMEA without CR LF
};
using F = gpslink::ReceiverFamily;
using T = gpslink::StartType;
constexpr Published kPublished[] = {
    {F::Mtk, T::Cold, "$PMTK103*30"},        {F::Mtk, T::Warm, "$PMTK102*31"},
    {F::Mtk, T::Hot, "$PMTK101*32"},         {F::Mtk, T::Factory, "$PMTK104*37"},
    {F::Airoha, T::Cold, "$PAIR006*3C"},     {F::Airoha, T::Warm, "$PAIR005*3F"},
    {F::Airoha, T::Hot, "$PAIR004*3E"},      {F::Airoha, T::Factory, "$PAIR007*3D"},
    {F::QuectelLg, T::Cold, "$PQTMCOLD*1C"}, {F::QuectelLg, T::Warm, "$PQTMWARM*11"},
    {F::QuectelLg, T::Hot, "$PQTMHOT*4B"},   {F::Casic, T::Cold, "$PCAS10,2*1E"},
    {F::Casic, T::Warm, "$PCAS10,1*1D"},     {F::Casic, T::Hot, "$PCAS10,0*1C"},
};

// The identity queries as their makers publish them, and what the receiver
// answers: its firmware (f), hardware (h) and unique ID (u) in the places its
// family's answer has them.
struct Query {
    gpslink::ReceiverFamily family;
    std::string_view bytes;  // NMEA without CR LF
};
constexpr Query kQueries[] = {
    {F::Sirf, "$PSRF125*21"},
    {F::Sirf, std::string_view("\xA0\xA2\x00\x02\x84\x00\x00\x84\xB0\xB3", 10)},  // MID 132
    {F::Mtk, "$PMTK605*31"},
    {F::Airoha, "$PAIR020*38"},
    {F::QuectelLg, "$PQTMVERNO*58"},
    {F::QuectelLg, "$PQTMUNIQID*16"},
    {F::Casic, "$PCAS06,0*1B"},
    {F::Casic, "$PCAS06,1*1A"},
    {F::Ublox, std::string_view("\xB5\x62\x0A\x04\x00\x00\x0E\x34", 8)},  // MON-VER
    {F::Ublox, std::string_view("\xB5\x62\x27\x03\x00\x00\x2A\xA5", 8)},  // SEC-UNIQID
};

// The published start of the family with these bytes.
std::optional<gpslink::StartType> publishedStart(gpslink::ReceiverFamily family,
                                                 std::string_view bytes) {
    for (const Published& p : kPublished)
        if (p.family == family && p.bytes == bytes) return p.type;
    return std::nullopt;
}

std::string le16(std::size_t value) {
    return {char(value & 0xFF), char((value >> 8) & 0xFF)};
}

// CASIC: the 32-bit sum of id << 24, class << 16, length and the payload's
// little-endian words, sent least significant byte first.
std::string casicPacket(int messageClass, int id, std::string_view payload) {
    std::uint32_t sum = (std::uint32_t(id) << 24) + (std::uint32_t(messageClass) << 16) +
                        std::uint32_t(payload.size());
    for (std::size_t i = 0; i + 3 < payload.size(); i += 4)
        for (int k = 0; k < 4; ++k) sum += std::uint32_t(std::uint8_t(payload[i + k])) << (8 * k);
    std::string packet = "\xBA\xCE" + le16(payload.size()) + char(messageClass) + char(id);
    packet += payload;
    for (int k = 0; k < 4; ++k) packet += char((sum >> (8 * k)) & 0xFF);
    return packet;
}

// SiRF binary: A0 A2, length (most significant first), payload, 15-bit sum, B0 B3.
std::string sirfPacket(std::string_view payload) {
    unsigned sum = 0;
    for (char c : payload) sum += std::uint8_t(c);
    sum &= 0x7FFF;
    std::string packet = "\xA0\xA2";
    packet += char((payload.size() >> 8) & 0x7F);
    packet += char(payload.size() & 0xFF);
    packet += payload;
    packet += char(sum >> 8);
    packet += char(sum & 0xFF);
    return packet + "\xB0\xB3";
}

// RTCM 3: D3, a ten-bit length, payload, CRC-24Q.
std::string rtcm3Packet(std::string_view payload) {
    std::string packet = "\xD3";
    packet += char((payload.size() >> 8) & 0x03);
    packet += char(payload.size() & 0xFF);
    packet += payload;
    std::uint32_t crc = 0;
    for (char c : packet) {
        crc ^= std::uint32_t(std::uint8_t(c)) << 16;
        for (int bit = 0; bit < 8; ++bit)
            if ((crc <<= 1) & 0x1000000) crc ^= 0x1864CFB;
    }
    return packet + char((crc >> 16) & 0xFF) + char((crc >> 8) & 0xFF) + char(crc & 0xFF);
}

// A payload of n bytes with "$" and "*" here and there, as real payloads have.
std::string payloadWithDollars(std::size_t n, int kind) {
    std::string payload(n, '\0');
    for (std::size_t i = 0; i < n; ++i) payload[i] = char((i * 37 + std::size_t(kind) * 11) & 0xFF);
    for (std::size_t i = 3; i < n; i += 17) payload[i] = '$';
    for (std::size_t i = 9; i < n; i += 23) payload[i] = '*';
    return payload;
}

// Text padded with NULs to n bytes, as UBX's fixed-size strings are.
std::string padded(std::string_view text, std::size_t n) {
    std::string out(text.substr(0, n - 1));
    out.resize(n, '\0');
    return out;
}

std::string clockText(std::int64_t msOfDay) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d%02d.%03d", int(msOfDay / 3600000 % 24),
                  int(msOfDay / 60000 % 60), int(msOfDay / 1000 % 60), int(msOfDay % 1000));
    return text;
}

std::string digits(int value, int width = 2) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", width, value);
    return text;
}

// A line as it may be shown in a log: printable ASCII, at most 100 characters.
std::string printable(std::string_view line) {
    std::string text;
    for (char c : line.substr(0, 100)) text += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (line.size() > 100) text += "...";
    return text;
}

// A dilution of precision with one or two decimals: 0.9, 1.25, 12.0.
std::string dopText(double value) {
    char text[32];
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2).ptr;
    std::string out(text, end);  // a point, whatever the user's locale
    if (out.back() == '0') out.pop_back();
    return out;
}

}  // namespace

std::optional<Binary> binaryFromName(std::string_view name) {
    constexpr std::pair<Binary, std::string_view> kNames[] = {{Binary::Ubx, "ubx"},
                                                              {Binary::Casic, "casic"},
                                                              {Binary::Sirf, "sirf"},
                                                              {Binary::Rtcm3, "rtcm3"}};
    for (const auto& [value, text] : kNames)
        if (text == name) return value;
    return std::nullopt;
}

std::optional<Behaviour> behaviourFromName(std::string_view name) {
    for (const auto& [value, text] : kBehaviourNames)
        if (text == name) return value;
    return std::nullopt;
}

std::string_view nameOf(Behaviour behaviour) {
    for (const auto& [value, text] : kBehaviourNames)
        if (value == behaviour) return text;
    return {};
}

ReceiverModel::ReceiverModel(ReceiverConfig config)
    : config_(std::move(config)),
      epochMs_(1000 / std::clamp(config_.rateHz, 1, 10)),
      inSirfBinary_(config_.sirfBinary && config_.family == gpslink::ReceiverFamily::Sirf),
      garbleRng_(config_.seed),
      chunker_(config_.chunking, config_.seed),
      noiseRng_(config_.seed ^ 0x5eed),
      store_(config_.family, {config_.refusedItems, config_.loseUnsaved, config_.ubxMonitors,
                              config_.failingMemory}),
      frontEndRng_(config_.seed ^ 0xf407) {
    for (int band = 0; band < (config_.dualBand ? 2 : 1); ++band)
        frontEnd_.push_back(readFrontEnd(config_.frontEnd, frontEndRng_));
    const std::string name(nameOf(config_.family));
    if (config_.firmware.empty()) config_.firmware = name + "-SIM 1.0";
    if (config_.hardware.empty()) config_.hardware = "SIM-" + name;
    if (config_.uniqueId.empty()) {
        char id[16];
        std::snprintf(id, sizeof id, "5ee0%06x", unsigned(config_.seed & 0xFFFFFF));
        config_.uniqueId = id;
    }
    if (config_.generator) {
        sky_.push_back({config_.generator->prn, 45, 180, 1});
        return;
    }
    // The default sky's positions first, then further PRNs spread over the sky.
    const std::size_t inView =
        config_.snr.empty() ? kDefaultSky.size() : std::min(config_.snr.size(), kMaxInView);
    int nextPrn = 1;
    for (std::size_t i = 0; i < inView; ++i) {
        Satellite s{};
        if (i < kDefaultSky.size()) {
            s = {kDefaultSky[i][0], kDefaultSky[i][1], kDefaultSky[i][2], kDefaultSky[i][3]};
        } else {
            const auto taken = [&](int prn) {
                return std::any_of(kDefaultSky.begin(), kDefaultSky.end(),
                                   [&](const auto& d) { return d[0] == prn; });
            };
            while (taken(nextPrn)) ++nextPrn;
            s = {nextPrn++, 5 + int(i * 37 % 80), int(i * 97 % 360), 0};
        }
        if (!config_.snr.empty()) s.snr = std::clamp(config_.snr[i], 0, 99);
        sky_.push_back(s);
    }
}

// One epoch's sentences: GGA, GSA, the GSV group (four satellites a
// sentence), RMC.  An empty time leaves the time fields empty, as a receiver
// that does not know the time yet may.  Without a fix no satellite is tracked.
// GSA lists every satellite used, twelve a sentence; GGA's count stops at 12,
// as many receivers' does.
std::string ReceiverModel::burstOf(const std::string& time, const std::string& date, bool fix,
                                   bool tracked) const {
    std::string burst;
    const std::string position = config_.longSentences
                                     ? std::string("4807.0380123,N,01131.0000456,E")
                                     : std::string(kPosition);
    const std::string altitude = config_.longSentences ? "545.4321,M,46.9000,M" : "545.4,M,46.9,M";
    std::vector<int> used;
    for (const Satellite& s : sky_)
        if (s.snr > 0) used.push_back(s.prn);
    if (config_.satellitesUsed && std::size_t(*config_.satellitesUsed) < used.size())
        used.resize(std::size_t(*config_.satellitesUsed));
    const std::string hdop = dopText(config_.hdop);
    for (const char* talker : {"GP", "GL"}) {
        if (talker[1] == 'L' && !config_.secondGga) break;
        if (fix) {
            const int count = config_.satellitesUsed.value_or(std::min(int(used.size()), 12));
            burst += gpslink::nmeaCommand(std::string(talker) + "GGA," + time + "," + position +
                                          "," + std::to_string(config_.fixQuality) + "," +
                                          digits(count) + "," + hdop + "," + altitude + ",,0000");
        } else {
            burst += gpslink::nmeaCommand(std::string(talker) + "GGA," + time +
                                          ",,,,,0,00,,,M,0.0,M,,0000");
        }
    }
    if (fix) {
        const std::string dops = dopText(std::sqrt(config_.hdop * config_.hdop + kVdop * kVdop)) +
                                 "," + hdop + "," + dopText(kVdop);
        for (std::size_t first = 0; first == 0 || first < used.size(); first += 12) {
            std::string list;
            for (std::size_t i = first; i < first + 12; ++i)
                list += (i < used.size() ? digits(used[i]) : std::string()) + ",";
            burst += gpslink::nmeaCommand("GPGSA,A,3," + list + dops);
        }
    } else {
        burst += gpslink::nmeaCommand("GPGSA,A,1,,,,,,,,,,,,,,,");
    }
    // One group per signal: L1 C/A (signal ID 1), and with dual band L5 (8).
    const std::size_t parts = (sky_.size() + 3) / 4;
    for (const char* signal : {"1", "8"}) {
        const bool l5 = signal[0] == '8';
        if (l5 && !config_.dualBand) break;
        for (std::size_t part = 0; part < parts; ++part) {
            const std::string talker = config_.generator ? config_.generator->talker : "GP";
            std::string gsv = talker + "GSV," + std::to_string(parts) + "," +
                              std::to_string(part + 1) + "," + digits(int(sky_.size()));
            for (std::size_t i = part * 4; i < std::min(part * 4 + 4, sky_.size()); ++i) {
                const Satellite& s = sky_[i];
                gsv += "," + digits(s.prn) + "," + digits(s.elevation) + "," +
                       digits(s.azimuth, 3) + ",";
                const int cn0 = l5 ? std::clamp(s.snr + (i % 2 == 0 ? 3 : -5), 1, 99) : s.snr;
                if (tracked && s.snr > 0) gsv += digits(cn0);
            }
            if (config_.dualBand) gsv += std::string(",") + signal;
            burst += gpslink::nmeaCommand(gsv);
        }
    }
    if (fix)
        burst += gpslink::nmeaCommand("GPRMC," + time + ",A," + position + ",0.00,0.00," + date +
                                      ",,,A");
    else
        burst += gpslink::nmeaCommand("GPRMC," + time + ",V,,,,,,," + date + ",,,N");
    if (config_.longSentences)  // a proprietary sentence of 110 characters
        burst += gpslink::nmeaCommand("PSIMX," + time + "," + std::string(99 - time.size(), 'X'));
    burst += binaryPacket();
    return burst;
}

// The binary packet sent after each second's sentences, if any.
std::string ReceiverModel::binaryPacket() const {
    switch (config_.binary) {
        case Binary::None:
            return {};
        case Binary::Ubx:  // NAV-PVT's size
            return gpslink::ubxFrame(0x01, 0x07, payloadWithDollars(92, 1));
        case Binary::Casic:  // NAV-STATUS-like
            return casicPacket(0x01, 0x00, payloadWithDollars(80, 2));
        case Binary::Sirf:  // MID 41, geodetic navigation data
            return sirfPacket("\x29" + payloadWithDollars(90, 3));
        case Binary::Rtcm3:  // message 1005's size
            return rtcm3Packet(payloadWithDollars(19, 4));
    }
    return {};
}

// The antenna's state in the family's form, and for u-blox this second's
// front-end readings, in MON-HW and MON-RF when its configuration has them
// out on UART1 (a rate of n: every n-th epoch).
std::string ReceiverModel::frontEndOutput(std::int64_t now) {
    std::string out;
    if (!config_.antenna.empty())
        out += antennaSentence(config_.family, antennaAt(config_.antenna, now - poweredAtMs_));
    if (config_.family != gpslink::ReceiverFamily::Ublox) return out;
    for (FrontEndReading& reading : frontEnd_)
        reading = readFrontEnd(config_.frontEnd, frontEndRng_);
    const std::int64_t epoch = (now - poweredAtMs_) / epochMs_;
    for (const auto& [key, id] :
         {std::pair{kMsgoutMonHwUart1, 0x09}, std::pair{kMsgoutMonRfUart1, 0x38}}) {
        const std::uint64_t rate = store_.running(key);
        if (rate > 0 && epoch % std::int64_t(rate) == 0) out += monitor(id, now);
    }
    return out;
}

// UBX-MON-HW (id 09) or UBX-MON-RF (38) with this second's readings and the
// antenna's state at the epoch at (ms on the epoch clock).
std::string ReceiverModel::monitor(int id, std::int64_t at) const {
    const Antenna antenna = antennaAt(config_.antenna, at - poweredAtMs_);
    return gpslink::ubxFrame(
        0x0A, id,
        id == 0x09 ? monHwPayload(frontEnd_.front(), antenna) : monRfPayload(frontEnd_, antenna));
}

std::string ReceiverModel::tick() {
    const std::int64_t now = nextEpochMs_;
    nextEpochMs_ += epochMs_;
    if (!powered_ || switchedOff_ || config_.behaviour == Behaviour::Silent) return {};
    if (config_.behaviour == Behaviour::OffAfter &&
        now >= std::int64_t(config_.offAfterSeconds) * 1000) {
        switchedOff_ = true;
        note(Event::SwitchedOff, "switched off", now);
        return {};
    }
    if (bootUntilMs_) {
        if (now < *bootUntilMs_) return {};
        bootUntilMs_.reset();
    }
    if (gnssStopped_) return {};
    if (restartAtMs_) {
        if (now < *restartAtMs_) {
            if (config_.behaviour != Behaviour::SlowConfirm || !config_.slowConfirmEmptyTime)
                return {};
            const std::string burst = burstOf("", "", false, false);
            return rateMismatch_ ? garble(burst.size()) : burst;
        }
        restartAtMs_.reset();
        fixBackAtMs_.reset();
        startedAtMs_ = now;
        rfSinceMs_.reset();
        rfFixed_ = false;
        timeKnownNoted_ = fixNoted_ = replayEndNoted_ = false;
        note(Event::Restart, "restart: clock from zero, no fix", now);
    }
    const std::int64_t since = now - startedAtMs_;
    std::string burst = config_.replay.empty() ? synthesize(since, now) + frontEndOutput(now)
                                               : replayBurst(since, now);
    if (inSirfBinary_)  // measured navigation data (MID 2) instead of NMEA
        burst = sirfPacket("\x02" + payloadWithDollars(40, 5));
    if (config_.behaviour == Behaviour::WrongBaud || rateMismatch_) return garble(burst.size());
    return burst;
}

std::vector<std::string> ReceiverModel::tickPieces() {
    return chunker_.split(tick());
}

// The RF input's physics, each figure as published:
// - the thermal noise floor, kT at 290 K, is -174 dBm/Hz, so a signal of P
//   dBm at the antenna port reads C/N0 = P + 174 - NF dB-Hz, NF the front
//   end's noise figure; a GNSS simulator's user manual gives the same
//   figure the other way round: -130 dBm is about 44 dB-Hz (thermal noise
//   only).
// - receivers' data sheets state their sensitivity at the antenna port in
//   dBm: a cold start acquires (and fixes) down to about -145 to -148 dBm,
//   and a fix once had is held down to about -160 to -167 dBm.  Below the
//   acquisition figure a cold start does not fix however long it runs;
//   below the tracking figure the fix and the satellites are lost, and are
//   had again only as a cold start would have them.
// - a record-and-replay generator's application note warns that above the
//   noise floor C/N0 follows the level only loosely: each second's reading
//   here varies evenly within +-0.5 dB about the level's figure.
// Returns the moment the signal was first strong enough to acquire, from
// which the time and the fix count; empty: not yet.
std::optional<std::int64_t> ReceiverModel::rfEpoch(std::int64_t now) {
    const RfInput& rf = *config_.rf;
    if (rfSpread_.empty()) {  // the sky as configured, about its mean
        double sum = 0;
        int tracked = 0;
        for (const Satellite& s : sky_)
            if (s.snr > 0) sum += s.snr, ++tracked;
        for (const Satellite& s : sky_)
            rfSpread_.push_back(s.snr > 0 ? s.snr - sum / tracked : -1000);
    }
    const double port =
        rfLevel_ ? *rfLevel_ - rf.pathLoss : -std::numeric_limits<double>::infinity();
    if (rfFixed_ && port < rf.trackingDbm) {
        rfFixed_ = false;
        rfSinceMs_.reset();
        fixNoted_ = false;
        note(Event::FixLost, "fix lost: the signal is below the tracking sensitivity", now);
    }
    if (!rfFixed_) {
        if (port < rf.acquisitionDbm)
            rfSinceMs_.reset();
        else if (!rfSinceMs_)
            rfSinceMs_ = now;
        rfFixed_ =
            rfSinceMs_ && now - *rfSinceMs_ >= std::int64_t(config_.timeToFirstFixSeconds) * 1000;
    }
    const bool signal = rfFixed_ || rfSinceMs_;
    for (std::size_t i = 0; i < sky_.size(); ++i) {
        const double own = port + rfSpread_[i];
        const double spread = double(noiseRng_.below(1000001)) / 1e6 - 0.5;
        sky_[i].snr = signal && own >= rf.trackingDbm
                          ? std::clamp(int(std::lround(own + 174 - rf.noiseFigure + spread)), 1, 99)
                          : 0;
    }
    return rfSinceMs_;
}

std::string ReceiverModel::synthesize(std::int64_t since, std::int64_t now) {
    // The time and the fix count from the start, or with an RF input from the
    // signal; the time once known stays known until the next start.
    std::int64_t acquiring = since;
    if (config_.rf) {
        const auto signalSince = rfEpoch(now);
        acquiring = signalSince ? now - std::max(*signalSince, startedAtMs_) : -1;
    }
    const std::int64_t knownAfterMs =
        std::int64_t(std::min(config_.timeKnownAfterSeconds, config_.timeToFirstFixSeconds)) * 1000;
    const bool timeKnown = acquiring >= knownAfterMs || (config_.rf && timeKnownNoted_);
    const bool fix = acquiring >= std::int64_t(config_.timeToFirstFixSeconds) * 1000 &&
                     !(fixBackAtMs_ && now < *fixBackAtMs_);

    std::string time = clockText(since);
    std::string date;
    if (timeKnown) {
        const QDateTime utc = config_.startUtc.toUTC().addMSecs(now - knownAfterMs);
        time = clockText(utc.time().msecsSinceStartOfDay());
        date = utc.date().toString(QStringLiteral("ddMMyy")).toStdString();
        if (!timeKnownNoted_) {
            timeKnownNoted_ = true;
            note(Event::TimeKnown,
                 "time known: UTC " + utc.time().toString(QStringLiteral("HH:mm:ss")).toStdString(),
                 now);
        }
    }
    if (fix && !fixNoted_) {
        fixNoted_ = true;
        note(Event::Fix, "fix, " + std::to_string(since / 1000) + " s after start", now);
    }

    if (config_.generator) {  // this second's reading of the generator's satellite
        const Generator& g = *config_.generator;
        const double spread = (double(noiseRng_.below(2000001)) / 1e6 - 1.0) * g.noise;
        const double level = g.cn0 - g.drift * powerUps_ - g.loss + g.offset;
        sky_.front().snr = std::clamp(int(std::lround(level + spread)), 1, 99);
    }
    return burstOf(time, date, fix, fix || ((config_.generator || config_.rf) && timeKnown));
}

std::string ReceiverModel::replayBurst(std::int64_t since, std::int64_t now) {
    const auto index = static_cast<std::size_t>(since / epochMs_);
    if (index < config_.replay.size()) return config_.replay[index];
    if (!replayEndNoted_) {
        replayEndNoted_ = true;
        note(Event::ReplayEnd, "end of the capture", now);
    }
    return {};
}

// Bytes as a UART set to another rate makes of the receiver's output: noise
// in which no "$" ever starts a sentence.
std::string ReceiverModel::garble(std::size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) {
        unsigned value = garbleRng_.below(255);
        if (value >= '$') ++value;
        c = static_cast<char>(value);
    }
    return bytes;
}

void ReceiverModel::receive(std::string_view bytes) {
    if (bytes.empty() || !powered_ || switchedOff_ || config_.behaviour == Behaviour::Silent)
        return;
    if (config_.behaviour == Behaviour::WrongBaud || rateMismatch_) {
        note(Event::Rejected,
             "unreadable at this line rate: " + std::to_string(bytes.size()) + " bytes",
             nextEpochMs_);
        return;
    }
    input_.append(bytes);
    for (;;) {
        const std::size_t start =
            std::min({input_.find('$'), input_.find(kUbxSync), input_.find(kSirfSync)});
        if (start == std::string::npos) {
            // A last 0xB5 or 0xA0 may be the first half of a frame's sync characters.
            const bool half =
                !input_.empty() && (input_.back() == kUbxSync[0] || input_.back() == kSirfSync[0]);
            input_.erase(0, half ? input_.size() - 1 : input_.size());
            return;
        }
        input_.erase(0, start);
        if (input_[0] != '$') {
            if (!(input_[0] == kUbxSync[0] ? takeUbxFrame() : takeSirfFrame())) return;
            continue;
        }
        const std::size_t end = input_.find("\r\n");
        const std::size_t frame = std::min(input_.find(kUbxSync), input_.find(kSirfSync));
        if (frame < end) {  // a sentence broken off by a binary frame
            input_.erase(0, frame);
            continue;
        }
        if (end == std::string::npos) {
            if (input_.size() <= kMaxInputLine) return;
            input_.erase(0, 1);  // never ended: look for the next "$"
            continue;
        }
        std::string line = input_.substr(0, end);
        input_.erase(0, end + 2);
        // A sentence broken off by another "$": only the last one is whole.
        examine(std::string_view(line).substr(line.rfind('$')));
    }
}

// input_ starts with the sync characters.  Examines the frame and drops it
// from input_ when it is whole; false while more bytes are needed.
bool ReceiverModel::takeUbxFrame() {
    if (input_.size() < 6) return false;
    const std::size_t length = std::uint8_t(input_[4]) | std::size_t(std::uint8_t(input_[5])) << 8;
    if (length > kMaxUbxPayload) {
        note(Event::Rejected, "UBX header with a payload of " + std::to_string(length) + " bytes",
             nextEpochMs_);
        input_.erase(0, 2);
        return true;
    }
    if (input_.size() < length + 8) return false;
    const std::array<std::uint8_t, 2> sum =
        gpslink::ubxChecksum(std::string_view(input_).substr(2, length + 4));
    if (std::uint8_t(input_[length + 6]) != sum[0] || std::uint8_t(input_[length + 7]) != sum[1]) {
        note(Event::Rejected, "UBX frame with a bad checksum", nextEpochMs_);
        input_.erase(0, 2);  // the sync characters may have been payload
        return true;
    }
    const std::string frame = input_.substr(0, length + 8);
    input_.erase(0, length + 8);
    examineUbx(frame);
    return true;
}

// input_ starts with A0 A2.  As takeUbxFrame, for a SiRF binary frame: the
// receiver of the SiRF family answers message 132 (its software version) and
// obeys message 129 (back to NMEA).
bool ReceiverModel::takeSirfFrame() {
    if (input_.size() < 4) return false;
    const std::size_t length =
        std::size_t(std::uint8_t(input_[2]) & 0x7F) << 8 | std::uint8_t(input_[3]);
    if (length > kMaxUbxPayload) {
        input_.erase(0, 2);
        return true;
    }
    if (input_.size() < length + 8) return false;
    unsigned sum = 0;
    for (std::size_t i = 4; i < 4 + length; ++i) sum += std::uint8_t(input_[i]);
    sum &= 0x7FFF;
    const bool valid = length > 0 && std::uint8_t(input_[4 + length]) == (sum >> 8) &&
                       std::uint8_t(input_[5 + length]) == (sum & 0xFF) &&
                       input_.compare(6 + length, 2, "\xB0\xB3") == 0;
    if (!valid) {
        note(Event::Rejected, "SiRF binary frame with a bad checksum", nextEpochMs_);
        input_.erase(0, 2);
        return true;
    }
    const std::string frame = input_.substr(0, length + 8);
    input_.erase(0, length + 8);
    if (config_.family != gpslink::ReceiverFamily::Sirf) {
        note(Event::Rejected,
             "not a command of a " + std::string(nameOf(config_.family)) +
                 " receiver: SiRF binary message " + std::to_string(std::uint8_t(frame[4])),
             nextEpochMs_);
        return true;
    }
    if (std::uint8_t(frame[4]) == 0x81 && length == 24) {  // switch to NMEA
        const unsigned rate = unsigned(std::uint8_t(frame[26])) << 8 | std::uint8_t(frame[27]);
        if (inSirfBinary_)
            note(Event::ToNmea,
                 "SiRF binary message 129: NMEA at " + std::to_string(rate) + " baud",
                 nextEpochMs_);
        inSirfBinary_ = false;
        return true;
    }
    answer(frame);
    return true;
}

// Answers an identity query of the receiver's family in the form its
// maker publishes: SiRF NMEA Reference Guide (CS-129435) $PSRF125 and
// $PSRF195, SiRF binary MID 132 and MID 6; MediaTek PMTK command packet
// $PMTK605 and $PMTK705; Airoha PAIR command guide $PAIR020; Quectel LG
// series GNSS protocol manual $PQTMVERNO and $PQTMUNIQID; CASIC receiver
// protocol $PCAS06; u-blox M10 SPG 5.10 Interface
// Description, UBX-MON-VER and UBX-SEC-UNIQID.  Any other query is left
// alone, and so is every one with answersIdentity off.
void ReceiverModel::answer(std::string_view query) {
    using gpslink::ReceiverFamily;
    const bool known = std::any_of(std::begin(kQueries), std::end(kQueries), [&](const Query& q) {
        return q.family == config_.family && q.bytes == query;
    });
    if (!known) {
        note(Event::Rejected, "not acted on: " + printable(query), nextEpochMs_);
        return;
    }
    if (!config_.answersIdentity || !config_.replay.empty()) {
        note(Event::Rejected, "identity query left unanswered: " + printable(query), nextEpochMs_);
        return;
    }
    const std::string& fw = config_.firmware;
    const std::string& hw = config_.hardware;
    const std::string& id = config_.uniqueId;
    std::string reply;
    const ReceiverFamily family = config_.family;
    if (family == ReceiverFamily::Sirf) {
        reply = query[0] == '$' ? gpslink::nmeaCommand("PSRF195," + fw)
                                : sirfPacket("\x06" + fw + std::string(1, '\0'));
    } else if (family == ReceiverFamily::Mtk) {
        reply = gpslink::nmeaCommand("PMTK705," + fw + ",0001," + hw + ",1.0");
    } else if (family == ReceiverFamily::Airoha) {
        reply =
            gpslink::nmeaCommand("PAIR001,020,0") + gpslink::nmeaCommand("PAIR020," + fw + ",S,N");
    } else if (family == ReceiverFamily::QuectelLg) {
        reply = query.find("VERNO") != std::string_view::npos
                    ? gpslink::nmeaCommand("PQTMVERNO," + fw + ",2024/05/06,10:20:30")
                    : gpslink::nmeaCommand("PQTMUNIQID,OK," + std::to_string(id.size()) + "," + id);
    } else if (family == ReceiverFamily::Casic) {
        reply = query.find(",0*") != std::string_view::npos
                    ? gpslink::nmeaCommand("GPTXT,01,01,02,SW=" + fw)
                    : gpslink::nmeaCommand("GPTXT,01,01,02,HW=" + hw + "," + id);
    } else if (family == ReceiverFamily::Ublox) {
        if (std::uint8_t(query[2]) == 0x0A) {
            // Software and hardware versions, then extensions of 30 characters.
            reply = gpslink::ubxFrame(0x0A, 0x04,
                                      padded(fw, 30) + padded("00190000", 10) +
                                          padded("PROTVER=34.10", 30) + padded("MOD=" + hw, 30));
        } else {  // version 1, three reserved bytes, the five bytes of the ID
            std::string bytes("\x01\x00\x00\x00", 4);
            for (std::size_t i = 0; i + 1 < id.size() && bytes.size() < 9; i += 2) {
                unsigned value = 0;
                std::from_chars(id.data() + i, id.data() + i + 2, value, 16);
                bytes += char(value);
            }
            reply = gpslink::ubxFrame(0x27, 0x03, bytes);
        }
    }
    answers_ += reply;
    note(Event::Answered, "identity query answered: " + printable(query), nextEpochMs_);
}

void ReceiverModel::examineUbx(std::string_view frame) {
    char id[16];
    std::snprintf(id, sizeof id, "%02X %02X", unsigned(std::uint8_t(frame[2])),
                  unsigned(std::uint8_t(frame[3])));
    const std::string what =
        "UBX " + std::string(id) + " (" + std::to_string(frame.size()) + " bytes)";
    if (config_.family != gpslink::ReceiverFamily::Ublox) {
        note(Event::Rejected,
             "not a command of a " + std::string(nameOf(config_.family)) + " receiver: " + what,
             nextEpochMs_);
        return;
    }
    const int messageClass = std::uint8_t(frame[2]), messageId = std::uint8_t(frame[3]);
    if (messageClass == 0x06 && messageId == 0x04) return ubloxReset(frame);
    if (messageClass == 0x0A && (messageId == 0x09 || messageId == 0x38) && frame.size() == 8 &&
        config_.replay.empty()) {  // MON-HW, MON-RF polled
        answers_ += monitor(messageId, std::max(nextEpochMs_ - epochMs_, poweredAtMs_));
        note(Event::Answered,
             std::string(messageId == 0x09 ? "UBX-MON-HW" : "UBX-MON-RF") + " polled",
             nextEpochMs_);
        return;
    }
    if (config_.replay.empty()) {
        if (auto outcome = store_.ubx(frame)) {
            answers_ += outcome->reply;
            return note(Event::Configured, outcome->what, nextEpochMs_);
        }
    }
    answer(frame);
}

void ReceiverModel::examine(std::string_view line) {
    using gpslink::StartType;
    const std::int64_t now = nextEpochMs_;
    const std::optional<std::string_view> checked = gpslink::nmeaCheckedBody(line);
    if (!checked) {
        note(Event::Rejected, "bad checksum or framing: " + printable(line), now);
        return;
    }
    const std::string_view body = *checked;
    if (inSirfBinary_) {
        note(Event::Rejected, "NMEA in SiRF binary mode: " + printable(line), now);
        return;
    }
    if (config_.family != gpslink::ReceiverFamily::Sirf) {
        if (const auto type = publishedStart(config_.family, line))
            return obey(*type, printable(line));
        if (std::any_of(std::begin(kQueries), std::end(kQueries),
                        [&](const Query& q) { return q.bytes == line; }))
            return answer(line);
        if (config_.replay.empty()) {
            if (auto outcome = store_.nmea(body)) {
                answers_ += outcome->reply;
                return note(Event::Configured, outcome->what, now);
            }
        }
        note(Event::Rejected,
             "not a command of a " + std::string(nameOf(config_.family)) +
                 " receiver: " + printable(line),
             now);
        return;
    }
    const gpslink::NmeaFields f(body);
    if (f[0] != "PSRF101") {
        answer(line);
        return;
    }
    if (f.size() != 9) {
        note(Event::Rejected, "PSRF101 without its 8 fields: " + printable(line), now);
        return;
    }
    // Reset configuration 4 cold, 2 warm, 1 hot.
    if (f[8] == "4") return obey(StartType::Cold, printable(line));
    if (f[8] == "2") return obey(StartType::Warm, printable(line));
    if (f[8] == "1") return obey(StartType::Hot, printable(line));
    note(Event::Rejected,
         "PSRF101 with reset configuration " + std::string(f[8]) +
             ", not a cold, warm or hot start: " + printable(line),
         now);
}

// UBX-CFG-RST (ZED-F9P Interface Description UBX-18010854, 5.9.21): navBbrMask,
// two bytes (the special sets 0000 hot, 0001 warm, FFFF cold), resetMode,
// reserved.  Which reset modes restart the processor, and so rebuild the
// running configuration, is its 6.6 "Reset behaviour": 0x00, 0x01 and 0x04.
// 0x02 restarts the GNSS part alone; 0x08 stops it, 0x09 starts it again.
void ReceiverModel::ubloxReset(std::string_view frame) {
    using gpslink::StartType;
    const std::int64_t now = nextEpochMs_;
    const std::string_view p = frame.substr(6, frame.size() - 8);
    if (p.size() != 4)
        return note(Event::Rejected,
                    "UBX-CFG-RST with a payload of " + std::to_string(p.size()) + " bytes", now);
    const unsigned mask = std::uint8_t(p[0]) | unsigned(std::uint8_t(p[1])) << 8;
    const unsigned mode = std::uint8_t(p[2]);
    char text[64];
    std::snprintf(text, sizeof text, "UBX-CFG-RST navBbrMask %04X resetMode %02X", mask, mode);
    const std::optional<StartType> type = mask == 0x0000   ? std::optional(StartType::Hot)
                                          : mask == 0x0001 ? std::optional(StartType::Warm)
                                          : mask == 0xFFFF ? std::optional(StartType::Cold)
                                                           : std::nullopt;
    if (!type)
        return note(Event::Rejected, std::string(text) + ": not a hot, warm or cold start", now);
    switch (mode) {
        case 0x00:
        case 0x01:
        case 0x04:
            return obey(*type, std::string(text) + " (the processor reset)", true);
        case 0x02:
            return obey(*type, std::string(text) + " (GNSS only)", false);
        case 0x08:
            if (!obeysStarts()) return note(Event::Ignored, std::string(text) + " not obeyed", now);
            gnssStopped_ = true;
            store_.restarted();
            return note(Event::Stopped, std::string(text) + ": GNSS stopped, silent", now);
        case 0x09:
            if (gnssStopped_ && obeysStarts()) gnssStopped_ = false;
            return obey(*type, std::string(text) + " (GNSS start)", false);
        default:
            return note(Event::Rejected, std::string(text) + ": no such reset mode", now);
    }
}

void ReceiverModel::obey(gpslink::StartType type, const std::string& what, bool processorReset) {
    using gpslink::StartType;
    const std::int64_t now = nextEpochMs_;
    const std::string name(gpslink::nameOf(type));
    const Event::Kind kind = type == StartType::Warm  ? Event::WarmStart
                             : type == StartType::Hot ? Event::HotStart
                                                      : Event::ColdStart;
    if (!obeysStarts()) {
        note(kind, name + " start recognised: " + what, now);
        note(Event::Ignored, name + " start not obeyed (mode ignore)", now);
        return;
    }
    if (type == StartType::Factory)
        store_.factoryReset();
    else if (processorReset)
        store_.processorReset();
    else
        store_.restarted();
    if (type == StartType::Warm || type == StartType::Hot) {
        // The processor restarting is silent a while; the time is kept.
        const int boot = processorReset ? std::max(config_.resetSilenceSeconds, 0) : 0;
        const int seconds = type == StartType::Warm ? config_.warmTtffSeconds
                            : config_.hotKeepsFix   ? 0
                                                    : config_.hotTtffSeconds;
        if (boot > 0) bootUntilMs_ = now + std::int64_t(boot) * 1000;
        if (boot + seconds > 0) {
            fixBackAtMs_ = now + std::int64_t(boot + seconds) * 1000;
            fixNoted_ = false;
        }
        note(kind,
             name + " start recognised: " + what + "; " +
                 (boot > 0 ? "silent for " + std::to_string(boot) + " s, " : std::string()) +
                 (seconds > 0 ? "no fix for " + std::to_string(boot + seconds) + " s" : "fix kept"),
             now);
        return;
    }
    const int silence = config_.behaviour == Behaviour::SlowConfirm ? config_.slowConfirmSeconds
                                                                    : config_.resetSilenceSeconds;
    restartAtMs_ = now + std::int64_t(std::max(silence, 0)) * 1000;
    note(kind,
         name + " start recognised: " + what + "; silent for " + std::to_string(silence) + " s",
         now);
}

void ReceiverModel::powerCycle() {
    const std::int64_t now = nextEpochMs_;
    const int silence = std::max(config_.resetSilenceSeconds, 0);
    store_.powerCycled(config_.backupSupply);
    bootUntilMs_.reset();
    gnssStopped_ = false;
    restartAtMs_ = now + std::int64_t(silence) * 1000;
    poweredAtMs_ = *restartAtMs_;
    ++powerUps_;
    inSirfBinary_ = config_.sirfBinary && config_.family == gpslink::ReceiverFamily::Sirf;
    note(Event::PowerCycled,
         "power cycle: off for " + std::to_string(silence) + " s, the saved configuration kept",
         now);
}

void ReceiverModel::setPowered(bool on) {
    if (on == powered_) return;
    powered_ = on;
    const std::int64_t now = nextEpochMs_;
    if (!on) {
        input_.clear();
        note(Event::PoweredOff, "power off", now);
        return;
    }
    restartAtMs_.reset();
    bootUntilMs_.reset();
    gnssStopped_ = false;
    store_.powerCycled(config_.backupSupply);
    poweredAtMs_ = now;
    ++powerUps_;
    inSirfBinary_ = config_.sirfBinary && config_.family == gpslink::ReceiverFamily::Sirf;
    timeKnownNoted_ = fixNoted_ = replayEndNoted_ = false;
    if (config_.backupSupply) {  // the time and the position kept: a warm start
        startedAtMs_ = now - std::int64_t(config_.timeToFirstFixSeconds) * 1000;
        fixBackAtMs_ = now + std::int64_t(config_.warmTtffSeconds) * 1000;
        note(Event::PoweredOn,
             "power on: the backup supply kept the time; no fix for " +
                 std::to_string(config_.warmTtffSeconds) + " s",
             now);
        return;
    }
    startedAtMs_ = now;
    fixBackAtMs_.reset();
    rfSinceMs_.reset();
    rfFixed_ = false;
    note(Event::PoweredOn, "power on without a backup supply: clock from zero, no fix", now);
}

void ReceiverModel::setRateMismatch(bool mismatch) {
    rateMismatch_ = mismatch;
    if (mismatch) input_.clear();
}

std::vector<Event> ReceiverModel::takeEvents() {
    return std::exchange(events_, {});
}

void ReceiverModel::note(Event::Kind kind, std::string text, std::int64_t atMs) {
    events_.push_back(Event{kind, atMs, std::move(text)});
}

}  // namespace gpssim
