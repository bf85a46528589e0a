// End to end: the real window on an X server of its own (Xvfb), real clicks
// and key presses, the real serial port and timers, and a simulated receiver
// on a pseudo-terminal: a click reaches its handler, the About window holds
// the main one, and a real capture runs at its pace.
// COLDSTART_SCREENSHOTS=<folder> saves a screenshot of each state reached.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWindow>
#include <algorithm>

#include "app/form1.h"
#include "app/form5.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "sim/capture.h"
#include "sim/simdriver.h"
#include "tests/support/workdir.h"
#include "tests/support/xinput.h"

namespace {

using namespace xinput;

// The main window after start-up, every port leading to one device.
struct TestWindow {
    explicit TestWindow(const QString& device)
        : form([&] {
              auto port = std::make_unique<gpslink::QtSerialPort>();
              port->setDeviceOverride(device);
              return port;
          }()) {
        form.setSettingsWriter(WriteSettingsFile);
        Form_Load(form, StartupHooks{});
    }
    Form1 form;
};

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        // tools/with-xvfb.sh gives the test its own X server.
        if (!available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
        dir.write("COM 3, 4800\r\n");  // read as it is, rewritten plain once connected
    }
    ScopedWorkDir dir;
};

// A real capture replayed by the simulated receiver, a burst a second: a
// real click starts the run, the tool sends the cold start once, the
// replay starts again from the top and its first GGA sentence confirms.
TEST_F(E2e, ACaptureReplayedByTheSimulatorIsConfirmed) {
    gpssim::ReceiverConfig config;
    std::string why;
    ASSERT_TRUE(gpssim::loadCapture(COLDSTART_TESTDATA_DIR "/tn200.log", config.replay, why))
        << why;
    gpssim::SimDriver gps(config, {});
    QString error;
    ASSERT_TRUE(gps.start(&error) && !gps.slavePath().isEmpty()) << error.toStdString();
    TestWindow w(gps.slavePath());
    std::vector<gpssim::Event::Kind> events;
    QObject::connect(&gps, &gpssim::SimDriver::event,
                     [&](const gpssim::Event& e) { events.push_back(e.kind); });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form) && click(w.form.Cmd_Start_1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return w.form.statusText() ==
                   "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
        },
        30000))
        << w.form.statusText();
    EXPECT_EQ(w.form.Label1->text(), "Connected!");
    screenshot("cold-start-ok", &w.form);
    EXPECT_EQ(std::count(events.begin(), events.end(), gpssim::Event::ColdStart), 1);
    EXPECT_EQ(dir.read(), QByteArray("COM 3,4800\r\n"));
    ASSERT_TRUE(click(w.form.Cmd_Start_1));  // stop
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.form.MSComm1().portOpen(); }, 10000));
}

// Over a run the main window takes no click.  The About window has no close
// button and refuses close requests; other keys leave it open with the
// keyboard on OK; Esc, Enter, keypad Enter, Space and a click on OK close it
// and give the main window back.
TEST_F(E2e, AboutWindowHoldsTheMainWindow) {
    TestWindow w(QStringLiteral("/nonexistent/tty"));
    int startClicks = 0;
    QObject::connect(w.form.Cmd_Start_1, &QPushButton::clicked, [&] { ++startClicks; });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    for (const char* key : {"Escape", "Return", "KP_Enter", "space", "click"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(click(w.form.CmdOther));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() != nullptr; }, 10000));
        Form5* about = w.form.aboutWindow();
        about->move(onScreen(&w.form).topRight() + QPoint(12, 0));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !onScreen(about).intersects(onScreen(&w.form)); }));
        ASSERT_TRUE(click(w.form.Cmd_Start_1));
        EXPECT_FALSE(about->windowFlags() & Qt::WindowCloseButtonHint);
        EXPECT_FALSE(about->close());
        EXPECT_FALSE(about->windowHandle()->close());
        const QString window = QString::number(about->winId());
        ASSERT_TRUE(xdotool({"windowfocus", "--sync", window, "key", "alt+F4", "a", "1", "Tab",
                             "BackSpace", "F1"}));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return QApplication::focusWidget() == about->Command1; }));
        EXPECT_EQ(w.form.aboutWindow(), about);
        EXPECT_FALSE(w.form.isEnabled());
        if (std::string(key) == "click")
            ASSERT_TRUE(click(about->Command1));
        else
            ASSERT_TRUE(xdotool({"key", "--window", window, key}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() == nullptr; }, 10000));
        EXPECT_EQ(startClicks, 0) << "the main window took a click";
        EXPECT_TRUE(w.form.isEnabled());
    }
}

}  // namespace
