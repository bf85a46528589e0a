// The simulated receiver's model, second by second without a clock: its
// sentences, the start commands of each family it takes, and how it behaves.
// And the command lines of gps-receiver-sim and the demo: help is answered,
// and a mistake gets a message naming it and exit status 2, before any
// receiver or window starts.

#include <gtest/gtest.h>

#include <QProcess>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <signal.h>

#include "gpslink/link.h"
#include "gpslink/resetcommand.h"
#include "sim/capture.h"
#include "sim/chunker.h"
#include "sim/receivermodel.h"
#include "station/families.h"
#include "station/frames.h"
#include "station/frontend.h"

namespace gpssim {
namespace {

// Field n of a sentence, the address being field 0 ("$GPGGA").
std::string field(const std::string& line, int n) {
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) {
        if ((at = line.find(',', at)) == std::string::npos) return "<missing>";
        ++at;
    }
    return line.substr(at, line.find_first_of(",*", at) - at);
}

// One letter a second, in runs ("3u2T"): 'u' the clock since power-up, 'T'
// UTC, 'F' UTC with a fix, 'b' a GGA without a time, 'n' bytes without a
// '$', '-' nothing.
std::string timeline(ReceiverModel& model, int seconds) {
    std::string letters, runs;
    for (int i = 0; i < seconds; ++i) {
        const std::string b = model.tick(), time = field(b, 1);
        letters += b.empty()                          ? '-'
                   : b.find('$') == std::string::npos ? 'n'
                   : time.empty()                     ? 'b'
                   : time.rfind("0000", 0) == 0       ? 'u'
                   : field(b, 6) == "1"               ? 'F'
                                                      : 'T';
    }
    for (std::size_t at = 0, end; at < letters.size(); at = end) {
        end = std::min(letters.find_first_not_of(letters[at], at), letters.size());
        runs += std::to_string(end - at) + letters[at];
    }
    return runs;
}

// The events as letters: C cold (or factory) start, x rejected, i ignored, R
// restart, T time known, F fix, O switched off, E end of the replay, w warm
// start, h hot start, a identity query answered, n switched to NMEA, c a
// configuration command taken or answered, P a power cycle.
std::string kinds(const std::vector<Event>& events) {
    std::string out;
    for (const Event& e : events) out += "CxiRTFOEwhancPoNs"[e.kind];
    return out;
}

ReceiverConfig quickConfig(Behaviour behaviour = Behaviour::Normal) {
    ReceiverConfig c;
    c.behaviour = behaviour;
    c.timeKnownAfterSeconds = 3;
    c.timeToFirstFixSeconds = 5;
    return c;
}

// GGA, GSA, three GSV, RMC each second, each with its checksum and CR LF;
// the clock from zero, then UTC, then a fix.
TEST(ReceiverModel, ClockCountsFromZeroThenCarriesUtcThenFixes) {
    ReceiverConfig config = quickConfig();
    config.chunking = Chunking::Sentence;  // a line a piece
    ReceiverModel model(config);
    const char* const expected[][3] = {
        {"000000.000", "0", ""},       {"000001.000", "0", ""},       {"000002.000", "0", ""},
        {"204137.000", "0", "061224"}, {"204138.000", "0", "061224"}, {"204139.000", "1", "061224"},
    };
    for (const auto& [time, quality, date] : expected) {
        SCOPED_TRACE(time);
        const std::vector<std::string> lines = model.tickPieces();
        ASSERT_EQ(lines.size(), 6u);
        const bool fix = quality[0] == '1';
        std::string order;
        for (const std::string& line : lines) {
            EXPECT_TRUE(gpslink::nmeaCheckedBody(line.substr(0, line.size() - 2)) &&
                        line.size() <= 82)
                << line;
            order += line.substr(0, 10) + " ";
        }
        EXPECT_EQ(std::count(lines[1].begin(), lines[1].end(), ','), 17) << "12 PRN slots, 3 DOPs";
        EXPECT_EQ(order, "$GPGGA," + std::string(time, 3) + " $GPGSA,A," + (fix ? "3" : "1") +
                             " $GPGSV,3,1 $GPGSV,3,2 $GPGSV,3,3 $GPRMC," + std::string(time, 3) +
                             " ");
        EXPECT_EQ(field(lines[0], 1), time);
        EXPECT_EQ(field(lines[0], 6), quality);
        EXPECT_EQ(field(lines[0], 2).empty(), !fix) << "latitude";
        EXPECT_EQ(field(lines[5], 1), time);
        EXPECT_EQ(field(lines[5], 2), fix ? "A" : "V");
        EXPECT_EQ(field(lines[5], 9), date);
    }
}

// Each family takes its own command of each start type, sent byte by byte
// after a stray sync byte and an unfinished "$", once it is whole; it rejects
// another family's command, a corrupted one and a well-formed one that is no
// start.  Cold: silence, the clock from zero; warm: the clock goes on without
// a fix for the warm TTFF; hot: the fix back a second later.
TEST(ReceiverModel, EachFamilyTakesOnlyItsOwnValidCommands) {
    using gpslink::StartType;
    const auto& families = gpssim::kModelledFamilies;
    for (std::size_t n = 0; n < std::size(families); ++n) {
        for (StartType type : gpslink::kStartTypes) {
            const std::string command = station::startCommand(families[n], type);
            if (command.empty()) continue;
            SCOPED_TRACE(std::string(gpslink::nameOf(families[n])) + " " +
                         std::string(gpslink::nameOf(type)));
            ReceiverConfig config = quickConfig();
            config.family = families[n];
            config.warmTtffSeconds = 4;
            ReceiverModel model(config);
            timeline(model, 8);
            model.takeEvents();
            const bool ubx = command.back() != '\n';
            std::string corrupted = command;
            corrupted[command.size() - (ubx ? 1 : 3)] ^= 0x01;  // checksum
            const std::string noStart =
                ubx ? gpslink::ubxFrame(0x06, 0x04, std::string("\x00\x80\x02\x00", 4))
                    : gpslink::nmeaCommand(command.substr(1, command.size() - 7) + "X");
            const std::string input =
                station::startCommand(families[(n + 1) % std::size(families)],
                                      type == StartType::Factory ? StartType::Cold : type) +
                corrupted + noStart + "\xB5$" + command;
            for (char byte : input.substr(0, input.size() - 1)) model.receive(std::string(1, byte));
            std::string seen = kinds(model.takeEvents()) + " ";
            model.receive(input.substr(input.size() - 1));
            seen += timeline(model, 8) + " ";
            seen += kinds(model.takeEvents());
            EXPECT_EQ(seen, type == StartType::Warm  ? "xxx 4T4F wF"
                            : type == StartType::Hot ? "xxx 1T7F hF"
                                                     : "xxx 1-3u2T2F CRTF");
        }
    }
}

// Obeying the cold start, a slow confirmation with empty times and switching
// off: the seconds before the cold start and after it, and the events of both.
TEST(ReceiverModel, Behaviours) {
    const struct {
        const char* name;
        Behaviour behaviour;
        int silence;  // after the cold start
        bool emptyTimes;
        int before, after;
        const char* seen;  // the timeline before and after the cold start; the events
    } cases[] = {
        {"normal: from zero again", Behaviour::Normal, 0, false, 7, 7, "3u2T2F 3u2T2F TFCRTF"},
        {"normal, 3 s silent", Behaviour::Normal, 3, false, 7, 10, "3u2T2F 3-3u2T2F TFCRTF"},
        {"slow confirm, empty times", Behaviour::SlowConfirm, 1, true, 6, 37, "3u2T1F 35b2u TFCR"},
        {"off after 30 s, for good", Behaviour::OffAfter, 1, false, 40, 40, "3u2T25F10- 40- TFO"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverConfig config = quickConfig(c.behaviour);
        config.resetSilenceSeconds = c.silence;
        config.slowConfirmEmptyTime = c.emptyTimes;
        ReceiverModel model(config);
        std::string seen = timeline(model, c.before) + " ";
        model.receive(gpslink::kColdStartSentence);
        seen += timeline(model, c.after) + " ";
        EXPECT_EQ(seen + kinds(model.takeEvents()), c.seen);
    }
}

// Each way of cutting gives back the same bytes, in pieces of at most its size.
TEST(Chunking, PiecesJoinToTheSameBytes) {
    for (Chunking chunking : {Chunking::Byte, Chunking::Random}) {
        SCOPED_TRACE(nameOf(chunking));
        ReceiverConfig config = quickConfig();
        config.chunking = chunking;
        ReceiverModel whole(quickConfig()), model(config);
        for (int i = 0; i < 8; ++i) {
            const std::string burst = whole.tick();
            std::string joined;
            for (const std::string& p : model.tickPieces()) {
                joined += p;
                EXPECT_LE(p.size(), chunking == Chunking::Byte ? 1 : kMaxRandomPiece);
            }
            EXPECT_EQ(joined, burst);
        }
    }
}

// A capture: comments and gpsd's JSON skipped, CR LF restored, a burst per GGA
// sentence; replayed a burst a second, and from the top after a cold start.
TEST(Capture, ReadAsBurstsAndReplayed) {
    const std::vector<std::string> capture = captureBursts(
        "# header\n$PSRFTXT,V*00\n$GPGGA,142816.3,*51\r\n\n{\"class\":1}\n"
        "$GPGGA,142817.3,*50\n$GLGGA,142817.3,*4E\n$GPGGA,,*48\n$GPGGA,,*48");
    EXPECT_EQ(capture, (std::vector<std::string>{"$PSRFTXT,V*00\r\n$GPGGA,142816.3,*51\r\n",
                                                 "$GPGGA,142817.3,*50\r\n$GLGGA,142817.3,*4E\r\n",
                                                 "$GPGGA,,*48\r\n", "$GPGGA,,*48\r\n"}));
    ReceiverConfig config = quickConfig();
    config.replay = capture;
    ReceiverModel model(config);
    for (std::size_t i = 0; i < capture.size(); ++i) EXPECT_EQ(model.tick(), capture[i]) << i;
    EXPECT_EQ(model.tick(), "");
    EXPECT_EQ(kinds(model.takeEvents()), "E");
    model.receive(gpslink::kColdStartSentence);
    EXPECT_EQ(model.tick(), "") << "reset silence";
    EXPECT_EQ(model.tick(), capture[0]);
}

TEST(Options, HelpAndMistakes) {
    const char *sim = COLDSTART_RECEIVER_SIM, *demo = COLDSTART_DEMO;
    const struct {
        const char* program;
        QStringList arguments;
        const char* message;  // part of standard output for help, of standard error else
    } rows[] = {
        {sim, {"--help"}, "--mode"},
        {demo, {"--help"}, "--mode"},
        {sim, {"--bogus"}, "Unknown option 'bogus'"},
        {sim, {"extra"}, "unexpected argument extra"},
        {sim, {"--mode", "fast"}, "unknown --mode fast"},
        {sim, {"--rate", "11"}, "--rate takes a whole number from 1 to 10"},
        {sim, {"--strict-baud"}, "--strict-baud needs --baud"},
        {sim, {"--mode", "silent", "--off-after", "3"}, "does not belong"},
        {sim, {"--replay", "/nonexistent"}, "/nonexistent"},
        {demo, {"--bogus"}, "Unknown option 'bogus'"},
        {demo, {"--rate", "0"}, "--rate takes a whole number from 1 to 10"},
        {demo, {"--device", "/dev/null", "--mode", "silent"}, "not for --device"},
        {sim, {"--antenna", "ok,broken@3"}, "unknown antenna state \"broken\""},
        {sim, {"--antenna", "ok,open"}, "needs its second"},
        {sim, {"--antenna", "ok@5,open@2"}, "in time order"},
        {sim, {"--antenna", "ok"}, "a sirf receiver publishes no antenna"},
        {sim, {"--family", "mtk", "--agc", "100"}, "--agc is for a ublox"},
        {sim,
         {"--family", "ublox", "--jamming", "256"},
         "--jamming takes a whole number from 0 to 255"},
        {sim,
         {"--family", "mtk", "--refuse-config", "PMTK220,PCAS02"},
         "PCAS02 is not an item of a mtk receiver (PMTK220, PMTK251, PMTK314)"},
        {sim, {"--family", "airoha", "--lose-unsaved"}, "no configuration items"},
    };
    // Without a display, so that a window made too early fails the row.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    for (const auto& row : rows) {
        const std::string call = QString(row.program).section('/', -1).toStdString() + " " +
                                 row.arguments.join(' ').toStdString();
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(QString::fromLatin1(row.program), row.arguments);
        ASSERT_TRUE(program.waitForFinished(30000)) << call << " did not end";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << call;
        const bool help = row.arguments == QStringList{"--help"};
        EXPECT_EQ(program.exitCode(), help ? 0 : 2) << call;
        const QByteArray out = program.readAllStandardOutput(),
                         err = program.readAllStandardError();
        EXPECT_TRUE((help ? out : err).contains(row.message)) << call << ": " << err.toStdString();
        EXPECT_TRUE((help ? err : out).isEmpty()) << call;
        if (help && row.program == sim) {
            for (const QByteArray& line : out.split('\n'))
                EXPECT_LE(line.size(), 80) << line.toStdString();
        }
    }
}

// What the station takes out of the receiver's bytes: the sentences (without
// their line ends) and the binary packets.
struct Heard {
    std::vector<std::string> sentences;
    std::vector<station::Packet> packets;
};

Heard hear(const std::string& bytes) {
    Heard heard;
    station::StreamSplitter splitter;
    splitter.onPacket = [&](const station::Packet& p) { heard.packets.push_back(p); };
    const std::string text = splitter.feed(bytes);
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        heard.sentences.push_back(text.substr(at, end - at));
    return heard;
}

// The antenna's state each second in the family's published form: the
// published examples byte for byte, read back by the station's decoder,
// through each change of the schedule.  Families that publish no antenna
// state send nothing.
TEST(FrontEnd, AntennaStateEachSecondInTheFamilysPublishedForm) {
    using F = gpslink::ReceiverFamily;
    const struct {
        F family;
        const char* published;  // the maker's example of an antenna in order
        const char* states;     // read by the station, second by second
    } rows[] = {
        {F::Ublox, "$GNTXT,01,01,02,ANTSTATUS=OK*25", "ok ok open open short short unknown"},
        {F::Casic, "$GPTXT,01,01,01,ANTENNA OK*35", "ok ok open open short short -"},
        {F::Mtk, "$PGTOP,11,3*6F", "ok ok open open short short -"},
        {F::Sirf, "", "- - - - - - -"},
        {F::Airoha, "", "- - - - - - -"},
        {F::QuectelLg, "", "- - - - - - -"},
    };
    std::string why;
    const std::vector<AntennaChange> schedule =
        antennaScheduleFrom("ok,open@2,short@4,unknown@6", why);
    ASSERT_EQ(schedule.size(), 4u) << why;
    for (const auto& row : rows) {
        SCOPED_TRACE(gpslink::nameOf(row.family));
        ReceiverConfig config = quickConfig();
        config.family = row.family;
        config.antenna = schedule;
        config.ubxMonitors = row.family == F::Ublox;  // the same state in MON-HW and MON-RF
        ReceiverModel model(config);
        std::string states, first;
        for (int second = 0; second < 7; ++second) {
            std::string state = "-";
            const Heard heard = hear(model.tick());
            for (const std::string& line : heard.sentences) {
                const auto body = gpslink::nmeaCheckedBody(line);
                ASSERT_TRUE(body) << line;
                if (const auto found = station::antennaFromSentence(*body)) {
                    state = std::string(station::nameOf(*found));
                    if (first.empty()) first = line;
                }
            }
            for (const station::Packet& packet : heard.packets) {
                const auto f = station::frontEndFromPacket(packet);
                ASSERT_TRUE(f && f->antenna);
                EXPECT_EQ(station::nameOf(*f->antenna), state) << "second " << second;
            }
            EXPECT_EQ(heard.packets.size(), config.ubxMonitors ? 2u : 0u);
            states += (second ? " " : "") + state;
        }
        EXPECT_EQ(states, row.states);
        EXPECT_EQ(first, row.published);
    }
}

// u-blox's monitors polled (an empty payload) and, with their output on,
// each second: laid out as published (the payloads are written here by the
// published offsets), read by the station's decoder, the readings spread by
// the front end's noise reproducibly from the seed.
TEST(FrontEnd, UbloxMonitorsAsPublishedAndAsTheStationReadsThem) {
    using M = results::Measure;
    ReceiverConfig config = quickConfig();
    config.family = gpslink::ReceiverFamily::Ublox;
    config.frontEnd = {2832, 308, 17, 0};
    config.dualBand = true;  // two RF blocks
    const std::tuple<Antenna, char, const char*> states[] = {
        {Antenna::Ok, 2, "ok"}, {Antenna::Short, 3, "short"}, {Antenna::Open, 4, "open"}};
    for (const auto& [antenna, status, name] : states) {
        SCOPED_TRACE(name);
        config.antenna = {{0, antenna}};
        ReceiverModel model(config);
        std::string hw(60, '\0');
        hw[16] = char(308 & 0xFF), hw[17] = char(308 >> 8);    // noisePerMS
        hw[18] = char(2832 & 0xFF), hw[19] = char(2832 >> 8);  // agcCnt
        hw[20] = status, hw[21] = 1, hw[22] = 1,
        hw[45] = 17;                            // aStatus, power ON, rtcCalib, jamInd
        std::string rf("\x00\x02\x00\x00", 4);  // version 0, two blocks
        for (char block : {'\0', '\1'}) {
            std::string b(24, '\0');
            b[0] = block, b[2] = status, b[3] = 1, b[16] = 17;
            b.replace(12, 4, hw.substr(16, 4));  // noisePerMS, agcCnt
            rf += b;
        }
        model.receive(gpslink::ubxFrame(0x0A, 0x09, "") + gpslink::ubxFrame(0x0A, 0x38, ""));
        const std::string answers = model.takeAnswers();
        EXPECT_EQ(answers, gpslink::ubxFrame(0x0A, 0x09, hw) + gpslink::ubxFrame(0x0A, 0x38, rf));
        const Heard heard = hear(answers);
        ASSERT_EQ(heard.packets.size(), 2u);
        for (const station::Packet& packet : heard.packets) {
            const auto f = station::frontEndFromPacket(packet);
            ASSERT_TRUE(f && f->antenna);
            EXPECT_EQ(station::nameOf(*f->antenna), name);
            EXPECT_EQ(
                std::tuple(*f->figures[M::Agc], *f->figures[M::Noise], *f->figures[M::Jamming]),
                std::tuple(2832.0, 308.0, 17.0));
        }
        EXPECT_EQ(hear(model.tick()).packets.size(), 0u) << "output off by default";
    }
    // A monitor cut short, and another monitor (MON-VER), give no reading.
    for (const auto& [id, size] : {std::pair(0x09, 40), {0x04, 40}})
        EXPECT_FALSE(station::frontEndFromPacket(
            hear(gpslink::ubxFrame(0x0A, id, std::string(std::size_t(size), ' '))).packets.at(0)));

    // Each second with the noise: within +-3 of the figures, not always the
    // same, the same again from the same seed.
    config.ubxMonitors = true;
    config.frontEnd.spread = 3;
    const auto readings = [&](std::uint64_t seed) {
        config.seed = seed;
        ReceiverModel noisy(config);
        std::vector<double> seen;
        for (int second = 0; second < 10; ++second) {
            const Heard h = hear(noisy.tick());
            EXPECT_EQ(h.packets.size(), 2u) << "MON-HW and MON-RF";
            for (const station::Packet& packet : h.packets) {
                const auto f = station::frontEndFromPacket(packet);
                EXPECT_TRUE(f);
                if (!f) continue;
                for (const auto& [m, mid] :
                     {std::pair(M::Agc, 2832), {M::Noise, 308}, {M::Jamming, 17}}) {
                    EXPECT_NEAR(*f->figures[m], mid, 3);
                    seen.push_back(*f->figures[m]);
                }
            }
        }
        return seen;
    };
    const std::vector<double> first = readings(7);
    EXPECT_EQ(readings(7), first);
    EXPECT_NE(readings(8), first);
    EXPECT_GT(std::set<double>(first.begin(), first.end()).size(), 6u);
}

// A UBX-CFG-VALGET poll of keys in a layer, and its answer decoded by the
// published layout: key and value pairs, sizes from the keys' size bits.
std::map<std::uint32_t, std::uint64_t> valget(ReceiverModel& model, int layer,
                                              const std::vector<std::uint32_t>& keys) {
    std::string poll{'\0', char(layer), '\0', '\0'};
    for (std::uint32_t key : keys)
        for (int i = 0; i < 4; ++i) poll += char(key >> (8 * i));
    model.receive(gpslink::ubxFrame(0x06, 0x8B, poll));
    const Heard heard = hear(model.takeAnswers());
    std::map<std::uint32_t, std::uint64_t> values;
    if (heard.packets.size() != 2 ||
        heard.packets[1].bytes != gpslink::ubxFrame(0x05, 0x01, "\x06\x8B"))
        return {{0, 0}};  // no answer, or not acknowledged
    const std::string_view p = heard.packets[0].payload();
    if (p.substr(0, 2) != std::string{char(1), char(layer)})
        return {{1, 1}};  // version 1, the layer
    for (std::size_t at = 4; at + 4 <= p.size();) {
        std::uint32_t key = 0;
        for (int i = 3; i >= 0; --i) key = key << 8 | std::uint8_t(p[at + i]);
        const int bits = (key >> 28) & 7;
        const std::size_t size = bits <= 2 ? 1 : bits == 3 ? 2 : bits == 4 ? 4 : 8;
        std::uint64_t value = 0;
        for (std::size_t i = size; i-- > 0;) value = value << 8 | std::uint8_t(p[at + 4 + i]);
        values[key] = value;
        at += 4 + size;
    }
    return values;
}

// UBX-CFG-VALSET: key and value pairs (little-endian, the size from the key)
// in the layers given (bit 0 RAM, 1 BBR, 2 Flash).
std::string valset(int layers, const std::vector<std::pair<std::uint32_t, std::uint64_t>>& items) {
    std::string payload{'\0', char(layers), '\0', '\0'};
    for (const auto& [key, value] : items) {
        const int bits = (key >> 28) & 7;
        const int size = bits <= 2 ? 1 : bits == 3 ? 2 : bits == 4 ? 4 : 8;
        for (int i = 0; i < 4; ++i) payload += char(key >> (8 * i));
        for (int i = 0; i < size; ++i) payload += char(value >> (8 * i));
    }
    return gpslink::ubxFrame(0x06, 0x8A, payload);
}

constexpr std::uint32_t kRateMeas = 0x30210001, kBaud = 0x40520001, kGga = 0x209100bb,
                        kDynModel = 0x20110021;

// Each VALSET answered ACK-ACK or, with nothing applied, ACK-NAK: an unknown
// key, an invalid value (checked only when RAM is set), no layer, a value cut
// short, an item the receiver refuses, a transaction.
TEST(Configuration, UbloxValsetAcknowledgedOrRefused) {
    const std::string ack = std::string("\xB5\x62\x05\x01\x02\x00\x06\x8A\x98\xC1", 10);
    const std::string nak = gpslink::ubxFrame(0x05, 0x00, "\x06\x8A");
    std::string cut = valset(1, {{kRateMeas, 200}});
    cut = gpslink::ubxFrame(0x06, 0x8A, cut.substr(6, cut.size() - 9));
    std::string transaction = valset(1, {{kRateMeas, 200}});
    transaction[6] = 1, transaction[8] = 1;  // version 1, transaction started
    transaction = gpslink::ubxFrame(0x06, 0x8A, transaction.substr(6, transaction.size() - 8));
    const struct {
        const char* name;
        std::string frame;
        bool acknowledged;
        std::uint64_t rate;  // CFG-RATE-MEAS in RAM afterwards
    } rows[] = {
        {"RAM", valset(1, {{kRateMeas, 200}, {kDynModel, 4}}), true, 200},
        {"unknown key", valset(1, {{kRateMeas, 200}, {0x30210099, 1}}), false, 1000},
        {"invalid model in RAM", valset(1, {{kRateMeas, 200}, {kDynModel, 1}}), false, 1000},
        {"invalid model, Flash only", valset(4, {{kDynModel, 1}}), true, 1000},
        {"rate under 25 ms", valset(1, {{kRateMeas, 20}}), false, 1000},
        {"no layer", valset(0, {{kRateMeas, 200}}), false, 1000},
        {"value cut short", cut, false, 1000},
        {"refused item", valset(7, {{kRateMeas, 200}, {kBaud, 115200}}), false, 1000},
        {"transaction", transaction, false, 1000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiverConfig config = quickConfig();
        config.family = gpslink::ReceiverFamily::Ublox;
        config.refusedItems = {"CFG-UART1-BAUDRATE"};
        ReceiverModel model(config);
        model.receive(row.frame);
        EXPECT_EQ(model.takeAnswers(), row.acknowledged ? ack : nak);
        EXPECT_EQ(kinds(model.takeEvents()), "c");
        EXPECT_EQ(valget(model, 0, {kRateMeas}),
                  (std::map<std::uint32_t, std::uint64_t>{{kRateMeas, row.rate}}));
    }
}

// What each layer keeps through every UBX-CFG-RST reset mode and a power
// cycle: RAM stays while the processor runs (GNSS only, GNSS stop and start),
// a processor reset rebuilds it from BBR over Flash over the defaults, a power
// cycle without a backup supply loses BBR too.  The timeline after the reset
// shows its silence.  VALGET reads each layer, a group at once, and refuses an
// unknown key or layer.
TEST(Configuration, UbloxLayersAcrossEveryResetAndPowerCycle) {
    const auto reset = [](int mode, std::uint16_t mask = 0) {
        return gpslink::ubxFrame(0x06, 0x04,
                                 std::string{char(mask & 0xFF), char(mask >> 8), char(mode), 0});
    };
    const struct {
        const char* name;
        std::string then;  // empty: a power cycle
        bool loseUnsaved, failingMemory, backupSupply;
        std::uint64_t rate, gga, model;
        const char* after;  // the seconds after it
    } rows[] = {
        {"GNSS only", reset(0x02), false, false, false, 200, 0, 4, "1T3F"},
        {"GNSS only, cold", reset(0x02, 0xFFFF), false, false, false, 200, 0, 4, "1-3u"},
        {"GNSS only, unsaved lost", reset(0x02), true, false, false, 1000, 0, 3, "1T3F"},
        {"hardware reset", reset(0x00), false, false, false, 1000, 0, 3, "1-1T2F"},
        {"controlled software reset", reset(0x01), false, false, false, 1000, 0, 3, "1-1T2F"},
        {"hardware reset after shutdown", reset(0x04), false, false, false, 1000, 0, 3, "1-1T2F"},
        {"GNSS stopped", reset(0x08), false, false, false, 200, 0, 4, "4-"},
        {"GNSS stopped and started", reset(0x08) + reset(0x09), false, false, false, 200, 0, 4,
         "1T3F"},
        {"software reset, saves not kept", reset(0x01), false, true, false, 1000, 1, 0, "1-1T2F"},
        {"power cycle", "", false, false, false, 1000, 0, 0, "1-3u"},
        {"power cycle, backup supply", "", false, false, true, 1000, 0, 3, "1-3u"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiverConfig config = quickConfig();
        config.family = gpslink::ReceiverFamily::Ublox;
        config.loseUnsaved = row.loseUnsaved;
        config.failingMemory = row.failingMemory;
        config.backupSupply = row.backupSupply;
        ReceiverModel model(config);
        model.receive(valset(1, {{kRateMeas, 200}, {kDynModel, 4}}) +         // RAM
                      valset(5, {{kGga, 0}}) + valset(2, {{kDynModel, 3}}));  // RAM and Flash; BBR
        model.takeAnswers();
        using Values = std::map<std::uint32_t, std::uint64_t>;
        if (!row.failingMemory) {
            EXPECT_EQ(valget(model, 1, {kRateMeas, kGga, kDynModel}), (Values{{kDynModel, 3}}));
            EXPECT_EQ(valget(model, 2, {0x2091ffff}), (Values{{kGga, 0}})) << "a group at once";
        }
        EXPECT_EQ(valget(model, 7, {kRateMeas, kGga, kBaud}),
                  (Values{{kRateMeas, 1000}, {kGga, 1}, {kBaud, 38400}}));
        EXPECT_EQ(valget(model, 0, {kRateMeas, 0x30210077}), (Values{{0, 0}})) << "unknown key";
        EXPECT_EQ(valget(model, 3, {kRateMeas}), (Values{{0, 0}})) << "no layer 3";
        timeline(model, 6);
        if (row.then.empty())
            model.powerCycle();
        else
            model.receive(row.then);
        EXPECT_EQ(valget(model, 0, {kRateMeas, kGga, kDynModel}),
                  (Values{{kRateMeas, row.rate}, {kGga, row.gga}, {kDynModel, row.model}}));
        EXPECT_EQ(timeline(model, 4), row.after);
    }
}

// MediaTek: each set command acknowledged $PMTK001,<type>,<flag> (3 done, 2
// failed, 1 unsupported, 0 invalid), the queries answered with what was set;
// the published examples byte for byte.  Settings survive a start, not a
// full cold start, a power cycle or, losing what was not saved, a start.
TEST(Configuration, MediatekSetAcknowledgedAndQueried) {
    const std::string rates = "1,1,1,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0";
    const struct {
        const char* sent;
        std::string answer;
    } rows[] = {
        {"$PMTK400*36", "$PMTK500,1000,0,0,0,0*1A"},  // published example and answer
        {"$PMTK220,1000*1F", "$PMTK001,220,3"},
        {"PMTK220,200", "$PMTK001,220,3"},
        {"$PMTK400*36", "$PMTK500,200,0,0,0,0"},
        {"PMTK220,50", "$PMTK001,220,2"},
        {"PMTK220", "$PMTK001,220,0"},
        {"$PMTK251,57600*2C", "$PMTK001,251,3"},
        {"PMTK251,1200", "$PMTK001,251,2"},
        {"$PMTK414*33", "$PMTK514,0,1,0,1,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0"},
        {"$PMTK314,1,1,1,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0*2C", "$PMTK001,314,3"},
        {"$PMTK414*33", "$PMTK514," + rates},
        {"PMTK314,1,1,1,6,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0", "$PMTK001,314,2"},
        {"PMTK314,1,1", "$PMTK001,314,0"},
        {"$PMTK314,-1*04", "$PMTK001,314,3"},
        {"$PMTK414*33", "$PMTK514,0,1,0,1,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0"},
        {"PMTK330,0", "$PMTK001,330,1"},
    };
    ReceiverConfig config = quickConfig();
    config.family = gpslink::ReceiverFamily::Mtk;
    ReceiverModel model(config);
    const auto ask = [&](std::string_view sent) {
        const bool framed = sent[0] == '$';
        if (framed) {
            EXPECT_TRUE(gpslink::nmeaCheckedBody(sent)) << sent;
        }
        model.receive(framed ? std::string(sent) + "\r\n" : gpslink::nmeaCommand(sent));
        return model.takeAnswers();
    };
    for (const auto& row : rows) {
        const std::string_view answer = row.answer;
        const std::string expected = answer.find('*') != std::string_view::npos
                                         ? std::string(answer) + "\r\n"
                                         : gpslink::nmeaCommand(answer.substr(1));
        EXPECT_EQ(ask(row.sent), expected) << row.sent;
    }
    EXPECT_EQ(kinds(model.takeEvents()), std::string(std::size(rows), 'c'));

    const struct {
        const char* name;
        bool loseUnsaved;
        std::string then;  // sent after PMTK220,200
        const char* interval;
    } restarts[] = {
        {"cold start", false, "$PMTK103*30\r\n", "200"},
        {"full cold start", false, "$PMTK104*37\r\n", "1000"},
        {"power cycle", false, "", "1000"},
        {"cold start, unsaved lost", true, "$PMTK103*30\r\n", "1000"},
    };
    for (const auto& row : restarts) {
        SCOPED_TRACE(row.name);
        config.loseUnsaved = row.loseUnsaved;
        config.refusedItems = {"PMTK251"};
        ReceiverModel restarted(config);
        restarted.receive(gpslink::nmeaCommand("PMTK220,200") +
                          gpslink::nmeaCommand("PMTK251,9600"));
        EXPECT_EQ(restarted.takeAnswers(),
                  gpslink::nmeaCommand("PMTK001,220,3") + gpslink::nmeaCommand("PMTK001,251,2"));
        if (row.then.empty())
            restarted.powerCycle();
        else
            restarted.receive(row.then);
        restarted.receive("$PMTK400*36\r\n");
        EXPECT_EQ(restarted.takeAnswers(),
                  gpslink::nmeaCommand("PMTK500," + std::string(row.interval) + ",0,0,0,0"));
    }
}

// CASIC: PCAS02 and PCAS03 set for this power-up, PCAS00 saves to flash; no
// answer to any (none is published), so what the receiver keeps is read from
// the model.  A start keeps the running values, a power cycle only the saved.
TEST(Configuration, CasicSetAndSavedWithoutAnswer) {
    for (const char* published : {"$PCAS00*01", "$PCAS02,1000*2E"})
        EXPECT_TRUE(gpslink::nmeaCheckedBody(published)) << published;
    const struct {
        const char* name;
        std::string sent;
        bool powerCycle;  // else a cold start
        const char* interval;
        const char* output;
    } rows[] = {
        {"set, cold start", "PCAS02,500|PCAS03,0,0,0,0,1,0,0,0", false, "500", "0,0,0,0,1,0,0,0"},
        {"set, power cycle", "PCAS02,500|PCAS03,0,0,0,0,1,0,0,0", true, "1000", "1,0,1,1,1,0,0,1"},
        {"saved, power cycle", "PCAS02,200|PCAS00|PCAS02,500", true, "200", "1,0,1,1,1,0,0,1"},
        {"values not taken", "PCAS02,300|PCAS03,0,0,0,0,1,0,0,12|PCAS03,1", false, "1000",
         "1,0,1,1,1,0,0,1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiverConfig config = quickConfig();
        config.family = gpslink::ReceiverFamily::Casic;
        ReceiverModel model(config);
        for (const QString& body : QString::fromStdString(row.sent).split('|'))
            model.receive(gpslink::nmeaCommand(body.toStdString()));
        EXPECT_EQ(model.takeAnswers(), "");
        const std::string events = kinds(model.takeEvents());
        EXPECT_EQ(events, std::string(events.size(), 'c'));
        if (row.powerCycle)
            model.powerCycle();
        else
            model.receive(
                station::startCommand(gpslink::ReceiverFamily::Casic, gpslink::StartType::Cold));
        EXPECT_EQ(model.configuration().runningText("PCAS02"), row.interval);
        EXPECT_EQ(model.configuration().runningText("PCAS03"), row.output);
    }
}

// A power cycle: silent for the reset silence, then from power-up (the clock
// from zero, the antenna's schedule from its start).
TEST(ReceiverModel, PowerCycleStartsFromPowerUp) {
    ReceiverConfig config = quickConfig();
    config.family = gpslink::ReceiverFamily::Mtk;
    config.resetSilenceSeconds = 2;
    std::string why;
    config.antenna = antennaScheduleFrom("ok,short@3", why);
    ReceiverModel model(config);
    const auto antenna = [&] {
        std::string seen;
        for (const std::string& line : hear(model.tick()).sentences)
            if (line.rfind("$PGTOP", 0) == 0) seen = line.substr(10, 1);
        return seen.empty() ? "-" : seen;
    };
    std::string seen;
    for (int i = 0; i < 4; ++i) seen += antenna();
    model.powerCycle();
    seen += " ";
    for (int i = 0; i < 6; ++i) seen += antenna();
    EXPECT_EQ(seen, "3331 --3331");
    EXPECT_EQ(kinds(model.takeEvents()), "TPRT");
}

// gps-receiver-sim switches its receiver off and on at SIGUSR1, and still
// ends cleanly at SIGTERM.
TEST(Options, SigusrOnePowerCycles) {
    QProcess sim;
    sim.start(QStringLiteral(COLDSTART_RECEIVER_SIM), {"--family", "ublox"});
    ASSERT_TRUE(sim.waitForStarted(30000));
    while (!sim.canReadLine()) ASSERT_TRUE(sim.waitForReadyRead(30000)) << "no device printed";
    sim.setReadChannel(QProcess::StandardError);
    ::kill(pid_t(sim.processId()), SIGUSR1);
    QByteArray err;
    while (!err.contains("power cycle")) {
        ASSERT_TRUE(sim.waitForReadyRead(30000)) << err.toStdString();
        err += sim.readAllStandardError();
    }
    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished(30000));
    EXPECT_EQ(sim.exitCode(), 0);
}

}  // namespace
}  // namespace gpssim
