// The main window: reading and writing "Set.txt", start-up in working
// directories with every kind of settings file, what the controls show, that
// each control reaches the link, and which keys and requests press and close
// what.  And end to end on an X server of its own (Xvfb): real clicks and key
// presses, the real serial port and timers, and a simulated receiver on a
// pseudo-terminal: a click reaches its handler, the About window holds the
// main one, and a real capture runs at its pace.
// COLDSTART_SCREENSHOTS=<folder> saves a screenshot of each state reached.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>
#include <algorithm>

#include "app/form1.h"
#include "app/form5.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "sim/capture.h"
#include "sim/simdriver.h"
#include "testkit/fakes.h"
#include "testkit/recordings.h"
#include "testkit/workdir.h"
#include "testkit/xinput.h"

namespace {

TEST(SettingsParse, FieldRules) {
    const SettingsTexts deflt{"COM 1", "9600"};
    const std::pair<std::string, std::optional<SettingsTexts>> cases[] = {
        {"COM 1,9600\r\n", deflt},
        {"COM 1\n9600\n", deflt},                              // one field a line
        {"   COM 1   ,   9600   \r\n", deflt},                 // spaces around fields dropped
        {"\"COM, 1\",9600", SettingsTexts{"COM, 1", "9600"}},  // quoted
        {"\" COM 1 \" ,9600", SettingsTexts{" COM 1 ", "9600"}},
        {"COM 1,9600,115200\r\nCOM 2,4800\r\n", deflt},            // the rest is not read
        {"\xe9\xff,9600\r\n", SettingsTexts{"\xe9\xff", "9600"}},  // bytes kept
        {"COM 1,\r\n", SettingsTexts{"COM 1", ""}},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"COM 1\r\n", std::nullopt},
        {"COM 1,", std::nullopt},
    };
    for (const auto& [text, fields] : cases) EXPECT_TRUE(parseSettings(text) == fields) << text;
}

// The id of a process that has ended.
pid_t endedProcess() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// What stands beside Set.txt before a write, and what of it a write leaves.
TEST(SettingsWrite, ReplacesTheFileAndOnlyItsOwnLeftovers) {
    const QString dead = "Set.txt.tmp." + QString::number(endedProcess());
    const struct {
        const char* name;
        QString other;  // a name beside Set.txt
        bool link;      // the name is a link to "victim"
        bool survives;  // the write leaves it
    } cases[] = {
        {"nothing else", {}, false, false},
        {"killed writer's leftover", dead + ".Ab3dE9", false, false},
        {"living writer's file", "Set.txt.tmp.1.Ab3dE9", false, true},
        {"a user's file of the old fixed name", "Set.txt.new", false, true},
        {"a user's file like a leftover", dead + ".toolong7", false, true},
        {"a link like a leftover", dead + ".Ab3dE9", true, true},
        {"a link at the old fixed name", "Set.txt.new", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedWorkDir dir;
        dir.write("COM 100,921600\r\nsomething longer that must not survive\r\n");
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        QFile::setPermissions("Set.txt", mode);
        dir.write("the user's", "victim");
        if (c.link)
            QFile::link("victim", c.other);
        else if (!c.other.isEmpty())
            dir.write("the user's", c.other);

        ASSERT_TRUE(WriteSettingsFile("COM 1", "9600"));
        EXPECT_EQ(dir.read(), QByteArray("COM 1,9600\r\n"));
        const QFileInfo written("Set.txt");
        EXPECT_TRUE(written.isFile() && !written.isSymLink());
        EXPECT_EQ(written.permissions() & ~(QFile::ReadUser | QFile::WriteUser), mode)
            << "the old file's permission bits";
        EXPECT_EQ(readSettingsFile(), (SettingsTexts{"COM 1", "9600"}));
        QStringList left{"Set.txt", "victim"};
        if (c.survives) left << c.other;
        left.sort();
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System), left);
        EXPECT_EQ(dir.read("victim"), QByteArray("the user's"));
    }
}

// Where no new file can be made beside it, Set.txt is rewritten in place if
// it can be.  Run as a user that the permission bits bind (nobody, for root).
TEST(SettingsWrite, FallsBackToWritingInPlace) {
    const struct {
        const char* name;
        bool dirWritable;
        const char* before;  // nullptr: no file
        QFile::Permissions mode;
        bool written;
    } cases[] = {
        {"closed folder, writable file", false, "COM 7,4800\r\n", QFile::Permissions(0x6666), true},
        {"closed folder, read-only file", false, "COM 7,4800\r\n", QFile::Permissions(0x4444),
         false},
        {"closed folder, no file", false, nullptr, {}, false},
        {"open folder, read-only file", true, "COM 7,4800\r\n", QFile::Permissions(0x4444), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedWorkDir dir;
        if (c.before) {
            dir.write(c.before);
            QFile::setPermissions("Set.txt", c.mode);
        }
        QFile::setPermissions(
            dir.path(), c.dirWritable ? QFile::Permissions(0x7777) : QFile::Permissions(0x5555));
        const pid_t pid = fork();
        if (pid == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            _exit(WriteSettingsFile("COM 1", "9600") ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, c.written ? 0 : 1 << 8);
        EXPECT_EQ(dir.read(), c.written  ? QByteArray("COM 1,9600\r\n")
                              : c.before ? QByteArray(c.before)
                                         : QByteArray("<missing>"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), c.before ? 1 : 0);
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7700));
    }
}

struct Started {
    explicit Started(std::function<void(Form1&)> whileBoxOpen = nullptr)
        : form(std::make_unique<gpslink::testing::FakeSerialPort>()) {
        Form_Load(form, StartupHooks{[this, whileBoxOpen] {
                      ++messages;
                      if (whileBoxOpen) whileBoxOpen(form);
                  }});
    }
    Form1 form;
    int messages = 0;
};

// What start-up selects, reports and leaves in Set.txt for each kind of file.
TEST(Startup, SettingsFiles) {
    const char* const folder = "a folder";  // can be neither read nor replaced
    const QByteArray fallback = "COM 1,9600\r\n";
    const struct {
        const char* contents;  // nullptr: no file
        bool readOnly;
        const char *port, *baud;
    } rows[] = {
        {"COM 7,115200\r\n", false, "COM 7", "115200"},
        {"COM 3,4800\r\n", true, "COM 3", "4800"},  // read, and made writable
        {nullptr, false, "COM 1", "9600"},
        {"COM1,9600\r\n", false, "COM 1", "9600"},
        {"COM 1,38400\r\n", false, "COM 1", "9600"},
        {"COM 200,9600\r\n", false, "COM 1", "9600"},
        {"\xe9\xff,\x80\r\n", false, "COM 1", "9600"},
        {"com 1,9600\r\n", false, "COM 1", "9600"},
        {"COM 1,9600 baud\r\n", false, "COM 1", "9600"},
        {folder, false, "COM 1", "9600"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.contents ? row.contents : "no file");
        ScopedWorkDir dir;
        if (row.contents == folder)
            QDir(dir.path()).mkdir("Set.txt");
        else if (row.contents)
            dir.write(row.contents);
        if (row.readOnly) QFile::setPermissions("Set.txt", QFileDevice::ReadOwner);
        Started s([](Form1& form) {
            // The stall check runs while the notice waits for the user.
            for (int i = 0; i < 4; ++i) form.link().Timer_PF_Timer();
            EXPECT_EQ(form.link().state().Counters[8], 4);
        });
        const bool usable = row.contents && std::string(row.port) != "COM 1";
        EXPECT_EQ(s.messages, usable ? 0 : 1);
        EXPECT_EQ(dir.read(), usable                   ? QByteArray(row.contents)
                              : row.contents == folder ? QByteArray("<missing>")
                                                       : fallback);
        EXPECT_EQ(s.form.ComPort_6->currentText(), row.port);
        EXPECT_EQ(s.form.BaudRate_6->currentText(), row.baud);
        EXPECT_EQ(s.form.ComPort_6->count(), 101) << "filled once";
        EXPECT_TRUE(QFile::permissions("Set.txt") & QFileDevice::WriteOwner);
        EXPECT_EQ(s.form.link().state().Counters[8], 0) << "ticks under the notice undone";
        EXPECT_EQ(s.form.Label1->text(), "Not connected!");
        EXPECT_TRUE(s.form.isVisible());
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
                  QStringList{"Set.txt"});
    }
}

namespace colour = gpslink::colour;

QColor buttonFace() {
    return QApplication::palette().color(QPalette::Button);
}

// The colour the user sees at a point of a control, each part within tolerance.
void expectShows(QWidget* w, QPoint at, const QColor& wanted, int tolerance = 0) {
    const QColor seen = w->grab().toImage().pixelColor(at * w->devicePixelRatioF());
    for (int d :
         {seen.red() - wanted.red(), seen.green() - wanted.green(), seen.blue() - wanted.blue()})
        EXPECT_LE(std::abs(d), tolerance) << seen.name().toStdString();
}

class MainWindow : public ::testing::Test {
protected:
    gpslink::testing::FakeSerialPort* port = new gpslink::testing::FakeSerialPort;
    Form1 window{std::unique_ptr<gpslink::SerialPort>(port)};
    gpslink::View& view = window;
};

// Read-only plain text, CR LF a line break; the bytes come back as set.
TEST_F(MainWindow, StatusBoxShowsLockedPlainText) {
    view.setStatusText("<b>x</b>\r\nline two");
    QTest::keyClick(window.Text_Error_1, Qt::Key_X);
    EXPECT_EQ(window.Text_Error_1->toPlainText(), "<b>x</b>\nline two");
    EXPECT_EQ(window.Text_Error_1->document()->blockCount(), 2);
    const std::string bytes("UTC Time :\xB0\0z", 13);
    view.setStatusText(bytes);
    EXPECT_EQ(view.statusText(), bytes);
}

TEST_F(MainWindow, StatusBoxAndStartButtonShowTheirColours) {
    QPlainTextEdit* box = window.Text_Error_1;
    const QPoint inside(box->width() - 6, box->height() - 6);
    expectShows(box, inside, buttonFace());
    for (const auto& [value, wanted] : {std::pair<gpslink::Colour, QColor>{255, Qt::red},
                                        {65280, Qt::green},
                                        {colour::ButtonFace, buttonFace()}}) {
        view.setStatusColour(value);
        expectShows(box, inside, wanted);
    }
    const QPoint face(8, window.Cmd_Start_1->height() / 2);  // beside the caption
    view.setStartButtonColour(colour::Grey);
    expectShows(window.Cmd_Start_1, face, QColor(0xAA, 0xAA, 0xAA), 1);
    view.setStartButtonColour(colour::ButtonFace);
    expectShows(window.Cmd_Start_1, face, buttonFace(), 1);
}

// A run through the real controls: selectors, press, connect tick,
// data, press again; each QTimer follows its link timer, and enabling a
// running one leaves it be.
TEST_F(MainWindow, ControlsAndTimersDriveTheLink) {
    window.ComPort_6->addItems({"COM 1", "COM 12"});
    window.BaudRate_6->addItems({"4800", "19200"});
    ASSERT_TRUE(window.ComPort_6->setListText("COM 12") && window.BaudRate_6->setListText("19200"));
    window.link().setStartUpValues();

    window.Cmd_Start_1->click();
    ASSERT_TRUE(window.Timer1->isActive());
    QMetaObject::invokeMethod(window.Timer1, "timeout");  // the connect step
    EXPECT_TRUE(port->open);
    EXPECT_EQ(port->number, 12);
    EXPECT_EQ(port->lineSettings, "19200,n,8,1");
    EXPECT_FALSE(window.Frame5->isEnabled());
    EXPECT_EQ(window.BaudRate_6->palette().color(QPalette::Base), buttonFace());
    EXPECT_TRUE(!window.Timer1->isActive() && window.Timer->isActive());

    port->receive("$GPGGA,123519.000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
    EXPECT_EQ(window.Text_Error_1->toPlainText(), "UTC Time :12:35:19\n");
    ASSERT_TRUE(window.Timer_Start->isActive());
    window.Timer_Start->stop();  // a restart would show as running again
    window.link().Timer_Start.setEnabled(true);
    EXPECT_FALSE(window.Timer_Start->isActive()) << "enabling again restarted the interval";

    window.Cmd_Start_1->click();  // stop
    EXPECT_FALSE(port->open);
    EXPECT_TRUE(window.Frame5->isEnabled());
    EXPECT_FALSE(window.Timer->isActive() || window.Timer_Start->isActive());
}

// Enter, keypad Enter and Space on a focused button press it; other keys do not.
TEST_F(MainWindow, EnterAndSpacePressTheFocusedButton) {
    for (QPushButton* button : {window.Cmd_Start_1, window.Com_Exit, window.CmdOther}) {
        int presses = 0;
        const auto counted = QObject::connect(button, &QPushButton::clicked, [&] { ++presses; });
        for (const auto& [key, modifiers] : {std::pair{Qt::Key_Return, Qt::NoModifier},
                                             {Qt::Key_Enter, Qt::KeypadModifier},
                                             {Qt::Key_Space, Qt::NoModifier},
                                             {Qt::Key_A, Qt::NoModifier}}) {
            window.show();
            delete window.aboutWindow();
            window.setEnabled(true);
            button->setFocus();
            QTest::keyClick(button, key, modifiers);
        }
        QObject::disconnect(counted);
        EXPECT_EQ(presses, 3) << button->text().toStdString();
    }
}

TEST_F(MainWindow, OnlyExitClosesTheWindowAndEndsTheProgram) {
    window.show();
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());
    QTimer::singleShot(0, window.Com_Exit, &QPushButton::click);
    QTimer::singleShot(60000, &window, [] { QCoreApplication::exit(99); });  // a safety net
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

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
    std::string why;
    const std::string nmea = sharedFolder("testdata/nmea", why);
    if (nmea.empty()) GTEST_SKIP() << why;
    gpssim::ReceiverConfig config;
    ASSERT_TRUE(gpssim::loadCapture(nmea + "/tn200.log", config.replay, why)) << why;
    gpssim::SimDriver gps(config, {});
    QString error;
    ASSERT_TRUE(gps.start(&error) && !gps.slavePath().isEmpty()) << error.toStdString();
    TestWindow w(gps.slavePath());
    std::vector<gpssim::Event::Kind> events;
    QObject::connect(&gps, &gpssim::SimDriver::event,
                     [&](const gpssim::Event& e) { events.push_back(e.kind); });
    const auto open = [&] { return w.form.MSComm1().portOpen(); };
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form, 60000) && click(w.form.Cmd_Start_1, open));
    const std::string ok = "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.form.statusText() == ok; }, 60000))
        << w.form.statusText();
    EXPECT_EQ(w.form.Label1->text(), "Connected!");
    screenshot("cold-start-ok", &w.form);
    EXPECT_EQ(std::count(events.begin(), events.end(), gpssim::Event::ColdStart), 1);
    EXPECT_EQ(dir.read(), QByteArray("COM 3,4800\r\n"));
    EXPECT_TRUE(click(w.form.Cmd_Start_1, [&] { return !open(); }));  // stop
}

// Over a run the main window takes no click.  The About window has no close
// button and refuses close requests; other keys leave it open with the
// keyboard on OK; Esc, Enter, keypad Enter, Space and a click on OK close it
// and give the main window back.  The pointer's moves, over the disabled main
// window and then the About window, prove the input before them was handled.
TEST_F(E2e, AboutWindowHoldsTheMainWindow) {
    TestWindow w(QStringLiteral("/nonexistent/tty"));
    int startClicks = 0;
    QObject::connect(w.form.Cmd_Start_1, &QPushButton::clicked, [&] { ++startClicks; });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.form, 60000));
    for (const char* key : {"Escape", "Return", "KP_Enter", "space", "click"}) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(click(w.form.CmdOther, [&] { return w.form.aboutWindow(); }));
        QPointer<Form5> about = w.form.aboutWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(about, 60000));
        about->move(onScreen(&w.form).topRight() + QPoint(12, 0));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return !onScreen(about).intersects(onScreen(&w.form)); }, 60000));
        ASSERT_TRUE(click(w.form.Cmd_Start_1, [&] { return w.form.Cmd_Start_1->underMouse(); }));
        EXPECT_FALSE(about->windowFlags() & Qt::WindowCloseButtonHint);
        EXPECT_FALSE(about->close());
        EXPECT_FALSE(about->windowHandle()->close());
        const QString window = QString::number(about->winId());
        ASSERT_TRUE(xdotool({"windowfocus", "--sync", window, "key", "alt+F4", "a", "1", "Tab",
                             "BackSpace", "F1", "mousemove", "--window", window, "1", "1"},
                            [&] { return about && about->underMouse(); }));
        EXPECT_EQ(QApplication::focusWidget(), about->Command1);
        EXPECT_EQ(w.form.aboutWindow(), about.data());
        EXPECT_FALSE(w.form.isEnabled());
        const auto closed = [&] { return w.form.aboutWindow() == nullptr; };
        ASSERT_TRUE(std::string(key) == "click"
                        ? click(about->Command1, closed)
                        : xdotool({"key", "--window", window, key}, closed));
        EXPECT_EQ(startClicks, 0) << "the main window took a click";
        EXPECT_TRUE(w.form.isEnabled());
    }
}

}  // namespace
