#include "app/form1.h"

#include "gpslink/linkclock.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "app/appicon.h"
#include "app/form5.h"
#include "gpslink/qtserialport.h"

namespace {

// Design positions and sizes are in twips, 15 to the pixel.
QRect twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QFont timesNewRoman(qreal pointSize, bool bold = false) {
    QFont font(QStringLiteral("Times New Roman"));
    font.setStyleHint(QFont::Serif);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QString latin1(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

// A push button whose caption wraps at word boundaries, as a caption too wide
// for the face ("Cold Start On/Off" at 14.25 pt) has to.  A graphical button
// paints its face flat in exactly its back colour (the palette's Button
// colour), where a style would shade it.
class CaptionButton : public QPushButton {
public:
    CaptionButton(const QString& caption, bool graphical, QWidget* parent)
        : QPushButton(caption, parent), graphical_(graphical) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        painter.drawControl(QStyle::CE_PushButtonBevel, option);
        if (graphical_) {
            QColor face = palette().color(QPalette::Button);
            if (isDown()) face = face.darker(110);
            painter.fillRect(rect().adjusted(2, 2, -2, -2), face);
        }

        const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this) / 2 + 2;
        QRect textRect = rect().adjusted(margin, margin, -margin, -margin);
        if (isDown()) {
            textRect.translate(
                style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
        }
        painter.drawItemText(textRect, Qt::AlignCenter | Qt::TextWordWrap, palette(), isEnabled(),
                             text(), QPalette::ButtonText);

        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.rect = style()->subElementRect(QStyle::SE_PushButtonFocusRect, &option, this);
            painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
        }
    }

    // Enter and keypad Enter press the focused button, as Space does: the
    // focused push button is the window's default one.
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
            !event->isAutoRepeat()) {
            click();
            return;
        }
        QPushButton::keyPressEvent(event);
    }

private:
    bool graphical_;
};

QLabel* makeLabel(const QString& caption, QWidget* parent, const QRect& geometry, qreal points,
                  bool wordWrap) {
    auto* label = new QLabel(caption, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(wordWrap);
    label->setFont(timesNewRoman(points));
    label->setGeometry(geometry);
    return label;
}

}  // namespace

QColor toQColor(gpslink::Colour colour, const QPalette& palette) {
    if (colour & 0x80000000u) {
        switch (colour & 0xFFu) {
            case 5:
                return palette.color(QPalette::Base);  // window background
            case 8:
                return palette.color(QPalette::Text);  // window text
            case 13:
                return palette.color(QPalette::Highlight);  // highlight
            case 14:
                return palette.color(QPalette::HighlightedText);
            case 15:
                return palette.color(QPalette::Button);  // button face
            case 18:
                return palette.color(QPalette::ButtonText);  // button text
            default:
                return palette.color(QPalette::Window);
        }
    }
    return QColor(int(colour & 0xFFu), int((colour >> 8) & 0xFFu), int((colour >> 16) & 0xFFu));
}

Form1::Form1(std::unique_ptr<gpslink::SerialPort> port, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                          Qt::CustomizeWindowHint),
      port_(std::move(port)) {
    // Linux has no Times New Roman; Liberation Serif has the same metrics.
    QFont::insertSubstitution(QStringLiteral("Times New Roman"),
                              QStringLiteral("Liberation Serif"));
    if (!port_) port_ = std::make_unique<gpslink::QtSerialPort>();

    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("GPS Cold Start"));
    setWindowIcon(appIcon());
    setFixedSize(346, 262);

    // The controls, in the order the window has always created them.
    Text_Error_1 = new QPlainTextEdit(this);
    Text_Error_1->setObjectName(QStringLiteral("Text_Error_1"));
    Text_Error_1->setGeometry(twips(180, 1320, 2985, 1575));
    Text_Error_1->setFont(timesNewRoman(12, true));
    Text_Error_1->setReadOnly(true);
    Text_Error_1->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    Text_Error_1->setFocusPolicy(Qt::StrongFocus);
    Text_Error_1->setTabChangesFocus(true);
    Text_Error_1->setUndoRedoEnabled(false);
    Text_Error_1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text_Error_1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Text_Error_1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text_Error_1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    CmdOther = new CaptionButton(QStringLiteral(" About"), true, this);
    CmdOther->setObjectName(QStringLiteral("CmdOther"));
    CmdOther->setGeometry(twips(3330, 3090, 1665, 645));
    CmdOther->setFont(timesNewRoman(11.25));

    Com_Exit = new CaptionButton(QStringLiteral("Exit"), false, this);
    Com_Exit->setObjectName(QStringLiteral("Com_Exit"));
    Com_Exit->setGeometry(twips(3330, 2040, 1665, 855));
    Com_Exit->setFont(timesNewRoman(12));

    Cmd_Start_1 = new CaptionButton(QStringLiteral("Cold Start On/Off"), true, this);
    Cmd_Start_1->setObjectName(QStringLiteral("Cmd_Start_1"));
    Cmd_Start_1->setGeometry(twips(3330, 270, 1695, 1545));
    Cmd_Start_1->setFont(timesNewRoman(14.25, true));

    Frame5 = new QGroupBox(this);
    Frame5->setObjectName(QStringLiteral("Frame5"));
    Frame5->setGeometry(twips(180, 120, 2985, 1065));
    Frame5->setFont(timesNewRoman(12));

    ComPort_6 = new ListSelector(Frame5);
    ComPort_6->setObjectName(QStringLiteral("ComPort_6"));
    ComPort_6->setGeometry(twips(1350, 210, 1215, 405));
    ComPort_6->setFont(timesNewRoman(12));

    BaudRate_6 = new ListSelector(Frame5);
    BaudRate_6->setObjectName(QStringLiteral("BaudRate_6"));
    BaudRate_6->setGeometry(twips(1350, 630, 1215, 405));
    BaudRate_6->setFont(timesNewRoman(12));

    // Both captions end in a fullwidth colon; each is one line high.
    Label2 =
        makeLabel(QStringLiteral("COM Port\uFF1A"), Frame5, twips(120, 300, 1245, 255), 12, false);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label3 =
        makeLabel(QStringLiteral("BaudRate\uFF1A"), Frame5, twips(150, 660, 1215, 255), 12, false);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label1 = makeLabel(QString(), this, twips(180, 3090, 2985, 585), 14.25, true);
    Label1->setObjectName(QStringLiteral("Label1"));

    // Keyboard order: the status box, baud rate before port, then the buttons.
    // The frame and the labels take no focus.
    QWidget::setTabOrder(Text_Error_1, BaudRate_6);
    QWidget::setTabOrder(BaudRate_6, ComPort_6);
    QWidget::setTabOrder(ComPort_6, Cmd_Start_1);
    QWidget::setTabOrder(Cmd_Start_1, Com_Exit);
    QWidget::setTabOrder(Com_Exit, CmdOther);
    Text_Error_1->setFocus();

    // Colours at creation: the status box has the button face and black
    // text, the selectors the window background.
    QPalette statusPalette = Text_Error_1->palette();
    statusPalette.setColor(QPalette::Text, Qt::black);
    Text_Error_1->setPalette(statusPalette);
    setStatusColour(gpslink::colour::ButtonFace);
    setStartButtonColour(gpslink::colour::ButtonFace);
    setSelectorColours(gpslink::colour::WindowBackground);

    gpslink::LinkHooks hooks;
    hooks.WriteSettingsFile = [this](const std::string& port, const std::string& baud) {
        if (writeSettings_) writeSettings_(port, baud);
    };
    hooks.unload = [this] {
        unload();
        // At once, even if some other window would refuse to close.
        QCoreApplication::exit(0);
    };
    link_ = std::make_unique<gpslink::Link>(*this, *port_, std::move(hooks));

    clock_ = std::make_unique<gpslink::LinkClock>(*link_, *port_, this);
    Timer1 = clock_->Timer1;
    Timer_PF = clock_->Timer_PF;
    Timer_Start = clock_->Timer_Start;
    Timer = clock_->Timer;
    gpslink::Link* link = link_.get();

    connect(Cmd_Start_1, &QPushButton::clicked, this, [link] { link->Cmd_Start_1_Click(); });
    connect(Com_Exit, &QPushButton::clicked, this, [link] { link->Com_Exit_Click(); });
    connect(CmdOther, &QPushButton::clicked, this, &Form1::CmdOther_Click);
}

Form1::~Form1() {
    clock_.reset();
    delete about_;
}

void Form1::setSettingsWriter(
    std::function<void(const std::string& port, const std::string& baud)> writer) {
    writeSettings_ = std::move(writer);
}

Form5* Form1::aboutWindow() const {
    return about_ && about_->isVisible() ? about_.data() : nullptr;
}

std::string Form1::statusText() const {
    return statusText_;
}

void Form1::setStatusText(std::string_view text) {
    statusText_.assign(text.data(), text.size());
    // CR LF breaks a line; a lone CR or LF stays a character.
    Text_Error_1->setPlainText(latin1(text).replace(QLatin1String("\r\n"), QLatin1String("\n")));
}

void Form1::setStatusColour(gpslink::Colour colour) {
    QPalette palette = Text_Error_1->palette();
    palette.setColor(QPalette::Base, toQColor(colour, QApplication::palette()));
    Text_Error_1->setPalette(palette);
}

void Form1::setLabelCaption(std::string_view caption) {
    Label1->setText(latin1(caption));
}

void Form1::setStartButtonColour(gpslink::Colour colour) {
    QPalette palette = Cmd_Start_1->palette();
    palette.setColor(QPalette::Button, toQColor(colour, QApplication::palette()));
    Cmd_Start_1->setPalette(palette);
}

std::string Form1::portText() const {
    return ComPort_6->currentText().toLatin1().toStdString();
}

std::string Form1::baudText() const {
    return BaudRate_6->currentText().toLatin1().toStdString();
}

void Form1::setSelectorColours(gpslink::Colour colour) {
    const QColor background = toQColor(colour, QApplication::palette());
    for (ListSelector* selector : {ComPort_6, BaudRate_6}) {
        QPalette palette = selector->palette();
        palette.setColor(QPalette::Base, background);
        palette.setColor(QPalette::Button, background);
        selector->setPalette(palette);
    }
}

void Form1::setFrameEnabled(bool enabled) {
    Frame5->setEnabled(enabled);
}

void Form1::unload() {
    unloading_ = true;
    // The window's timers and its serial notification go with it.
    clock_.reset();
    if (about_) about_->hide();
    close();
}

void Form1::CmdOther_Click() {
    if (!about_) about_ = new Form5(this);
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void Form1::closeEvent(QCloseEvent* event) {
    // No Close from the title bar or the window manager: only "Exit" ends it.
    if (unloading_)
        event->accept();
    else
        event->ignore();
}
