// NMEA as the station speaks it: the reset commands and identity queries of
// every family against their published forms, byte for byte; the binary
// packets taken out of real receivers' streams; and the watcher: which
// sentences count, what is read from them, and the sky of a second.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gpslink/link.h"
#include "gpslink/nmea.h"
#include "gpslink/resetcommand.h"
#include "sim/capture.h"
#include "station/families.h"
#include "station/frames.h"
#include "station/frontend.h"
#include "station/identity.h"
#include "station/inputpacer.h"
#include "station/watcher.h"
#include "station/words.h"
#include "testkit/recordings.h"

namespace station {
namespace {

// A recording of `folder` read in place, a burst a second.
std::vector<std::string> bursts(const std::string& folder, const char* file) {
    std::ifstream in(folder + "/" + file, std::ios::binary);
    return gpssim::captureBursts(std::string(std::istreambuf_iterator<char>(in), {}));
}

TEST(Commands, MatchThePublishedForms) {
    using namespace std::string_literals;
    using F = gpslink::ReceiverFamily;
    const F teseo = familyNamed("teseo").value();
    // Cold, warm, hot and factory; "" where the family has no such start.
    const std::pair<F, std::array<std::string, 4>> table[] = {
        {F::Sirf,
         {"$PSRF101,0,0,0,0,0,0,12,4*10\r\n", "$PSRF101,0,0,0,0,0,0,12,2*16\r\n",
          "$PSRF101,0,0,0,0,0,0,12,1*15\r\n", ""}},
        {F::Mtk, {"$PMTK103*30\r\n", "$PMTK102*31\r\n", "$PMTK101*32\r\n", "$PMTK104*37\r\n"}},
        {F::Airoha, {"$PAIR006*3C\r\n", "$PAIR005*3F\r\n", "$PAIR004*3E\r\n", "$PAIR007*3D\r\n"}},
        {F::QuectelLg, {"$PQTMCOLD*1C\r\n", "$PQTMWARM*11\r\n", "$PQTMHOT*4B\r\n", ""}},
        {F::Casic, {"$PCAS10,2*1E\r\n", "$PCAS10,1*1D\r\n", "$PCAS10,0*1C\r\n", ""}},
        {F::Ublox,
         {"\xB5\x62\x06\x04\x04\x00\xFF\xFF\x02\x00\x0E\x61"s,
          "\xB5\x62\x06\x04\x04\x00\x01\x00\x02\x00\x11\x6C"s,
          "\xB5\x62\x06\x04\x04\x00\x00\x00\x02\x00\x10\x68"s, ""}},
        {teseo, {"$PSTMCOLD*1E\r\n", "$PSTMWARM*13\r\n", "$PSTMHOT*49\r\n", ""}},
    };
    ASSERT_EQ(std::size(table), familyTable().size()) << "a family without its published forms";
    for (const auto& [family, forms] : table) {
        for (std::size_t i = 0; i < forms.size(); ++i) {
            const gpslink::StartType type = gpslink::kStartTypes[i];
            SCOPED_TRACE(std::string(gpslink::nameOf(family)) + " " +
                         std::string(gpslink::nameOf(type)));
            EXPECT_EQ(startCommand(family, type), forms[i]);
        }
    }
    EXPECT_EQ(startCommand(F::Sirf, gpslink::StartType::Cold), gpslink::kColdStartSentence)
        << "what the window sends";

    // The identity queries; SiRF binary message 132 (poll software version)
    // and message 129 (switch to NMEA, the makers' example at 9600 baud).
    const std::pair<std::vector<std::string>, std::vector<std::string>> queries[] = {
        {identityQueries(F::Sirf), {"$PSRF125*21\r\n"}},
        {identityQueries(F::Sirf, true), {"\xA0\xA2\x00\x02\x84\x00\x00\x84\xB0\xB3"s}},
        {identityQueries(F::Mtk), {"$PMTK605*31\r\n"}},
        {identityQueries(F::Airoha), {"$PAIR020*38\r\n"}},
        {identityQueries(F::QuectelLg), {"$PQTMVERNO*58\r\n", "$PQTMUNIQID*16\r\n"}},
        {identityQueries(F::Casic), {"$PCAS06,0*1B\r\n", "$PCAS06,1*1A\r\n"}},
        {identityQueries(teseo), {"$PSTMGETSWVER,7*12\r\n"}},
        {identityQueries(F::Ublox),
         {"\xB5\x62\x0A\x04\x00\x00\x0E\x34"s, "\xB5\x62\x27\x03\x00\x00\x2A\xA5"s}},
        {{sirfToNmea(9600)},
         {"\xA0\xA2\x00\x18\x81\x02\x01\x01\x00\x01\x01\x01\x05\x01\x01\x01\x00\x01\x00\x01"
          "\x00\x01\x00\x01\x00\x01\x25\x80\x01\x3A\xB0\xB3"s}},
    };
    for (const auto& [built, published] : queries) EXPECT_EQ(built, published);
}

// Real receivers' streams with binary packets between their sentences: every
// packet is taken out by its own framing, however the bytes arrive, and every
// GGA is handed on whole, though the packets hold "$" bytes.
// Each family's answers to its identity queries, as published, read by its
// row; what a receiver shows first is its family.
TEST(Families, EachRowReadsItsFamilysAnswers) {
    using F = gpslink::ReceiverFamily;
    using namespace std::string_literals;
    const auto ubx = [](int cls, int id, const std::string& payload) {
        return Packet{PacketKind::Ubx, gpslink::ubxFrame(cls, id, payload)};
    };
    std::string monVer = std::string("ROM CORE 3.01 (107888)").append(8, '\0') +
                         std::string("00080000").append(2, '\0');
    monVer += std::string("FWVER=SPG 5.10").append(16, '\0');
    monVer += std::string("MOD=NEO-M9N").append(19, '\0');
    const struct {
        F family;
        std::vector<std::string> sentences;
        std::vector<Packet> packets;
        Identity expected;
    } cases[] = {
        {F::Mtk,
         {"PMTK705,AXN_5.1.7_3333_1,0001,MT3333,1.0"},
         {},
         {"AXN_5.1.7_3333_1", "MT3333", ""}},
        {F::QuectelLg,
         {"PQTMVERNO,ERROR", "PQTMVERNO,LG69TAPNR01A03S,2024/05/06,10:20:30",
          "PQTMUNIQID,OK,12,0123456789AB"},
         {},
         {"LG69TAPNR01A03S", "", "0123456789AB"}},
        {F::Airoha,
         {"PAIR001,020,0", "PAIR020,AG3335M_V2.5.0,S,N"},
         {},
         {"AG3335M_V2.5.0", "", ""}},
        {F::Casic,
         {"GPTXT,01,01,01,ANTENNA OK", "GPTXT,01,01,02,SW=URANUS5,V5.3.0.0",
          "GPTXT,01,01,02,HW=ATGM336H,0123ABCD"},
         {},
         {"URANUS5,V5.3.0.0", "ATGM336H", "0123ABCD"}},
        {F::Sirf,
         {"PSRF195,GSW3.5.0_3.5.00.00-SDK-3EP2.01"},
         {},
         {"GSW3.5.0_3.5.00.00-SDK-3EP2.01", "", ""}},
        {F::Sirf,
         {},
         {Packet{PacketKind::Sirf, sirfFrame("\x06"
                                             "GSW3.2.4\x00"s)}},
         {"GSW3.2.4", "", ""}},
        {F::Ublox,
         {"GNTXT,01,01,02,u-blox AG - www.u-blox.com"},
         {ubx(0x0A, 0x04, monVer), ubx(0x27, 0x03, "\x01\x00\x00\x00\x12\x34\x56\x78\x9A"s)},
         {"SPG 5.10", "NEO-M9N", "123456789a"}},
        {familyNamed("teseo").value(),
         {"PSTMVER,BINIMG_4.6.5.1_CP_LIV3FL_RTCM_ARM"},
         {},
         {"BINIMG_4.6.5.1_CP_LIV3FL_RTCM_ARM", "", ""}},
        // A Quectel LG receiver on an Airoha chip answers $PAIR too: shown as
        // Airoha first, it says its Quectel version all the same.
        {F::Airoha,
         {"PAIR020,AG3335M_V2.5.0,S,N", "PQTMVERNO,LG290P03AANR01A01S"},
         {},
         {"AG3335M_V2.5.0", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(gpslink::nameOf(c.family)) + " " + c.expected.firmware);
        IdentityReader reader;
        EXPECT_FALSE(reader.complete(c.family));
        for (const std::string& body : c.sentences) reader.sentence(body);
        for (const Packet& packet : c.packets) reader.packet(packet);
        EXPECT_EQ(reader.family(), c.family);
        EXPECT_EQ(reader.identity().firmware, c.expected.firmware);
        EXPECT_EQ(reader.identity().hardware, c.expected.hardware);
        EXPECT_EQ(reader.identity().uniqueId, c.expected.uniqueId);
        EXPECT_TRUE(reader.complete(c.family));
    }
    IdentityReader reader;
    for (const char* body :
         {"GPGGA,120000.00,,,,,0,00,,,M,,M,,", "PGTOP,11,3", "GPTXT,01,01,02,hello"})
        reader.sentence(body);
    reader.packet(Packet{PacketKind::Rtcm3, "\xD3\x00\x00\x47\xEA\x4B"s});
    EXPECT_FALSE(reader.family());  // nothing of its own
}

// One row for every file in station/families/, in the order a receiver of
// unknown family is asked (no two ranks alike; the order itself is the
// probe's, in decisions_test), each listed once and found by its name.
TEST(Families, OneRowPerFamilyInAskingOrder) {
    int rank = 0;
    std::set<std::string> rows, listed;
    for (const FamilyRow& row : familyTable()) {
        const std::string name(row.family.name());
        EXPECT_LT(rank, row.rank) << name;
        rank = row.rank;
        EXPECT_EQ(familyNamed(name), row.family);
        EXPECT_EQ(&familyRow(row.family), &row);
        rows.insert(name);
    }
    for (gpslink::ReceiverFamily family : listedFamilies())
        EXPECT_TRUE(listed.insert(std::string(family.name())).second) << family.name();
    EXPECT_EQ(listed, rows);
    EXPECT_FALSE(familyNamed("sirfstar"));
}

TEST(StreamSplitter, TakesThePacketsOutOfRealStreams) {
    std::string why;
    const std::string logs = sharedFolder("recordings/logs", why);
    if (logs.empty()) GTEST_SKIP() << why;
    const struct {
        const char* file;
        int ubx, casic, rtcm3, gga;
    } streams[] = {
        {"quectel-l76k-dual.log", 0, 910, 0, 130},    // CASIC NAV packets each second
        {"ublox-f9p-base-rtcm.log", 34, 0, 217, 31},  // UBX and RTCM 3 corrections
    };
    for (const auto& s : streams) {
        SCOPED_TRACE(s.file);
        std::string bytes;
        for (const std::string& burst : bursts(logs, s.file)) bytes += burst;
        StreamSplitter splitter;
        std::string text;
        for (std::size_t at = 0; at < bytes.size(); at += 61)
            text += splitter.feed(bytes.substr(at, 61));
        EXPECT_EQ(splitter.packets(PacketKind::Ubx), s.ubx);
        EXPECT_EQ(splitter.packets(PacketKind::Casic), s.casic);
        EXPECT_EQ(splitter.packets(PacketKind::Rtcm3), s.rtcm3);
        int ggas = 0;
        Watcher watcher;
        watcher.onGga = [&](const Gga&) { ++ggas; };
        watcher.feed(text);
        EXPECT_EQ(ggas, s.gga);
        EXPECT_EQ(text.find_first_of("\xB5\xBA\xD3"), std::string::npos);
    }
}

// The one grammar every reader of NMEA shares, station and simulator alike:
// a sentence is checked once, whole, and then read field by field.
TEST(NmeaSentence, IsCheckedOnceWhole) {
    // A sentence with a right checksum, whatever else is wrong with it.
    const auto signed_ = [](const std::string& body) {
        const std::string line = gpslink::nmeaCommand(body);
        return line.substr(0, line.size() - 2);
    };
    const std::string longest(124, 'X');  // "$", 124, "*hh": 128 characters
    struct Case {
        std::string sentence;
        std::optional<std::string> body;  // empty: refused
    } cases[] = {
        {"$PSRF101,0,0,0,0,0,0,12,4*10", "PSRF101,0,0,0,0,0,0,12,4"},  // published checksums
        {"$PMTK103*30", "PMTK103"},
        {"$GPGSV,1,1,02*7b", "GPGSV,1,1,02"},
        {"$*00", ""},  // empty, but well formed
        {"", {}},
        {"$PMTK103*3", {}},  // truncated
        {"$PMTK103", {}},
        {"PMTK103*30", {}},
        {"$PMTK103*31", {}},  // bad checksum
        {"$PMTK103*3G", {}},
        {signed_(longest), longest},
        {signed_(longest + "X"), {}},             // over-long
        {signed_("GPTXT,01,01,02,caf\xE9"), {}},  // not ASCII
        {signed_("GPTXT,01,01,02,a\tb"), {}},     // a control character
        {signed_("GPGGA,$GPGGA"), {}},            // a second sentence begun inside
        {"$PMTK103*30*30", {}},
    };
    for (const Case& c : cases) {
        const auto body = gpslink::nmeaCheckedBody(c.sentence);
        EXPECT_EQ(body ? std::optional<std::string>(*body) : std::nullopt, c.body) << c.sentence;
    }
}

TEST(NmeaSentence, FieldsReadAsNullAValueOrMalformed) {
    const gpslink::NmeaFields gga("GNGGA,123519.50,4807.038,N,,,1,08,0.9,,M,,M,,");
    EXPECT_EQ(gga.size(), 15u);
    EXPECT_EQ(gga.address(), "GNGGA");
    EXPECT_EQ(gga.talker(), "GN");
    EXPECT_EQ(gga.formatter(), "GGA");
    EXPECT_EQ(gga[2], "4807.038");
    EXPECT_EQ(gga[4], "");   // null
    EXPECT_EQ(gga[30], "");  // missing
    EXPECT_EQ(gga.from(9), ",M,,M,,");
    EXPECT_EQ(gga.from(15), "");
    const gpslink::NmeaFields own("PMTK001,103,3");
    EXPECT_EQ(own.talker(), "");
    EXPECT_EQ(own.formatter(), "");
    EXPECT_EQ(gpslink::NmeaFields("").size(), 1u);

    const std::string most(gpslink::NmeaFields::kMaxFields - 1, ','), more = most + ",";
    EXPECT_FALSE(gpslink::NmeaFields(most).overlong());
    const gpslink::NmeaFields over(more);
    EXPECT_TRUE(over.overlong());
    EXPECT_EQ(over.size(), gpslink::NmeaFields::kMaxFields + 1);

    // Each typed read of one field: true with its value (empty for null or
    // missing), false for malformed.
    struct Read {
        const char* field;
        char type;  // n number of up to 4 digits, d decimal, t time, h hex digit
        bool ok;
        std::optional<double> value;
    } reads[] = {
        {"", 'n', true, {}},
        {"0012", 'n', true, 12},
        {"12345", 'n', false, {}},
        {"-1", 'n', false, {}},
        {"+1", 'n', false, {}},
        {"1a", 'n', false, {}},
        {" 1", 'n', false, {}},
        {"", 'd', true, {}},
        {"0.9", 'd', true, 0.9},
        {".5", 'd', true, 0.5},
        {"12", 'd', true, 12},
        {".", 'd', false, {}},
        {"1.2.3", 'd', false, {}},
        {"123456789", 'd', false, {}},
        {"1e3", 'd', false, {}},
        {"-0.5", 'd', false, {}},
        {"", 't', true, {}},
        {"000000", 't', true, 0},
        {"235960", 't', true, 86400000},  // a leap second
        {"123519.5", 't', true, 45319500},
        {"123519.12345", 't', true, 45319123},
        {"123519.123456", 't', false, {}},
        {"123519.", 't', false, {}},
        {"12351", 't', false, {}},
        {"243519", 't', false, {}},
        {"126019", 't', false, {}},
        {"12:35:19", 't', false, {}},
        {"", 'h', true, {}},
        {"F", 'h', true, 15},
        {"a", 'h', true, 10},
        {"G", 'h', false, {}},
        {"10", 'h', false, {}},
    };
    for (const Read& r : reads) {
        SCOPED_TRACE(std::string(1, r.type) + " \"" + r.field + "\"");
        const std::string body = std::string("GPXXX,") + r.field;
        const gpslink::NmeaFields f(body);
        std::optional<double> value;
        bool ok = false;
        if (r.type == 'd') {
            ok = f.decimal(1, value);
        } else {
            std::optional<int> whole;
            ok = r.type == 'n'   ? f.number(1, whole)
                 : r.type == 't' ? f.time(1, whole)
                                 : f.hex(1, whole);
            if (whole) value = *whole;
        }
        EXPECT_EQ(ok, r.ok);
        if (ok) {
            EXPECT_EQ(value, r.value);
        }
    }
}

TEST(Watcher, DecodesGgaOfAnyTalkerAndRefusesMalformedOnes) {
    struct Case {
        std::string body;
        bool valid;
        std::optional<int> timeMs = std::nullopt;
        int quality = 0;
        std::optional<int> sats = std::nullopt;
        std::optional<double> hdop = std::nullopt;
    };
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // refused rows name no values
    const Case cases[] = {
        {"GPGGA,204137.000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,0000", true, 74497000, 1,
         8, 0.9},
        {"GNGGA,074150.799,,,,,0,00,,,M,0.0,M,,0000,", true, 27710799, 0, 0, std::nullopt},
        {"BDGGA,000009.5,,,,,0,,,,M,,M,,", true, 9500, 0, std::nullopt, std::nullopt},
        {"GLGGA,,,,,,0,,,,,,,,", true, std::nullopt, 0, std::nullopt, std::nullopt},
        {"GPGGA,235960,,,,,2,12,1.25,,,,,,", true, 86400000, 2, 12, 1.25},  // leap second
        {"GPGGA,204137,,,,,9,08,0.9,,,,,,", false},                         // no such fix quality
        // Null fields are missing values: no fix quality is no fix (a restart
        // with a kept position), and a VDOP after the fifteenth field is not read.
        {"GPGGA,104958.80,5612.9999,N,00306.7096,W,,2,60.000,160.002,M,,M,,", true, 38998800, 0, 2,
         60.0},
        {"GNGGA,074155.799,3114.8770,N,12135.2463,E,1,05,1.3,156.9,M,8.3,M,,0000,4.9", true,
         27715799, 1, 5, 1.3},
        {"GPGGA,204137,,,,,x,08,0.9,,,,,,", false},          // quality not a digit
        {"GPGGA,246000,,,,,1,08,0.9,,,,,,", false},          // hour 24
        {"GPGGA,2041,,,,,1,08,0.9,,,,,,", false},            // time cut short
        {"GPGGA,204137.x,,,,,1,08,0.9,,,,,,", false},        // fraction not digits
        {"GPGGA,204137,,,,,1,8a,0.9,,,,,,", false},          // satellites not a number
        {"GPGGA,204137,,,,,1,08,0..9,,,,,,", false},         // HDOP with two points
        {"GPGGA,204137,,,,,1,08,0.9,,,,,", false},           // a field short
        {"GPGGA,204137,,,,,1,08,0.9,,,,,,,,,,,,,,", false},  // more fields than a GGA has
        {"GPGGAX,204137,,,,,1,08,0.9,,,,,,", false},         // not a GGA address
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const auto gga = parseGga(c.body);
        ASSERT_EQ(gga.has_value(), c.valid);
        if (!gga) continue;
        EXPECT_EQ(gga->timeMs, c.timeMs);
        EXPECT_EQ(gga->quality, c.quality);
        EXPECT_EQ(gga->satellites, c.sats);
        EXPECT_EQ(gga->hdop, c.hdop);
    }
}

// GSV and GSA as real receivers send them, null fields and all: the
// satellites each names ("prn:cn0", "-" for no C/N0), or refused.
TEST(Watcher, DecodesGsvAndGsaWithNullFieldsAndRefusesMalformedOnes) {
    const auto satellites = [](const std::optional<GsvPart>& part) {
        std::string out;
        for (const auto& s : part->satellites)
            out += std::to_string(s.prn) + ":" + (s.cn0 ? std::to_string(*s.cn0) : "-") + " ";
        return out;
    };
    const std::pair<const char*, const char*> gsv[] = {
        {"GPGSV,1,1,00", ""},
        {"GAGSV,1,1,01,05,30,046,22,7", "5:22 "},  // NMEA 4.10's signal ID
        // The group's last sentence padded with empty blocks, with and without a signal ID.
        {"GPGSV,3,3,10,25,25,224,30,29,12,267,34,,,,,,,,", "25:30 29:34 "},
        {"GPGSV,1,1,01,36,19,156,51,,,,,,,,,,,,,1", "36:51 "},
        // Elevation, azimuth, C/N0 or satellites in view not known; a block naming no satellite.
        {"GPGSV,5,1,19,1,5,,25,2,28,74,29,3,5,,,4,19,40,29", "1:25 2:29 3:- 4:29 "},
        {"GPGSV,1,1,,07,,,41,,12,200,33", "7:41 "},
    };
    for (const auto& [body, named] : gsv) {
        SCOPED_TRACE(body);
        const auto part = parseGsv(body);
        ASSERT_TRUE(part);
        EXPECT_EQ(satellites(part), named);
    }
    EXPECT_EQ(parseGsv("GAGSV,1,1,01,05,30,046,22,7")->signal, "7");
    for (const char* bad : {"GPGSV,3,4,11,17,31,254,51", "GPGSV,0,1,11", "GPGSV,1,1,11,17,31",
                            "GPGSV,1,1,11,17,31,254,5x", "GPGSV,1,1,01,05,30,046,22,7,8",
                            "GPGSV,1,1", "GPGSV,1,,11,17,31,254,51", "GPGSV,1,1,11,1x,31,254,51"})
        EXPECT_FALSE(parseGsv(bad)) << bad;

    // A fourth DOP where NMEA 4.10 puts the system ID: the talker names the system.
    const auto gsa = parseGsa("GPGSA,A,3,25,32,,,,,,,,,,,5.1,1.3,4.9,3.3");
    ASSERT_TRUE(gsa);
    EXPECT_EQ(gsa->prns, (std::vector<int>{25, 32}));
    EXPECT_FALSE(gsa->systemId);
    EXPECT_EQ(parseGsa("GNGSA,A,3,04,05,,,,,,,,,,,1.5,1.3,1.0,3")->systemId, 3);
    for (const char* bad :
         {"GPGSA,A,3,25,3x,,,,,,,,,,,5.1,1.3,4.9", "GPGSA,A,3,25,32,,,,,,,,,,5.1"})
        EXPECT_FALSE(parseGsa(bad)) << bad;
}

// Framing, over a stream cut at every point: noise, a wrong checksum, a
// sentence broken by a line end or by a new "$" are all passed over; a
// sentence ends at its checksum, whatever follows.
TEST(Watcher, FramesItsOwnSentencesFromAnyChunks) {
    const std::string good = gpslink::nmeaCommand("GPGGA,000001,,,,,0,00,,,M,,M,,");
    const std::string stream =
        "\x13\xff garbage " + good + "$GPGGA,000002,,,,,0,00,,,M,,M,,*00\r\n" +  // wrong checksum
        "$GPGGA,000003,,,\r\n" + gpslink::nmeaCommand("GPGGA,000004,,,,,1,05,1.2,,M,,M,,") +
        "$GPGGA,0000" + good.substr(0, good.size() - 2) + std::string(200, 'x') + "\r\n";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Watcher watcher;
        std::vector<int> times;
        watcher.onGga = [&](const Gga& gga) { times.push_back(gga.timeMs.value_or(-1)); };
        watcher.feed(stream.substr(0, cut));
        watcher.feed(stream.substr(cut));
        ASSERT_EQ(times, (std::vector<int>{1000, 4000, 1000})) << "cut at " << cut;
    }
}

// Seconds of real recordings that the station's runs do not reach: a group
// whose last sentence has a wrong checksum leaves its second without a sky,
// not with the group of the second before; a group that passes from one
// talker to the next (GPGSV 1-2 of 4, GLGSV 3, GAGSV 4) counts whole, beside
// a 90-character GGA of an RTK float fix (quality 5, a real fix).
TEST(Watcher, SecondsOfRealRecordings) {
    std::string why;
    const std::string logs = sharedFolder("recordings/logs", why);
    if (logs.empty()) GTEST_SKIP() << why;
    const struct {
        const char* file;
        std::size_t second;
        int quality, withSnr, max, gsaSatellites;
    } cases[] = {
        {"com-1289.log", 1, 1, 11, 55, 10},
        {"com-1289.log", 2, 1, 0, 0, 10},
        {"trimble-r2.log", 0, 5, 13, 52, 10},
        // Groups whose last sentence is padded with empty blocks: GPS, GLONASS
        // and Galileo, each with NMEA 4.10's signal ID.
        {"furuno_gl_ga.log", 0, 2, 14, 51, 11},
        // The first fix: seven GPS satellites in a padded group, one GLONASS,
        // a QZSS satellite untracked in a padded sentence of its own.
        {"sl869.log", 7, 1, 8, 42, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " second " + std::to_string(c.second));
        std::vector<Second> seconds;
        Watcher watcher;
        watcher.onSecond = [&](const Second& second) { seconds.push_back(second); };
        for (const std::string& burst : bursts(logs, c.file)) watcher.feed(burst);
        ASSERT_GT(seconds.size(), c.second);
        const Second& s = seconds[c.second];
        EXPECT_EQ(s.gga->quality, c.quality);
        EXPECT_EQ(s.sky.withSnr, c.withSnr);
        EXPECT_EQ(s.sky.max.value_or(0), c.max);
        EXPECT_EQ(s.gsaSatellites, c.gsaSatellites);
    }
}

// The antenna supervisor's state in each family's published form, checksums
// as published (the "ok" examples are read in sim_test, as the simulator
// sends them); then as real receivers send it.
TEST(FrontEnd, ReadsTheAntennaStateInEachFamilysForm) {
    const std::pair<const char*, const char*> forms[] = {
        {"$GNTXT,01,01,02,ANTSTATUS=OPEN*35", "open"},  // u-blox, as published
        {"$GNTXT,01,01,02,ANTSTATUS=INIT*3B", "unknown"},
        {"$GNTXT,01,01,02,ANTSUPERV=AC SD PDoS SR*3E", "-"},
        {"$GNTXT,01,01,02,u-blox AG - www.u-blox.com*4E", "-"},
        {"GPTXT,01,01,02,ANTSTATUS=SHORT", "short"},
        {"GPTXT,01,01,02,ANTSTATUS=DONTKNOW", "unknown"},
        {"GPTXT,01,01,01,ANTENNA OPEN", "open"},  // CASIC
        {"GPTXT,01,01,01,ANTENNA SHORT", "short"},
        {"PGTOP,11,1", "short"},  // MediaTek
        {"PGTOP,11,2", "open"},
        {"PGTOP,11,9", "-"},
        {"GPTXT,01,01,02,ANTSTATUS=OKAY", "-"},
    };
    for (const auto& [sentence, state] : forms) {
        const auto body = *sentence == '$' ? gpslink::nmeaCheckedBody(sentence)
                                           : std::optional<std::string_view>(sentence);
        ASSERT_TRUE(body) << sentence;
        const auto found = antennaFromSentence(*body);
        EXPECT_EQ(found ? std::string(nameOf(*found)) : "-", state) << sentence;
    }

    std::string why;
    const std::string logs = sharedFolder("recordings/logs", why);
    if (logs.empty()) GTEST_SKIP() << why;
    const std::pair<const char*, int> recordings[] = {
        {"quectel-l76k-dual.log", 130},  // CASIC, every second
        {"nl551e.log", 1},               // u-blox 5, in its start-up banner
    };
    for (const auto& [file, oks] : recordings) {
        int seen = 0;
        Watcher watcher;
        watcher.onSentence = [&](std::string_view body) {
            if (const auto state = antennaFromSentence(body)) seen += *state == AntennaState::Ok;
        };
        for (const std::string& burst : bursts(logs, file)) watcher.feed(burst);
        EXPECT_EQ(seen, oks) << file;
    }
}

// Why a port cannot be opened, in words a technician acts on (a missing one
// in cli_test).  Permission and a busy port cannot be had as root, which
// these tests run as.
TEST(PortProblem, SaysWhyAPortCannotBeOpened) {
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/null", "not a serial device: /dev/null"},  // a character device, no terminal
        {"/etc/hostname", "not a serial device: /etc/hostname"},
    };
    for (const auto& [device, words] : cases)
        EXPECT_EQ(portProblem(QString::fromLatin1(device), {}).toStdString(), words);
}

// A port is held after a read that stopped inside a sentence, unless that
// sentence is, or may yet turn out, a GGA: the times are taken on those.
TEST(ReadPacing, HoldsInsideSentencesButNeverInsideAGga) {
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"$GPGGA,1*00\r\n$GPGSA,A,3", "\r\n"}, "HN"},       // inside a GSA; then a line end
        {{"$GNGGA,0000", "00.00,*5A\r\n"}, "NN"},            // inside a GGA, of any talker
        {{"$GP", "G", "GA,", "\r\n$GPGS", "V,3"}, "NNNHH"},  // the address, a piece at a time
        {{"$GPRMC,", "\r\n$", "G", "PG"}, "HNNN"},
        {{"$GPGSV,3\r", "\n$GPGGA", ",1,2\r\n$GPRMC"}, "HNH"},
        {{"\xA0\xA2\x00\x02", "\x84\x00"}, "HH"},  // binary, not a sentence
        {{"", "GPGGA,1"}, "-H"},                   // nothing read; a line joined midway
    };
    for (const auto& [reads, holds] : cases) {
        ReadPacing pacing;
        std::string seen;
        for (const char* read : reads)
            seen += *read == 0 ? '-' : pacing.holdAfter(read) ? 'H' : 'N';
        EXPECT_EQ(seen, holds) << reads.front();
    }
    ReadPacing pacing;
    EXPECT_TRUE(pacing.holdAfter("$GPGSV,1"));
    pacing.reset();  // what follows a discard is not the rest of that line
    EXPECT_FALSE(pacing.holdAfter("$GPGGA"));
}

}  // namespace
}  // namespace station
