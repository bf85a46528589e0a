// The simulated receiver: its model second by second without a clock, and
// once over a real pseudo-terminal with the event loop.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/link.h"
#include "sim/capture.h"
#include "sim/chunker.h"
#include "sim/nmea.h"
#include "sim/receivermodel.h"
#include "sim/simdriver.h"

namespace gpssim {
namespace {

const std::string kColdStart(gpslink::kColdStartSentence);

// The lines of a burst without their line ends; fails the test on a line
// that does not end in CR LF.
std::vector<std::string> linesOf(const std::string& burst) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < burst.size()) {
        const std::size_t lf = burst.find('\n', at);
        const std::string line = burst.substr(at, lf == std::string::npos ? lf : lf - at);
        EXPECT_TRUE(lf != std::string::npos && !line.empty() && line.back() == '\r')
            << "no CR LF after: " << line;
        lines.push_back(line.substr(0, line.size() - (line.empty() ? 0 : 1)));
        at = lf == std::string::npos ? burst.size() : lf + 1;
    }
    return lines;
}

// Field n of a sentence, the address being field 0 ("$GPGGA").
std::string field(const std::string& line, int n) {
    std::size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = line.find(',', at);
        if (at == std::string::npos) return "<missing>";
        ++at;
    }
    return line.substr(at, line.find_first_of(",*", at) - at);
}

// The GGA time of each burst; "-" for a burst without a GGA.
std::vector<std::string> ggaTimes(ReceiverModel& model, int ticks) {
    std::vector<std::string> times;
    for (int i = 0; i < ticks; ++i) {
        const std::string burst = model.tick();
        times.push_back(burst.rfind("$GPGGA,", 0) == 0 ? field(burst, 1) : "-");
    }
    return times;
}

std::vector<Event::Kind> kinds(const std::vector<Event>& events) {
    std::vector<Event::Kind> out;
    for (const Event& e : events) out.push_back(e.kind);
    return out;
}

ReceiverConfig quickConfig(Behaviour behaviour = Behaviour::Normal) {
    ReceiverConfig c;
    c.behaviour = behaviour;
    c.timeKnownAfterSeconds = 3;
    c.timeToFirstFixSeconds = 5;
    c.startUtc = QDateTime(QDate(2024, 12, 6), QTime(20, 41, 37), Qt::UTC);
    return c;
}

TEST(NmeaChecksum, MatchesKnownSentences) {
    EXPECT_EQ(nmeaSentence("PSRF101,0,0,0,0,0,0,12,4"), kColdStart);
    // A line of a real SiRF-II capture.
    EXPECT_EQ(
        nmeaSentence("GPGGA,000416.984,0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000"),
        "$GPGGA,000416.984,0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000*70\r\n");

    EXPECT_TRUE(nmeaChecksumValid("$GPGSA,A,1,,,,,,,,,,,,,50.0,50.0,50.0*05"));
    EXPECT_TRUE(nmeaChecksumValid("$GPGGA,000002.00,,,,,0,,,,,,,,*4A"));
    EXPECT_TRUE(nmeaChecksumValid("$GPGGA,000002.00,,,,,0,,,,,,,,*4a"));
    EXPECT_FALSE(nmeaChecksumValid("$GPGGA,000002.00,,,,,0,,,,,,,,*4B"));
    EXPECT_FALSE(nmeaChecksumValid("$GPGGA,000002.00,,,,,0,,,,,,,,*4"));
    EXPECT_FALSE(nmeaChecksumValid("$GPGGA,000002.00,,,,,0,,,,,,,,4A"));
    EXPECT_FALSE(nmeaChecksumValid("GPGGA,000002.00,,,,,0,,,,,,,,*4A"));
}

// Every sentence the receiver sends, before and after its fix and a
// restart, at 1 and 5 epochs a second.
TEST(ReceiverModel, EverySentenceHasItsChecksumAndCrLf) {
    for (int rate : {1, 5}) {
        ReceiverConfig config = quickConfig();
        config.rateHz = rate;
        ReceiverModel model(config);
        int sentences = 0;
        for (int i = 0; i < 12 * rate; ++i) {
            if (i == 8 * rate) model.receive(kColdStart);
            for (const std::string& line : linesOf(model.tick())) {
                EXPECT_TRUE(nmeaChecksumValid(line)) << line;
                EXPECT_LE(line.size(), 80u) << line;
                ++sentences;
            }
        }
        EXPECT_GE(sentences, 6 * 10 * rate) << "rate " << rate;
    }
}

TEST(ReceiverModel, ClockCountsFromZeroThenCarriesUtcThenFixes) {
    ReceiverModel model(quickConfig());
    struct Epoch {
        const char* time;
        const char* quality;
        const char* rmcStatus;
        const char* date;
    };
    const Epoch expected[] = {
        {"000000.000", "0", "V", ""},       {"000001.000", "0", "V", ""},
        {"000002.000", "0", "V", ""},       {"204137.000", "0", "V", "061224"},
        {"204138.000", "0", "V", "061224"}, {"204139.000", "1", "A", "061224"},
        {"204140.000", "1", "A", "061224"},
    };
    for (const Epoch& e : expected) {
        const std::vector<std::string> lines = linesOf(model.tick());
        ASSERT_EQ(lines.size(), 6u) << e.time;
        EXPECT_EQ(field(lines[0], 1), e.time);
        EXPECT_EQ(field(lines[0], 6), e.quality) << e.time;
        const bool fix = e.quality[0] == '1';
        EXPECT_EQ(field(lines[0], 2).empty(), !fix) << "latitude at " << e.time;
        EXPECT_EQ(field(lines[1], 2), fix ? "3" : "1") << "GSA fix mode at " << e.time;
        EXPECT_EQ(field(lines[5], 1), e.time) << "RMC time";
        EXPECT_EQ(field(lines[5], 2), e.rmcStatus) << e.time;
        EXPECT_EQ(field(lines[5], 9), e.date) << e.time;
    }
    EXPECT_EQ(kinds(model.takeEvents()), (std::vector{Event::TimeKnown, Event::Fix}));
}

TEST(ReceiverModel, BurstIsGgaGsaThreeGsvRmc) {
    ReceiverModel model(quickConfig());
    for (int i = 0; i < 7; ++i) {
        const std::vector<std::string> lines = linesOf(model.tick());
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[0].substr(0, 7), "$GPGGA,");
        EXPECT_EQ(lines[1].substr(0, 9), "$GPGSA,A,") << "automatic 2D/3D mode";
        for (int part = 1; part <= 3; ++part) {
            const std::string& gsv = lines[1 + part];
            EXPECT_EQ(gsv.substr(0, 7), "$GPGSV,");
            EXPECT_EQ(field(gsv, 1), "3");
            EXPECT_EQ(field(gsv, 2), std::to_string(part));
            EXPECT_EQ(field(gsv, 3), "12");
        }
        EXPECT_EQ(lines[5].substr(0, 7), "$GPRMC,");
    }
}

TEST(ReceiverModel, TimeRunsAtTheEpochRateAndAcrossMidnight) {
    ReceiverConfig twoHz = quickConfig();
    twoHz.rateHz = 2;
    ReceiverModel fast(twoHz);
    EXPECT_EQ(ggaTimes(fast, 8),
              (std::vector<std::string>{"000000.000", "000000.500", "000001.000", "000001.500",
                                        "000002.000", "000002.500", "204137.000", "204137.500"}));

    ReceiverConfig late = quickConfig();
    late.startUtc = QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59), Qt::UTC);
    ReceiverModel model(late);
    EXPECT_EQ(ggaTimes(model, 4).back(), "235959.000");
    const std::vector<std::string> lines = linesOf(model.tick());
    EXPECT_EQ(field(lines[0], 1), "000000.000");
    EXPECT_EQ(field(lines[5], 9), "010125");
}

// What the receiver makes of sentences written to it.
TEST(ReceiverModel, RecognisesOnlyAValidColdStart) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<Event::Kind> events;
    };
    const Case cases[] = {
        {"the tool's sentence", kColdStart, {Event::ColdStart}},
        {"after line noise", std::string("\x00\xff*,\r\n", 6) + kColdStart, {Event::ColdStart}},
        {"other channel count", nmeaSentence("PSRF101,0,0,0,0,0,0,8,4"), {Event::ColdStart}},
        {"bad checksum", "$PSRF101,0,0,0,0,0,0,12,4*11\r\n", {Event::Rejected}},
        {"no checksum", "$PSRF101,0,0,0,0,0,0,12,4\r\n", {Event::Rejected}},
        {"hot start", nmeaSentence("PSRF101,0,0,0,0,0,0,12,1"), {Event::Rejected}},
        {"warm start", nmeaSentence("PSRF101,0,0,0,0,0,0,12,2"), {Event::Rejected}},
        {"factory reset", nmeaSentence("PSRF101,0,0,0,0,0,0,12,8"), {Event::Rejected}},
        {"a field missing", nmeaSentence("PSRF101,0,0,0,0,0,12,4"), {Event::Rejected}},
        {"other message", nmeaSentence("PSRF100,1,9600,8,1,0"), {Event::Rejected}},
        {"no line end yet", kColdStart.substr(0, kColdStart.size() - 2), {}},
        {"cut by a new sentence", "$PSRF101,0,0," + kColdStart, {Event::ColdStart}},
    };
    for (const Case& c : cases) {
        ReceiverModel model(quickConfig());
        ggaTimes(model, 2);
        model.takeEvents();
        model.receive(c.input);
        EXPECT_EQ(kinds(model.takeEvents()), c.events) << c.name;
        const bool restarts = !c.events.empty() && c.events[0] == Event::ColdStart;
        EXPECT_EQ(ggaTimes(model, 2)[1], restarts ? "000000.000" : "204137.000") << c.name;
    }
}

TEST(ReceiverModel, ColdStartArrivingInPiecesIsRecognisedOnce) {
    ReceiverModel model(quickConfig());
    model.tick();
    for (char c : kColdStart) model.receive(std::string(1, c));
    model.receive("\r\n");
    EXPECT_EQ(kinds(model.takeEvents()), std::vector{Event::ColdStart});
}

// After a cold start: silent for the reset silence, then from zero again with
// no fix, UTC once the time is known (true UTC, which went on meanwhile), and
// a fix after the time to first fix.
TEST(ReceiverModel, RestartsFromZeroAfterColdStart) {
    for (int silence : {0, 1, 3}) {
        ReceiverConfig config = quickConfig();
        config.resetSilenceSeconds = silence;
        ReceiverModel model(config);
        ggaTimes(model, 7);  // 000000 .. 000002, 204137 .. 204140 with a fix
        model.takeEvents();
        model.receive(kColdStart);
        std::vector<std::string> expected(std::size_t(silence), "-");
        const int restartAt = 7 + silence;
        for (const char* t : {"000000.000", "000001.000", "000002.000"}) expected.push_back(t);
        for (int i = restartAt + 3; i < restartAt + 6; ++i)
            expected.push_back("2041" + std::to_string(37 - 3 + i) + ".000");
        std::vector<std::string> seen;
        std::vector<std::string> quality;
        for (int i = 0; i < silence + 6; ++i) {
            const std::string burst = model.tick();
            seen.push_back(burst.empty() ? "-" : field(burst, 1));
            if (!burst.empty()) quality.push_back(field(burst, 6));
        }
        EXPECT_EQ(seen, expected) << "silence " << silence;
        EXPECT_EQ(quality, (std::vector<std::string>{"0", "0", "0", "0", "0", "1"}));
        EXPECT_EQ(kinds(model.takeEvents()),
                  (std::vector{Event::ColdStart, Event::Restart, Event::TimeKnown, Event::Fix}));
    }
}

TEST(ReceiverModel, Behaviours) {
    {
        SCOPED_TRACE("silent: nothing out, nothing understood");
        ReceiverModel model(quickConfig(Behaviour::Silent));
        for (int i = 0; i < 60; ++i) {
            if (i == 10) model.receive(kColdStart);
            EXPECT_EQ(model.tick(), "") << i;
        }
        EXPECT_TRUE(model.takeEvents().empty());
    }
    {
        SCOPED_TRACE("wrong baud: bytes every second, never a '$'; commands unreadable");
        ReceiverModel model(quickConfig(Behaviour::WrongBaud));
        for (int i = 0; i < 20; ++i) {
            if (i == 10) model.receive(kColdStart);
            const std::string burst = model.tick();
            EXPECT_GT(burst.size(), 100u) << i;
            EXPECT_EQ(burst.find('$'), std::string::npos) << i;
        }
        const std::vector<Event::Kind> seen = kinds(model.takeEvents());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), Event::ColdStart), 0);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), Event::Rejected), 1);
    }
    {
        SCOPED_TRACE("ignore: recognised, streaming goes on without a restart");
        ReceiverModel model(quickConfig(Behaviour::Ignore));
        ggaTimes(model, 4);
        model.receive(kColdStart);
        EXPECT_EQ(ggaTimes(model, 3),
                  (std::vector<std::string>{"204138.000", "204139.000", "204140.000"}));
        EXPECT_EQ(kinds(model.takeEvents()),
                  (std::vector{Event::TimeKnown, Event::ColdStart, Event::Ignored, Event::Fix}));
    }
    {
        SCOPED_TRACE("slow confirm: silent 35 s, more than the tool's 30, then from zero");
        ReceiverModel model(quickConfig(Behaviour::SlowConfirm));
        ggaTimes(model, 6);
        model.receive(kColdStart);
        const std::vector<std::string> times = ggaTimes(model, 37);
        EXPECT_EQ(std::count(times.begin(), times.begin() + 35, "-"), 35);
        EXPECT_EQ(times[35], "000000.000");
        EXPECT_EQ(times[36], "000001.000");
    }
    {
        SCOPED_TRACE("slow confirm talking: 35 s of GGA with an empty time, then from zero");
        ReceiverConfig config = quickConfig(Behaviour::SlowConfirm);
        config.slowConfirmEmptyTime = true;
        ReceiverModel model(config);
        ggaTimes(model, 6);
        model.receive(kColdStart);
        const std::vector<std::string> times = ggaTimes(model, 36);
        EXPECT_EQ(std::count(times.begin(), times.begin() + 35, ""), 35);
        EXPECT_EQ(times[35], "000000.000");
    }
    {
        SCOPED_TRACE("off after 30 s: stops for good, a cold start does not wake it");
        ReceiverConfig config = quickConfig(Behaviour::OffAfter);
        config.offAfterSeconds = 30;
        ReceiverModel model(config);
        const std::vector<std::string> times = ggaTimes(model, 40);
        model.receive(kColdStart);
        const std::vector<std::string> later = ggaTimes(model, 40);
        EXPECT_EQ(std::count(times.begin(), times.begin() + 30, "-"), 0);
        EXPECT_EQ(times[29], "204203.000");
        EXPECT_EQ(std::count(times.begin() + 30, times.end(), "-"), 10);
        EXPECT_EQ(std::count(later.begin(), later.end(), "-"), 40);
        EXPECT_TRUE(model.switchedOff());
        const std::vector<Event::Kind> seen = kinds(model.takeEvents());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), Event::SwitchedOff), 1);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), Event::ColdStart), 0);
    }
}

// Each way of cutting gives back the same bytes, and the seed alone decides
// the random cut and the wrong-baud noise.
TEST(Chunking, PiecesJoinToTheSameBytes) {
    for (Behaviour behaviour : {Behaviour::Normal, Behaviour::WrongBaud}) {
        ReceiverModel whole(quickConfig(behaviour));
        std::vector<std::string> bursts;
        for (int i = 0; i < 8; ++i) bursts.push_back(whole.tick());

        for (Chunking chunking :
             {Chunking::Burst, Chunking::Sentence, Chunking::Byte, Chunking::Random}) {
            ReceiverConfig config = quickConfig(behaviour);
            config.chunking = chunking;
            ReceiverModel model(config);
            for (std::size_t i = 0; i < bursts.size(); ++i) {
                const std::vector<std::string> pieces = model.tickPieces();
                std::string joined;
                for (const std::string& p : pieces) {
                    ASSERT_FALSE(p.empty());
                    joined += p;
                    if (chunking == Chunking::Byte) {
                        EXPECT_EQ(p.size(), 1u);
                    }
                    if (chunking == Chunking::Random) {
                        EXPECT_LE(p.size(), kMaxRandomPiece);
                    }
                    if (chunking == Chunking::Sentence && behaviour == Behaviour::Normal) {
                        EXPECT_EQ(p.front(), '$');
                        EXPECT_EQ(p.substr(p.size() - 2), "\r\n");
                    }
                }
                EXPECT_EQ(joined, bursts[i]) << nameOf(chunking) << " epoch " << i;
                if (chunking == Chunking::Burst) {
                    EXPECT_EQ(pieces.size(), 1u);
                }
                if (chunking == Chunking::Sentence && behaviour == Behaviour::Normal) {
                    EXPECT_EQ(pieces.size(), 6u);
                }
            }
        }
    }

    const std::string burst = ReceiverModel(quickConfig()).tick();
    const auto cut = [&](std::uint64_t seed) {
        return Chunker(Chunking::Random, seed).split(burst);
    };
    EXPECT_EQ(cut(7), cut(7));
    EXPECT_NE(cut(7), cut(8));
    EXPECT_GT(cut(7).size(), 6u);

    const auto noise = [](std::uint64_t seed) {
        ReceiverConfig config = quickConfig(Behaviour::WrongBaud);
        config.seed = seed;
        return ReceiverModel(config).tick();
    };
    EXPECT_EQ(noise(7), noise(7));
    EXPECT_NE(noise(7), noise(8));
}

TEST(Capture, BurstsRunFromOneGgaToTheNext) {
    const std::string text =
        "# header\n"
        "$PSRFTXT,Version GSW3*00\n"
        "$GPGGA,142816.359,,,,,0,00,,,M,0.0,M,,0000*51\r\n"
        "$GPRMC,142816.359,V,,,,,,,,,,N*4D\n"
        "\n"
        "# a cut in the capture\n"
        "$GPGGA,142817.359,,,,,0,00,,,M,0.0,M,,0000*50\n"
        "$GLGGA,142817.359,,,,,0,00,,,M,0.0,M,,0000*4E\n"
        "$GPGGA,,,,,,0,00,99.99,,,,,,*48\n"
        "$GPGGA,,,,,,0,00,99.99,,,,,,*48\n"
        " $GPRMC,,V,,,,,,,,,,N*53";
    EXPECT_EQ(captureBursts(text), (std::vector<std::string>{
                                       "$PSRFTXT,Version GSW3*00\r\n"
                                       "$GPGGA,142816.359,,,,,0,00,,,M,0.0,M,,0000*51\r\n"
                                       "$GPRMC,142816.359,V,,,,,,,,,,N*4D\r\n",
                                       "$GPGGA,142817.359,,,,,0,00,,,M,0.0,M,,0000*50\r\n"
                                       "$GLGGA,142817.359,,,,,0,00,,,M,0.0,M,,0000*4E\r\n",
                                       "$GPGGA,,,,,,0,00,99.99,,,,,,*48\r\n",
                                       "$GPGGA,,,,,,0,00,99.99,,,,,,*48\r\n"
                                       " $GPRMC,,V,,,,,,,,,,N*53\r\n",
                                   }));
}

// Real captures as documented beside them: LF-only and CR LF files, "#"
// lines, two GGA talkers per epoch.
TEST(Capture, RealCapturesReplayWithCrLf) {
    struct Case {
        const char* file;
        std::size_t dataLines;
        std::size_t bursts;
        const char* firstLine;
    };
    const Case cases[] = {
        {"tn200.log", 216, 61,
         "$GPGGA,000416.984,0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000*70"},
        {"sirfstarv-nmea.log", 367, 59, nullptr},
        {"bt451.log", 1032, 117, "$GPTXT,01,01,02,u-blox ag - www.u-blox.com*50"},
        {"beidou-bd.log", 79, 10, "$PSRFEPE,074150.799,V,,,,,*23"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> bursts;
        std::string error;
        ASSERT_TRUE(loadCapture(std::string(COLDSTART_TESTDATA_DIR) + "/" + c.file, bursts, error))
            << error;
        EXPECT_EQ(bursts.size(), c.bursts);
        std::size_t lines = 0;
        for (const std::string& burst : bursts) {
            for (const std::string& line : linesOf(burst)) {
                EXPECT_NE(line.front(), '#');
                EXPECT_EQ(line.find('\r'), std::string::npos) << "CR doubled: " << line;
                ++lines;
            }
        }
        EXPECT_EQ(lines, c.dataLines);
        if (c.firstLine) {
            EXPECT_EQ(linesOf(bursts.front()).front(), c.firstLine);
        }
    }

    std::vector<std::string> bursts;
    std::string error;
    EXPECT_FALSE(loadCapture(std::string(COLDSTART_TESTDATA_DIR) + "/missing.log", bursts, error));
    EXPECT_FALSE(error.empty());
}

TEST(Capture, ModelReplaysOneBurstPerEpochAndFromTheTopAfterColdStart) {
    std::vector<std::string> capture;
    std::string error;
    ASSERT_TRUE(
        loadCapture(std::string(COLDSTART_TESTDATA_DIR) + "/triton400.log", capture, error));
    ReceiverConfig config = quickConfig();
    config.replay = capture;
    ReceiverModel model(config);
    for (std::size_t i = 0; i < capture.size(); ++i) EXPECT_EQ(model.tick(), capture[i]) << i;
    EXPECT_EQ(model.tick(), "");
    EXPECT_EQ(kinds(model.takeEvents()), std::vector{Event::ReplayEnd});
    model.receive(kColdStart);
    EXPECT_EQ(model.tick(), "") << "reset silence";
    EXPECT_EQ(model.tick(), capture[0]);
}

// The driver over a real pseudo-terminal, with the event loop: the tool's side
// reads bursts, closes and reopens the port, sends the cold start and sees
// the receiver start again from zero.
class SimDriverOverPty : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "sim_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) app_ = new QCoreApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }

    template <class Done>
    static bool waitFor(Done done, int ms = 5000) {
        const QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired()) {
            QEventLoop loop;
            QTimer::singleShot(5, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return done();
    }

    static std::string readAll(int fd) {
        std::string bytes;
        char chunk[4096];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, n);
        return bytes;
    }

    static QCoreApplication* app_;
};
QCoreApplication* SimDriverOverPty::app_ = nullptr;

TEST_F(SimDriverOverPty, StreamsSurvivesReopenAndRestartsOnColdStart) {
    ReceiverConfig config = quickConfig();
    config.chunking = Chunking::Random;
    DriverOptions options;
    options.intervalMs = 40;
    SimDriver driver(config, options);
    std::vector<Event::Kind> events;
    QObject::connect(&driver, &SimDriver::event, [&](const Event& e) { events.push_back(e.kind); });
    QString error;
    ASSERT_TRUE(driver.start(&error)) << error.toStdString();
    const std::string path = driver.slavePath().toStdString();
    ASSERT_FALSE(path.empty());

    int port = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    std::string text;
    ASSERT_TRUE(waitFor([&] {
        text += readAll(port);
        return text.find("$GPRMC") != std::string::npos;
    }));
    EXPECT_EQ(text.rfind("$GPGGA,000000.000,", 0), 0u) << text;

    // The tool closes the port for a while, then opens it again.
    ::close(port);
    const qint64 before = driver.bytesWritten();
    ASSERT_TRUE(waitFor([&] { return driver.bytesWritten() > before + 2000; }));
    port = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    text.clear();
    ASSERT_TRUE(waitFor([&] {
        text += readAll(port);
        return text.find("$GPGGA,2041") != std::string::npos;
    })) << text.substr(0, 200);

    ASSERT_EQ(::write(port, kColdStart.data(), kColdStart.size()), ssize_t(kColdStart.size()));
    text.clear();
    ASSERT_TRUE(waitFor([&] {
        text += readAll(port);
        return text.find("$GPGGA,000000.000,") != std::string::npos;
    })) << text.substr(0, 200);
    EXPECT_EQ(events,
              (std::vector{Event::TimeKnown, Event::Fix, Event::ColdStart, Event::Restart}));
    ::close(port);
    driver.stop();
    EXPECT_TRUE(driver.slavePath().isEmpty());
}

}  // namespace
}  // namespace gpssim
