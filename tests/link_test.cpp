// Framing sentences out of receive chunks, and runs of the link as a
// technician meets them, scripted: chunks arrive, one second passes, buttons
// are pressed; what was shown and sent is compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "gpslink/nmeascanner.h"
#include "testkit/fakes.h"
#include "testkit/recordings.h"

namespace gpslink {
namespace {

using testing::Bench;
using testing::gga;

const std::string kGsa = "$GPGSA,A,1,,,,,,,,,,,,,50.0,50.0,50.0*05\r\n";
const std::string kConfirmed =
    "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
const std::string kNoAnswer = "Cold Start fail!(1)\r\nGPS no respond.";

struct Framed {
    std::vector<std::string> sentences;
    std::string kept;  // the buffer after the last chunk
};

Framed frame(const std::vector<std::string>& chunks) {
    NmeaScanner scanner;
    Framed out;
    for (const std::string& chunk : chunks) {
        out.kept += chunk;
        scanner.scan(out.kept, [&](std::string_view s) {
            out.sentences.emplace_back(s);
            return true;
        });
    }
    return out;
}

// The same text cut anywhere into three chunks frames the same sentences
// and keeps the same rest.
TEST(Framing, FramesEachSentenceOnceWhereverTheChunksAreCut) {
    const struct {
        std::string stream;
        std::vector<std::string> sentences;
        std::string kept;
    } rows[] = {
        // The checksum is any two characters; it is not checked.
        {"$GPGGA,1*ZZ", {"$GPGGA,1*ZZ"}, ""},
        {"$GPGGA,1\r\n$GPGLL,2*41\r\n", {"$GPGGA,1\r\n$GPGLL,2*41"}, ""},  // CR LF ends nothing
        // Scanning resumes right after the "*": a "$" among the two checksum
        // characters starts the next sentence.
        {"$A*$B*12", {"$A*$B", "$B*12"}, ""},
        {"\xff\x80 garbage\r\nmore", {}, ""},
        {"xx$GPVTG*11yy$GPGSA,A*05\r\n", {"$GPVTG*11", "$GPGSA,A*05"}, ""},
        {"$GPGSV*11\r\n$GPGGA,1,2", {"$GPGSV*11"}, "$GPGGA,1,2"},
        {std::string("$G\0P*12", 7), {std::string("$G\0P*12", 7)}, ""},  // NUL is a character
    };
    for (const auto& row : rows) {
        const std::string& s = row.stream;
        for (std::size_t a = 0; a <= s.size(); ++a) {
            for (std::size_t b = a; b <= s.size(); ++b) {
                const Framed f = frame({s.substr(0, a), s.substr(a, b - a), s.substr(b)});
                ASSERT_EQ(f.sentences, row.sentences) << s << " cut at " << a << " and " << b;
                ASSERT_EQ(f.kept, row.kept) << s << " cut at " << a << " and " << b;
            }
        }
    }
}

TEST(Framing, OverlongUnfinishedSentenceIsDroppedUpToNextDollar) {
    NmeaScanner scanner;
    std::string buffer = "$" + std::string(NmeaScanner::kMaxPending - 1, 'x');
    auto none = [](std::string_view) {
        ADD_FAILURE() << "nothing is complete";
        return true;
    };
    scanner.scan(buffer, none);
    EXPECT_EQ(buffer.size(), NmeaScanner::kMaxPending) << "at the limit it is kept";

    buffer += "y$GPGGA,1";
    scanner.scan(buffer, none);
    EXPECT_EQ(buffer, "$GPGGA,1");

    buffer += std::string(NmeaScanner::kMaxPending - buffer.size() + 1, 'z');
    scanner.scan(buffer, none);
    EXPECT_EQ(buffer, "") << "one past the limit, no later $: everything goes";

    std::vector<std::string> seen;
    buffer += "*12$GPVTG*34";
    scanner.scan(buffer, [&](std::string_view s) {
        seen.emplace_back(s);
        return true;
    });
    EXPECT_EQ(seen, std::vector<std::string>{"$GPVTG*34"})
        << "the dropped sentence never completes";
}

// Five GGA sentences with times one second apart, a burst a second.
void countToColdStart(Bench& b) {
    for (int s = 10; s < 15; ++s) {
        b.receive(gga("2041" + std::to_string(s) + ".079") + kGsa);
        b.second();
    }
}

bool timersOff(const Bench& b) {
    return !b.link.Timer.enabled() && !b.link.Timer_PF.enabled() && !b.link.Timer_Start.enabled();
}

TEST(Run, PressConfirmAndShutDown) {
    Bench b;
    b.link.Cmd_Start_1_Click();
    EXPECT_TRUE(b.port.calls.empty()) << "the press itself opens nothing";
    b.second();  // the connect step
    b.port.waiting = kGsa;
    for (int event : {int(comEvSend), int(comEvCTS), int(comEvDSR), int(comEvCD), int(comEvRing),
                      int(comEvEOF), 1001, 1010})
        b.port.raise(event);
    EXPECT_EQ(b.port.waiting, kGsa) << "only a receive event reads input";
    EXPECT_FALSE(b.link.Timer_Start.enabled());
    EXPECT_EQ(b.view.label, "Connecting.....");
    EXPECT_EQ(b.view.startColour, colour::Grey);
    EXPECT_FALSE(b.view.frameEnabled);
    countToColdStart(b);
    b.receive(gga("000001.000") + kGsa);  // the receiver restarted its clock
    EXPECT_EQ(b.view.status, kConfirmed);
    b.seconds(6);  // switched off: the last second still saw the last burst
    EXPECT_EQ(b.view.status, kConfirmed);
    b.second();
    EXPECT_EQ(b.view.status, "GPS be shuted down.");
    EXPECT_TRUE(timersOff(b));
    EXPECT_TRUE(b.port.open) << "a report never closes the port";
    using E = LinkEvent;
    EXPECT_EQ(b.events(),
              (std::vector<E>{E::PortOpened, E::TimeCounted, E::TimeCounted, E::TimeCounted,
                              E::TimeCounted, E::TimeCounted, E::CommandSent, E::CommandSeconds,
                              E::Confirmed, E::ReceiverOff}));
    EXPECT_EQ(b.reports[5].count, 5);
}

// The sixth GGA sentence answers only when all of it came after the chunk
// that sent the command, wherever the chunks are cut.
TEST(Run, OnlyAGgaReceivedAfterTheCommandConfirms) {
    std::string stream;
    for (int s = 10; s < 15; ++s) stream += gga("1200" + std::to_string(s) + ".000") + kGsa;
    const std::size_t fifthEnd = stream.size() - kGsa.size() - 2;  // after its checksum
    const std::size_t sixthStart = stream.size();
    stream += gga("120015.000") + kGsa;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Bench b;
        b.connect();
        b.receive(stream.substr(0, cut));
        ASSERT_EQ(b.coldStartsSent(), cut >= fifthEnd ? 1 : 0) << cut;
        b.receive(stream.substr(cut));
        ASSERT_EQ(b.events().back() == LinkEvent::Confirmed, cut >= fifthEnd && cut <= sixthStart)
            << cut;
        b.receive(gga("000000.000"));  // any time confirms, 00:00:00 included
        ASSERT_EQ(b.events().back(), LinkEvent::Confirmed) << cut;
        ASSERT_EQ(b.coldStartsSent(), 1) << cut;
    }
}

TEST(Gga, WhatCountsAndWhatDoesNot) {
    const struct {
        std::string sentence;
        bool counted;
        const char* status;
    } rows[] = {
        {"$GPGGA,,,,,,0,00,99.99,,,,,,*48\r\n", false, ""},  // empty time field
        {gga("123456.000", "GN"), true, "UTC Time :12:34:56\r\n"},
        {"$gpgga,123456.000,,,,,0,00,,,M,,M,,*48\r\n", false, ""},  // lower case
        {"$GPGGA*00\r\n", false, "Please waiting......"},           // cut short: reads as 00:00:00
        {"$GPGGA,1*00\r\n", true, "UTC Time :1*:00:\r\n"},          // hour 1
        {"$GPGGA,ab3456.000,,*48\r\n", true, "UTC Time :ab:34:56\r\n"},
        {"$GPGGA,000009.999*48\r\n", false, "Please waiting......"},
        {"$GPGGA,000010.000*48\r\n", true, "UTC Time :00:00:10\r\n"},
        {"$GPGLL,2638.1726,N,08011.3892,W,030129.000,A,A*47\r\n", false, ""},
    };
    for (const auto& row : rows) {
        Bench b;
        b.connect();
        b.receive(row.sentence);
        EXPECT_EQ(b.events().back() == LinkEvent::TimeCounted, row.counted) << row.sentence;
        EXPECT_EQ(b.view.status, row.status) << row.sentence;
        EXPECT_EQ(b.view.label, row.counted ? "Connected!" : "Connecting.....") << row.sentence;
    }
}

// A port that stays silent, open or not: a count, then the report; a stop
// closes only a port that opened.
TEST(Supervision, SilentPortCountsThenReports) {
    for (bool refuseOpen : {false, true}) {
        Bench b;
        b.view.port = "COM 7";
        b.port.refuseOpen = refuseOpen;
        b.connect();
        EXPECT_EQ(b.saved.size(), refuseOpen ? 0u : 1u);
        b.second();
        EXPECT_EQ(b.view.status, "1");
        b.second();
        EXPECT_EQ(b.view.status, "2");
        b.second();
        EXPECT_EQ(b.view.status, "COM 7  error!\r\nPlease select another Com Port.");
        EXPECT_EQ(b.view.label, "Can't connect!");
        EXPECT_EQ(b.events(), (std::vector<LinkEvent>{
                                  refuseOpen ? LinkEvent::PortRefused : LinkEvent::PortOpened,
                                  LinkEvent::NoData}));
        EXPECT_TRUE(timersOff(b));
        b.port.calls.clear();
        b.link.Cmd_Start_1_Click();
        EXPECT_EQ(b.port.calls.empty(), refuseOpen);
    }
}

// Characters without a GGA time in the fourth to sixth second; the red
// stays once the line is fixed, until the cold start goes out.
TEST(Supervision, WrongBaudRate) {
    const struct {
        int noisySeconds, quietSeconds;  // then one more burst of noise
        bool report;
    } rows[] = {{3, 0, false}, {4, 0, true}, {3, 3, true}, {3, 4, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.noisySeconds) + "+" + std::to_string(row.quietSeconds));
        Bench b;
        b.connect();
        for (int i = 0; i < row.noisySeconds; ++i) {
            b.receive("\x8f\xfe\x11\x80");
            b.second();
        }
        b.seconds(row.quietSeconds);
        b.receive("\x86\xe6");
        EXPECT_EQ(b.view.status, row.report ? "Baud Rate not match!" : "");
        EXPECT_EQ(b.events().back(), row.report ? LinkEvent::BaudMismatch : LinkEvent::PortOpened);
        if (!row.report) continue;
        EXPECT_EQ(b.view.statusColour, colour::Red);
        for (int t = 10; t < 14; ++t) b.receive(gga("1010" + std::to_string(t) + ".000"));
        EXPECT_EQ(b.view.statusColour, colour::Red);
        b.receive(gga("101014.000"));
        EXPECT_EQ(b.coldStartsSent(), 1);
        EXPECT_EQ(b.view.statusColour, colour::ButtonFace);
    }
}

// The report of a missing confirmation comes once; a stream without a GGA
// sentence then runs the count past 30 seconds into a failure that a late
// confirmation does not undo.
TEST(Supervision, NoConfirmationWithin30Seconds) {
    Bench b;
    b.connect();
    countToColdStart(b);
    b.seconds(28);
    EXPECT_EQ(b.view.status, "Cold Starting...... 29(Sec)");
    b.second();
    EXPECT_EQ(b.view.status, kNoAnswer);
    EXPECT_EQ(b.view.statusColour, colour::Red);
    EXPECT_EQ(b.view.label, "Not connected!");
    EXPECT_TRUE(b.link.Timer_PF.enabled()) << "it goes on counting, silently";
    for (const char* status : {"Cold Starting...... 30(Sec)", "Cold Start fail!"}) {
        b.receive(kGsa);
        b.second();
        EXPECT_EQ(b.view.status, status);
    }
    b.seconds(100);
    EXPECT_EQ(std::count(b.view.statusHistory.begin(), b.view.statusHistory.end(), kNoAnswer), 1);
    const auto events = b.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), LinkEvent::NoConfirmation), 1);
    EXPECT_EQ(events.back(), LinkEvent::ConfirmationLate);
    b.receive(gga("000012.000"));  // a late confirmation
    EXPECT_EQ(b.view.status, kConfirmed);
    b.second();
    EXPECT_EQ(b.view.status, "Cold Start fail!") << "every tick says so, also once confirmed";
}

TEST(Supervision, AStallBeforeTheColdStartResetsQuietlyAndAStopReturnsToIdle) {
    Bench b;
    b.connect();
    b.receive(gga("101010.000"));
    b.seconds(6);
    EXPECT_EQ(b.view.status, "UTC Time :10:10:10\r\n");
    b.second();  // the sixth silent stall check
    EXPECT_EQ(b.view.status, "");
    EXPECT_EQ(b.events().back(), LinkEvent::Stalled);
    EXPECT_EQ(b.view.label, "Connected!");
    EXPECT_FALSE(b.view.frameEnabled) << "the selectors stay out of reach";
    EXPECT_TRUE(b.port.open);
    EXPECT_TRUE(timersOff(b));

    // The next press finds the port open: the number is refused, nothing is
    // saved, and the run goes on with the open port from a count of zero.
    b.port.calls.clear();
    b.connect();
    EXPECT_EQ(b.port.calls, std::vector<std::string>{"CommPort=1"});
    EXPECT_EQ(b.saved.size(), 1u);
    countToColdStart(b);
    EXPECT_EQ(b.coldStartsSent(), 1);

    b.link.Cmd_Start_1_Click();  // a stop while the cold start is counted
    EXPECT_EQ(b.port.calls, (std::vector<std::string>{"CommPort=1", "discard", "close"}));
    EXPECT_EQ(b.view.status + b.view.label, "");
    EXPECT_TRUE(b.view.frameEnabled);
    EXPECT_EQ(b.view.selectorColour, colour::WindowBackground);
    EXPECT_EQ(b.view.startColour, colour::ButtonFace);
    EXPECT_TRUE(timersOff(b) && !b.link.Timer1.enabled());
    b.connect();
    countToColdStart(b);
    EXPECT_EQ(b.coldStartsSent(), 2);
}

// Once anything was received, a silent run shows no count; a second press
// before any status arms the connect step, which waits out the stall check.
TEST(Supervision, AfterTheFirstDataOnlyTheStallCheckEndsASilentRun) {
    Bench fresh;
    fresh.seconds(4);  // Timer_PF has been checking since the window opened
    fresh.connect();
    fresh.seconds(2);
    EXPECT_FALSE(fresh.link.Timer_PF.enabled()) << "the inherited stall count ends the run";

    for (bool pressAgain : {false, true}) {
        Bench b;
        b.connect();
        b.receive(gga("101010.000"));
        b.link.Cmd_Start_1_Click();  // stop
        b.connect();
        if (pressAgain) b.link.Cmd_Start_1_Click();
        b.port.calls.clear();
        b.seconds(7);
        EXPECT_EQ(b.view.status, "") << pressAgain;
        EXPECT_FALSE(b.link.Timer_PF.enabled()) << pressAgain;
        EXPECT_TRUE(b.port.calls.empty()) << "ticks that find a count do not connect";
        b.second();
        EXPECT_EQ(b.port.calls.empty(), !pressAgain) << "the tick after the reset connects";
    }
}

TEST(Controls, PortAndRateTextsReachThePort) {
    const std::string reopen = ",open,close,open,discard";
    const struct {
        const char *port, *baud;
        std::string calls;  // the port operations, joined by commas
    } rows[] = {
        {"COM 12", "921600", "CommPort=12,Settings=921600,n,8,1" + reopen},
        {"COM 101", "1200", "CommPort=101,Settings=1200,n,8,1" + reopen},
        {"COM 1", "", "CommPort=1" + reopen},  // the old settings kept
        {"COM12", "9600", "CommPort=2,Settings=9600,n,8,1" + reopen},
        {"COM1", "9600", "CommPort=0"},  // loses its digit: refused
    };
    for (const auto& row : rows) {
        Bench b;
        b.view.port = row.port;
        b.view.baud = row.baud;
        b.connect();
        std::string calls;
        for (const std::string& c : b.port.calls) calls += (calls.empty() ? "" : ",") + c;
        EXPECT_EQ(calls, row.calls) << row.port << " " << row.baud;
        EXPECT_EQ(b.saved.size(), row.calls == "CommPort=0" ? 0u : 1u) << row.port;
    }
}

TEST(LongRuns, SeventyTwoHoursStandingDoNotOverflow) {
    constexpr int kSeconds = 72 * 3600;
    for (const std::string& burst : {gga("123456.000"), kGsa}) {
        Bench b;
        b.connect();
        countToColdStart(b);
        b.receive(burst);  // confirmed, or never
        for (int i = 0; i < kSeconds; ++i) {
            b.receive(burst);
            b.second();
        }
        EXPECT_EQ(b.view.status, burst == kGsa ? "Cold Start fail!" : kConfirmed);
        EXPECT_EQ(b.coldStartsSent(), 1);
    }
    Bench armedTwice;  // Timer1 is left counting
    armedTwice.connect();
    armedTwice.link.Cmd_Start_1_Click();
    armedTwice.seconds(kSeconds);
    EXPECT_EQ(armedTwice.state().Timer1Ticks, INT16_MAX);
}

// Real receiver captures replayed through the link, a line per receive event
// and a second per GGA epoch, with the outcome each capture must have.
TEST(Capture, EachReachesItsOutcome) {
    std::string why;
    const std::string nmea = sharedFolder("testdata/nmea", why);
    if (nmea.empty()) GTEST_SKIP() << why;
    const struct {
        const char* file;
        int coldStartLine;  // line of the GGA sentence that sends the cold start
        int confirmLine;    // line of the GGA sentence that confirms it, 0 for none
        bool baudReport;    // "Baud Rate not match!" shown on the way
        bool waiting;       // "Please waiting......" shown on the way
    } outcomes[] = {
        // SiRF-II with its clock running from power-up: every GGA counts.
        {"tn200.log", 24, 27, false, false},
        // SiRF-III: power-up banner of proprietary text, then GGA sentences.
        {"blumax-gps009.log", 48, 60, false, false},
        // GN talker and an extra GGA field.
        {"beidou-bd.log", 51, 57, false, false},
        // Two GGA sentences per epoch (GP and GL): the second of an epoch answers.
        {"sirfstarv-nmea.log", 21, 22, false, false},
        // A GGA that lost its "*" runs into the next sentence and still counts;
        // the capture ends before any answer.
        {"triton400.log", 34, 0, false, false},
        // A clock counting from 00:00:02: the first seconds are waited out.
        {"geos-1m.log", 56, 60, false, true},
        // Restart with spliced, truncated and NUL-filled sentences; a GGA
        // swallowed by a GSV that lost its "*" does not count.
        {"gp-320fw-2019-04-07-coldboot.log", 73, 81, false, false},
        // Ten seconds of GGA sentences with an empty time field look like a
        // wrong baud rate until the times come.
        {"bt451.log", 124, 132, true, false},
    };
    for (const auto& expected : outcomes) {
        SCOPED_TRACE(expected.file);
        std::ifstream in(nmea + "/" + expected.file, std::ios::binary);
        ASSERT_TRUE(in) << "capture missing";
        Bench b;
        b.connect();
        int lineNumber = 0, coldStartLine = 0, confirmLine = 0;
        std::string previousTime = "-";
        for (std::string line; std::getline(in, line);) {
            ++lineNumber;
            if (!line.empty() && line[0] == '#') continue;  // annotation, not receiver output
            if (line.size() >= 7 && line[0] == '$' && line.compare(3, 4, "GGA,") == 0) {
                const std::string time = line.substr(7, line.find(',', 7) - 7);
                if (previousTime != "-" && (time.empty() || time != previousTime)) b.second();
                previousTime = time;
            }
            b.receive(line + "\n");
            if (coldStartLine == 0 && !b.port.written.empty()) coldStartLine = lineNumber;
            if (confirmLine == 0 && b.events().back() == LinkEvent::Confirmed)
                confirmLine = lineNumber;
        }
        EXPECT_EQ(b.coldStartsSent(), 1);
        EXPECT_EQ(coldStartLine, expected.coldStartLine);
        EXPECT_EQ(confirmLine, expected.confirmLine);
        const auto& history = b.view.statusHistory;
        auto wasShown = [&](const std::string& text) {
            return std::find(history.begin(), history.end(), text) != history.end();
        };
        EXPECT_EQ(wasShown("Baud Rate not match!"), expected.baudReport);
        EXPECT_EQ(wasShown("Please waiting......"), expected.waiting);
        b.seconds(expected.confirmLine == 0 ? 30 : 0);  // no answer comes after the end
        EXPECT_EQ(b.view.status, expected.confirmLine == 0 ? kNoAnswer : kConfirmed);
        EXPECT_EQ(b.view.statusColour, expected.confirmLine == 0 ? colour::Red : colour::Green);
    }
}

}  // namespace
}  // namespace gpslink
