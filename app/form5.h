// The About window: version, date, maker, a picture and an OK button.  While
// it is open the main window is disabled; OK or Esc closes it and destroys it,
// and nothing else can close it.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

class Form5 : public QWidget {
    Q_OBJECT
public:
    // mainWindow is disabled while this window is open; it is not the owner.
    explicit Form5(QWidget* mainWindow);

    // Controls, named as designed (also their object names).
    QPushButton* Command1 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label1 = nullptr;

    // OK: enables the main window again, then closes and destroys this window.
    void Command1_Click();
    // A character typed on the OK button; Esc (27) acts as OK, others do nothing.
    void Command1_KeyPress(int keyAscii);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();

    QPointer<QWidget> mainWindow_;
    bool unloading_ = false;
};
