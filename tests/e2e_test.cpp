// End to end: the real window on an X server of the test's own (Xvfb), real
// clicks and key presses through it, the real serial port and timers, and a
// simulated receiver on a pseudo-terminal: a run for each outcome a technician
// can meet, and real receiver captures replayed at their own pace.
// COLDSTART_SCREENSHOTS=<folder> saves a screenshot of each state reached.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "app/form5.h"
#include "e2e.h"
#include "sim/capture.h"
#include "sim/simdriver.h"
#include "workdir.h"

namespace {

using namespace e2e;
using gpssim::Behaviour;
using gpssim::Event;
namespace colour = gpslink::colour;

const std::string kUtc = "UTC Time :";
const std::string kCounting = "Cold Starting...... ";
const std::string kConfirmed =
    "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
const std::string kNoAnswer = "Cold Start fail!(1)\r\nGPS no respond.";
const std::string kPortError = "COM 3  error!\r\nPlease select another Com Port.";

std::string noXServer, xServerFailed;  // why there is no X server for real input

// How many statuses before end start with the prefix.
long countPrefix(const std::vector<std::string>& statuses, const std::string& prefix,
                 std::vector<std::string>::const_iterator end) {
    return std::count_if(statuses.begin(), end, [&](auto& s) { return s.rfind(prefix, 0) == 0; });
}

// A receiver that knows the time at once.
gpssim::ReceiverConfig receiver(Behaviour behaviour) {
    gpssim::ReceiverConfig config;
    config.behaviour = behaviour;
    config.timeKnownAfterSeconds = 0;
    return config;
}

// A simulated receiver on a pseudo-terminal, on when made, and its events.
struct Receiver {
    explicit Receiver(const gpssim::ReceiverConfig& config, const gpssim::DriverOptions& line = {})
        : driver(config, line) {
        QObject::connect(&driver, &gpssim::SimDriver::event, &driver,
                         [this](const Event& e) { events.push_back(e.kind); });
        QString error;
        EXPECT_TRUE(driver.start(&error)) << error.toStdString();
    }
    long count(Event::Kind kind) const { return std::count(events.begin(), events.end(), kind); }

    gpssim::SimDriver driver;
    std::vector<Event::Kind> events;
};

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (!noXServer.empty()) GTEST_SKIP() << "no X server for real input: " << noXServer;
        ASSERT_TRUE(xServerFailed.empty()) << xServerFailed;
        dir.write("COM 3,4800\r\n");
    }

    // A real click on "Cold Start On/Off", on the screen, that the button got.
    static ::testing::AssertionResult pressStart(TestWindow& w) {
        const int before = w.startClicks;
        if (!QTest::qWaitForWindowExposed(&w.form)) return ::testing::AssertionFailure();
        ::testing::AssertionResult clicked = click(w.form.Cmd_Start_1);
        if (clicked && !QTest::qWaitFor([&] { return w.startClicks == before + 1; }, 3000))
            return ::testing::AssertionFailure() << "the click did not reach the button";
        return clicked;
    }

    // Stops the run with a real click: the port closes and the window is idle.
    static void stopRun(TestWindow& w) {
        ASSERT_TRUE(pressStart(w));
        EXPECT_EQ(w.form.statusText(), "");
        EXPECT_FALSE(w.form.MSComm1().portOpen() || w.anyTimerActive());
        EXPECT_TRUE(w.form.Frame5->isEnabled());
        EXPECT_TRUE(w.showsBackground(painted(colour::ButtonFace)));
    }

    ScopedWorkDir dir;
};

TEST_F(E2e, ColdStartConfirmedThenTheReceiverIsSwitchedOff) {
    gpssim::ReceiverConfig config = receiver(Behaviour::OffAfter);
    config.timeKnownAfterSeconds = 4;
    config.resetSilenceSeconds = 3;
    config.offAfterSeconds = 17;
    Receiver gps(config);
    TestWindow w(gps.driver.slavePath());
    ASSERT_TRUE(pressStart(w));
    EXPECT_FALSE(w.form.MSComm1().portOpen()) << "the press itself opens nothing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 3000));
    EXPECT_EQ(w.form.Label1->text(), "Connecting.....");
    EXPECT_FALSE(w.form.Frame5->isEnabled());
    EXPECT_TRUE(e2e::showsColour(w.form.Cmd_Start_1, QPoint(8, 8), painted(colour::Grey)));

    ASSERT_TRUE(w.reaches(kUtc, 10000, true));
    EXPECT_EQ(w.form.Label1->text(), "Connected!");
    screenshot("utc-time", onScreen(&w.form));
    ASSERT_TRUE(w.reaches(kCounting, 10000, true));
    screenshot("cold-starting", onScreen(&w.form));
    ASSERT_TRUE(w.reaches(kConfirmed, 10000));
    EXPECT_TRUE(w.showsBackground(painted(colour::Green)));
    screenshot("cold-start-ok", onScreen(&w.form));

    // The clock's first seconds waited out, five times counted, then the cold start.
    const auto counting = std::find(w.statuses.begin(), w.statuses.end(), kCounting + "1(Sec)");
    ASSERT_NE(counting, w.statuses.end()) << w.history();
    EXPECT_EQ(countPrefix(w.statuses, kUtc, counting), 5) << w.history();
    EXPECT_TRUE(w.showed("Please waiting......")) << w.history();

    // Switched off: six silent seconds later the window says so.
    ASSERT_TRUE(w.reaches("GPS be shuted down.", 15000));
    EXPECT_FALSE(w.anyTimerActive());
    screenshot("shut-down", onScreen(&w.form));
    EXPECT_EQ(gps.count(Event::ColdStart) + gps.count(Event::Restart), 2);
    EXPECT_EQ(gps.count(Event::SwitchedOff), 1);
    stopRun(w);
    EXPECT_EQ(w.form.Label1->text(), "");
}

TEST_F(E2e, SilentPortWhetherItOpensOrNot) {
    Receiver gps(receiver(Behaviour::Silent));
    TestWindow silent(gps.driver.slavePath(), QPoint(0, 0));
    TestWindow missing(QStringLiteral("/dev/no-such-receiver"), QPoint(360, 0));
    ASSERT_TRUE(pressStart(silent));
    ASSERT_TRUE(pressStart(missing));
    for (TestWindow* w : {&silent, &missing}) {
        ASSERT_TRUE(w->reaches(kPortError, 8000));
        EXPECT_EQ(w->form.Label1->text(), "Can't connect!");
        // The third count gives way to the report before it is painted.
        EXPECT_EQ(w->statuses, (std::vector<std::string>{"1", "2", "3", kPortError}));
        EXPECT_FALSE(w->anyTimerActive());
    }
    EXPECT_TRUE(silent.form.MSComm1().portOpen());
    EXPECT_FALSE(missing.form.MSComm1().portOpen());
    screenshot("silent-port", onScreen(&silent.form));
    stopRun(silent);
    stopRun(missing);
}

TEST_F(E2e, WrongBaudRateThenTheRightOne) {
    dir.write("COM 2,9600\r\n");
    gpssim::DriverOptions line;
    line.baud = 4800;  // at any other rate what it sends arrives garbled
    line.strictBaud = true;
    Receiver gps(receiver(Behaviour::Normal), line);
    TestWindow w(gps.driver.slavePath());
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches("Baud Rate not match!", 10000));
    EXPECT_TRUE(w.showsBackground(painted(colour::Red)));
    EXPECT_EQ(countPrefix(w.statuses, kUtc, w.statuses.end()), 0);
    screenshot("wrong-baud", onScreen(&w.form));
    stopRun(w);

    // The technician turns the wheel over the baud rate, one step down, and tries again.
    ASSERT_TRUE(click(w.form.BaudRate_6, 4));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.baudText() == "4800"; }, 3000));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches(kUtc, 10000, true));
    EXPECT_EQ(dir.read(), QByteArray("COM 2,4800\r\n"));
    stopRun(w);
}

// Both windows at once, to wait out the 30 seconds only once.
TEST_F(E2e, NoConfirmationWithin30sAndConfirmationAfter30s) {
    gpssim::ReceiverConfig silentThenBack = receiver(Behaviour::SlowConfirm);
    silentThenBack.slowConfirmSeconds = 33;
    gpssim::ReceiverConfig timesEmpty = receiver(Behaviour::SlowConfirm);
    timesEmpty.slowConfirmSeconds = 60;
    timesEmpty.slowConfirmEmptyTime = true;
    Receiver quiet(silentThenBack);
    Receiver late(timesEmpty);
    TestWindow noAnswer(quiet.driver.slavePath(), QPoint(0, 0));
    TestWindow lateAnswer(late.driver.slavePath(), QPoint(360, 0));
    ASSERT_TRUE(pressStart(noAnswer));
    ASSERT_TRUE(pressStart(lateAnswer));
    ASSERT_TRUE(noAnswer.reaches(kCounting, 12000, true));
    QElapsedTimer sinceColdStart;
    sinceColdStart.start();
    ASSERT_TRUE(lateAnswer.reaches(kCounting, 2000, true));

    // Silent for 30 seconds after the command.
    ASSERT_TRUE(noAnswer.reaches(kNoAnswer, 34000));
    EXPECT_GE(sinceColdStart.elapsed(), 27000);
    EXPECT_TRUE(noAnswer.showsBackground(painted(colour::Red)));
    EXPECT_EQ(noAnswer.form.Label1->text(), "Not connected!");
    EXPECT_FALSE(noAnswer.form.Timer->isActive() || noAnswer.form.Timer_Start->isActive());
    screenshot("no-confirmation", onScreen(&noAnswer.form));

    // Busy, but without a time, past 30 seconds.
    ASSERT_TRUE(lateAnswer.reaches("Cold Start fail!", 6000));
    EXPECT_TRUE(lateAnswer.showed(kNoAnswer)) << lateAnswer.history();
    EXPECT_TRUE(lateAnswer.showsBackground(painted(colour::Red)));
    screenshot("late-confirmation", onScreen(&lateAnswer.form));

    // The silent receiver comes back at 33 seconds: its first time confirms.
    ASSERT_TRUE(noAnswer.reaches(kConfirmed, 6000));
    EXPECT_TRUE(noAnswer.showsBackground(painted(colour::Green)));
    EXPECT_EQ(noAnswer.form.Label1->text(), "Connected!");
    stopRun(noAnswer);
    stopRun(lateAnswer);
}

// The receiver's end of the line goes away during a run: the port closes, the
// process stays idle, and the run ends without a report.
TEST_F(E2e, PulledCable) {
    Receiver gps(receiver(Behaviour::Normal));
    TestWindow w(gps.driver.slavePath());
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches(kUtc, 10000, true));
    gps.driver.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.MSComm1().portOpen(); }, 3000));
    const std::clock_t before = std::clock();  // CPU time of the process
    QTest::qWait(2000);
    EXPECT_LT(double(std::clock() - before) / CLOCKS_PER_SEC, 0.5) << "busy on a gone line";
    ASSERT_TRUE(w.reaches("", 10000));
    EXPECT_FALSE(w.anyTimerActive() || w.form.MSComm1().portOpen());
}

// Over a running cold start: the run goes on behind it, the main window takes
// no click, and Esc, Enter and Space typed into it close it.
TEST_F(E2e, AboutWindowOverARun) {
    gpssim::ReceiverConfig config = receiver(Behaviour::Normal);
    config.resetSilenceSeconds = 60;  // the cold start counts on for the whole test
    Receiver gps(config);
    TestWindow w(gps.driver.slavePath());
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches(kUtc, 10000, true));
    for (const char* key : {"Escape", "Return", "space"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(click(w.form.CmdOther));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() != nullptr; }, 3000));
        Form5* about = w.form.aboutWindow();
        EXPECT_FALSE(w.form.isEnabled());
        if (key[0] == 'E') {
            // It opens over the main window; the technician drags it aside.
            about->move(onScreen(&w.form).topRight() + QPoint(12, 0));
            ASSERT_TRUE(
                QTest::qWaitFor([&] { return !onScreen(about).intersects(onScreen(&w.form)); }));
            const std::size_t seen = w.statuses.size();
            ASSERT_TRUE(click(w.form.Cmd_Start_1));
            ASSERT_TRUE(QTest::qWaitFor([&] { return w.statuses.size() >= seen + 3; }, 6000))
                << "the run stood still behind the About window; " << w.history();
            EXPECT_EQ(w.startClicks, 1) << "the main window took a click";
            EXPECT_TRUE(w.form.MSComm1().portOpen());
            screenshot("about-over-run", onScreen(&w.form).united(onScreen(about)));
        }
        ASSERT_TRUE(e2e::typeKey(about, key));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() == nullptr; }, 3000));
        EXPECT_TRUE(w.form.isEnabled());
    }
    stopRun(w);
}

// Real receiver captures, a burst a second, through the window.
struct CaptureOutcome {
    const char* file;
    int answered;     // the burst, from 1, that holds the fifth time the tool counts
    bool confirmed;   // the capture goes on long enough to answer the cold start
    bool baudReport;  // "Baud Rate not match!" on the way
    bool waiting;     // "Please waiting......" on the way
};
const CaptureOutcome kCaptures[] = {
    {"tn200.log", 5, true, false, false},
    {"blumax-gps009.log", 5, true, false, false},
    {"beidou-bd.log", 5, true, false, false},
    {"sirfstarv-nmea.log", 3, true, false, false},  // GGA from two talkers each second
    {"gp-320fw-2019-04-07-coldboot.log", 5, true, false, false},
    {"geos-1m.log", 13, true, false, true},     // the clock from 00:00:02, waited out
    {"triton400.log", 5, false, false, false},  // ends right after its fifth GGA
    {"bt451.log", 15, true, true, false},       // ten seconds of GGA with an empty time
};

class Capture : public E2e, public ::testing::WithParamInterface<CaptureOutcome> {};

TEST_P(Capture, ReachesItsOutcomeInTheWindow) {
    const CaptureOutcome& expected = GetParam();
    std::vector<std::string> bursts;
    std::string why;
    ASSERT_TRUE(
        gpssim::loadCapture(std::string(COLDSTART_TESTDATA_DIR) + "/" + expected.file, bursts, why))
        << why;
    gpslink::testing::Pty gps;  // writes a burst a second from when the port is open
    std::size_t written = 0;
    QTimer clock;
    clock.setTimerType(Qt::PreciseTimer);
    QObject::connect(&clock, &QTimer::timeout, [&] {
        if (written < bursts.size()) gps.send(bursts[written++]);
    });
    TestWindow w(QString::fromStdString(gps.slavePath()));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 3000));
    clock.start(1000);
    gps.send(bursts[written++]);

    // The tool answers the burst that holds the fifth time it counts.
    std::string heard;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (heard += gps.receive()).size() > 0; }, 60000))
        << "no cold start; " << w.history();
    const std::size_t sent = written;
    EXPECT_EQ(sent, std::size_t(expected.answered));
    if (expected.confirmed) {
        ASSERT_TRUE(w.reaches(kConfirmed, 5000));
        EXPECT_TRUE(w.showsBackground(painted(colour::Green)));
        EXPECT_EQ(written, sent + 1) << "confirmed by the next burst";
    } else {
        ASSERT_TRUE(w.reaches(kCounting + "3(Sec)", 6000));
        EXPECT_EQ(written, bursts.size());
        EXPECT_EQ(w.form.link().state().Mode, 1);
    }
    EXPECT_EQ(w.showed("Baud Rate not match!"), expected.baudReport) << w.history();
    EXPECT_EQ(w.showed("Please waiting......"), expected.waiting) << w.history();
    EXPECT_EQ(heard + gps.receive(), gpslink::kColdStartSentence) << "all it sent";
}

INSTANTIATE_TEST_SUITE_P(Nmea, Capture, ::testing::ValuesIn(kCaptures), [](const auto& info) {
    const std::string file = info.param.file;
    return file.substr(0, file.find_first_of(".-"));
});

}  // namespace

// Starts the X server before the application connects to it.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    noXServer = e2e::missingTools();
    if (noXServer.empty() && !GTEST_FLAG_GET(list_tests)) {
        const std::string display = e2e::startXServer(xServerFailed);
        qputenv("DISPLAY", QByteArray::fromStdString(display));
        qputenv("QT_QPA_PLATFORM", "xcb");
        qunsetenv("WAYLAND_DISPLAY");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");  // no session bus for the display
    }
    if (!noXServer.empty() || !xServerFailed.empty() || GTEST_FLAG_GET(list_tests))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
