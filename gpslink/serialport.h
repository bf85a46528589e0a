// The serial line to the receiver, reduced to the operations the link needs.
//
// The link is written against this narrow interface rather than against a
// serial library: QtSerialPort (qtserialport.h) puts a real port behind it and
// the tests put a scripted fake behind it.  The operations are those of a
// classic serial control: a port number and a line
// settings text are written first, then the port is opened; received
// characters are announced by a notification on the UI thread and fetched
// with one read that returns everything waiting, one character per byte.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace gpslink {

// Kinds of communication event, as read at the start of each notification.
enum CommEvent : int {
    comEvSend = 1,        // send threshold reached
    comEvReceive = 2,     // characters received: the only one the link acts on
    comEvCTS = 3,         // change of clear-to-send
    comEvDSR = 4,         // change of data-set-ready
    comEvCD = 5,          // change of carrier detect
    comEvRing = 6,        // ring indicator
    comEvEOF = 7,         // end-of-file character received
    comEventError = 1001  // first of the error events; every error is at or above it
};

// The only line settings a port accepts: rate, no parity, 8 data bits, 1 stop bit.
inline constexpr std::array<std::string_view, 11> kLineSettings = {
    "1200,n,8,1",  "2400,n,8,1",   "4800,n,8,1",   "9600,n,8,1",   "19200,n,8,1", "38400,n,8,1",
    "57600,n,8,1", "115200,n,8,1", "230400,n,8,1", "460800,n,8,1", "921600,n,8,1"};

// Baud rate of one of kLineSettings, or 0 when the text is not one of them.
int baudRateOf(std::string_view lineSettings);

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Port number, 1 for the first port.  Refused (false) while the port is
    // open and for a number the platform has no device for.
    virtual bool setCommPort(int number) = 0;

    // One of kLineSettings; anything else is refused (false).
    virtual bool setSettings(std::string_view lineSettings) = 0;
    virtual std::string settings() const = 0;

    // Opening an open port or failing to open is refused (false); closing a
    // closed port is allowed.  After a close no notification is raised until
    // the port is opened again.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;

    // Drops everything received and not yet read.
    virtual void discardInput() = 0;

    // Every waiting character, in arrival order, one character per byte.
    virtual std::string input() = 0;

    // Queues the text for sending without blocking.
    virtual void output(std::string_view text) = 0;

    // The kind of the event being notified.
    int commEvent() const { return commEvent_; }

    // The notification: raised on the UI thread whenever characters are
    // waiting (comEvReceive) and for errors (comEventError and above).
    void setOnComm(std::function<void()> handler) { onComm_ = std::move(handler); }

protected:
    void raiseOnComm(int event) {
        commEvent_ = event;
        if (onComm_) onComm_();
    }

private:
    int commEvent_ = 0;
    std::function<void()> onComm_;
};

}  // namespace gpslink
