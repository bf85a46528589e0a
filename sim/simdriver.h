// Runs a ReceiverModel on a real line, so that the tool, opening a serial
// port, meets a receiver.
//
// The line is either a pseudo-terminal the driver creates (the tool opens
// slavePath()) or a serial device the driver opens, with a null-modem cable
// to the port the tool uses.  A timer runs the model's epochs and writes each
// burst in the model's pieces; with a baud rate set, the pieces go out spaced
// as on a line at that rate (10 bits a byte).  What the tool writes is passed
// to the model.
//
// With a link the driver makes a symbolic link to the slave, and with a USB
// drop it plays a USB receiver that re-enumerates on a reset: the
// pseudo-terminal closes (the tool's open port sees the hang-up), the link
// goes away, and a new pseudo-terminal comes back behind the same or another
// link, or none.
//
// The driver keeps a descriptor of the pseudo-terminal's slave side open for
// its whole life: without it, every read of the master fails with EIO while
// the tool has the port closed.  Output that no one reads is thrown away,
// as it is on a wire with no one listening, rather than filling the
// pseudo-terminal until writes fail.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "sim/generatorpoll.h"
#include "sim/receivermodel.h"

class QSerialPort;
class QSocketNotifier;

namespace gpssim {

// What the receiver's USB port does when it obeys a start command.
enum class UsbDrop {
    Off,    // stays connected
    Same,   // gone for usbAwayMs, then back behind the same link
    Other,  // gone for usbAwayMs, then back behind a new link: the link's name, "-" and a number
    Never,  // gone for good
};

std::optional<UsbDrop> usbDropFromName(std::string_view name);
std::string_view nameOf(UsbDrop drop);

struct DriverOptions {
    QString device;           // serial device to open; empty: create a pseudo-terminal
    int intervalMs = 1000;    // between epochs; 1000 / rateHz keeps the receiver true to time
    int baud = 0;             // > 0: pace the pieces at this rate; on a device also the line's rate
    bool strictBaud = false;  // pseudo-terminal: while the tool sets the line to a rate other
                              // than baud, the receiver's output arrives garbled
    // Pseudo-terminal: a symbolic link made to its slave, as udev names a USB
    // receiver (/dev/serial/by-id/...); empty: none.
    QString link;
    UsbDrop usbDrop = UsbDrop::Off;  // needs link
    int usbAwayMs = 2000;
    // The receiver's supply switch: a file holding "off" or "on", read every
    // 100 ms; the receiver is powered unless it says "off".  Empty: none.
    QString powerFile;
    // The fixture's relay does not switch: the file is written, and the
    // receiver's supply stays on whatever it says.
    bool stuckRelay = false;
    // A signal generator whose level feeds the receiver's RF input
    // (generatorpoll.h); an empty host: none.
    QString generatorHost;
    quint16 generatorPort = 0;
};

class SimDriver : public QObject {
    Q_OBJECT
public:
    SimDriver(ReceiverConfig config, DriverOptions options, QObject* parent = nullptr);
    ~SimDriver() override;
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    // Opens the line and starts the epochs; the first burst follows one
    // interval later.  False, with error set, when the line cannot be opened.
    bool start(QString* error = nullptr);
    // Stops the epochs and closes the line; the slave path goes away.
    void stop();
    bool isRunning() const { return epochTimer_.isActive(); }

    // The device the tool should open: the pseudo-terminal's slave, or the
    // device given.  Empty before start() and while the USB port is away.
    QString slavePath() const { return slavePath_; }
    // The symbolic link to the slave: the link given, or after an Other drop
    // its successor.  Empty without a link and while the USB port is away.
    QString linkPath() const { return linkPath_; }
    // What the tool should open: the link when there is one, else the slave.
    QString devicePath() const { return options_.link.isEmpty() ? slavePath_ : linkPath_; }

    // The receiver is switched off and on again (ReceiverModel::powerCycle).
    void powerCycle();

    ReceiverModel& model() { return model_; }
    // Bytes handed to the line so far.
    qint64 bytesWritten() const { return bytesWritten_; }

signals:
    // Each notable event of the model, as it happens.
    void event(const gpssim::Event& event);
    // One line of text for every notable event, the model's and the line's.
    void logged(const QString& line);
    // The USB port went away (path empty) or came back (the path to open).
    void deviceChanged(const QString& path);

private:
    bool openPty(QString* error);
    void closePty();
    bool makeLink(const QString& path, QString* error);
    void removeLink();
    void dropUsb();
    void returnUsb();
    bool openDevice(QString* error);
    void onEpoch();
    void onMasterReadable();
    void writeDue();
    void writeToLine(const std::string& bytes);
    void writeBytes(const std::string& bytes);  // on the pseudo-terminal, as they are
    void deliver(std::string_view bytes);
    void publishEvents();
    void checkLineRate();
    void readPowerSwitch();
    void log(const QString& text);

    ReceiverModel model_;
    DriverOptions options_;
    GeneratorPoll* generator_ = nullptr;
    QTimer epochTimer_;
    QTimer pacer_;
    QElapsedTimer clock_;
    struct Piece {
        std::string bytes;
        qint64 dueNs;  // when its last byte has crossed the line
    };
    std::deque<Piece> queue_;
    qint64 lineFreeAtNs_ = 0;
    bool overrunNoted_ = false;
    bool rateMismatch_ = false;
    int master_ = -1;
    int slave_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QSerialPort* serial_ = nullptr;
    QString slavePath_;
    QString linkPath_;
    QTimer awayTimer_;
    QTimer powerSwitch_;  // reads options_.powerFile
    bool dropPending_ = false;
    int reconnections_ = 0;
    qint64 bytesWritten_ = 0;
};

}  // namespace gpssim
