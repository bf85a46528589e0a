// The main window: its design values, and that each control reaches the link.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFontInfo>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QThread>
#include <QTimer>
#include <utility>
#include <vector>

#include "app/form1.h"
#include "app/form5.h"
#include "gpslink/serialport.h"

namespace {

using gpslink::Colour;

// A serial line that the test feeds by hand.
class FakePort : public gpslink::SerialPort {
public:
    bool setCommPort(int number) override {
        if (open) return false;
        port = number;
        return true;
    }
    int commPort() const override { return port; }
    bool setSettings(std::string_view settings) override {
        if (gpslink::baudRateOf(settings) == 0) return false;
        line = settings;
        return true;
    }
    std::string settings() const override { return line; }
    bool setPortOpen(bool o) override {
        if (o && open) return false;
        open = o;
        return true;
    }
    bool portOpen() const override { return open; }
    void discardInput() override { waiting.clear(); }
    std::string input() override { return std::exchange(waiting, {}); }
    void output(std::string_view text) override { sent += text; }

    void receive(std::string_view text) {
        waiting += text;
        raiseOnComm(gpslink::comEvReceive);
    }

    int port = 0;
    std::string line = "9600,n,8,1";
    bool open = false;
    std::string waiting, sent;
};

class Form1Test : public ::testing::Test {
protected:
    Form1Test() : port(new FakePort), window(std::unique_ptr<gpslink::SerialPort>(port)) {}

    // The colour the user sees at a point of a control.
    static QColor pixel(QWidget* widget, QPoint at) {
        return widget->grab().toImage().pixelColor(at * widget->devicePixelRatioF());
    }
    static QColor rgb(Colour colour) { return toQColor(colour, QApplication::palette()); }
    static QColor buttonFace() { return QApplication::palette().color(QPalette::Button); }

    FakePort* port;
    Form1 window;
};

void expectNear(const QColor& seen, const QColor& wanted, int tolerance = 0) {
    EXPECT_NEAR(seen.red(), wanted.red(), tolerance) << seen.name().toStdString();
    EXPECT_NEAR(seen.green(), wanted.green(), tolerance) << seen.name().toStdString();
    EXPECT_NEAR(seen.blue(), wanted.blue(), tolerance) << seen.name().toStdString();
}

TEST(ColourValues, FixedColoursAreBgrAndSystemColoursComeFromThePalette) {
    QPalette palette;
    palette.setColor(QPalette::Button, QColor(1, 2, 3));
    palette.setColor(QPalette::Base, QColor(4, 5, 6));
    EXPECT_EQ(toQColor(0x00332211, palette), QColor(0x11, 0x22, 0x33));
    EXPECT_EQ(toQColor(gpslink::colour::Red, palette), QColor(255, 0, 0));
    EXPECT_EQ(toQColor(gpslink::colour::Green, palette), QColor(0, 255, 0));
    EXPECT_EQ(toQColor(gpslink::colour::Grey, palette), QColor(0xAA, 0xAA, 0xAA));
    EXPECT_EQ(toQColor(gpslink::colour::ButtonFace, palette), QColor(1, 2, 3));
    EXPECT_EQ(toQColor(gpslink::colour::WindowBackground, palette), QColor(4, 5, 6));
}

TEST_F(Form1Test, WindowHasFixedClientAreaTitleIconAndNoCloseButton) {
    EXPECT_EQ(window.size(), QSize(346, 262));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(window.windowTitle(), "GPS Cold Start");
    EXPECT_FALSE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
    const QImage icon = window.windowIcon().pixmap(QSize(16, 16)).toImage();
    EXPECT_GT(icon.pixelColor(icon.width() / 3, icon.height() * 2 / 3).alpha(), 0);  // not blank
}

TEST_F(Form1Test, ControlsHaveTheirDesignNamesPositionsCaptionsAndFonts) {
    struct Design {
        QWidget* control;
        const char* name;
        QWidget* container;
        QRect twips;
        qreal points;
        bool bold;
    };
    const std::vector<Design> design = {
        {window.Text_Error_1, "Text_Error_1", &window, {180, 1320, 2985, 1575}, 12, true},
        {window.CmdOther, "CmdOther", &window, {3330, 3090, 1665, 645}, 11.25, false},
        {window.Com_Exit, "Com_Exit", &window, {3330, 2040, 1665, 855}, 12, false},
        {window.Cmd_Start_1, "Cmd_Start_1", &window, {3330, 270, 1695, 1545}, 14.25, true},
        {window.Frame5, "Frame5", &window, {180, 120, 2985, 1065}, 12, false},
        {window.ComPort_6, "ComPort_6", window.Frame5, {1350, 210, 1215, 405}, 12, false},
        {window.BaudRate_6, "BaudRate_6", window.Frame5, {1350, 630, 1215, 405}, 12, false},
        {window.Label2, "Label2", window.Frame5, {120, 300, 1245, 255}, 12, false},
        {window.Label3, "Label3", window.Frame5, {150, 660, 1215, 255}, 12, false},
        {window.Label1, "Label1", &window, {180, 3090, 2985, 585}, 14.25, false},
    };
    for (const Design& d : design) {
        SCOPED_TRACE(d.name);
        EXPECT_EQ(d.control->objectName(), d.name);
        EXPECT_EQ(d.control->parentWidget(), d.container);
        const QRect& t = d.twips;
        EXPECT_EQ(d.control->geometry(),
                  QRect(t.x() / 15, t.y() / 15, t.width() / 15, t.height() / 15));
        EXPECT_EQ(QFontInfo(d.control->font()).family(), "Liberation Serif");
        EXPECT_DOUBLE_EQ(d.control->font().pointSizeF(), d.points);
        EXPECT_EQ(d.control->font().bold(), d.bold);
    }
    EXPECT_EQ(window.Text_Error_1->geometry(), QRect(12, 88, 199, 105));

    EXPECT_EQ(window.Cmd_Start_1->text(), "Cold Start On/Off");
    EXPECT_EQ(window.Com_Exit->text(), "Exit");
    EXPECT_EQ(window.CmdOther->text(), " About");
    EXPECT_EQ(window.Label2->text(), QString::fromUtf8("COM Port\xEF\xBC\x9A"));  // U+FF1A
    EXPECT_EQ(window.Label3->text(), QString::fromUtf8("BaudRate\xEF\xBC\x9A"));
    EXPECT_TRUE(window.Frame5->title().isEmpty());
    EXPECT_TRUE(window.Label1->text().isEmpty());
    EXPECT_TRUE(window.Text_Error_1->toPlainText().isEmpty());
    EXPECT_EQ(window.ComPort_6->count(), 0);
    EXPECT_EQ(window.BaudRate_6->currentIndex(), -1);

    for (QTimer* timer : {window.Timer1, window.Timer_PF, window.Timer_Start, window.Timer}) {
        EXPECT_EQ(timer->parent(), &window);
        EXPECT_EQ(timer->interval(), 1000) << timer->objectName().toStdString();
    }
    EXPECT_EQ(window.findChild<QTimer*>("Timer1"), window.Timer1);
    EXPECT_EQ(window.findChild<QTimer*>("Timer_PF"), window.Timer_PF);
    EXPECT_EQ(window.findChild<QTimer*>("Timer_Start"), window.Timer_Start);
    EXPECT_EQ(window.findChild<QTimer*>("Timer"), window.Timer);
}

TEST_F(Form1Test, KeyboardOrderStartsAtTheStatusBoxAndPutsBaudRateBeforePort) {
    std::vector<QWidget*> order;
    QWidget* w = window.Text_Error_1;
    do {
        if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
        w = w->nextInFocusChain();
    } while (w != window.Text_Error_1);
    const std::vector<QWidget*> expected = {window.Text_Error_1, window.BaudRate_6,
                                            window.ComPort_6,    window.Cmd_Start_1,
                                            window.Com_Exit,     window.CmdOther};
    EXPECT_EQ(order, expected);
    for (QWidget* still :
         {static_cast<QWidget*>(window.Frame5), static_cast<QWidget*>(window.Label1),
          static_cast<QWidget*>(window.Label2), static_cast<QWidget*>(window.Label3)})
        EXPECT_EQ(still->focusPolicy(), Qt::NoFocus) << still->objectName().toStdString();
    EXPECT_EQ(window.focusWidget(), window.Text_Error_1);
}

TEST_F(Form1Test, StatusBoxIsLockedFocusableAndWithoutScrollBars) {
    QPlainTextEdit* box = window.Text_Error_1;
    window.setStatusText("Connecting");
    box->moveCursor(QTextCursor::End);
    QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
    QApplication::sendEvent(box, &key);
    EXPECT_EQ(box->toPlainText(), "Connecting");
    EXPECT_TRUE(box->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    EXPECT_EQ(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    // A long report wraps at the box's width instead of scrolling sideways.
    window.setStatusText("Cold Start fail!(1) GPS no respond. Please select another Com Port.");
    box->grab();  // lays the text out
    EXPECT_GT(box->document()->firstBlock().layout()->lineCount(), 1);
    EXPECT_EQ(box->horizontalScrollBar()->maximum(), 0);
}

TEST_F(Form1Test, StatusBoxShowsTextLiterallyBreakingLinesAtCrLf) {
    gpslink::View& view = window;
    view.setStatusText("<b>x</b>");
    EXPECT_EQ(window.Text_Error_1->toPlainText(), "<b>x</b>");

    const std::string report =
        "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
    view.setStatusText(report);
    EXPECT_EQ(view.statusText(), report);
    EXPECT_EQ(window.Text_Error_1->document()->blockCount(), 2);
    EXPECT_EQ(window.Text_Error_1->document()->firstBlock().text(), "Cold Start OK!");

    const std::string bytes("UTC Time :\xB0\0z", 13);
    view.setStatusText(bytes);
    EXPECT_EQ(view.statusText(), bytes);
    EXPECT_TRUE(window.Text_Error_1->toPlainText().startsWith(QString("UTC Time :") + QChar(0xB0)));
}

TEST_F(Form1Test, StatusBoxColoursAreButtonFaceWithBlackTextThenRedOrGreen) {
    QPlainTextEdit* box = window.Text_Error_1;
    const QPoint inside(box->width() - 6, box->height() - 6);
    EXPECT_EQ(box->palette().color(QPalette::Text), QColor(Qt::black));
    expectNear(pixel(box, inside), buttonFace());

    gpslink::View& view = window;
    view.setStatusColour(255);
    expectNear(pixel(box, inside), QColor(255, 0, 0));
    view.setStatusColour(65280);
    expectNear(pixel(box, inside), QColor(0, 255, 0));
    view.setStatusColour(gpslink::colour::ButtonFace);
    expectNear(pixel(box, inside), buttonFace());
}

TEST_F(Form1Test, StartButtonFaceTurnsGreyAndBack) {
    QPushButton* button = window.Cmd_Start_1;
    const QPoint face(8, button->height() / 2);  // beside the caption
    gpslink::View& view = window;
    view.setStartButtonColour(gpslink::colour::Grey);
    expectNear(pixel(button, face), QColor(0xAA, 0xAA, 0xAA), 1);
    view.setStartButtonColour(gpslink::colour::ButtonFace);
    expectNear(pixel(button, face), buttonFace(), 1);
}

TEST_F(Form1Test, SelectorsAreListOnlyAndReportTheirTexts) {
    window.ComPort_6->addItems({"COM 1", "COM 2", "COM 3"});
    window.BaudRate_6->addItems({"4800", "9600"});
    EXPECT_FALSE(window.ComPort_6->isEditable());
    EXPECT_TRUE(window.ComPort_6->setListText("COM 3"));
    EXPECT_TRUE(window.BaudRate_6->setListText("9600"));
    EXPECT_FALSE(window.ComPort_6->setListText("COM 7"));
    EXPECT_FALSE(window.BaudRate_6->setListText("9601"));

    const gpslink::View& view = window;
    EXPECT_EQ(view.portText(), "COM 3");
    EXPECT_EQ(view.baudText(), "9600");

    window.setSelectorColours(gpslink::colour::ButtonFace);
    for (ListSelector* selector : {window.ComPort_6, window.BaudRate_6}) {
        EXPECT_EQ(selector->palette().color(QPalette::Base), buttonFace());
        EXPECT_EQ(selector->palette().color(QPalette::Button), buttonFace());
    }
    window.setSelectorColours(gpslink::colour::WindowBackground);
    EXPECT_EQ(window.BaudRate_6->palette().color(QPalette::Base), rgb(0x80000005));
}

TEST_F(Form1Test, OnlyTimerPfRunsFromCreationAndEnablingDoesNotRestart) {
    EXPECT_FALSE(window.Timer1->isActive());
    EXPECT_TRUE(window.Timer_PF->isActive());
    EXPECT_FALSE(window.Timer_Start->isActive());
    EXPECT_FALSE(window.Timer->isActive());

    window.link().Timer_Start.setEnabled(true);
    ASSERT_TRUE(window.Timer_Start->isActive());
    QThread::msleep(400);
    window.link().Timer_Start.setEnabled(true);
    EXPECT_LT(window.Timer_Start->remainingTime(), 800);
    window.link().Timer_Start.setEnabled(false);
    EXPECT_FALSE(window.Timer_Start->isActive());
}

// A run through the real controls: press, connect tick, data, press again.
TEST_F(Form1Test, ControlsAndTicksDriveTheLink) {
    std::vector<std::pair<std::string, std::string>> saved;
    window.setSettingsWriter(
        [&](const std::string& p, const std::string& b) { saved.emplace_back(p, b); });
    window.ComPort_6->addItems({"COM 1", "COM 12"});
    window.BaudRate_6->addItems({"4800", "19200"});
    window.ComPort_6->setListText("COM 12");
    window.BaudRate_6->setListText("19200");
    window.link().setStartUpValues();
    EXPECT_EQ(window.Label1->text(), "Not connected!");

    window.Cmd_Start_1->click();
    ASSERT_TRUE(window.Timer1->isActive());
    QMetaObject::invokeMethod(window.Timer1, "timeout");  // the connect step
    EXPECT_TRUE(port->open);
    EXPECT_EQ(port->port, 12);
    EXPECT_EQ(port->line, "19200,n,8,1");
    EXPECT_EQ(saved, (decltype(saved){{"COM 12", "19200"}}));
    EXPECT_EQ(window.Label1->text(), "Connecting.....");
    EXPECT_FALSE(window.Frame5->isEnabled());
    EXPECT_FALSE(window.ComPort_6->isEnabled());
    EXPECT_EQ(window.Cmd_Start_1->palette().color(QPalette::Button), QColor(0xAA, 0xAA, 0xAA));
    EXPECT_FALSE(window.Timer1->isActive());
    EXPECT_TRUE(window.Timer->isActive());
    EXPECT_TRUE(window.Timer_PF->isActive());

    port->receive("$GPGGA,123519.000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
    EXPECT_EQ(window.Label1->text(), "Connected!");
    EXPECT_EQ(window.Text_Error_1->toPlainText(), "UTC Time :12:35:19\n");
    EXPECT_TRUE(window.Timer_Start->isActive());

    window.Cmd_Start_1->click();  // stop
    EXPECT_FALSE(port->open);
    EXPECT_TRUE(window.Frame5->isEnabled());
    EXPECT_TRUE(window.Text_Error_1->toPlainText().isEmpty());
    EXPECT_EQ(window.Cmd_Start_1->palette().color(QPalette::Button), buttonFace());
    EXPECT_EQ(window.ComPort_6->palette().color(QPalette::Base), rgb(0x80000005));
    EXPECT_FALSE(window.Timer->isActive() || window.Timer_Start->isActive() ||
                 window.Timer1->isActive());
}

TEST_F(Form1Test, AboutOpensOneAboutWindow) {
    EXPECT_EQ(window.aboutWindow(), nullptr);
    window.CmdOther->click();
    Form5* about = window.aboutWindow();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    window.CmdOther_Click();
    EXPECT_EQ(window.aboutWindow(), about);
}

TEST_F(Form1Test, OnlyExitClosesTheWindowAndEndsTheProgram) {
    window.show();
    EXPECT_FALSE(window.close());
    QCloseEvent event;
    QApplication::sendEvent(&window, &event);
    EXPECT_FALSE(event.isAccepted());
    EXPECT_TRUE(window.isVisible());

    QTimer::singleShot(0, window.Com_Exit, &QPushButton::click);
    QTimer safetyNet;
    safetyNet.setSingleShot(true);
    QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    safetyNet.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.Timer_PF->isActive());
}

}  // namespace
