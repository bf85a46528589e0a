#include "gpslink/qtserialport.h"

#include <QByteArray>
#include <QMetaObject>
#include <algorithm>

#if defined(Q_OS_UNIX)
#include <poll.h>
#include <sys/ioctl.h>
#endif

namespace gpslink {

namespace {

constexpr int kFirstPort = 1;   // COM 1
constexpr int kLastPort = 101;  // highest number the port selector offers

// Whether the device behind an open port has hung up: its far end closed or
// the adapter was pulled out.  QSerialPort reports the empty read that follows
// as a resource error or as a read error, depending on what errno last held.
bool deviceHungUp(QSerialPort& serial) {
#if defined(Q_OS_UNIX)
    pollfd device{static_cast<int>(serial.handle()), POLLIN, 0};
    return ::poll(&device, 1, 0) == 1 && (device.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    Q_UNUSED(serial);
    return false;
#endif
}

}  // namespace

QString deviceForPort(int number) {
    if (number < kFirstPort || number > kLastPort) return {};
#if defined(Q_OS_WIN)
    return QStringLiteral("COM%1").arg(number);
#elif defined(Q_OS_LINUX)
    // Blocks of 32 numbers per device family, in the order below.
    struct Family {
        int first;         // first port number of the block
        int count;         // devices in the block
        const char* stem;  // device path without the index
    };
    static constexpr Family kFamilies[] = {
        {1, 32, "/dev/ttyS"},     // on-board UARTs
        {33, 32, "/dev/ttyUSB"},  // USB serial adapters
        {65, 32, "/dev/ttyACM"},  // USB CDC receivers
        {97, 5, "/dev/ttyAMA"},   // ARM board UARTs
    };
    for (const Family& family : kFamilies) {
        const int index = number - family.first;
        if (index >= 0 && index < family.count)
            return QLatin1String(family.stem) + QString::number(index);
    }
    return {};
#else
    return {};
#endif
}

QtSerialPort::QtSerialPort(QObject* parent) : QObject(parent) {
    connect(&serial_, &QSerialPort::readyRead, this, &QtSerialPort::onReadyRead);
    connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialPort::onError);
    connect(&serial_, &QSerialPort::bytesWritten, this, [this] {
        if (serial_.bytesToWrite() == 0) emit allWritten();
    });
}

QtSerialPort::~QtSerialPort() {
    // The port closes before this object is gone: nothing may reach the handlers then.
    disconnect(&serial_, nullptr, this, nullptr);
    serial_.close();
}

bool QtSerialPort::setCommPort(int number) {
    if (portOpen() || deviceForPort(number).isEmpty()) return false;
    commPort_ = number;
    return true;
}

bool QtSerialPort::setSettings(std::string_view lineSettings) {
    const int rate = baudRateOf(lineSettings);
    if (rate == 0) return false;
    if (rate != baudRateOf(settings_)) closeNow();
    if (serial_.isOpen() && !serial_.setBaudRate(rate)) return false;
    settings_.assign(lineSettings.data(), lineSettings.size());
    return true;
}

std::string QtSerialPort::settings() const {
    return settings_;
}

bool QtSerialPort::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return true;
    }
    if (portOpen()) return false;
    const QString device = deviceOverride_.isEmpty() ? deviceForPort(commPort_) : deviceOverride_;
    if (device.isEmpty()) return false;
    if (closing_ && device == openDevice_) {  // still open, as it is wanted
        closing_ = false;
        ++session_;
        discardInput();
        return true;
    }
    closeNow();

    serial_.setPortName(device);
    serial_.setBaudRate(baudRateOf(settings_));
    serial_.setDataBits(QSerialPort::Data8);
    serial_.setParity(QSerialPort::NoParity);
    serial_.setStopBits(QSerialPort::OneStop);
    serial_.setFlowControl(QSerialPort::NoFlowControl);
    if (!serial_.open(QIODevice::ReadWrite)) return false;
    openDevice_ = device;
    ++session_;
    return true;
}

bool QtSerialPort::portOpen() const {
    return serial_.isOpen() && !closing_;
}

void QtSerialPort::discardInput() {
    if (!portOpen()) return;
    // What QSerialPort has already fetched from the device, then what the
    // device still holds.
    serial_.readAll();
    serial_.clear(QSerialPort::Input);
}

// Everything QSerialPort has fetched from the device, copied once.  (readAll
// would take its buffer's block and grow it by another before handing it out,
// so each notification would cost two large allocations and a copy more.)
std::string QtSerialPort::input() {
    if (!portOpen()) return {};
    std::string bytes(static_cast<std::size_t>(serial_.bytesAvailable()), '\0');
    const qint64 read = bytes.empty() ? 0 : serial_.read(bytes.data(), qint64(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<qint64>(read, 0)));
    return bytes;
}

void QtSerialPort::output(std::string_view text) {
    if (!portOpen() || text.empty()) return;
    serial_.write(text.data(), static_cast<qint64>(text.size()));
}

// QSerialPort reads the device whenever its read notifier, a child of it,
// fires.  Should a later Qt keep it elsewhere, there is nothing to hold and
// the device is read as before.
QSocketNotifier* QtSerialPort::readNotifier() {
    if (readNotifier_ && readNotifier_->socket() == serial_.handle()) return readNotifier_;
    readNotifier_ = nullptr;
    for (QSocketNotifier* notifier :
         serial_.findChildren<QSocketNotifier*>(Qt::FindDirectChildrenOnly))
        if (notifier->type() == QSocketNotifier::Read && notifier->socket() == serial_.handle())
            readNotifier_ = notifier;
    return readNotifier_;
}

void QtSerialPort::setInputHeld(bool held) {
    if (!serial_.isOpen()) return;
    if (QSocketNotifier* notifier = readNotifier()) notifier->setEnabled(!held);
}

bool QtSerialPort::deviceHasInput() const {
#if defined(Q_OS_UNIX)
    int waiting = 0;
    return serial_.isOpen() && ::ioctl(int(serial_.handle()), FIONREAD, &waiting) == 0 &&
           waiting > 0;
#else
    return false;
#endif
}

void QtSerialPort::setDeviceOverride(const QString& path) {
    deviceOverride_ = path;
}

void QtSerialPort::closePort() {
    if (!portOpen()) return;
    ++session_;  // a close queued for the session just ended no longer applies
    if (!closeDeferred_) {
        serial_.close();
        return;
    }
    closing_ = true;
    const quint64 session = session_;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (session == session_) closeNow();
        },
        Qt::QueuedConnection);
}

void QtSerialPort::closeNow() {
    if (!closing_) return;
    closing_ = false;
    serial_.close();
}

void QtSerialPort::onReadyRead() {
    if (portOpen() && serial_.bytesAvailable() > 0) raiseOnComm(comEvReceive);
}

void QtSerialPort::onError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || !portOpen()) return;
    if (closeQueuedFor_ == session_) return;  // the device is gone; the close is on its way
    if (error == QSerialPort::ResourceError ||
        (error == QSerialPort::ReadError && deviceHungUp(serial_))) {
        // QSerialPort is inside its own notifier here, so the close runs
        // once this handler has returned.
        closeQueuedFor_ = session_;
        const quint64 session = session_;
        QMetaObject::invokeMethod(
            this,
            [this, session] {
                if (session != session_) return;
                closePort();
                emit deviceLost();
            },
            Qt::QueuedConnection);
        return;
    }
    raiseOnComm(comEventError + static_cast<int>(error));
}

}  // namespace gpslink
