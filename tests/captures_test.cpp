// Real receiver captures replayed through the link, a line per receive event
// and a second per GGA epoch, with the outcome each capture must have.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fakes.h"

namespace gpslink {
namespace {

struct Outcome {
    const char* file;
    int coldStartLine;  // line of the GGA sentence that sends the cold start
    int confirmLine;    // line of the GGA sentence that confirms it, 0 for none
    bool baudReport;    // "Baud Rate not match!" shown on the way
    bool waiting;       // "Please waiting......" shown on the way
};

class Capture : public ::testing::TestWithParam<Outcome> {};

// Time field of a line that starts with a GGA sentence, or "-" for another line.
std::string ggaTime(const std::string& line) {
    if (line.size() < 7 || line[0] != '$' || line.compare(3, 4, "GGA,") != 0) return "-";
    return line.substr(7, line.find(',', 7) - 7);
}

TEST_P(Capture, ReachesItsOutcome) {
    const Outcome& expected = GetParam();
    std::ifstream in(std::string(COLDSTART_TESTDATA_DIR) + "/" + expected.file, std::ios::binary);
    ASSERT_TRUE(in) << "capture missing: " << expected.file;

    testing::Bench b;
    b.connect();
    int lineNumber = 0;
    int coldStartLine = 0;
    int confirmLine = 0;
    std::string previousTime = "-";
    std::string line;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line[0] == '#') continue;  // annotation, not receiver output
        const std::string time = ggaTime(line);
        if (time != "-") {
            if (previousTime != "-" && (time.empty() || time != previousTime)) b.second();
            previousTime = time;
        }
        b.receive(line + "\n");
        if (coldStartLine == 0 && !b.port.written.empty()) coldStartLine = lineNumber;
        if (confirmLine == 0 && b.state().Mode == 2) confirmLine = lineNumber;
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

    if (expected.confirmLine != 0) {
        EXPECT_EQ(b.view.status,
                  "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!");
        EXPECT_EQ(b.view.statusColour, colour::Green);
    } else {
        b.seconds(30);  // the capture ends: no answer comes
        EXPECT_EQ(b.view.status, "Cold Start fail!(1)\r\nGPS no respond.");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Nmea, Capture,
    ::testing::Values(
        // SiRF-II with its clock running from power-up: every GGA counts.
        Outcome{"tn200.log", 24, 27, false, false},
        // SiRF-III: power-up banner of proprietary text, then GGA sentences.
        Outcome{"blumax-gps009.log", 48, 60, false, false},
        // GN talker and an extra GGA field.
        Outcome{"beidou-bd.log", 51, 57, false, false},
        // Two GGA sentences per epoch (GP and GL): the second of an epoch answers.
        Outcome{"sirfstarv-nmea.log", 21, 22, false, false},
        // A GGA that lost its "*" runs into the next sentence and still counts;
        // the capture ends before any answer.
        Outcome{"triton400.log", 34, 0, false, false},
        // A clock counting from 00:00:02: the first seconds are waited out.
        Outcome{"geos-1m.log", 56, 60, false, true},
        // Restart with spliced, truncated and NUL-filled sentences; a GGA
        // swallowed by a GSV that lost its "*" does not count.
        Outcome{"gp-320fw-2019-04-07-coldboot.log", 73, 81, false, false},
        // Ten seconds of GGA sentences with an empty time field look like a
        // wrong baud rate until the times come.
        Outcome{"bt451.log", 124, 132, true, false}),
    [](const auto& info) {
        const std::string file = info.param.file;
        return file.substr(0, file.find_first_of(".-"));
    });

}  // namespace
}  // namespace gpslink
