#include "sim/simdriver.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace gpssim {
namespace {

// Unread output in the pseudo-terminal beyond which no one is taken to be
// listening: about two bursts.  A reader that is there drains each burst
// within milliseconds.
constexpr int kUnheardBytes = 1024;

// How long reading pauses after the master reports the line gone.
constexpr int kReadRetryMs = 200;

constexpr std::array<std::pair<UsbDrop, std::string_view>, 4> kUsbDropNames = {{
    {UsbDrop::Off, "off"},
    {UsbDrop::Same, "same"},
    {UsbDrop::Other, "other"},
    {UsbDrop::Never, "never"},
}};

QString errnoText() {
    return QString::fromLocal8Bit(strerror(errno));
}

int rateOf(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

}  // namespace

std::optional<UsbDrop> usbDropFromName(std::string_view name) {
    for (const auto& [value, text] : kUsbDropNames)
        if (text == name) return value;
    return std::nullopt;
}

std::string_view nameOf(UsbDrop drop) {
    for (const auto& [value, text] : kUsbDropNames)
        if (value == drop) return text;
    return {};
}

SimDriver::SimDriver(ReceiverConfig config, DriverOptions options, QObject* parent)
    : QObject(parent), model_(std::move(config)), options_(std::move(options)) {
    epochTimer_.setTimerType(Qt::PreciseTimer);
    epochTimer_.setInterval(std::max(options_.intervalMs, 1));
    connect(&epochTimer_, &QTimer::timeout, this, &SimDriver::onEpoch);
    pacer_.setSingleShot(true);
    pacer_.setTimerType(Qt::PreciseTimer);
    connect(&pacer_, &QTimer::timeout, this, &SimDriver::writeDue);
    awayTimer_.setSingleShot(true);
    connect(&awayTimer_, &QTimer::timeout, this, &SimDriver::returnUsb);
    powerSwitch_.setInterval(100);
    connect(&powerSwitch_, &QTimer::timeout, this, &SimDriver::readPowerSwitch);
}

void SimDriver::readPowerSwitch() {
    QFile file(options_.powerFile);
    const bool off = !options_.stuckRelay && file.open(QIODevice::ReadOnly) &&
                     file.readAll().trimmed() == QByteArrayLiteral("off");
    if (off == !model_.powered()) return;
    if (off) {
        queue_.clear();  // what was on its way is cut off with the supply
        lineFreeAtNs_ = 0;
    }
    model_.setPowered(!off);
    publishEvents();
}

SimDriver::~SimDriver() {
    stop();
}

bool SimDriver::start(QString* error) {
    if (isRunning()) return true;
    const bool opened = options_.device.isEmpty() ? openPty(error) : openDevice(error);
    if (!opened) return false;
    if (!options_.link.isEmpty() && !makeLink(options_.link, error)) {
        stop();
        return false;
    }
    clock_.start();
    lineFreeAtNs_ = 0;
    epochTimer_.start();
    if (!options_.powerFile.isEmpty()) {
        readPowerSwitch();
        powerSwitch_.start();
    }
    if (!options_.generatorHost.isEmpty() && !generator_) {
        generator_ = new GeneratorPoll(options_.generatorHost, options_.generatorPort, this);
        connect(generator_, &GeneratorPoll::level, this,
                [this](std::optional<double> dBm) { model_.setRfLevel(dBm); });
        generator_->start();
    }
    return true;
}

void SimDriver::stop() {
    epochTimer_.stop();
    awayTimer_.stop();
    dropPending_ = false;
    if (serial_) {
        serial_->close();
        delete serial_;
        serial_ = nullptr;
    }
    closePty();
    removeLink();
}

void SimDriver::closePty() {
    pacer_.stop();
    queue_.clear();
    lineFreeAtNs_ = 0;
    delete notifier_;
    notifier_ = nullptr;
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
    slavePath_.clear();
    rateMismatch_ = false;
    model_.setRateMismatch(false);
}

// Points path at the slave: a link made under a temporary name and renamed
// over path, so that path never leads to a missing or half-made link.
bool SimDriver::makeLink(const QString& path, QString* error) {
    const QByteArray target = slavePath_.toLocal8Bit(), name = path.toLocal8Bit();
    struct stat there {};
    if (::lstat(name.constData(), &there) == 0 && !S_ISLNK(there.st_mode)) {
        if (error) *error = QStringLiteral("%1 exists and is not a symbolic link").arg(path);
        return false;
    }
    const QByteArray temporary = name + ".new-" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    if (::symlink(target.constData(), temporary.constData()) != 0 ||
        ::rename(temporary.constData(), name.constData()) != 0) {
        if (error) *error = QStringLiteral("cannot make the link %1: %2").arg(path, errnoText());
        ::unlink(temporary.constData());
        return false;
    }
    linkPath_ = path;
    log(QStringLiteral("%1 -> %2").arg(path, slavePath_));
    return true;
}

// Removes the link made, if it is still a symbolic link.
void SimDriver::removeLink() {
    if (linkPath_.isEmpty()) return;
    const QByteArray name = linkPath_.toLocal8Bit();
    struct stat there {};
    if (::lstat(name.constData(), &there) == 0 && S_ISLNK(there.st_mode))
        ::unlink(name.constData());
    linkPath_.clear();
}

// The USB port re-enumerates: the pseudo-terminal and its link go away.
void SimDriver::dropUsb() {
    dropPending_ = false;
    if (master_ < 0) return;
    closePty();
    removeLink();
    log(QStringLiteral("USB port gone (%1)").arg(QLatin1String(nameOf(options_.usbDrop).data())));
    emit deviceChanged(QString());
    if (options_.usbDrop != UsbDrop::Never) awayTimer_.start(std::max(options_.usbAwayMs, 0));
}

// The USB port is back: a new pseudo-terminal behind the same or the next link.
void SimDriver::returnUsb() {
    QString error;
    if (!openPty(&error)) {
        log(QStringLiteral("USB port not back: %1").arg(error));
        return;
    }
    const QString path = options_.usbDrop == UsbDrop::Other
                             ? QStringLiteral("%1-%2").arg(options_.link).arg(++reconnections_)
                             : options_.link;
    if (!makeLink(path, &error)) {
        log(QStringLiteral("USB port back without its link: %1").arg(error));
        emit deviceChanged(slavePath_);
        return;
    }
    emit deviceChanged(path);
}

bool SimDriver::openPty(QString* error) {
    termios raw{};
    cfmakeraw(&raw);
    if (options_.baud > 0) {
        // Open the line at the receiver's rate, as a port set up for it would be.
        for (speed_t speed : {B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400,
                              B460800, B921600})
            if (rateOf(speed) == options_.baud) cfsetspeed(&raw, speed);
    }
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        if (error) *error = QStringLiteral("openpty: %1").arg(errnoText());
        master_ = slave_ = -1;
        return false;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slavePath_ = QString::fromLocal8Bit(name);
    notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SimDriver::onMasterReadable);
    log(QStringLiteral("receiver on %1").arg(slavePath_));
    return true;
}

bool SimDriver::openDevice(QString* error) {
    serial_ = new QSerialPort(options_.device, this);
    serial_->setBaudRate(options_.baud > 0 ? options_.baud : 9600);
    serial_->setDataBits(QSerialPort::Data8);
    serial_->setParity(QSerialPort::NoParity);
    serial_->setStopBits(QSerialPort::OneStop);
    serial_->setFlowControl(QSerialPort::NoFlowControl);
    if (!serial_->open(QIODevice::ReadWrite)) {
        if (error) *error = QStringLiteral("%1: %2").arg(options_.device, serial_->errorString());
        delete serial_;
        serial_ = nullptr;
        return false;
    }
    connect(serial_, &QSerialPort::readyRead, this,
            [this] { deliver(serial_->readAll().toStdString()); });
    connect(serial_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::ResourceError) return;
        // The device went away (a USB adapter pulled out): stop rather than
        // spin on its errors.
        log(QStringLiteral("%1 went away: %2").arg(options_.device, serial_->errorString()));
        QTimer::singleShot(0, this, &SimDriver::stop);
    });
    slavePath_ = options_.device;
    log(QStringLiteral("receiver on %1 at %2 baud").arg(slavePath_).arg(serial_->baudRate()));
    return true;
}

void SimDriver::powerCycle() {
    model_.powerCycle();
    publishEvents();
}

void SimDriver::onEpoch() {
    checkLineRate();
    const std::vector<std::string> pieces = model_.tickPieces();
    publishEvents();
    if (pieces.empty()) return;
    if (options_.baud <= 0) {
        for (const std::string& piece : pieces) writeToLine(piece);
        return;
    }
    const qint64 now = clock_.nsecsElapsed();
    qint64 at = std::max(now, lineFreeAtNs_);
    if (at - now > qint64(options_.intervalMs) * 1000000) {
        // The previous bursts still fill the line: this one would only add
        // to a backlog that never clears.
        if (!overrunNoted_)
            log(QStringLiteral("%1 baud is too slow for a burst per epoch: bursts dropped")
                    .arg(options_.baud));
        overrunNoted_ = true;
        return;
    }
    for (const std::string& piece : pieces) {
        at += qint64(piece.size()) * 10 * 1000000000LL / options_.baud;
        queue_.push_back(Piece{piece, at});
    }
    lineFreeAtNs_ = at;
    writeDue();
}

void SimDriver::writeDue() {
    const qint64 now = clock_.nsecsElapsed();
    while (!queue_.empty() && queue_.front().dueNs <= now) {
        writeToLine(queue_.front().bytes);
        queue_.pop_front();
    }
    if (!queue_.empty()) pacer_.start(int((queue_.front().dueNs - now + 999999) / 1000000));
}

void SimDriver::writeToLine(const std::string& bytes) {
    if (serial_) {
        bytesWritten_ += std::max<qint64>(serial_->write(bytes.data(), qint64(bytes.size())), 0);
        return;
    }
    if (master_ < 0) return;
    // The rate is checked at every write, not only once an epoch: a burst
    // queued while the rates matched is garbled once they no longer do.
    checkLineRate();
    if (rateMismatch_) return writeBytes(model_.garble(bytes.size()));
    writeBytes(bytes);
}

void SimDriver::writeBytes(const std::string& bytes) {
    int unread = 0;
    if (::ioctl(slave_, TIOCINQ, &unread) == 0 && unread > kUnheardBytes) tcflush(slave_, TCIFLUSH);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + at, bytes.size() - at);
        if (n > 0) {
            at += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // the line is full: the rest is lost, as on a wire
        }
    }
    bytesWritten_ += qint64(at);
}

void SimDriver::onMasterReadable() {
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n > 0) {
            deliver(std::string_view(chunk, std::size_t(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // EIO: no one has the slave side open.  Pause instead of being woken
        // again at once, over and over.
        notifier_->setEnabled(false);
        QTimer::singleShot(kReadRetryMs, this, [this] {
            if (notifier_) notifier_->setEnabled(true);
        });
        return;
    }
}

void SimDriver::deliver(std::string_view bytes) {
    model_.receive(bytes);
    publishEvents();
    const std::string answers = model_.takeAnswers();  // at once, beside the epochs
    if (!answers.empty()) writeToLine(answers);
}

void SimDriver::checkLineRate() {
    if (!options_.strictBaud || options_.baud <= 0 || slave_ < 0) return;
    termios line{};
    if (tcgetattr(slave_, &line) != 0) return;
    const int rate = rateOf(cfgetospeed(&line));
    const bool mismatch = rate != 0 && rate != options_.baud;
    if (mismatch == rateMismatch_) return;
    rateMismatch_ = mismatch;
    model_.setRateMismatch(mismatch);
    if (mismatch)
        log(QStringLiteral("line set to %1 baud, receiver talks at %2: output garbled")
                .arg(rate)
                .arg(options_.baud));
    else
        log(QStringLiteral("line rate matches the receiver's again"));
}

void SimDriver::publishEvents() {
    for (const Event& e : model_.takeEvents()) {
        const bool start =
            e.kind == Event::ColdStart || e.kind == Event::WarmStart || e.kind == Event::HotStart;
        if (start && model_.obeysStarts() && options_.usbDrop != UsbDrop::Off && !dropPending_ &&
            master_ >= 0) {
            // Dropped once the current read is over, not in its middle.
            dropPending_ = true;
            QTimer::singleShot(0, this, [this] {
                if (dropPending_) dropUsb();
            });
        }
        emit logged(QStringLiteral("%1 s  %2")
                        .arg(double(e.atMs) / 1000.0, 7, 'f', 1)
                        .arg(QString::fromStdString(e.text)));
        emit event(e);
    }
}

void SimDriver::log(const QString& text) {
    emit logged(
        QStringLiteral("%1 s  %2").arg(double(model_.elapsedMs()) / 1000.0, 7, 'f', 1).arg(text));
}

}  // namespace gpssim
