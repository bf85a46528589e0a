// The serial line on a real port, through QSerialPort.
//
// Port numbers map to devices as on the bench PCs the tool grew up on:
// on Windows "COMn"; on Linux COM 1-32 are /dev/ttyS0-31, COM 33-64
// /dev/ttyUSB0-31, COM 65-96 /dev/ttyACM0-31 and COM 97-101 /dev/ttyAMA0-4.
//
// The line always runs 8N1 without flow control; only the rate changes.
// Errors on an open port are raised as comEventError plus the QSerialPort
// error code, which the link ignores.
//
// A USB receiver that is pulled out leaves the port open on a device that has
// hung up.  QSerialPort then reports a resource error, or a read error over
// and over (some 250,000 a second), which would spin the CPU.  The port
// is closed on the first resource error and on the first read error from a
// hung-up device; the link's supervision then sees a silent line, as for any
// other silence.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>

#include "gpslink/serialport.h"

namespace gpslink {

// Device path for a port number, or an empty string when there is none.
QString deviceForPort(int number);

class QtSerialPort : public QObject, public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPort(QObject* parent = nullptr);
    ~QtSerialPort() override;

    bool setCommPort(int number) override;
    bool setSettings(std::string_view lineSettings) override;
    std::string settings() const override;
    bool setPortOpen(bool open) override;
    bool portOpen() const override;
    // What the serial library said of the last failure, e.g. of an open.
    QString errorText() const { return serial_.errorString(); }
    void discardInput() override;
    std::string input() override;
    void output(std::string_view text) override;

    // Opens this device instead of the one the port number maps to (tests,
    // and the demo's simulated receiver).  Empty restores the mapping.
    void setDeviceOverride(const QString& path);

    // With this set, a close takes effect once control returns to the event
    // loop, and an open of the same device with the same settings before
    // then keeps the device open instead: the input is discarded, as a fresh
    // open would leave it, and the lock file, the device's opening and its
    // line set-up are not done again (the link's connect step closes and
    // reopens at once).  Meanwhile the port counts as closed: no
    // notification, no input, no output.  Off by default.
    void setCloseDeferred(bool deferred) { closeDeferred_ = deferred; }

    // While held, the device is not read: what arrives waits in the device and
    // raises no notification.  On release it is read and notified at once.
    // A hold ends with the release, a close, or a discard of the input; at
    // worst it ends early, so nothing is lost by it, only read later.
    void setInputHeld(bool held);
    // Whether characters wait in the device that QSerialPort has not read yet.
    bool deviceHasInput() const;

signals:
    // Everything output so far has been handed to the device.
    void allWritten();
    // The port closed itself because the device hung up or went away.
    void deviceLost();

private:
    void closePort();
    void closeNow();  // a deferred close that is due, first
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    QSocketNotifier* readNotifier();

    QSerialPort serial_{this};  // a child, so that it can be found with findChild
    int commPort_ = 1;
    std::string settings_ = "9600,n,8,1";  // 8N1, no flow control, at this rate
    QString deviceOverride_;
    QString openDevice_;          // the device of the last open
    quint64 session_ = 0;         // goes up at every open and every close
    quint64 closeQueuedFor_ = 0;  // session whose device vanished
    bool closeDeferred_ = false;
    bool closing_ = false;                    // a deferred close is due; the device is still open
    QPointer<QSocketNotifier> readNotifier_;  // QSerialPort's, found at the first hold
};

}  // namespace gpslink
