// Runs of the link as a technician meets them, scripted: chunks arrive, one
// second passes, buttons are pressed; what was shown and sent is compared.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/fakes.h"

namespace gpslink {
namespace {

using testing::Bench;
using testing::gga;

const std::string kGsa = "$GPGSA,A,1,,,,,,,,,,,,,50.0,50.0,50.0*05\r\n";
const std::string kRmc = "$GPRMC,204137.079,V,,,,,,,290120,,*1C\r\n";
const std::string kConfirmed =
    "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";

// Five GGA sentences with times one second apart, one burst a second.
void countToColdStart(Bench& b, int first = 10) {
    for (int s = first; s < first + 5; ++s) {
        b.receive(gga("2041" + std::to_string(s) + ".079") + kGsa + kRmc);
        b.second();
    }
}

TEST(Run, WholeColdStartFromPressToShutDown) {
    Bench b;
    b.link.Cmd_Start_1_Click();
    EXPECT_TRUE(b.link.Timer1.enabled());
    EXPECT_TRUE(b.port.calls.empty()) << "the press itself opens nothing";
    EXPECT_EQ(b.view.label, "Not connected!");

    b.second();  // the connect step
    EXPECT_EQ(b.port.calls, (std::vector<std::string>{"CommPort=1", "Settings=9600,n,8,1", "open",
                                                      "close", "open", "discard"}));
    EXPECT_EQ(b.saved, (std::vector<std::pair<std::string, std::string>>{{"COM 1", "9600"}}));
    EXPECT_EQ(b.view.label, "Connecting.....");
    EXPECT_EQ(b.view.startColour, colour::Grey);
    EXPECT_EQ(b.view.selectorColour, colour::ButtonFace);
    EXPECT_FALSE(b.view.frameEnabled);
    EXPECT_FALSE(b.link.Timer1.enabled());
    EXPECT_TRUE(b.link.Timer.enabled());
    EXPECT_TRUE(b.link.Timer_PF.enabled());

    for (int s = 37; s < 41; ++s) {
        b.receive(gga("2041" + std::to_string(s) + ".079") + kGsa + kRmc);
        b.second();
    }
    EXPECT_EQ(b.view.status, "UTC Time :20:41:40\r\n");
    EXPECT_EQ(b.view.label, "Connected!");
    EXPECT_EQ(b.port.written, "");

    b.receive(gga("204141.079") + kGsa);
    EXPECT_EQ(b.port.written, kColdStartSentence) << "sent with the fifth GGA sentence";
    EXPECT_EQ(b.state().Mode, 1);
    b.second();
    EXPECT_EQ(b.view.status, "Cold Starting...... 1(Sec)");
    b.second();
    EXPECT_EQ(b.view.status, "Cold Starting...... 2(Sec)");

    b.receive(gga("000001.000") + kGsa);  // the receiver restarted its clock
    EXPECT_EQ(b.state().Mode, 2);
    EXPECT_EQ(b.view.status, kConfirmed);
    EXPECT_EQ(b.view.statusColour, colour::Green);
    for (int i = 0; i < 20; ++i) {
        b.second();
        b.receive(gga("000002.000") + kGsa);
    }
    EXPECT_EQ(b.coldStartsSent(), 1);
    EXPECT_EQ(b.view.status, kConfirmed);

    // The technician switches the receiver off.
    b.second();  // this second still saw the last burst
    b.seconds(5);
    EXPECT_EQ(b.view.status, kConfirmed);
    b.second();  // the sixth silent check
    EXPECT_EQ(b.view.status, "GPS be shuted down.");
    EXPECT_FALSE(b.link.Timer.enabled());
    EXPECT_FALSE(b.link.Timer_PF.enabled());
    EXPECT_FALSE(b.link.Timer_Start.enabled());
    EXPECT_TRUE(b.port.open) << "a report never closes the port";
}

// Feeds the stream in chunks cut at the given indexes.
void feed(Bench& b, const std::string& stream, std::vector<std::size_t> cuts) {
    std::size_t from = 0;
    cuts.push_back(stream.size());
    for (std::size_t cut : cuts) {
        b.receive(stream.substr(from, cut - from));
        from = cut;
    }
}

TEST(Run, OnlyAGgaReceivedAfterTheCommandConfirms) {
    std::string stream;
    for (int s = 10; s < 15; ++s) stream += gga("1200" + std::to_string(s) + ".000") + kGsa;
    const std::size_t fifthEnd = stream.size() - kGsa.size() - 2;  // after its checksum
    stream += gga("120015.000");
    const std::size_t sixthStart = stream.size() - gga("").size() - 10;
    ASSERT_EQ(stream[sixthStart], '$');
    stream += kRmc;

    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Bench b;
        b.connect();
        b.receive(stream.substr(0, cut));
        EXPECT_EQ(b.coldStartsSent(), cut >= fifthEnd ? 1 : 0) << cut;
        b.receive(stream.substr(cut));
        ASSERT_EQ(b.coldStartsSent(), 1) << cut;
        // The sixth GGA sentence answers only when all of it came after the
        // chunk that sent the command.
        const bool answers = cut >= fifthEnd && cut <= sixthStart;
        ASSERT_EQ(b.state().Mode, answers ? 2 : 1) << "cut at " << cut;
        b.receive(gga("000000.000"));  // any time confirms, 00:00:00 included
        ASSERT_EQ(b.state().Mode, 2) << cut;
        ASSERT_EQ(b.coldStartsSent(), 1) << cut;
    }
}

TEST(Run, ChunksSplitAnywhereGiveTheSameRun) {
    std::string stream;
    for (int s = 10; s < 14; ++s) stream += gga("0930" + std::to_string(s) + ".000") + kGsa + kRmc;
    for (std::size_t a = 1; a < stream.size(); a += 3) {
        for (std::size_t c = a; c < stream.size(); c += 29) {
            Bench b;
            b.connect();
            feed(b, stream, {a, c});
            ASSERT_EQ(b.state().Counters[2], 4) << a << "," << c;
            ASSERT_EQ(b.view.status, "UTC Time :09:30:13\r\n");
        }
    }
}

TEST(Gga, WhatCountsAndWhatDoesNot) {
    struct Row {
        std::string sentence;
        bool counted;
        const char* status;
    };
    const std::vector<Row> rows = {
        {"$GPGGA,,,,,,0,00,99.99,,,,,,*48\r\n", false, ""},  // empty time field
        {gga("123456.000", "GN"), true, "UTC Time :12:34:56\r\n"},
        {gga("123456.000", "GL"), true, "UTC Time :12:34:56\r\n"},
        {"$gpgga,123456.000,,,,,0,00,,,M,,M,,*48\r\n", false, ""},  // lower case
        {"$GPGGA*00\r\n", false, "Please waiting......"},           // cut short: reads as 00:00:00
        {"$GPGGA,1*00\r\n", true, "UTC Time :1*:00:\r\n"},          // hour 1
        {"$GPGGA,12*00\r\n", true, "UTC Time :12:*0:0\r\n"},        // as received, cut at the end
        {"$GPGGA,ab3456.000,,*48\r\n", true, "UTC Time :ab:34:56\r\n"},
        {"$GPGGA,000009.999*48\r\n", false, "Please waiting......"},
        {"$GPGGA,000100.000*48\r\n", true, "UTC Time :00:01:00\r\n"},
        {"$GPGLL,2638.1726,N,08011.3892,W,030129.000,A,A*47\r\n", false, ""},
        {"$PSRFTXTVersion GSW3.2.2_3.1.00.12-SDK003P1.01a *78\r\n", false, ""},
    };
    for (const Row& row : rows) {
        Bench b;
        b.connect();
        b.receive(row.sentence);
        EXPECT_EQ(b.state().Counters[2], row.counted ? 1 : 0) << row.sentence;
        EXPECT_EQ(b.view.status, row.status) << row.sentence;
        EXPECT_EQ(b.view.label, row.counted ? "Connected!" : "Connecting.....") << row.sentence;
    }
}

TEST(Receive, OtherEventsChangeNothing) {
    Bench b;
    b.connect();
    b.port.waiting = gga("120000.000");
    for (int event : std::initializer_list<int>{comEvSend, comEvCTS, comEvDSR, comEvCD, comEvRing,
                                                comEvEOF, 1001, 1010}) {
        b.port.raise(event);
    }
    EXPECT_EQ(b.port.waiting, gga("120000.000")) << "input is not read";
    EXPECT_EQ(b.state().Counters[3], 0);
    EXPECT_FALSE(b.link.Timer_Start.enabled());
    EXPECT_EQ(b.view.status, "");
}

TEST(Supervision, SilentPortCountsThenReports) {
    Bench b;
    b.view.port = "COM 7";
    b.connect();
    b.second();
    EXPECT_EQ(b.view.status, "1");
    b.second();
    EXPECT_EQ(b.view.status, "2");
    b.second();
    EXPECT_EQ(b.view.status, "COM 7  error!\r\nPlease select another Com Port.");
    EXPECT_EQ(b.view.label, "Can't connect!");
    EXPECT_FALSE(b.link.Timer.enabled());
    EXPECT_FALSE(b.link.Timer_PF.enabled());
    EXPECT_FALSE(b.link.Timer_Start.enabled());
}

TEST(Supervision, WrongBaudRateIsReportedInTheFourthToSixthSecond) {
    Bench b;
    b.connect();
    const std::string noise = "\x8f\xfe\x11\x80 \x86\xe6";  // NMEA at the wrong rate
    for (int tick = 1; tick <= 3; ++tick) {
        b.receive(noise);
        b.second();
    }
    b.receive(noise);
    EXPECT_EQ(b.view.status, "") << "three ticks are not enough";
    b.second();
    EXPECT_EQ(b.state().StartTicks, 4);
    b.receive(noise);
    EXPECT_EQ(b.view.status, "Baud Rate not match!");
    EXPECT_EQ(b.view.statusColour, colour::Red);
    EXPECT_FALSE(b.link.Timer_Start.enabled());
    EXPECT_TRUE(b.link.Timer_PF.enabled());

    // While it lasts, every burst repeats the report and the count stands.
    for (int i = 0; i < 10; ++i) {
        b.second();
        b.receive(noise);
    }
    EXPECT_EQ(b.state().StartTicks, 4);
    EXPECT_EQ(b.view.status, "Baud Rate not match!");

    // The technician fixes the line: the reports stop, the red stays until
    // the cold start goes out.
    countToColdStart(b);
    EXPECT_EQ(b.coldStartsSent(), 1);
    EXPECT_EQ(b.view.statusColour, colour::ButtonFace);
    EXPECT_EQ(b.state().StartTicks, 9);
}

TEST(Supervision, NoBaudReportOnceTheWindowHasPassed) {
    Bench b;
    b.connect();
    b.receive("noise");
    b.seconds(7);  // StartTicks is 7: past the window
    b.receive("noise");
    EXPECT_EQ(b.view.status, "");
}

// Gets a bench to the point where the cold start has just gone out.
Bench& atColdStart(Bench& b) {
    b.connect();
    countToColdStart(b);
    EXPECT_EQ(b.state().Mode, 1);
    return b;
}

TEST(Supervision, MissingConfirmationIsReportedExactlyOnce) {
    Bench b;
    atColdStart(b);
    EXPECT_EQ(b.view.status, "Cold Starting...... 1(Sec)");
    b.seconds(28);  // the receiver is silent after the command
    EXPECT_EQ(b.view.status, "Cold Starting...... 29(Sec)");
    b.second();
    const std::string report = "Cold Start fail!(1)\r\nGPS no respond.";
    EXPECT_EQ(b.view.status, report);
    EXPECT_EQ(b.view.statusColour, colour::Red);
    EXPECT_EQ(b.view.label, "Not connected!");
    EXPECT_FALSE(b.link.Timer.enabled());
    EXPECT_FALSE(b.link.Timer_Start.enabled());
    EXPECT_TRUE(b.link.Timer_PF.enabled()) << "it goes on counting, silently";
    b.seconds(100);
    EXPECT_EQ(std::count(b.view.statusHistory.begin(), b.view.statusHistory.end(), report), 1);
}

TEST(Supervision, OverThirtySecondsIsAFailureEvenWhenConfirmedLate) {
    Bench b;
    atColdStart(b);
    for (int i = 0; i < 29; ++i) {
        b.receive(kGsa);  // the receiver streams, but sends no GGA sentence
        b.second();
    }
    EXPECT_EQ(b.view.status, "Cold Start fail!(1)\r\nGPS no respond.");
    b.receive(kGsa);  // brings the seconds back
    b.second();
    EXPECT_EQ(b.view.status, "Cold Starting...... 30(Sec)");
    b.receive(kGsa);
    b.second();
    EXPECT_EQ(b.view.status, "Cold Start fail!");
    EXPECT_EQ(b.view.statusColour, colour::Red);

    b.receive(gga("000012.000"));  // a late confirmation
    EXPECT_EQ(b.view.status, kConfirmed);
    b.second();
    EXPECT_EQ(b.view.status, "Cold Start fail!") << "every tick says so, also once confirmed";
}

TEST(Supervision, StreamStoppingBeforeTheColdStartResetsQuietly) {
    Bench b;
    b.connect();
    b.receive(gga("101010.000"));
    b.receive(gga("101011.000"));
    b.second();  // saw the activity
    b.seconds(5);
    EXPECT_EQ(b.view.status, "UTC Time :10:10:11\r\n");
    b.second();
    EXPECT_EQ(b.view.status, "");
    EXPECT_EQ(b.view.statusColour, colour::ButtonFace);
    EXPECT_EQ(b.view.startColour, colour::ButtonFace);
    EXPECT_EQ(b.view.label, "Connected!");
    EXPECT_FALSE(b.view.frameEnabled) << "the selectors stay out of reach";
    EXPECT_TRUE(b.port.open) << "the port stays open";
    EXPECT_FALSE(b.link.Timer.enabled() || b.link.Timer_PF.enabled() ||
                 b.link.Timer_Start.enabled());
    EXPECT_EQ(b.state().Counters[2], 0);

    // The next press connects again on the open port: the port number is
    // refused, nothing is saved, and the run goes on with the open port.
    b.port.calls.clear();
    b.connect();
    EXPECT_EQ(b.port.calls, std::vector<std::string>{"CommPort=1"});
    EXPECT_EQ(b.saved.size(), 1u);
    EXPECT_EQ(b.view.label, "Connecting.....");
    countToColdStart(b);
    EXPECT_EQ(b.coldStartsSent(), 1);
}

TEST(Supervision, LaterRunsNoticeASilentLineOnlyThroughTheStallCheck) {
    Bench b;
    b.connect();
    b.receive(gga("101010.000"));
    b.link.Cmd_Start_1_Click();  // stop
    b.connect();
    b.seconds(3);
    EXPECT_EQ(b.view.status, "") << "no count once anything was received since start-up";
    b.seconds(4);
    EXPECT_FALSE(b.link.Timer_PF.enabled()) << "the stall check ended the run";
}

TEST(Supervision, ARunArmedSoonAfterStartUpInheritsTheStallCount) {
    Bench b;
    b.seconds(4);  // Timer_PF has been checking since the window opened
    b.connect();
    b.seconds(2);  // the no-data count is at 2 ...
    EXPECT_EQ(b.view.status, "");
    EXPECT_FALSE(b.link.Timer_PF.enabled()) << "... when the inherited stall count ends it";
}

TEST(Controls, StopReturnsToIdle) {
    Bench b;
    b.connect();
    countToColdStart(b);
    b.link.Cmd_Start_1_Click();
    EXPECT_FALSE(b.port.open);
    EXPECT_EQ(b.port.calls.back(), "close");
    EXPECT_EQ(b.port.calls[b.port.calls.size() - 2], "discard");
    EXPECT_EQ(b.view.status, "");
    EXPECT_EQ(b.view.label, "") << "empty, not \"Not connected!\"";
    EXPECT_TRUE(b.view.frameEnabled);
    EXPECT_EQ(b.view.selectorColour, colour::WindowBackground);
    EXPECT_EQ(b.view.startColour, colour::ButtonFace);
    EXPECT_FALSE(b.link.Timer.enabled() || b.link.Timer_PF.enabled() ||
                 b.link.Timer_Start.enabled() || b.link.Timer1.enabled());
    EXPECT_EQ(b.state().Mode, 0);

    // A new run sends its own cold start.
    b.connect();
    countToColdStart(b);
    EXPECT_EQ(b.coldStartsSent(), 2);
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
        {"", "9600", "CommPort=0"},
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

TEST(Controls, FailedOpenSavesNothingReportsTheSilenceAndStopSkipsTheClose) {
    Bench b;
    b.port.refuseOpen = true;
    b.connect();
    EXPECT_TRUE(b.saved.empty());
    b.seconds(3);
    EXPECT_EQ(b.view.status, "COM 1  error!\r\nPlease select another Com Port.");
    b.port.calls.clear();
    b.link.Cmd_Start_1_Click();
    EXPECT_TRUE(b.port.calls.empty());
    EXPECT_EQ(b.view.status, "");
}

TEST(Controls, SecondPressBeforeAnyStatusOnlyCountsUntilAReset) {
    Bench b;
    b.connect();
    b.receive(gga("101010.000"));
    b.link.Cmd_Start_1_Click();  // stop
    b.connect();                 // connected, nothing received yet
    b.link.Cmd_Start_1_Click();  // status still empty: arms again
    EXPECT_TRUE(b.link.Timer1.enabled());
    const auto opens = [&] {
        return std::count(b.port.calls.begin(), b.port.calls.end(), "CommPort=1");
    };
    const auto before = opens();
    b.seconds(7);  // Timer1 counts; the seventh stall check resets the state
    EXPECT_EQ(opens(), before) << "ticks that find a count do not connect";
    EXPECT_EQ(b.state().Timer1Ticks, 0);
    b.second();
    EXPECT_EQ(opens(), before + 1) << "the tick after the reset connects";
    EXPECT_FALSE(b.link.Timer1.enabled());
    EXPECT_EQ(b.view.label, "Connecting.....");
}

TEST(LongRuns, SeventyTwoHoursStandingDoNotOverflow) {
    constexpr int kSeconds = 72 * 3600;
    {
        // Confirmed and left standing with the receiver on.
        Bench b;
        atColdStart(b);
        for (int i = 0; i < kSeconds; ++i) {
            b.receive(gga("123456.000"));
            b.second();
        }
        EXPECT_EQ(b.state().Counters[2], INT16_MAX);
        EXPECT_EQ(b.coldStartsSent(), 1);
        EXPECT_EQ(b.view.status, kConfirmed);
    }
    {
        // Never confirmed, with a receiver that streams on.
        Bench b;
        atColdStart(b);
        for (int i = 0; i < kSeconds; ++i) {
            b.receive(kGsa);
            b.second();
        }
        EXPECT_EQ(b.state().ColdStartSeconds, INT16_MAX);
        EXPECT_EQ(b.state().Counters[1], INT16_MAX);
        EXPECT_EQ(b.view.status, "Cold Start fail!");
    }
    {
        // Armed twice: Timer1 is left counting.
        Bench b;
        b.connect();
        b.link.Cmd_Start_1_Click();
        b.seconds(kSeconds);
        EXPECT_EQ(b.state().Timer1Ticks, INT16_MAX);
        EXPECT_TRUE(b.link.Timer1.enabled());
    }
}

}  // namespace
}  // namespace gpslink
