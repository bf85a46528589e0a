// What the end-to-end tests need around the real window: a private X server,
// real input through it, the window after start-up with an eye on its status
// box, a receiver replaying a capture, and screenshots.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "ptypair.h"
#include "sim/receivermodel.h"

namespace e2e {

// ---------------------------------------------------------------------------
// The X server

// An Xvfb of the test's own, on a display number it picks itself; stopped
// with the test process (also when the process dies).
class XServer {
public:
    XServer() = default;
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer() { stop(); }

    // Why the tests cannot run here at all (no Xvfb or no xdotool), or empty.
    static std::string missingTools() {
        std::string missing;
        for (const char* tool : {"Xvfb", "xdotool"})
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                missing += std::string(missing.empty() ? "" : ", ") + tool;
        return missing.empty() ? std::string() : "not installed: " + missing;
    }

    // Starts the server and waits until it takes connections; its display
    // name (":N") is then display().  False, with why set, when it fails.
    bool start(std::string& why) {
        int ready[2];
        if (::pipe(ready) != 0) {
            why = "pipe failed";
            return false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::close(ready[0]);
            const std::string fd = std::to_string(ready[1]);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        if (pid_ < 0) {
            ::close(ready[0]);
            why = "fork failed";
            return false;
        }
        // Xvfb writes the display number and a line end once it is ready.
        std::string number;
        pollfd wait{ready[0], POLLIN, 0};
        while (number.find('\n') == std::string::npos && ::poll(&wait, 1, 20000) == 1) {
            char chunk[16];
            const ssize_t n = ::read(ready[0], chunk, sizeof chunk);
            if (n <= 0) break;
            number.append(chunk, std::size_t(n));
        }
        ::close(ready[0]);
        if (number.find('\n') == std::string::npos) {
            why = "Xvfb did not report a display within 20 s";
            stop();
            return false;
        }
        display_ = ":" + number.substr(0, number.find('\n'));
        return true;
    }

    const std::string& display() const { return display_; }

private:
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(100000);
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    std::string display_;
};

// ---------------------------------------------------------------------------
// Real input: xdotool sends it through the X server's XTEST extension, so it
// reaches the windows as a user's mouse and keyboard do.

// Runs xdotool while the event loop goes on; its standard output, trimmed,
// goes to output.
inline ::testing::AssertionResult xdotool(const QStringList& arguments, QString* output = nullptr) {
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), arguments);
    if (!tool.waitForStarted(5000)) return ::testing::AssertionFailure() << "xdotool did not start";
    if (!QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 10000)) {
        tool.kill();
        tool.waitForFinished();
        return ::testing::AssertionFailure()
               << "xdotool " << arguments.join(' ').toStdString() << " hung";
    }
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return ::testing::AssertionFailure() << "xdotool " << arguments.join(' ').toStdString()
                                             << ": " << tool.readAllStandardError().toStdString();
    if (output) *output = QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
    return ::testing::AssertionSuccess();
}

// Moves the pointer to a point of the screen and presses a button there:
// 1 the left button, 4 and 5 the wheel up and down.
inline ::testing::AssertionResult clickAt(QPoint global, int button = 1) {
    return xdotool({QStringLiteral("mousemove"), QString::number(global.x()),
                    QString::number(global.y()), QStringLiteral("click"), QString::number(button)});
}

// A click in the middle of a control, where the user sees it on the screen.
inline ::testing::AssertionResult click(QWidget* control, int button = 1) {
    return clickAt(control->mapToGlobal(control->rect().center()), button);
}

// Gives a window the keyboard, as a click on its title bar would, then
// types a key (an X key name: Escape, Return, space).
inline ::testing::AssertionResult typeKey(QWidget* window, const char* key) {
    const QString id = QString::number(window->winId());
    auto focused = xdotool({QStringLiteral("windowfocus"), id});
    if (!focused) return focused;
    if (!QTest::qWaitFor([&] { return window->isActiveWindow(); }, 3000))
        return ::testing::AssertionFailure() << "the window did not take the keyboard";
    return xdotool({QStringLiteral("key"), QLatin1String(key)});
}

// ---------------------------------------------------------------------------
// Screenshots, of what the X server shows, and only when asked for:
// COLDSTART_SCREENSHOTS=<folder>.

inline QImage screenArea(const QRect& area) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage();
}

inline QRect onScreen(const QWidget* window) {
    return QRect(window->mapToGlobal(QPoint(0, 0)), window->size());
}

inline void screenshot(const char* name, const QRect& area) {
    const QString folder = qEnvironmentVariable("COLDSTART_SCREENSHOTS");
    if (folder.isEmpty()) return;
    QTest::qWait(300);  // the last change painted
    const QString path = folder + QLatin1Char('/') + QLatin1String(name) + ".png";
    EXPECT_TRUE(screenArea(area).save(path)) << path.toStdString();
}

// The colour the screen shows at a point of a control.
inline QColor colourAt(const QWidget* control, QPoint local) {
    return screenArea(QRect(control->mapToGlobal(local), QSize(1, 1))).pixelColor(0, 0);
}

// The screen shows the colour at a point of a control within two seconds.
inline ::testing::AssertionResult showsColour(const QWidget* control, QPoint local, QColor wanted) {
    if (QTest::qWaitFor([&] { return colourAt(control, local) == wanted; }, 2000))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << control->objectName().toStdString() << " shows "
                                         << colourAt(control, local).name().toStdString()
                                         << ", not " << wanted.name().toStdString();
}

// ---------------------------------------------------------------------------
// The program's main window

// The main window after start-up, in a working folder of its own, its
// ports leading to one device; it records every text its status box shows.
class TestWindow {
public:
    explicit TestWindow(const QString& device, QPoint at = QPoint(0, 0)) : form(portOn(device)) {
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

    // The status box reaches a text that passes the test, within ms.
    ::testing::AssertionResult reaches(const std::function<bool(const std::string&)>& test, int ms,
                                       const char* what) {
        if (QTest::qWaitFor([&] { return test(form.statusText()); }, ms))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "no " << what << " within " << ms << " ms; " << history();
    }
    ::testing::AssertionResult reaches(const std::string& status, int ms) {
        return reaches([&](const std::string& s) { return s == status; }, ms, status.c_str());
    }
    ::testing::AssertionResult reachesPrefix(const std::string& prefix, int ms) {
        return reaches([&](const std::string& s) { return s.rfind(prefix, 0) == 0; }, ms,
                       prefix.c_str());
    }

    // Whether the status box showed the text at some time.
    bool showed(const std::string& status) const {
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    }

    // Every status so far, for failure messages.
    std::string history() const {
        std::string out = "the status box showed:";
        for (const std::string& s : statuses) out += " [" + s + "]";
        return out;
    }

    // The background the user sees in the status box, at a point clear of its
    // text, becomes the colour within two seconds.
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

private:
    static std::unique_ptr<gpslink::SerialPort> portOn(const QString& device) {
        auto port = std::make_unique<gpslink::QtSerialPort>();
        port->setDeviceOverride(device);
        return port;
    }
};

// The colours the link asks for, as the window paints them.
inline QColor painted(gpslink::Colour colour) {
    return toQColor(colour, QApplication::palette());
}

// ---------------------------------------------------------------------------
// A receiver replaying a capture on a pseudo-terminal

// Replays a capture's bursts, one a second, from when start() is called; the
// receiver model plays the capture and hears what the tool sends, and obeys
// nothing, so the capture runs on as it was recorded.  Keeps every byte it
// wrote, in bursts, and how many bursts had been written when the tool's
// cold-start sentence was heard.
class ReplayLine {
public:
    explicit ReplayLine(std::vector<std::string> bursts) : model_(configFor(std::move(bursts))) {
        if (!pty_.ok()) return;
        notifier_ = std::make_unique<QSocketNotifier>(pty_.masterFd(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { hear(); });
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1000);
        QObject::connect(&timer_, &QTimer::timeout, [this] { sendBurst(); });
    }

    bool ok() const { return pty_.ok(); }
    QString device() const { return QString::fromStdString(pty_.slavePath()); }

    void start() {
        sendBurst();
        timer_.start();
    }

    const std::vector<std::string>& written() const { return written_; }
    const std::string& heard() const { return heard_; }
    // Bursts written before the cold-start sentence was heard; -1 before that.
    int burstsBeforeColdStart() const { return burstsBeforeColdStart_; }
    bool ended() const { return ended_; }

private:
    static gpssim::ReceiverConfig configFor(std::vector<std::string> bursts) {
        gpssim::ReceiverConfig config;
        config.behaviour = gpssim::Behaviour::Ignore;
        config.replay = std::move(bursts);
        return config;
    }

    void sendBurst() {
        const std::string burst = model_.tick();
        if (!burst.empty()) {
            pty_.send(burst);
            written_.push_back(burst);
        }
        takeEvents();
    }

    void hear() {
        const std::string bytes = pty_.receive();
        heard_ += bytes;
        model_.receive(bytes);
        takeEvents();
    }

    void takeEvents() {
        for (const gpssim::Event& e : model_.takeEvents()) {
            if (e.kind == gpssim::Event::ColdStart && burstsBeforeColdStart_ < 0)
                burstsBeforeColdStart_ = int(written_.size());
            if (e.kind == gpssim::Event::ReplayEnd) ended_ = true;
        }
    }

    gpslink::testing::Pty pty_;
    gpssim::ReceiverModel model_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer timer_;
    std::vector<std::string> written_;
    std::string heard_;
    int burstsBeforeColdStart_ = -1;
    bool ended_ = false;
};

}  // namespace e2e
