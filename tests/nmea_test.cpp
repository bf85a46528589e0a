// NMEA as the station speaks it: the reset commands of every family against
// their published forms, byte for byte; and the watcher: which sentences
// count, what is read from them, and the sky of the latest complete GSV groups.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "gpslink/link.h"
#include "gpslink/resetcommand.h"
#include "station/watcher.h"

namespace station {
namespace {

TEST(ResetCommand, MatchesThePublishedForms) {
    using namespace std::string_literals;
    using F = gpslink::ReceiverFamily;
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
    };
    for (const auto& [family, forms] : table) {
        for (std::size_t i = 0; i < forms.size(); ++i) {
            const gpslink::StartType type = gpslink::kStartTypes[i];
            SCOPED_TRACE(std::string(gpslink::nameOf(family)) + " " +
                         std::string(gpslink::nameOf(type)));
            EXPECT_EQ(gpslink::resetCommand(family, type), forms[i]);
        }
    }
    EXPECT_EQ(gpslink::resetCommand(F::Sirf, gpslink::StartType::Cold), gpslink::kColdStartSentence)
        << "what the window sends";
}

TEST(Watcher, AcceptsOnlySentencesWithTheRightChecksum) {
    EXPECT_EQ(gpslink::nmeaCheckedBody("$GPGGA,,,,,,0,,,,,,,,*66").value_or("x"),
              "GPGGA,,,,,,0,,,,,,,,");
    EXPECT_TRUE(gpslink::nmeaCheckedBody("$GPGSV,1,1,02*7b"));  // lower-case hex digits
    for (const char* bad : {"$GPGGA,,,,,,0,,,,,,,,*67", "$GPGGA,,,,,,0,,,,,,,,*6", "GPGGA*66",
                            "$GPGGA,,,,,,0,,,,,,,,*6G", "$GPGGA,,,,,,0,,,,,,,,", "$*00x", ""})
        EXPECT_FALSE(gpslink::nmeaCheckedBody(bad)) << bad;
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
        {"GPGGA,204137,,,,,,08,0.9,,,,,,", false},                          // quality missing
        {"GPGGA,246000,,,,,1,08,0.9,,,,,,", false},                         // hour 24
        {"GPGGA,2041,,,,,1,08,0.9,,,,,,", false},                           // time cut short
        {"GPGGA,204137.x,,,,,1,08,0.9,,,,,,", false},                       // fraction not digits
        {"GPGGA,204137,,,,,1,8a,0.9,,,,,,", false},    // satellites not a number
        {"GPGGA,204137,,,,,1,08,0..9,,,,,,", false},   // HDOP with two points
        {"GPGGA,204137,,,,,1,08,0.9,,,,,", false},     // a field short
        {"GPGGA,204137,,,,,1,08,0.9,,,,,,,x", false},  // fields over
        {"GPGGAX,204137,,,,,1,08,0.9,,,,,,", false},   // not a GGA address
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

TEST(Watcher, DecodesGsvAndRefusesMalformedOnes) {
    EXPECT_TRUE(parseGsv("GPGSV,1,1,00"));
    EXPECT_TRUE(parseGsv("GAGSV,1,1,01,05,30,046,22,7"));  // a signal ID at the end
    for (const char* bad :
         {"GPGSV,3,4,11,17,31,254,51", "GPGSV,0,1,11", "GPGSV,1,1,11,17,31",
          "GPGSV,1,1,11,17,31,254,5x", "GPGSV,1,1,01,05,30,046,22,7,8", "GPGSV,1,1"})
        EXPECT_FALSE(parseGsv(bad)) << bad;
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

TEST(Watcher, SkyComesFromTheLatestCompleteGroupOfEachTalker) {
    Watcher watcher;
    auto feed = [&](const std::string& body) { watcher.feed(gpslink::nmeaCommand(body)); };
    feed("GPGSV,2,1,05,01,40,083,41,02,17,308,44,03,07,344,39,04,22,228,30");
    EXPECT_EQ(watcher.sky().withSnr, 0);  // the group is not complete yet
    EXPECT_FALSE(watcher.sky().max);
    feed("GPGSV,2,2,05,05,10,100,00");             // 00: not tracked
    feed("GLGSV,1,1,02,65,30,100,47,66,20,200,");  // nor one without a value
    Sky sky = watcher.sky();
    EXPECT_EQ(sky.withSnr, 5);
    EXPECT_EQ(sky.max, 47);
    EXPECT_DOUBLE_EQ(sky.meanTop4.value(), (47 + 44 + 41 + 39) / 4.0);

    // A group with a sentence missing leaves the last complete one in place.
    feed("GPGSV,3,1,09,01,40,083,20,02,17,308,20,03,07,344,20,04,22,228,20");
    feed("GLGSV,1,1,02,65,30,100,25,66,20,200,");
    feed("GPGSV,3,3,09,05,10,100,");
    EXPECT_EQ(watcher.sky().max, 44);
    feed("GPGSV,1,1,01,05,10,100,33");
    sky = watcher.sky();
    EXPECT_EQ(sky.withSnr, 2);
    EXPECT_DOUBLE_EQ(sky.meanTop4.value(), (33 + 25) / 2.0);  // fewer than four: those there are
}

}  // namespace
}  // namespace station
