// Real X input and screen reads for the tests that run a window on a private
// X server (tools/with-xvfb.sh): xdotool drives the pointer and keyboard
// through the XTEST extension while the event loop runs.
#pragma once

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QRect>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

namespace xinput {

// Runs xdotool.  Given the effect its input is to have, that (awaited for a
// minute) is the verdict, not the tool's status: the tool fails where the input
// closed its window, as a key's release then has no window to go to.
using Effect = std::function<bool()>;
inline ::testing::AssertionResult xdotool(const QStringList& arguments, const Effect& effect = {}) {
    QProcess tool;
    tool.start(QStringLiteral("xdotool"), arguments);
    const bool ran = tool.waitForStarted(30000) &&
                     QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 60000) &&
                     tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    if (effect ? QTest::qWaitFor(effect, 60000) : ran) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "xdotool " << arguments.join(' ').toStdString() << (effect ? ": no effect; " : ": ")
           << tool.readAllStandardError().toStdString();
}

inline ::testing::AssertionResult click(QWidget* control, const Effect& effect = {}) {
    const QPoint at = control->mapToGlobal(control->rect().center());
    return xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"},
                   effect);
}

inline QRect onScreen(const QWidget* w) {
    return QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
}

// With COLDSTART_SCREENSHOTS=<folder>, the window as the screen shows it.
inline void screenshot(const char* name, QWidget* window) {
    const QString folder = qEnvironmentVariable("COLDSTART_SCREENSHOTS");
    if (folder.isEmpty() || !QTest::qWaitForWindowExposed(window, 60000)) return;
    window->repaint();  // what the widgets hold now, on the X server before the grab
    const QRect r = onScreen(window);
    window->screen()
        ->grabWindow(0, r.x(), r.y(), r.width(), r.height())
        .save(folder + "/" + name + ".png");
}

// Whether real input can be had: an X server and xdotool.
inline bool available() {
    return QGuiApplication::platformName() == QLatin1String("xcb") &&
           !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
}

}  // namespace xinput
