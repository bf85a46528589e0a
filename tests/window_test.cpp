// The main window: what its controls show, that each control reaches the
// link, and which keys and requests press and close what.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include "app/form1.h"
#include "app/form5.h"
#include "tests/support/fakes.h"

namespace {

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

// A run through the real controls: list-only selectors, press, connect tick,
// data, press again; each QTimer follows its link timer, and enabling a
// running one leaves it be.
TEST_F(MainWindow, ControlsAndTimersDriveTheLink) {
    window.ComPort_6->addItems({"COM 1", "COM 12"});
    window.BaudRate_6->addItems({"4800", "19200"});
    EXPECT_FALSE(window.ComPort_6->setListText("COM 7") || window.BaudRate_6->setListText("9601"));
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
    QTimer::singleShot(10000, &window, [] { QCoreApplication::exit(99); });  // a safety net
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
