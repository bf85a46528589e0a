// The main window: its design values, and that each control reaches the link.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QKeyEvent>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <vector>

#include "app/form1.h"
#include "fakes.h"

namespace {

using gpslink::Colour;
namespace colour = gpslink::colour;

QColor buttonFace() {
    return QApplication::palette().color(QPalette::Button);
}

class Form1Test : public ::testing::Test {
protected:
    Form1Test()
        : port(new gpslink::testing::FakeSerialPort),
          window(std::unique_ptr<gpslink::SerialPort>(port)) {}

    // The colour the user sees at a point of a control, each part within tolerance.
    static void expectShows(QWidget* w, QPoint at, const QColor& wanted, int tolerance = 0) {
        const QColor seen = w->grab().toImage().pixelColor(at * w->devicePixelRatioF());
        for (int d : {seen.red() - wanted.red(), seen.green() - wanted.green(),
                      seen.blue() - wanted.blue()})
            EXPECT_LE(std::abs(d), tolerance) << seen.name().toStdString();
    }

    gpslink::testing::FakeSerialPort* port;
    Form1 window;
    gpslink::View& view = window;
};

TEST(ColourValues, FixedColoursAreBgrAndSystemColoursComeFromThePalette) {
    QPalette palette;
    palette.setColor(QPalette::Button, QColor(1, 2, 3));
    palette.setColor(QPalette::Base, QColor(4, 5, 6));
    const std::pair<Colour, QColor> table[] = {
        {0x00332211, QColor(0x11, 0x22, 0x33)}, {colour::Red, QColor(255, 0, 0)},
        {colour::Green, QColor(0, 255, 0)},     {colour::Grey, QColor(0xAA, 0xAA, 0xAA)},
        {colour::ButtonFace, QColor(1, 2, 3)},  {colour::WindowBackground, QColor(4, 5, 6)},
    };
    for (const auto& [value, wanted] : table) EXPECT_EQ(toQColor(value, palette), wanted) << value;
}

TEST_F(Form1Test, WindowAndControlsHaveTheirDesignValues) {
    EXPECT_EQ(window.size(), QSize(346, 262));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(window.windowTitle(), "GPS Cold Start");
    EXPECT_FALSE(window.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint));
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
    const QImage icon = window.windowIcon().pixmap(QSize(16, 16)).toImage();
    EXPECT_GT(icon.pixelColor(icon.width() / 3, icon.height() * 2 / 3).alpha(), 0) << "blank";

    const struct {
        QWidget* control;
        const char* name;
        QWidget* container;
        QRect twips;
        qreal points;
        bool bold;
    } design[] = {
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
    for (const auto& d : design) {
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
    EXPECT_EQ(window.Cmd_Start_1->text(), "Cold Start On/Off");
    EXPECT_EQ(window.Com_Exit->text(), "Exit");
    EXPECT_EQ(window.CmdOther->text(), " About");
    EXPECT_EQ(window.Label2->text(), QString::fromUtf8("COM Port\xEF\xBC\x9A"));  // U+FF1A
    EXPECT_EQ(window.Label3->text(), QString::fromUtf8("BaudRate\xEF\xBC\x9A"));
    EXPECT_TRUE(window.Frame5->title().isEmpty() && window.Label1->text().isEmpty());
    for (QTimer* timer : {window.Timer1, window.Timer_PF, window.Timer_Start, window.Timer})
        EXPECT_EQ(timer->interval(), 1000) << timer->objectName().toStdString();
}

TEST_F(Form1Test, KeyboardOrderStartsAtTheStatusBoxAndPutsBaudRateBeforePort) {
    std::vector<QWidget*> order;
    QWidget* w = window.Text_Error_1;
    do {
        if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
        w = w->nextInFocusChain();
    } while (w != window.Text_Error_1);
    EXPECT_EQ(order,
              (std::vector<QWidget*>{window.Text_Error_1, window.BaudRate_6, window.ComPort_6,
                                     window.Cmd_Start_1, window.Com_Exit, window.CmdOther}));
    EXPECT_EQ(window.focusWidget(), window.Text_Error_1);
}

// Read-only plain text, CR LF a line break, wrapped without scroll bars.
TEST_F(Form1Test, StatusBoxShowsLockedPlainTextWithoutScrollBars) {
    QPlainTextEdit* box = window.Text_Error_1;
    view.setStatusText("<b>x</b>");
    box->moveCursor(QTextCursor::End);
    QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
    QApplication::sendEvent(box, &key);
    EXPECT_EQ(box->toPlainText(), "<b>x</b>");

    const std::string report =
        "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!";
    view.setStatusText(report);
    EXPECT_EQ(view.statusText(), report);
    EXPECT_EQ(box->document()->blockCount(), 2);
    EXPECT_EQ(box->document()->firstBlock().text(), "Cold Start OK!");
    box->grab();  // lays the text out
    EXPECT_GT(box->document()->lastBlock().layout()->lineCount(), 1) << "not wrapped";
    EXPECT_EQ(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    const std::string bytes("UTC Time :\xB0\0z", 13);
    view.setStatusText(bytes);
    EXPECT_EQ(view.statusText(), bytes);
    EXPECT_TRUE(box->toPlainText().startsWith(QString("UTC Time :") + QChar(0xB0)));
}

TEST_F(Form1Test, StatusBoxAndStartButtonShowTheirColours) {
    QPlainTextEdit* box = window.Text_Error_1;
    const QPoint inside(box->width() - 6, box->height() - 6);
    EXPECT_EQ(box->palette().color(QPalette::Text), QColor(Qt::black));
    expectShows(box, inside, buttonFace());
    const std::pair<Colour, QColor> steps[] = {
        {255, QColor(255, 0, 0)}, {65280, QColor(0, 255, 0)}, {colour::ButtonFace, buttonFace()}};
    for (const auto& [value, wanted] : steps) {
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
TEST_F(Form1Test, ControlsAndTimersDriveTheLink) {
    EXPECT_FALSE(window.Timer1->isActive() || window.Timer_Start->isActive() ||
                 window.Timer->isActive());
    EXPECT_TRUE(window.Timer_PF->isActive());
    std::vector<std::pair<std::string, std::string>> saved;
    window.setSettingsWriter(
        [&](const std::string& p, const std::string& b) { saved.emplace_back(p, b); });
    window.ComPort_6->addItems({"COM 1", "COM 12"});
    window.BaudRate_6->addItems({"4800", "19200"});
    EXPECT_FALSE(window.ComPort_6->isEditable() || window.BaudRate_6->isEditable());
    EXPECT_FALSE(window.ComPort_6->setListText("COM 7") || window.BaudRate_6->setListText("9601"));
    ASSERT_TRUE(window.ComPort_6->setListText("COM 12") && window.BaudRate_6->setListText("19200"));
    EXPECT_EQ(view.portText() + "," + view.baudText(), "COM 12,19200");
    window.link().setStartUpValues();

    window.Cmd_Start_1->click();
    ASSERT_TRUE(window.Timer1->isActive());
    QMetaObject::invokeMethod(window.Timer1, "timeout");  // the connect step
    EXPECT_TRUE(port->open);
    EXPECT_EQ(port->number, 12);
    EXPECT_EQ(port->lineSettings, "19200,n,8,1");
    EXPECT_EQ(saved, (decltype(saved){{"COM 12", "19200"}}));
    EXPECT_EQ(window.Label1->text(), "Connecting.....");
    EXPECT_FALSE(window.Frame5->isEnabled());
    EXPECT_EQ(window.BaudRate_6->palette().color(QPalette::Base), buttonFace());
    EXPECT_FALSE(window.Timer1->isActive());
    EXPECT_TRUE(window.Timer->isActive() && window.Timer_PF->isActive());

    port->receive("$GPGGA,123519.000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
    EXPECT_EQ(window.Text_Error_1->toPlainText(), "UTC Time :12:35:19\n");
    ASSERT_TRUE(window.Timer_Start->isActive());
    window.Timer_Start->stop();  // a restart would show as running again
    window.link().Timer_Start.setEnabled(true);
    EXPECT_FALSE(window.Timer_Start->isActive()) << "enabling again restarted the interval";

    window.Cmd_Start_1->click();  // stop
    EXPECT_FALSE(port->open);
    EXPECT_TRUE(window.Frame5->isEnabled());
    EXPECT_TRUE(window.Text_Error_1->toPlainText().isEmpty());
    EXPECT_FALSE(window.Timer->isActive() || window.Timer_Start->isActive() ||
                 window.Timer1->isActive());
}

TEST_F(Form1Test, OnlyExitClosesTheWindowAndEndsTheProgram) {
    window.show();
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isVisible());

    QTimer::singleShot(0, window.Com_Exit, &QPushButton::click);
    QTimer::singleShot(5000, &window, [] { QCoreApplication::exit(99); });  // a safety net
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
