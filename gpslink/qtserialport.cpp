#include "gpslink/qtserialport.h"

namespace gpslink {

QString deviceForPort(int) { return {}; }

QtSerialPort::QtSerialPort(QObject* parent) : QObject(parent) {}
QtSerialPort::~QtSerialPort() = default;
bool QtSerialPort::setCommPort(int) { return false; }
int QtSerialPort::commPort() const { return commPort_; }
bool QtSerialPort::setSettings(std::string_view) { return false; }
std::string QtSerialPort::settings() const { return settings_; }
bool QtSerialPort::setPortOpen(bool) { return false; }
bool QtSerialPort::portOpen() const { return false; }
void QtSerialPort::discardInput() {}
std::string QtSerialPort::input() { return {}; }
void QtSerialPort::output(std::string_view) {}
void QtSerialPort::setDeviceOverride(const QString& path) { deviceOverride_ = path; }
void QtSerialPort::onReadyRead() {}
void QtSerialPort::onError(QSerialPort::SerialPortError) {}

}  // namespace gpslink
