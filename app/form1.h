// The main window: the controls, and the wiring from their events to the
// link.  The window itself decides nothing; the link's handlers do.
#pragma once

#include <QColor>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/listselector.h"
#include "gpslink/link.h"
#include "gpslink/serialport.h"
#include "gpslink/view.h"

class Form5;
namespace gpslink {
class LinkClock;
}
class QPalette;

// The colour a 0x00BBGGRR value stands for, or for 0x800000nn the system
// colour nn as the given palette has it (button face, window background,
// the text colours).
QColor toQColor(gpslink::Colour colour, const QPalette& palette);

class Form1 : public QWidget, public gpslink::View {
    Q_OBJECT
public:
    // The window uses the given serial line, or a real port when none is given.
    explicit Form1(std::unique_ptr<gpslink::SerialPort> port = nullptr, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, named as designed (also their object names).
    QPlainTextEdit* Text_Error_1 = nullptr;
    QPushButton* CmdOther = nullptr;
    QPushButton* Com_Exit = nullptr;
    QPushButton* Cmd_Start_1 = nullptr;
    QGroupBox* Frame5 = nullptr;
    ListSelector* ComPort_6 = nullptr;
    ListSelector* BaudRate_6 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer_PF = nullptr;
    QTimer* Timer_Start = nullptr;
    QTimer* Timer = nullptr;

    gpslink::SerialPort& MSComm1() { return *port_; }
    gpslink::Link& link() { return *link_; }

    // Where the port and baud texts of a connection that got through are
    // saved; nothing is saved until it is set.
    void setSettingsWriter(
        std::function<void(const std::string& port, const std::string& baud)> writer);

    // The About window while it is open, else null.
    Form5* aboutWindow() const;

    // gpslink::View
    std::string statusText() const override;
    void setStatusText(std::string_view text) override;
    void setStatusColour(gpslink::Colour colour) override;
    void setLabelCaption(std::string_view caption) override;
    void setStartButtonColour(gpslink::Colour colour) override;
    std::string portText() const override;
    std::string baudText() const override;
    void setSelectorColours(gpslink::Colour colour) override;
    void setFrameEnabled(bool enabled) override;

    // Closes the window for good; the only way it closes.
    void unload();

    // " About".
    void CmdOther_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<gpslink::SerialPort> port_;
    std::unique_ptr<gpslink::Link> link_;
    std::unique_ptr<gpslink::LinkClock> clock_;  // goes before the link and the port
    std::function<void(const std::string&, const std::string&)> writeSettings_;
    std::string statusText_;
    QPointer<Form5> about_;
    bool unloading_ = false;
};
