#include "app/startup.h"

#include <QMessageBox>
#include <optional>

#include "app/form1.h"
#include "app/settingsfile.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// Reads the saved texts: makes the file writable again, then reads it.
std::optional<SettingsTexts> ReadSettingsFile() {
    normaliseSettingsFileAttributes();
    return readSettingsFile();
}

bool selectSaved(Form1& form, const SettingsTexts& texts) {
    return form.ComPort_6->setListText(
               QString::fromLatin1(texts.port.data(), int(texts.port.size()))) &&
           form.BaudRate_6->setListText(
               QString::fromLatin1(texts.baud.data(), int(texts.baud.size())));
}

void removeCloseCommand(QWidget& window) {
#ifdef Q_OS_WIN
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(window.winId()), FALSE);
    DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND);
#endif
    // Elsewhere the title bar is built without a close button and the window
    // turns down close requests that do not come from "Exit".
    window.setWindowFlag(Qt::WindowCloseButtonHint, false);
}

}  // namespace

void showMissingFileMessageBox() {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("File lose....."),
                    QStringLiteral("Can't find the \"Set.txt\" file, now make a new!"),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void Form_Load(Form1& form, const StartupHooks& hooks) {
    gpslink::Link& link = form.link();
    removeCloseCommand(form);

    std::optional<SettingsTexts> saved = ReadSettingsFile();

    for (int n = 1; n <= 101; ++n) form.ComPort_6->addItem(QStringLiteral("COM %1").arg(n));
    for (int k = 0; k <= 4; ++k) form.BaudRate_6->addItem(QString::number(1200 << k));
    for (int k = 0; k <= 4; ++k) form.BaudRate_6->addItem(QString::number(57600 << k));

    // A file that is missing, unreadable, short of a field, or holding a text
    // the selectors do not offer is replaced by the default one.  If even
    // that cannot be written, start-up still goes on with the defaults.
    if (!saved || !selectSaved(form, *saved)) {
        if (hooks.showMissingFileMessage) hooks.showMissingFileMessage();
        WriteSettingsFile(kDefaultSettings.port, kDefaultSettings.baud);
        selectSaved(form, kDefaultSettings);
    }

    link.setStartUpValues();
    form.Text_Error_1->setReadOnly(true);

    // Fade in, without pausing between the steps.
    form.hide();
    for (int alpha : {0, 60, 120, 180, 240, 255}) {
        form.setWindowOpacity(alpha / 255.0);
        form.show();
        form.repaint();
    }
}
