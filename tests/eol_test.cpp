// The end-of-line tests' decisions without a port or a clock: the antenna's
// state through a cycle, and the configuration written, restarted and read
// back, fed what a receiver answers in milliseconds of test time; their bytes
// against the published forms; and the configuration file's mistakes.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>

#include "gpslink/resetcommand.h"
#include "station/antennatest.h"
#include "station/calibration.h"
#include "station/configtest.h"
#include "station/families.h"
#include "station/signaltest.h"

namespace station {
namespace {

using gpslink::ReceiverFamily;

std::string hex(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toHex(' ').toUpper().toStdString();
}

std::string code(std::optional<Reason> reason) {
    return reason ? results::codeOf(*reason).toStdString() : "-";
}

TEST(AntennaTest, RecordsTheChangesAndFailsOpenShortAndUnknownAsAsked) {
    using A = AntennaState;
    const struct {
        const char* name;
        std::vector<std::pair<qint64, A>> seen;  // ms from the start
        bool required;
        const char* state;
        const char* verdict;
        int changes;
    } cases[] = {
        // clang-format off
        {"ok throughout", {{500, A::Ok}, {1500, A::Ok}}, true, "ok", "ok", 1},
        {"still initialising, then ok", {{500, A::Unknown}, {1500, A::Ok}}, true, "ok", "ok", 2},
        {"a load switched off and on again", {{500, A::Ok}, {20100, A::Open}, {25000, A::Ok}}, false,
         "open", "antenna-open", 3},
        {"short", {{500, A::Short}}, false, "short", "antenna-short", 1},
        {"unknown, supervision not required", {{500, A::Unknown}}, false, "unknown", "ok", 1},
        {"unknown, supervision required", {{500, A::Unknown}}, true, "unknown", "antenna-unknown", 1},
        {"never said, supervision required", {}, true, "-", "antenna-unknown", 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AntennaTest test;
        test.start(1000);
        for (const auto& [ms, state] : c.seen) test.seen(state, 1000 + ms);
        EXPECT_EQ(test.state() ? std::string(nameOf(*test.state())) : "-", c.state);
        EXPECT_EQ(code(test.judge(c.required)), c.verdict);
        EXPECT_EQ(test.changes().size(), c.changes);
    }
    AntennaTest switched;
    switched.start(1000);
    switched.seen(A::Ok, 1800);
    switched.seen(A::Open, 21150);
    EXPECT_EQ(switched.changes(), QJsonArray({QJsonObject{{"at_s", 0.8}, {"state", "ok"}},
                                              QJsonObject{{"at_s", 20.1}, {"state", "open"}}}));
}

// The slot's limits from its golden runs, and a signal test's figures held
// to them once its C/N0 passed.
TEST(RfHealth, LimitsLearnedFromGoldenRunsHoldTheFigures) {
    using M = results::Measure;
    const auto figures = [](std::optional<double> agc, double noise, double jamming) {
        results::FrontEndFigures f;
        f[M::Agc] = agc, f[M::Noise] = noise, f[M::Jamming] = jamming;
        return f;
    };
    const std::vector<results::FrontEndFigures> runs = {
        figures(2800, 90, 5), figures(2810, 100, 5), {}, figures(2790, 80, 5), figures(100, 1, 1)};
    // The latest three that report: 2800 ± 3·10, 90 ± 3·10, 5 ± 0; the fourth is older.
    const auto limits = learnRfLimits(runs, 3, 3);
    ASSERT_TRUE(limits);
    EXPECT_DOUBLE_EQ((*limits)[M::Agc]->low, 2770);
    EXPECT_DOUBLE_EQ((*limits)[M::Agc]->high, 2830);
    EXPECT_DOUBLE_EQ((*limits)[M::Noise]->high, 120);
    EXPECT_DOUBLE_EQ((*limits)[M::Jamming]->low, 5);
    EXPECT_FALSE(learnRfLimits(runs, 5, 3));  // four runs report figures
    EXPECT_FALSE(learnRfLimits({{}, {}}, 1, 3));

    const auto sky = [] {
        Second s;
        s.sky.satellites.push_back(SkySatellite{"GPS", 1, 44, {}});
        return s;
    };
    const struct {
        const char* name;
        std::optional<double> agc;  // each second's
        int cn0;
        const char* verdict;
        const char* note;
    } cases[] = {
        {"inside", 2820, 44, "ok", ""},
        {"AGC low", 1200, 44, "rf-health", "AGC 1200 outside 2770 to 2830"},
        {"not reported", std::nullopt, 44, "rf-health", "AGC not reported"},
        {"C/N0 fails first", 1200, 30, "signal-low", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RfLimits agcOnly;
        agcOnly[M::Agc] = (*limits)[M::Agc];
        SignalTest test({"GPS:1", 2, 10, {}, {}, agcOnly});
        test.start(0);
        for (int i = 1; i <= 2; ++i) {
            FrontEnd f;
            f.figures[M::Agc] = c.agc;
            f.figures[M::Noise] = 90;
            test.frontEnd(f);
            Second s = sky();
            s.sky.satellites[0].cn0 = c.cn0;
            test.secondEnded(s, i * 1000);
        }
        Limits cn0;
        cn0.least(results::Measure::SignalCn0) = 40;
        test.judge(cn0);
        EXPECT_EQ(code(test.result().reason), c.verdict);
        EXPECT_EQ(test.result().rfNote.toStdString(), c.note);
        EXPECT_EQ(test.result().figures[M::Noise], 90);
    }
}

// The RF limits go by the family the unit turns out to be: with "auto" they
// are learned before the port opens and kept only for a family that reports
// the figures, and golden runs too few for them stop only such a unit.
TEST(RfHealth, LimitsFollowTheFamilyFoundNotTheNameGiven) {
    using M = results::Measure;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    results::FrontEndFigures golden;
    golden[M::Agc] = 2800, golden[M::Noise] = 90, golden[M::Jamming] = 5;
    results::Calibration latest;
    latest.id = 7;
    latest.time = now;
    latest.goldenRuns = {golden, golden};
    const auto unit = [&](const char* receiver, int goldenRuns) {
        UnitConfig u;
        u.tests = QStringList{"signal"};
        u.receiver = QString::fromLatin1(receiver);
        u.rfGoldenRuns = goldenRuns;
        u.slot = 2;
        u.port = "/dev/ttyUSB1";
        applyCalibration(u, latest, now);
        return u;
    };
    const QString tooFew =
        "slot 2 needs calibration: /dev/ttyUSB1, 2 golden runs with RF figures, "
        "fewer than 3";

    UnitConfig found = unit("auto", 2);
    ASSERT_TRUE(found.rfLimits);
    EXPECT_EQ(rfLimitsFor(found, ReceiverFamily::Ublox), "");
    ASSERT_TRUE(found.rfLimits);
    EXPECT_DOUBLE_EQ((*found.rfLimits)[M::Agc]->low, 2800);
    UnitConfig other = unit("auto", 2);
    EXPECT_EQ(rfLimitsFor(other, ReceiverFamily::Mtk), "");
    EXPECT_FALSE(other.rfLimits) << "a family without the figures is not held to them";

    UnitConfig few = unit("auto", 3);
    EXPECT_EQ(few.calibrationProblem, "") << "the family may not report the figures";
    EXPECT_EQ(rfLimitsFor(few, ReceiverFamily::Ublox), tooFew);
    UnitConfig fewOther = unit("auto", 3);
    EXPECT_EQ(rfLimitsFor(fewOther, ReceiverFamily::Casic), "");
    EXPECT_EQ(unit("ublox", 3).calibrationProblem, tooFew);  // named: stopped before the port opens
    EXPECT_FALSE(unit("mtk", 2).rfLimits);
}

TEST(ConfigForms, MatchThePublishedBytes) {
    const ConfigItem rate{0x30210001, 200, {}};
    // UBX-CFG-VALSET to RAM, BBR and Flash; UBX-CFG-VALGET from RAM and Flash.
    EXPECT_EQ(hex(valsetFrame(rate)), "B5 62 06 8A 0A 00 00 07 00 00 01 00 21 30 C8 00 BB B7");
    EXPECT_EQ(hex(valgetFrame(rate, UbxLayer::Ram)),
              "B5 62 06 8B 08 00 00 00 00 00 01 00 21 30 EB 07");
    EXPECT_EQ(hex(valgetFrame(rate, UbxLayer::Flash)),
              "B5 62 06 8B 08 00 00 02 00 00 01 00 21 30 ED 15");
    // One bit, kept in a byte; four bytes.
    EXPECT_EQ(hex(valsetFrame({0x10a3002e, 1, {}})).substr(30, 14), "2E 00 A3 10 01");
    EXPECT_EQ(hex(valsetFrame({0x40520001, 115200, {}})).substr(30, 23), "01 00 52 40 00 C2 01 00");
    // UBX-CFG-RST: navBbrMask 0000, resetMode 01 (controlled software reset).
    EXPECT_EQ(hex(ubloxSoftwareReset()), "B5 62 06 04 04 00 00 00 01 00 0F 66");
}

// A receiver's side of the line, on a clock of its own, from the test's start.
struct ConfigBench {
    ConfigBench(ReceiverFamily family, std::vector<ConfigItem> items)
        : test(family, std::move(items)) {
        test.start(now);
        sent += test.takeOutput();
    }
    void ubx(int cls, int id, std::string payload) {
        test.packet({PacketKind::Ubx, gpslink::ubxFrame(cls, id, payload)}, now);
        sent += test.takeOutput();
    }
    void nmea(const char* body) {
        test.sentence(body, now);
        sent += test.takeOutput();
    }
    void wait(qint64 ms) {
        now += ms;
        test.tick(now);
        sent += test.takeOutput();
    }
    ConfigTest test;
    std::string sent;
    qint64 now = 0;
};

const std::string kAckValset("\x06\x8A", 2), kAckValget("\x06\x8B", 2);

// A UBX-CFG-VALGET answer from the layer, with the item when it is there.
std::string valgetAnswer(UbxLayer layer, std::uint32_t key, std::optional<std::uint16_t> value) {
    std::string p{0x01, char(layer), 0x00, 0x00};
    if (!value) return p;
    for (int i = 0; i < 4; ++i) p += char(key >> (8 * i));
    p += char(*value & 0xFF);
    p += char(*value >> 8);
    return p;
}

// Written, restarted by a reset that rebuilds the running configuration from
// what was saved, read back from RAM (what the unit runs with) and from Flash
// (what it keeps switched off).
TEST(ConfigTest, UbloxItemsAcknowledgedRestartedAndReadBackFromRamAndFlash) {
    const std::vector<ConfigItem> items = {{0x30210001, 200, {}}, {0x20910001 + 0xba, 1, {}}};
    const std::optional<std::uint16_t> none;
    const struct {
        const char* name;
        bool nak;                            // the second item refused
        bool silent;                         // the second item never acknowledged
        std::uint16_t got;                   // the first item as read back from RAM
        std::optional<std::uint16_t> saved;  // the first item in the Flash layer
        bool flashNak;                       // the Flash layer's read refused
        const char* verdict;
        const char* note;
    } cases[] = {
        {"kept", false, false, 200, 200, false, "ok", ""},
        {"refused", true, false, 200, 200, false, "config-rejected",
         "0x209100bb refused (UBX-ACK-NAK)"},
        {"not acknowledged", false, true, 200, 200, false, "config-rejected",
         "0x209100bb: no acknowledgement within 3 s"},
        {"lost in the restart", false, false, 1000, 200, false, "config-mismatch",
         "0x30210001 reads back 1000, not 200"},
        {"running, never saved", false, false, 200, none, false, "config-mismatch",
         "0x30210001 not saved (not in the Flash layer)"},
        {"saved wrong", false, false, 200, 1000, false, "config-mismatch",
         "0x30210001 saved as 1000, not 200"},
        {"Flash not read", false, false, 200, 200, true, "config-mismatch",
         "0x30210001 not read back from Flash (UBX-ACK-NAK)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigBench bench(ReceiverFamily::Ublox, items);
        EXPECT_EQ(bench.sent, valsetFrame(items[0]));
        bench.ubx(0x05, 0x01, kAckValget);  // not the acknowledgement of a VALSET
        EXPECT_FALSE(bench.test.done());
        bench.ubx(0x05, 0x01, kAckValset);
        EXPECT_EQ(bench.sent, valsetFrame(items[0]) + valsetFrame(items[1]));
        if (c.silent) bench.wait(ConfigTest::kAnswerMs);
        if (c.nak) bench.ubx(0x05, 0x00, kAckValset);
        if (!c.nak && !c.silent) {
            bench.ubx(0x05, 0x01, kAckValset);
            EXPECT_EQ(bench.sent.substr(bench.sent.size() - 12), ubloxSoftwareReset());
            bench.nmea("GNTXT,01,01,02,ANTSTATUS=OK");  // before it restarted
            bench.wait(ConfigTest::kSettleMs);
            bench.nmea("GNTXT,01,01,02,ANTSTATUS=OK");
            EXPECT_EQ(bench.sent.substr(bench.sent.size() - 16),
                      valgetFrame(items[0], UbxLayer::Ram));
            bench.ubx(0x06, 0x8B, valgetAnswer(UbxLayer::Flash, items[0].key, c.got));  // not asked
            bench.ubx(0x06, 0x8B, valgetAnswer(UbxLayer::Ram, items[0].key, c.got));
            if (c.got == 200) {
                bench.ubx(0x06, 0x8B, valgetAnswer(UbxLayer::Ram, items[1].key, 1));
                bench.ubx(0x05, 0x01, kAckValget);
                EXPECT_EQ(bench.sent.substr(bench.sent.size() - 16),
                          valgetFrame(items[0], UbxLayer::Flash));
                if (c.flashNak)
                    bench.ubx(0x05, 0x00, kAckValget);
                else
                    bench.ubx(0x06, 0x8B, valgetAnswer(UbxLayer::Flash, items[0].key, c.saved));
                if (c.saved == 200 && !c.flashNak)
                    bench.ubx(0x06, 0x8B, valgetAnswer(UbxLayer::Flash, items[1].key, 1));
            }
        }
        ASSERT_TRUE(bench.test.done());
        EXPECT_EQ(code(bench.test.verdict()), c.verdict);
        EXPECT_EQ(bench.test.note().toStdString(), c.note);
        // SHA-256 of "0x30210001=200\n0x209100bb=1\n": what the unit runs with.
        EXPECT_EQ(
            bench.test.sha256().toStdString(),
            std::string(code(bench.test.verdict()) == "ok"
                            ? "b67673bec1b8386e1b1c7eecee1d4e6491a9fa91bbbb55748b9b9ec5df9a482a"
                            : ""));
    }
}

TEST(ConfigTest, MediatekItemsAcknowledgedAndQueried) {
    const std::vector<ConfigItem> items = {{0, 0, "PMTK220,200"},
                                           {0, 0, "PMTK314,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0"}};
    const struct {
        const char* name;
        const char* ack;  // of the first item
        const char* interval;
        const char* verdict;
        const char* note;
    } cases[] = {
        {"kept", "PMTK001,220,3", "PMTK500,200,0,0,0,0", "ok", ""},
        {"refused", "PMTK001,220,2", nullptr, "config-rejected",
         "PMTK220 refused ($PMTK001,220,2)"},
        {"lost in the restart", "PMTK001,220,3", "PMTK500,1000,0,0,0,0", "config-mismatch",
         "PMTK220 reads back 1000, not 200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigBench bench(ReceiverFamily::Mtk, items);
        bench.nmea("PMTK001,314,3");  // not this item's
        bench.nmea(c.ack);
        if (c.interval) {
            bench.nmea("PMTK001,314,3");
            EXPECT_EQ(bench.sent,
                      "$PMTK220,200*2C\r\n$PMTK314,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0*2C\r\n" +
                          station::startCommand(ReceiverFamily::Mtk, gpslink::StartType::Hot));
            bench.wait(ConfigTest::kSettleMs);
            bench.nmea("GPGGA,,,,,,0,,,,,,,,");
            bench.nmea(c.interval);
            bench.nmea("PMTK514,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0");
        }
        ASSERT_TRUE(bench.test.done());
        EXPECT_EQ(code(bench.test.verdict()), c.verdict);
        EXPECT_EQ(bench.test.note().toStdString(), c.note);
        if (code(bench.test.verdict()) == "ok") {  // the queries as the packet manual prints them
            EXPECT_TRUE(bench.sent.find("$PMTK400*36\r\n$PMTK414*33\r\n") != std::string::npos);
        }
    }
    // Silent after the restart: the unit is off.
    ConfigBench silent(ReceiverFamily::Mtk, {items[0]});
    silent.nmea("PMTK001,220,3");
    silent.wait(ConfigTest::kRestartMs);
    EXPECT_EQ(code(silent.test.verdict()), "receiver-off");
}

// (A casic receiver, and a family the file has no items for, are eol_cli_test's.)
TEST(Configuration, FilesAndFamiliesThatCannotTakeThem) {
    QTemporaryDir dir;
    const auto file = [&](const char* text) {
        const QString path = dir.filePath("c.json");
        std::ofstream(path.toStdString()) << text;
        return path;
    };
    const struct {
        const char* text;
        const char* error;  // after "configuration PATH: "
    } mistakes[] = {
        {"[]", "not a JSON object"},
        {R"({"ublox": [{"key": "0x30210001", "value": 200}]})", "it has no \"name\""},
        {R"({"name": "c", "garmin": ["X"]})",
         "\"garmin\" is neither \"name\" nor a receiver family"},
        {R"({"name": "c", "ublox": []})", "\"ublox\" is not a list of items"},
        {R"({"name": "c", "ublox": [{"key": "0x00210001", "value": 1}]})",
         "\"ublox\": a u-blox item"},
        {R"({"name": "c", "ublox": [{"key": "0x20910001", "value": 256}]})",
         "\"ublox\": the value of 0x20910001 does not fit its size"},
        {R"({"name": "c", "ublox": [{"key": "0x10a3002e", "value": 2}]})",
         "\"ublox\": the value of 0x10a3002e does not fit its size"},
        {R"({"name": "c", "mtk": ["$PMTK220,200*2C"]})", "\"mtk\": an item is a command"},
    };
    for (const auto& m : mistakes) {
        SCOPED_TRACE(m.text);
        QString error;
        EXPECT_FALSE(readConfiguration(file(m.text), &error));
        EXPECT_TRUE(error.startsWith("configuration " + dir.filePath("c.json") + ": " + m.error))
            << error.toStdString();
    }
    QString error;
    const auto c =
        readConfiguration(file(R"({"name": "L3", "ublox": [{"key": "0x30210001", "value": 200}],
                 "mtk": ["PMTK220,200", "PMTK251,115200"], "casic": ["PCAS02,1000"]})"),
                          &error);
    ASSERT_TRUE(c) << error.toStdString();
    EXPECT_EQ(c->name, "L3");
    EXPECT_EQ(configRefusal(*c, ReceiverFamily::Ublox), "");
    EXPECT_EQ(configRefusal(*c, ReceiverFamily::Mtk),
              "PMTK251 cannot be read back (no query of it is published): a mtk configuration "
              "takes PMTK220 and PMTK314");
    EXPECT_TRUE(configRefusal(*c, ReceiverFamily::Sirf)
                    .startsWith("a sirf receiver's settings cannot be "));
    const auto short314 =
        readConfiguration(file(R"({"name": "c", "mtk": ["PMTK314,1,1"]})"), &error);
    EXPECT_EQ(configRefusal(*short314, ReceiverFamily::Mtk),
              "PMTK314 needs 19 whole numbers to be compared when read back");
}

}  // namespace
}  // namespace station
