// Around the real window in the end-to-end tests: a private X server, real
// input, screenshots, and the window with its status box watched.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "ptypair.h"

namespace e2e {

// Why the tests cannot run here at all, or empty.
inline std::string missingTools() {
    std::string missing;
    for (const char* tool : {"Xvfb", "xdotool"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            missing += std::string(missing.empty() ? "" : ", ") + tool;
    return missing.empty() ? std::string() : "not installed: " + missing;
}

// Starts an Xvfb of the test's own, on a display number it picks, that ends
// with the test process; its display (":N") once it takes connections, or
// empty (with why set).
inline std::string startXServer(std::string& why) {
    int ready[2];
    if (::pipe(ready) != 0) return why = "pipe failed", std::string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const std::string fd = std::to_string(ready[1]);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    // Xvfb writes the display number and a line end once it is ready.
    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    char chunk[16];
    for (ssize_t n; number.find('\n') == std::string::npos && pid > 0 &&
                    ::poll(&wait, 1, 20000) == 1 && (n = ::read(ready[0], chunk, 16)) > 0;)
        number.append(chunk, std::size_t(n));
    ::close(ready[0]);
    if (number.find('\n') == std::string::npos)
        return why = "Xvfb did not report a display within 20 s", std::string();
    return ":" + number.substr(0, number.find('\n'));
}

// Real input: xdotool sends it through the X server's XTEST extension, as a
// user's mouse and keyboard do; it runs while the event loop goes on.
inline ::testing::AssertionResult xdotool(const QStringList& arguments) {
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), arguments);
    const bool ended = tool.waitForStarted(5000) &&
                       QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 10000);
    if (ended && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0)
        return ::testing::AssertionSuccess();
    tool.kill();
    tool.waitForFinished();
    return ::testing::AssertionFailure()
           << "xdotool " << arguments.join(' ').toStdString()
           << " failed: " << tool.readAllStandardError().toStdString();
}

// A click in the middle of a control, where the user sees it on the screen:
// button 1 the left button, 4 and 5 the wheel up and down.
inline ::testing::AssertionResult click(QWidget* control, int button = 1) {
    const QPoint at = control->mapToGlobal(control->rect().center());
    return xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                    QStringLiteral("click"), QString::number(button)});
}

// Gives a window the keyboard, as a click on its title bar would, then types
// a key (an X key name: Escape, Return, space).
inline ::testing::AssertionResult typeKey(QWidget* window, const char* key) {
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"),
                    QString::number(window->winId()), QStringLiteral("key"), QLatin1String(key)});
}

inline QImage screenArea(const QRect& area) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage();
}

inline QRect onScreen(const QWidget* window) {
    return QRect(window->mapToGlobal(QPoint(0, 0)), window->size());
}

// A screenshot, only when asked for: COLDSTART_SCREENSHOTS=<folder>.
inline void screenshot(const char* name, const QRect& area) {
    const QString folder = qEnvironmentVariable("COLDSTART_SCREENSHOTS");
    if (folder.isEmpty()) return;
    QTest::qWait(300);  // the last change painted
    const QString path = folder + QLatin1Char('/') + QLatin1String(name) + ".png";
    EXPECT_TRUE(screenArea(area).save(path)) << path.toStdString();
}

// The screen shows the colour at a point of a control within two seconds.
inline ::testing::AssertionResult showsColour(const QWidget* control, QPoint local, QColor wanted) {
    const auto seen = [&] {
        return screenArea(QRect(control->mapToGlobal(local), QSize(1, 1))).pixelColor(0, 0);
    };
    if (QTest::qWaitFor([&] { return seen() == wanted; }, 2000))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << control->objectName().toStdString() << " shows " << seen().name().toStdString()
           << ", not " << wanted.name().toStdString();
}

// The main window after start-up, its ports leading to one device; it
// records every text its status box shows.
class TestWindow {
public:
    explicit TestWindow(const QString& device, QPoint at = QPoint(0, 0))
        : form([&] {
              auto port = std::make_unique<gpslink::QtSerialPort>();
              port->setDeviceOverride(device);
              return port;
          }()) {
        form.move(at);
        form.setSettingsWriter(WriteSettingsFile);
        QObject::connect(form.Text_Error_1, &QPlainTextEdit::textChanged, &form, [this] {
            const std::string text = form.statusText();
            if (statuses.empty() ? !text.empty() : text != statuses.back())
                statuses.push_back(text);
        });
        QObject::connect(form.Cmd_Start_1, &QPushButton::clicked, &form, [this] { ++startClicks; });
        Form_Load(form, StartupHooks{});
    }

    // The status box shows the text (or, with prefix, a text that starts
    // with it) within ms.
    ::testing::AssertionResult reaches(const std::string& text, int ms, bool prefix = false) {
        const auto shown = [&] {
            return form.statusText().substr(0, prefix ? text.size() : std::string::npos);
        };
        if (QTest::qWaitFor([&] { return shown() == text; }, ms))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "no [" << text << "] within " << ms << " ms; " << history();
    }
    bool showed(const std::string& text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
    std::string history() const {
        std::string out = "the status box showed:";
        for (const std::string& s : statuses) out += " [" + s + "]";
        return out;
    }

    // The status box's background, clear of its text, on the screen.
    ::testing::AssertionResult showsBackground(QColor wanted) const {
        const QWidget* box = form.Text_Error_1;
        return showsColour(box, QPoint(box->width() - 8, box->height() - 8), wanted);
    }
    bool anyTimerActive() const {
        return form.Timer1->isActive() || form.Timer->isActive() || form.Timer_PF->isActive() ||
               form.Timer_Start->isActive();
    }

    Form1 form;
    std::vector<std::string> statuses;  // each text shown, in order
    int startClicks = 0;                // clicks "Cold Start On/Off" got
};

// A colour the link asks for, as the window paints it.
inline QColor painted(gpslink::Colour colour) {
    return toQColor(colour, QApplication::palette());
}

}  // namespace e2e
