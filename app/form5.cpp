#include "app/form5.h"

#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>

#include "app/aboutpicture.h"

namespace {

// The face every caption is designed in.  It is a Windows face, so on systems
// without it the captions fall back to a Ming face of the same style.
const QString kFace = QStringLiteral("新細明體");
const QString kMingFace = QStringLiteral("AR PL UMing TW");

void registerFaceSubstitute() {
    if (!QFont::substitutes(kFace).contains(kMingFace)) QFont::insertSubstitution(kFace, kMingFace);
}

QFont designFont(qreal points, bool bold = false, bool italic = false) {
    QFont font(kFace);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

// Design positions are in twips; 15 twips make one pixel at 96 dpi.
QRect twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& box,
                  const QFont& font) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(box);
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

Form5::Form5(QWidget* mainWindow) : QWidget(nullptr), mainWindow_(mainWindow) {
    registerFaceSubstitute();
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QStringLiteral("關於"));
    // A title bar without a close button: the window closes through OK or Esc only.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
    setFixedSize(twips(0, 0, 6390, 4755).size());

    Command1 = new QPushButton(QStringLiteral("確     定"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twips(2520, 4095, 1335, 495));
    Command1->setFont(designFont(12, true));

    Frame1 = new QGroupBox(QStringLiteral("Version 2.0"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twips(240, 150, 5880, 3765));
    Frame1->setFont(designFont(12));

    Label3 = makeLabel(Frame1, "Label3", QStringLiteral("2006/6/29"), twips(2460, 2820, 2115, 330),
                       designFont(12));
    Label5 = makeLabel(Frame1, "Label5", QStringLiteral("Design: Bench test team"),
                       twips(1500, 1995, 2985, 330), designFont(12));
    Label4 = makeLabel(Frame1, "Label4", QStringLiteral("產品測試用"), twips(2415, 2415, 1380, 330),
                       designFont(12));

    Image1 = new QLabel(Frame1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips(315, 525, 1725, 1215));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setPixmap(aboutPicture());

    Label2 = makeLabel(Frame1, "Label2", QStringLiteral("§ All rights reserved §"),
                       twips(1590, 3210, 2805, 315), designFont(12));
    Label1 = makeLabel(Frame1, "Label1", QStringLiteral("GPS Test Tools"),
                       twips(2205, 840, 3375, 480), designFont(15.75, true, true));

    connect(Command1, &QPushButton::clicked, this, &Form5::Command1_Click);
    Command1->installEventFilter(this);
    Command1->setFocus();

    Form_Load();
}

void Form5::Form_Load() {
    if (mainWindow_) mainWindow_->setEnabled(false);
    // Centred over the main window, where the user was looking.
    if (mainWindow_ && mainWindow_->isVisible())
        move(mainWindow_->frameGeometry().center() - rect().center());
}

void Form5::Command1_Click() {
    if (unloading_) return;
    if (mainWindow_) mainWindow_->setEnabled(true);
    unloading_ = true;
    close();
    deleteLater();
}

void Form5::Command1_KeyPress(int keyAscii) {
    if (keyAscii == 27) Command1_Click();
}

bool Form5::eventFilter(QObject* watched, QEvent* event) {
    if (watched != Command1 || event->type() != QEvent::KeyPress) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    // Enter presses the focused button, as a click does; a plain (non-dialog)
    // push button would otherwise ignore it.
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        Command1->click();
        return true;
    }
    // The character typed; Esc counts as 27 even where the platform gives it no text.
    int code = key->key() == Qt::Key_Escape ? 27 : 0;
    if (code == 0 && key->text().size() == 1) code = key->text().at(0).unicode();
    if (code != 0) Command1_KeyPress(code);
    return false;
}

void Form5::closeEvent(QCloseEvent* event) {
    // Only OK and Esc close the window; the window manager's requests are refused.
    if (unloading_)
        event->accept();
    else
        event->ignore();
}
