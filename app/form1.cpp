#include "app/form1.h"

#include <QCloseEvent>

#include "app/form5.h"
#include "gpslink/qtserialport.h"

Form1::Form1(std::unique_ptr<gpslink::SerialPort> port, QWidget* parent)
    : QWidget(parent), port_(std::move(port)) {
    if (!port_) port_ = std::make_unique<gpslink::QtSerialPort>();
    Text_Error_1 = new QPlainTextEdit(this);
    Frame5 = new QGroupBox(this);
    ComPort_6 = new ListSelector(Frame5);
    BaudRate_6 = new ListSelector(Frame5);
    Label1 = new QLabel(this);
    link_ = std::make_unique<gpslink::Link>(*this, *port_);
}

Form1::~Form1() = default;

Form5* Form1::aboutWindow() const { return about_; }
std::string Form1::statusText() const { return statusText_; }
void Form1::setStatusText(std::string_view text) {
    statusText_.assign(text.data(), text.size());
    Text_Error_1->setPlainText(QString::fromLatin1(text.data(), int(text.size())));
}
void Form1::setStatusColour(gpslink::Colour) {}
void Form1::setLabelCaption(std::string_view caption) {
    Label1->setText(QString::fromLatin1(caption.data(), int(caption.size())));
}
void Form1::setStartButtonColour(gpslink::Colour) {}
std::string Form1::portText() const { return ComPort_6->currentText().toStdString(); }
std::string Form1::baudText() const { return BaudRate_6->currentText().toStdString(); }
void Form1::setSelectorColours(gpslink::Colour) {}
void Form1::setFrameEnabled(bool enabled) { Frame5->setEnabled(enabled); }
void Form1::unload() {
    unloading_ = true;
    close();
}
void Form1::CmdOther_Click() {}
void Form1::closeEvent(QCloseEvent* event) {
    if (unloading_)
        event->accept();
    else
        event->ignore();
}
