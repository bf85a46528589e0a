// End to end: the program's real window on an X server of the test's own
// (Xvfb), driven by real mouse clicks and key presses through the server,
// with the real serial port and timers, against a simulated receiver on a
// pseudo-terminal: one run for each outcome a technician can meet, the About
// window over a run, the demo program, and real receiver captures replayed
// at their own pace.
//
// COLDSTART_SCREENSHOTS=<folder> saves a screenshot of each state reached.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <string>
#include <vector>

#include "app/form5.h"
#include "e2e.h"
#include "sim/capture.h"
#include "sim/simdriver.h"
#include "workdir.h"

namespace {

using e2e::click;
using e2e::onScreen;
using e2e::painted;
using e2e::screenshot;
using e2e::TestWindow;
using gpssim::Behaviour;
using gpssim::Event;
namespace colour = gpslink::colour;

const std::string kConfirmed =
    "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
const std::string kNoAnswer = "Cold Start fail!(1)\r\nGPS no respond.";
const std::string kPortError = "COM 3  error!\r\nPlease select another Com Port.";

std::string noXServer;  // why there is no X server for real input at all
std::string xServerFailed;

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (!noXServer.empty()) GTEST_SKIP() << "no X server for real input: " << noXServer;
        ASSERT_TRUE(xServerFailed.empty()) << xServerFailed;
        dir.write("COM 3,4800\r\n");
    }

    // A real click on "Cold Start On/Off" that the button got.
    static ::testing::AssertionResult pressStart(TestWindow& w) {
        const int before = w.startClicks;
        ::testing::AssertionResult clicked = click(w.form.Cmd_Start_1);
        if (clicked && !QTest::qWaitFor([&] { return w.startClicks == before + 1; }, 3000))
            return ::testing::AssertionFailure() << "the click did not reach the button";
        return clicked;
    }

    // Stops the run with a real click: the port closes and the window is idle.
    static void stopRun(TestWindow& w) {
        ASSERT_TRUE(pressStart(w));
        EXPECT_EQ(w.form.statusText(), "");
        EXPECT_FALSE(w.form.MSComm1().portOpen());
        EXPECT_TRUE(w.form.Frame5->isEnabled());
        EXPECT_FALSE(w.anyTimerActive());
        EXPECT_TRUE(w.showsBackground(painted(colour::ButtonFace)));
    }

    // Starts gps-receiver-sim with the arguments; the device it plays on,
    // or empty when it did not say within five seconds.
    static QString startReceiverProgram(QProcess& sim, const QStringList& arguments) {
        sim.start(QStringLiteral(COLDSTART_RECEIVER_SIM), arguments);
        if (!QTest::qWaitFor([&] { return sim.canReadLine(); }, 5000)) return QString();
        return QString::fromLocal8Bit(sim.readLine()).trimmed();
    }

    ScopedWorkDir dir;
};

// A simulated receiver on a pseudo-terminal, switched on when made, with the
// kinds of the events it went through.
struct Receiver {
    explicit Receiver(const gpssim::ReceiverConfig& config, const gpssim::DriverOptions& line = {})
        : driver(config, line) {
        QObject::connect(&driver, &gpssim::SimDriver::event, &driver,
                         [this](const Event& e) { events.push_back(e.kind); });
        started = driver.start(&error);
    }
    QString device() const { return driver.slavePath(); }
    long count(Event::Kind kind) const { return std::count(events.begin(), events.end(), kind); }

    gpssim::SimDriver driver;
    std::vector<Event::Kind> events;
    bool started = false;
    QString error;
};

gpssim::ReceiverConfig receiver(Behaviour behaviour, int timeKnownAfterSeconds = 0) {
    gpssim::ReceiverConfig config;
    config.behaviour = behaviour;
    config.timeKnownAfterSeconds = timeKnownAfterSeconds;
    return config;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// CPU seconds this process spends while the event loop runs for ms.
double cpuSecondsOver(int ms) {
    auto now = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    const double before = now();
    QTest::qWait(ms);
    return now() - before;
}

// ---------------------------------------------------------------------------
// Whole runs

using ColdStart = E2e;

TEST_F(ColdStart, ConfirmedThenTheReceiverIsSwitchedOff) {
    gpssim::ReceiverConfig config = receiver(Behaviour::OffAfter, 4);
    config.resetSilenceSeconds = 3;
    config.offAfterSeconds = 17;
    Receiver gps(config);
    ASSERT_TRUE(gps.started) << gps.error.toStdString();
    TestWindow w(gps.device());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));

    ASSERT_TRUE(pressStart(w));
    EXPECT_FALSE(w.form.MSComm1().portOpen()) << "the press itself opens nothing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 3000));
    EXPECT_EQ(w.form.Label1->text(), "Connecting.....");
    EXPECT_FALSE(w.form.Frame5->isEnabled());
    EXPECT_TRUE(e2e::showsColour(w.form.Cmd_Start_1, QPoint(8, 8), painted(colour::Grey)));

    ASSERT_TRUE(w.reachesPrefix("UTC Time :", 10000));
    EXPECT_EQ(w.form.Label1->text(), "Connected!");
    screenshot("utc-time", onScreen(&w.form));
    ASSERT_TRUE(w.reachesPrefix("Cold Starting...... ", 10000));
    screenshot("cold-starting", onScreen(&w.form));
    ASSERT_TRUE(w.reaches(kConfirmed, 10000));
    EXPECT_TRUE(w.showsBackground(painted(colour::Green)));
    EXPECT_EQ(w.form.Label1->text(), "Connected!");
    screenshot("cold-start-ok", onScreen(&w.form));

    // The receiver's clock was in its first seconds when the port opened:
    // waited out, then five times counted, then the cold start.
    const auto coldStart = std::find_if(w.statuses.begin(), w.statuses.end(), [](auto& s) {
        return startsWith(s, "Cold Starting...... ");
    });
    ASSERT_NE(coldStart, w.statuses.end());
    EXPECT_EQ(std::count_if(w.statuses.begin(), coldStart,
                            [](auto& s) { return startsWith(s, "UTC Time :"); }),
              5)
        << w.history();
    EXPECT_TRUE(w.showed("Please waiting......")) << w.history();
    EXPECT_EQ(*coldStart, "Cold Starting...... 1(Sec)");

    // Switched off: six silent seconds later the window says so.
    ASSERT_TRUE(w.reaches("GPS be shuted down.", 15000));
    EXPECT_FALSE(w.anyTimerActive());
    screenshot("shut-down", onScreen(&w.form));
    EXPECT_EQ(gps.count(Event::ColdStart), 1);
    EXPECT_EQ(gps.count(Event::Restart), 1);
    EXPECT_EQ(gps.count(Event::SwitchedOff), 1);
    stopRun(w);
    EXPECT_EQ(w.form.Label1->text(), "");
}

TEST_F(ColdStart, IgnoredCommandIsStillConfirmedByTheNextGga) {
    Receiver gps(receiver(Behaviour::Ignore));
    ASSERT_TRUE(gps.started) << gps.error.toStdString();
    TestWindow w(gps.device());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches(kConfirmed, 15000));
    EXPECT_TRUE(w.showsBackground(painted(colour::Green)));
    EXPECT_EQ(w.form.link().state().Mode, 2);
    screenshot("ignored-command", onScreen(&w.form));
    EXPECT_EQ(gps.count(Event::Ignored), 1);
    EXPECT_EQ(gps.count(Event::Restart), 0);
    stopRun(w);
}

// ---------------------------------------------------------------------------
// Reports

using Report = E2e;

TEST_F(Report, SilentPortWhetherItOpensOrNot) {
    Receiver gps(receiver(Behaviour::Silent));
    ASSERT_TRUE(gps.started) << gps.error.toStdString();
    TestWindow silent(gps.device(), QPoint(0, 0));
    TestWindow missing(QStringLiteral("/dev/no-such-receiver"), QPoint(360, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&silent.form));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&missing.form));
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

TEST_F(Report, WrongBaudRateThenTheRightOne) {
    dir.write("COM 2,9600\r\n");
    gpssim::DriverOptions line;
    line.baud = 4800;  // the receiver talks at 4800; at any other rate it arrives garbled
    line.strictBaud = true;
    Receiver gps(receiver(Behaviour::Normal), line);
    ASSERT_TRUE(gps.started) << gps.error.toStdString();
    TestWindow w(gps.device());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));

    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches("Baud Rate not match!", 10000));
    EXPECT_TRUE(w.showsBackground(painted(colour::Red)));
    EXPECT_EQ(std::count_if(w.statuses.begin(), w.statuses.end(),
                            [](auto& s) { return startsWith(s, "UTC Time :"); }),
              0);
    screenshot("wrong-baud", onScreen(&w.form));
    stopRun(w);

    // The technician turns the wheel over the baud rate, one step down, and tries again.
    ASSERT_TRUE(click(w.form.BaudRate_6, 4));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.baudText() == "4800"; }, 3000))
        << w.form.baudText();
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reachesPrefix("UTC Time :", 10000));
    EXPECT_EQ(dir.read(), QByteArray("COM 2,4800\r\n"));
    stopRun(w);
}

// Both windows at once, to wait out the 30 seconds only once.
TEST_F(Report, NoConfirmationWithin30sAndConfirmationAfter30s) {
    gpssim::ReceiverConfig silentThenBack = receiver(Behaviour::SlowConfirm);
    silentThenBack.slowConfirmSeconds = 33;
    gpssim::ReceiverConfig timesEmpty = receiver(Behaviour::SlowConfirm);
    timesEmpty.slowConfirmSeconds = 60;
    timesEmpty.slowConfirmEmptyTime = true;
    Receiver quiet(silentThenBack);
    Receiver late(timesEmpty);
    ASSERT_TRUE(quiet.started && late.started);
    TestWindow noAnswer(quiet.device(), QPoint(0, 0));
    TestWindow lateAnswer(late.device(), QPoint(360, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&noAnswer.form));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&lateAnswer.form));
    ASSERT_TRUE(pressStart(noAnswer));
    ASSERT_TRUE(pressStart(lateAnswer));
    ASSERT_TRUE(noAnswer.reachesPrefix("Cold Starting...... ", 12000));
    QElapsedTimer sinceColdStart;
    sinceColdStart.start();
    ASSERT_TRUE(lateAnswer.reachesPrefix("Cold Starting...... ", 2000));

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

// ---------------------------------------------------------------------------
// The cable pulled during a run: the receiver's end of the line goes away.

using PulledCable = E2e;

TEST_F(PulledCable, WhileCountingThePortClosesAndTheRunEndsSilently) {
    Receiver gps(receiver(Behaviour::Normal));
    ASSERT_TRUE(gps.started) << gps.error.toStdString();
    TestWindow w(gps.device());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reachesPrefix("UTC Time :", 10000));

    gps.driver.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.MSComm1().portOpen(); }, 3000));
    EXPECT_LT(cpuSecondsOver(2000), 0.5) << "busy on a line that is gone";
    ASSERT_TRUE(w.reaches("", 10000));
    EXPECT_FALSE(w.anyTimerActive());
    EXPECT_FALSE(w.form.MSComm1().portOpen());
}

TEST_F(PulledCable, AfterConfirmationReportsTheShutDownAndAClickStops) {
    QProcess sim;
    const QString device =
        startReceiverProgram(sim, {QStringLiteral("--time-known-after"), QStringLiteral("0")});
    ASSERT_FALSE(device.isEmpty()) << sim.readAllStandardError().toStdString();
    TestWindow w(device);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reaches(kConfirmed, 20000));

    ::kill(pid_t(sim.processId()), SIGKILL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.MSComm1().portOpen(); }, 3000));
    EXPECT_LT(cpuSecondsOver(2000), 0.5) << "busy on a line that is gone";
    ASSERT_TRUE(w.reaches("GPS be shuted down.", 10000));
    EXPECT_FALSE(w.anyTimerActive());
    screenshot("pulled-cable", onScreen(&w.form));
    stopRun(w);
    EXPECT_EQ(w.form.Label1->text(), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return sim.state() == QProcess::NotRunning; }, 3000));
}

// ---------------------------------------------------------------------------
// The About window

using AboutWindow = E2e;

TEST_F(AboutWindow, OverARunningColdStart) {
    gpssim::ReceiverConfig config = receiver(Behaviour::Normal);
    config.resetSilenceSeconds = 60;  // the cold start counts on for the whole test
    Receiver gps(config);
    ASSERT_TRUE(gps.started) << gps.error.toStdString();
    TestWindow w(gps.device());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(w.reachesPrefix("UTC Time :", 10000));

    ASSERT_TRUE(click(w.form.CmdOther));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() != nullptr; }, 3000));
    Form5* about = w.form.aboutWindow();
    EXPECT_FALSE(w.form.isEnabled());
    // It opens over the main window; the technician drags it aside.
    about->move(onScreen(&w.form).topRight() + QPoint(12, 0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !onScreen(about).intersects(onScreen(&w.form)); }));

    const std::size_t seen = w.statuses.size();
    ASSERT_TRUE(click(w.form.Cmd_Start_1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.statuses.size() >= seen + 3; }, 6000))
        << "the run stood still behind the About window; " << w.history();
    EXPECT_EQ(w.startClicks, 1) << "the main window took a click while the About window was open";
    EXPECT_TRUE(w.form.MSComm1().portOpen());
    EXPECT_NE(w.form.statusText(), "");
    screenshot("about-over-run", onScreen(&w.form).united(onScreen(about)));

    ASSERT_TRUE(e2e::typeKey(about, "Escape"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() == nullptr; }, 3000));
    EXPECT_TRUE(w.form.isEnabled());
    for (const char* key : {"Return", "space"}) {
        ASSERT_TRUE(click(w.form.CmdOther));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() != nullptr; }, 3000));
        ASSERT_TRUE(e2e::typeKey(w.form.aboutWindow(), key));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() == nullptr; }, 3000)) << key;
        EXPECT_TRUE(w.form.isEnabled());
    }
    stopRun(w);
}

// ---------------------------------------------------------------------------
// The demo program, as a technician without a receiver starts it.

class Demo : public E2e {
protected:
    ~Demo() override {
        if (demo.state() == QProcess::NotRunning) return;
        demo.kill();
        demo.waitForFinished();
    }

    // Starts the demo in the test's folder and finds its window on the screen.
    ::testing::AssertionResult start(const QStringList& arguments) {
        demo.setWorkingDirectory(dir.path());
        demo.start(QStringLiteral(COLDSTART_DEMO), arguments);
        if (auto shown = printed("window shown\n", 10000); !shown) return shown;
        QString found, geometry;
        if (auto searched = e2e::xdotool({QStringLiteral("search"), QStringLiteral("--name"),
                                          QStringLiteral("^GPS Cold Start \\(demo\\)$")},
                                         &found);
            !searched)
            return searched;
        if (auto measured = e2e::xdotool({QStringLiteral("getwindowgeometry"),
                                          QStringLiteral("--shell"), found.split('\n').first()},
                                         &geometry);
            !measured)
            return measured;
        for (const QString& line : geometry.split('\n')) {
            if (line.startsWith("X=")) corner_.setX(line.mid(2).toInt());
            if (line.startsWith("Y=")) corner_.setY(line.mid(2).toInt());
        }
        return ::testing::AssertionSuccess();
    }

    // The demo prints the text on its standard output within ms.
    ::testing::AssertionResult printed(const QByteArray& text, int ms) {
        if (QTest::qWaitFor(
                [&] {
                    output_ += demo.readAllStandardOutput();
                    return output_.contains(text);
                },
                ms))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "the demo did not print " << text.toStdString() << "; it printed:\n"
               << output_.toStdString() << demo.readAllStandardError().toStdString();
    }

    // A real click on one of the demo window's buttons, where the design puts it.
    ::testing::AssertionResult press(QPushButton* Form1::*button) {
        return e2e::clickAt(corner_ + (design_.*button)->geometry().center());
    }

    QProcess demo;

private:
    QByteArray output_;
    QPoint corner_;
    const Form1 design_;
};

TEST_F(Demo, RunsAWholeColdStartOnItsSimulatedReceiver) {
    ASSERT_TRUE(start({QStringLiteral("--time-known-after"), QStringLiteral("0")}));
    ASSERT_TRUE(press(&Form1::Cmd_Start_1));
    ASSERT_TRUE(printed("status: UTC Time :", 10000));
    ASSERT_TRUE(printed(
        "status: Cold Start OK! / Please stop the program then shut down the GPS now!\n", 15000));

    ASSERT_TRUE(press(&Form1::Com_Exit));
    ASSERT_TRUE(QTest::qWaitFor([&] { return demo.state() == QProcess::NotRunning; }, 5000))
        << "Exit did not end the demo";
    EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(demo.exitCode(), 0) << demo.readAllStandardError().toStdString();
}

TEST_F(Demo, LeadsEveryPortToTheGivenDevice) {
    QProcess sim;
    const QString device =
        startReceiverProgram(sim, {QStringLiteral("--time-known-after"), QStringLiteral("0")});
    ASSERT_FALSE(device.isEmpty()) << sim.readAllStandardError().toStdString();
    ASSERT_TRUE(start({QStringLiteral("--device"), device}));
    ASSERT_TRUE(press(&Form1::Cmd_Start_1));
    ASSERT_TRUE(printed("status: UTC Time :20:41:", 10000));
    sim.kill();
    sim.waitForFinished();
}

// Runs the demo with the arguments until it ends; its exit code, or -1.
int runDemoToEnd(const QStringList& arguments, QString* output) {
    QProcess demo;
    demo.setProcessChannelMode(QProcess::MergedChannels);
    demo.start(QStringLiteral(COLDSTART_DEMO), arguments);
    if (!demo.waitForFinished(10000)) return -1;
    *output = QString::fromLocal8Bit(demo.readAll());
    return demo.exitStatus() == QProcess::NormalExit ? demo.exitCode() : -1;
}

// Needs no X server: the demo ends before it shows anything.
TEST(DemoOptions, CheckedBeforeAnythingStarts) {
    QString output;
    EXPECT_EQ(runDemoToEnd({QStringLiteral("--help")}, &output), 0);
    EXPECT_TRUE(output.contains("--mode") && output.contains("--device")) << output.toStdString();
    EXPECT_EQ(runDemoToEnd({QStringLiteral("--mode"), QStringLiteral("sleepy")}, &output), 2);
    EXPECT_TRUE(output.contains("unknown --mode sleepy")) << output.toStdString();
    EXPECT_EQ(runDemoToEnd({QStringLiteral("--mode"), QStringLiteral("ignore"),
                            QStringLiteral("--off-after"), QStringLiteral("5")},
                           &output),
              2);
    EXPECT_EQ(runDemoToEnd({QStringLiteral("--device"), QStringLiteral("/dev/ttyUSB0"),
                            QStringLiteral("--mode"), QStringLiteral("silent")},
                           &output),
              2);
    EXPECT_TRUE(output.contains("not for --device")) << output.toStdString();
}

// ---------------------------------------------------------------------------
// Real receiver captures, one burst a second, through the window

struct CaptureOutcome {
    const char* file;
    bool confirmed;   // the capture goes on long enough to answer the cold start
    bool baudReport;  // "Baud Rate not match!" on the way
    bool waiting;     // "Please waiting......" on the way
};

// GGA sentences at line starts with a time the tool counts: not empty, and
// not in the first ten seconds of a receiver's free-running clock.
int countedGgaTimes(const std::vector<std::string>& bursts, std::size_t count) {
    int n = 0;
    for (std::size_t b = 0; b < count && b < bursts.size(); ++b) {
        std::string_view text = bursts[b];
        while (!text.empty()) {
            const std::size_t end = std::min(text.find('\n'), text.size());
            const std::string_view line = text.substr(0, end);
            text.remove_prefix(std::min(end + 1, text.size()));
            if (line.size() < 7 || line[0] != '$' || line.substr(3, 4) != "GGA,") continue;
            const std::string_view time = line.substr(7, line.find(',', 7) - 7);
            if (!time.empty() && time.substr(0, 5) != "00000") ++n;
        }
    }
    return n;
}

class Capture : public E2e, public ::testing::WithParamInterface<CaptureOutcome> {};

TEST_P(Capture, ReachesItsOutcomeInTheWindow) {
    const CaptureOutcome& expected = GetParam();
    std::vector<std::string> bursts;
    std::string why;
    ASSERT_TRUE(
        gpssim::loadCapture(std::string(COLDSTART_TESTDATA_DIR) + "/" + expected.file, bursts, why))
        << why;
    e2e::ReplayLine receiver(bursts);
    ASSERT_TRUE(receiver.ok());
    TestWindow w(receiver.device());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    ASSERT_TRUE(pressStart(w));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 3000));
    receiver.start();

    ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.burstsBeforeColdStart() >= 0; }, 60000))
        << "no cold start; " << w.history();
    EXPECT_EQ(receiver.heard(), gpslink::kColdStartSentence);
    // Sent in answer to the burst that held the fifth counted time.
    const std::size_t sent = std::size_t(receiver.burstsBeforeColdStart());
    EXPECT_EQ(countedGgaTimes(receiver.written(), sent - 1), 4);
    EXPECT_GE(countedGgaTimes(receiver.written(), sent), 5);

    if (expected.confirmed) {
        ASSERT_TRUE(w.reaches(kConfirmed, 5000));
        EXPECT_TRUE(w.showsBackground(painted(colour::Green)));
        EXPECT_EQ(receiver.written().size(), sent + 1) << "confirmed by the next burst";
    } else {
        ASSERT_TRUE(w.reaches("Cold Starting...... 3(Sec)", 6000));
        EXPECT_TRUE(receiver.ended());
        EXPECT_EQ(w.form.link().state().Mode, 1);
    }
    EXPECT_EQ(w.showed("Baud Rate not match!"), expected.baudReport) << w.history();
    EXPECT_EQ(w.showed("Please waiting......"), expected.waiting) << w.history();
    EXPECT_EQ(receiver.heard(), gpslink::kColdStartSentence) << "sent once";
}

INSTANTIATE_TEST_SUITE_P(
    Nmea, Capture,
    ::testing::Values(CaptureOutcome{"tn200.log", true, false, false},
                      CaptureOutcome{"blumax-gps009.log", true, false, false},
                      CaptureOutcome{"beidou-bd.log", true, false, false},
                      CaptureOutcome{"sirfstarv-nmea.log", true, false, false},
                      CaptureOutcome{"gp-320fw-2019-04-07-coldboot.log", true, false, false},
                      // The clock counts from 00:00:02: its first seconds are waited out.
                      CaptureOutcome{"geos-1m.log", true, false, true},
                      // The capture ends right after its fifth GGA sentence.
                      CaptureOutcome{"triton400.log", false, false, false},
                      // Ten seconds of GGA sentences with an empty time field.
                      CaptureOutcome{"bt451.log", true, true, false}),
    [](const ::testing::TestParamInfo<CaptureOutcome>& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

}  // namespace

// Starts the X server before the application connects to it.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    e2e::XServer server;
    noXServer = e2e::XServer::missingTools();
    if (noXServer.empty() && !GTEST_FLAG_GET(list_tests)) {
        if (server.start(xServerFailed)) {
            qputenv("DISPLAY", QByteArray::fromStdString(server.display()));
            qputenv("QT_QPA_PLATFORM", "xcb");
            qunsetenv("WAYLAND_DISPLAY");
            // No session bus either: neither the desktop's nor one that libdbus
            // would try to launch for the private display.
            qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        }
    }
    if (!noXServer.empty() || !xServerFailed.empty() || GTEST_FLAG_GET(list_tests))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    return result;
}
