// End to end: the real window on an X server of its own (Xvfb), real
// clicks and key presses through it, the real serial port and timers, and a
// receiver on a pseudo-terminal.  Only what needs the display, the real port
// or real time: a click reaches its handler, colours are painted, the About
// window holds the main one, and a real capture runs at its own pace.
// COLDSTART_SCREENSHOTS=<folder> saves a screenshot of each state reached.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <stdexcept>

#include "app/form1.h"
#include "app/form5.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "sim/capture.h"
#include "sim/simdriver.h"
#include "tests/support/ptypair.h"
#include "tests/support/workdir.h"

namespace {

const std::string kConfirmed =
    "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";

// Real input through the X server's XTEST extension, while the event loop runs.
::testing::AssertionResult xdotool(const QStringList& arguments) {
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), arguments);
    if (tool.waitForStarted(10000) &&
        QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 20000) &&
        tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0)
        return ::testing::AssertionSuccess();
    tool.kill();
    tool.waitForFinished();
    return ::testing::AssertionFailure() << "xdotool " << arguments.join(' ').toStdString() << ": "
                                         << tool.readAllStandardError().toStdString();
}

::testing::AssertionResult click(QWidget* control) {
    const QPoint at = control->mapToGlobal(control->rect().center());
    return xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
}

QRect onScreen(const QWidget* w) {
    return QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
}

void screenshot(const char* name, QWidget* window) {
    const QString folder = qEnvironmentVariable("COLDSTART_SCREENSHOTS");
    const QRect r = onScreen(window);
    if (!folder.isEmpty() && QTest::qWaitForWindowExposed(window))
        QGuiApplication::primaryScreen()
            ->grabWindow(0, r.x(), r.y(), r.width(), r.height())
            .save(folder + "/" + name + ".png");
}

// The screen shows the colour at a point of a control within ten seconds.
::testing::AssertionResult showsColour(const QWidget* control, QPoint at, gpslink::Colour colour) {
    const QColor wanted = toQColor(colour, QApplication::palette());
    const auto seen = [&] {
        const QPoint p = control->mapToGlobal(at);
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, p.x(), p.y(), 1, 1)
            .toImage()
            .pixelColor(0, 0);
    };
    if (QTest::qWaitFor([&] { return seen() == wanted; }, 10000))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << control->objectName().toStdString() << " shows " << seen().name().toStdString()
           << ", not " << wanted.name().toStdString();
}

// The main window after start-up, every port leading to one device.
struct TestWindow {
    explicit TestWindow(const QString& device)
        : form([&] {
              if (device.isEmpty()) throw std::runtime_error("no device for the window");
              auto port = std::make_unique<gpslink::QtSerialPort>();
              port->setDeviceOverride(device);
              return port;
          }()) {
        form.setSettingsWriter(WriteSettingsFile);
        QObject::connect(form.Cmd_Start_1, &QPushButton::clicked, [this] { ++startClicks; });
        QObject::connect(form.Text_Error_1, &QPlainTextEdit::textChanged, [this] {
            if (shown.empty() || shown.back() != form.statusText())
                shown.push_back(form.statusText());
        });
        Form_Load(form, StartupHooks{});
    }
    // A real click on "Cold Start On/Off" that the button got.
    ::testing::AssertionResult pressStart() {
        const int before = startClicks;
        if (!QTest::qWaitForWindowExposed(&form)) return ::testing::AssertionFailure() << "hidden";
        auto clicked = click(form.Cmd_Start_1);
        if (clicked && !QTest::qWaitFor([&] { return startClicks == before + 1; }, 10000))
            return ::testing::AssertionFailure() << "the click did not reach the button";
        return clicked;
    }
    ::testing::AssertionResult reaches(const std::string& text, int ms) {
        if (QTest::qWaitFor([&] { return form.statusText() == text; }, ms))
            return ::testing::AssertionSuccess();
        std::string all;
        for (const std::string& s : shown) all += " [" + s + "]";
        return ::testing::AssertionFailure() << "no [" << text << "]; shown:" << all;
    }
    ::testing::AssertionResult showsBox(gpslink::Colour colour) const {
        const QWidget* box = form.Text_Error_1;
        return showsColour(box, QPoint(box->width() - 8, box->height() - 8), colour);
    }

    Form1 form;
    int startClicks = 0;
    std::vector<std::string> shown;  // each status text, in order
};

// A simulated receiver on a pseudo-terminal; throws when it cannot start.
struct Receiver {
    explicit Receiver(const gpssim::ReceiverConfig& config) : driver(config, {}) {
        QString error;
        if (!driver.start(&error) || driver.slavePath().isEmpty())
            throw std::runtime_error("receiver did not start: " + error.toStdString());
    }
    gpssim::SimDriver driver;
};

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        // tools/with-xvfb.sh gives the test its own X server.
        if (QGuiApplication::platformName() != "xcb" ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "needs an X server and xdotool for real input";
        dir.write("COM 3,4800\r\n");
    }
    ScopedWorkDir dir;
};

TEST_F(E2e, ColdStartConfirmedThenTheReceiverIsSwitchedOff) {
    gpssim::ReceiverConfig config;
    config.behaviour = gpssim::Behaviour::OffAfter;
    config.timeKnownAfterSeconds = 0;
    config.offAfterSeconds = 12;
    Receiver gps(config);
    TestWindow w(gps.driver.slavePath());
    ASSERT_TRUE(w.pressStart());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 10000));
    EXPECT_TRUE(showsColour(w.form.Cmd_Start_1, QPoint(8, 8), gpslink::colour::Grey));
    ASSERT_TRUE(w.reaches(kConfirmed, 30000));
    EXPECT_TRUE(w.showsBox(gpslink::colour::Green));
    screenshot("cold-start-ok", &w.form);
    ASSERT_TRUE(w.reaches("GPS be shuted down.", 30000));
    EXPECT_EQ(dir.read(), QByteArray("COM 3,4800\r\n"));
    ASSERT_TRUE(w.pressStart());  // stop
    EXPECT_FALSE(w.form.MSComm1().portOpen());
    EXPECT_TRUE(w.showsBox(gpslink::colour::ButtonFace));
}

// Over a run the main window takes no click; Esc, Enter and Space typed into
// the About window close it and give the main window back.
TEST_F(E2e, AboutWindowHoldsTheMainWindow) {
    gpssim::ReceiverConfig config;
    config.behaviour = gpssim::Behaviour::Silent;
    Receiver gps(config);
    TestWindow w(gps.driver.slavePath());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form));
    for (const char* key : {"Escape", "Return", "space"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(click(w.form.CmdOther));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() != nullptr; }, 10000));
        Form5* about = w.form.aboutWindow();
        about->move(onScreen(&w.form).topRight() + QPoint(12, 0));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !onScreen(about).intersects(onScreen(&w.form)); }));
        ASSERT_TRUE(click(w.form.Cmd_Start_1));
        ASSERT_TRUE(
            xdotool({"windowfocus", "--sync", QString::number(about->winId()), "key", key}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.aboutWindow() == nullptr; }, 10000));
        EXPECT_EQ(w.startClicks, 0) << "the main window took a click";
        EXPECT_TRUE(w.form.isEnabled());
    }
}

// A real capture, a burst a second from when the port opens: the tool
// answers the burst with the fifth time it counts, the next one confirms.
TEST_F(E2e, ACaptureRunsToItsConfirmation) {
    std::vector<std::string> bursts;
    std::string why;
    ASSERT_TRUE(gpssim::loadCapture(COLDSTART_TESTDATA_DIR "/geos-1m.log", bursts, why)) << why;
    gpslink::testing::Pty gps;
    TestWindow w(QString::fromStdString(gps.slavePath()));
    std::size_t written = 0;
    QTimer clock;
    QObject::connect(&clock, &QTimer::timeout, [&] {
        if (written < bursts.size()) gps.send(bursts[written++]);
    });
    ASSERT_TRUE(w.pressStart());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.MSComm1().portOpen(); }, 10000));
    clock.start(1000);
    std::string heard;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(heard += gps.receive()).empty(); }, 60000));
    EXPECT_EQ(written, 13u) << "the clock's first seconds waited out, then five counted";
    ASSERT_TRUE(w.reaches(kConfirmed, 10000));
    EXPECT_EQ(written, 14u);
    EXPECT_TRUE(w.showsBox(gpslink::colour::Green));
    EXPECT_EQ(heard + gps.receive(), gpslink::kColdStartSentence);
}

}  // namespace
