// The simulated receiver's model, second by second without a clock: its
// sentences, the start commands of each family it takes, and how it behaves.
// And the command lines of gps-receiver-sim and the demo: help is answered,
// and a mistake gets a message naming it and exit status 2, before any
// receiver or window starts.

#include <gtest/gtest.h>

#include <QProcess>
#include <algorithm>
#include <string>
#include <vector>

#include "gpslink/link.h"
#include "gpslink/resetcommand.h"
#include "sim/capture.h"
#include "sim/chunker.h"
#include "sim/nmea.h"
#include "sim/receivermodel.h"

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
// start, h hot start, a identity query answered, n switched to NMEA.
std::string kinds(const std::vector<Event>& events) {
    std::string out;
    for (const Event& e : events) out += "CxiRTFOEwhan"[e.kind];
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
            EXPECT_TRUE(nmeaChecksumValid(line.substr(0, line.size() - 2)) && line.size() <= 82)
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
    const auto& families = gpslink::kReceiverFamilies;
    for (std::size_t n = 0; n < families.size(); ++n) {
        for (StartType type : gpslink::kStartTypes) {
            const std::string command = gpslink::resetCommand(families[n], type);
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
                gpslink::resetCommand(families[(n + 1) % families.size()],
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
    const struct {
        const char* program;
        QStringList arguments;
        const char* message;  // part of standard output for help, of standard error else
    } rows[] = {
        {COLDSTART_RECEIVER_SIM, {"--help"}, "--mode"},
        {COLDSTART_DEMO, {"--help"}, "--mode"},
        {COLDSTART_RECEIVER_SIM, {"--bogus"}, "Unknown option 'bogus'"},
        {COLDSTART_RECEIVER_SIM, {"extra"}, "unexpected argument extra"},
        {COLDSTART_RECEIVER_SIM, {"--mode", "fast"}, "unknown --mode fast"},
        {COLDSTART_RECEIVER_SIM, {"--rate", "11"}, "--rate takes a whole number from 1 to 10"},
        {COLDSTART_RECEIVER_SIM, {"--strict-baud"}, "--strict-baud needs --baud"},
        {COLDSTART_RECEIVER_SIM, {"--mode", "silent", "--off-after", "3"}, "does not belong"},
        {COLDSTART_RECEIVER_SIM, {"--replay", "/nonexistent"}, "/nonexistent"},
        {COLDSTART_DEMO, {"--bogus"}, "Unknown option 'bogus'"},
        {COLDSTART_DEMO, {"--rate", "0"}, "--rate takes a whole number from 1 to 10"},
        {COLDSTART_DEMO, {"--device", "/dev/null", "--mode", "silent"}, "not for --device"},
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
        EXPECT_TRUE((help ? out : err).contains(row.message)) << call;
        EXPECT_TRUE((help ? err : out).isEmpty()) << call;
    }
}

}  // namespace
}  // namespace gpssim
