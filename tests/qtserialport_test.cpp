// QtSerialPort against a pseudo-terminal: the real QSerialPort, the real event
// loop, and the test playing the receiver at the far end of the line.
#include "gpslink/qtserialport.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "station/inputpacer.h"
#include "testkit/ptypair.h"

namespace gpslink {
namespace {

// The event loop runs until a condition holds, for at most this long.
constexpr int kWait = 30000;

class QtSerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        port.setDeviceOverride(QString::fromStdString(pty.slavePath()));
        port.setOnComm([this] {
            events.push_back(port.commEvent());
            if (port.commEvent() == comEvReceive && readOnNotify) received += port.input();
            if (holdOnRead) port.setInputHeld(true);
        });
    }

    // Waits, without the event loop (so the port reads nothing), until the
    // device holds n unread bytes.
    bool deviceHolds(int n) const {
        const QDeadlineTimer deadline(kWait);
        for (int waiting = 0; ioctl(pty.slaveFd(), FIONREAD, &waiting) == 0; usleep(1000))
            if (waiting >= n || deadline.hasExpired()) return waiting >= n;
        return false;
    }

    testing::Pty pty;
    QtSerialPort port;
    std::vector<int> events;
    std::string received;
    bool readOnNotify = true;
    bool holdOnRead = false;
};

TEST(DeviceForPort, MapsPortNumbersToDeviceFamiliesInBlocks) {
    std::string seen;
    for (int number : {1, 32, 33, 64, 65, 96, 97, 101, 0, 102, -1})
        seen += deviceForPort(number).toStdString() + " ";
    EXPECT_EQ(seen,
              "/dev/ttyS0 /dev/ttyS31 /dev/ttyUSB0 /dev/ttyUSB31 /dev/ttyACM0 /dev/ttyACM31 "
              "/dev/ttyAMA0 /dev/ttyAMA4    ");
}

// Rates up to 921600, on opening and on the open line; 8 bits, no parity, no
// handshake.  Unknown values and changes of port while open are refused.
TEST_F(QtSerialPortTest, SetsUpTheLineAndRefusesWhatItCannot) {
    ASSERT_TRUE(port.setCommPort(33) && port.setSettings("921600,n,8,1"));
    EXPECT_FALSE(port.setCommPort(0) || port.setCommPort(102));
    for (const char* text : {"38400,n,8,2", "9600", "", "9600,e,7,1", "38400,N,8,1"})
        EXPECT_FALSE(port.setSettings(text)) << text;
    ASSERT_TRUE(port.setPortOpen(true));
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B921600));

    EXPECT_TRUE(port.setSettings("38400,n,8,1"));
    tcgetattr(pty.slaveFd(), &t);
    EXPECT_EQ(cfgetispeed(&t), speed_t(B38400));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    EXPECT_FALSE(port.setCommPort(4));
    EXPECT_FALSE(port.setPortOpen(true));
    ASSERT_TRUE(pty.send("ok"));  // still the same working line
    EXPECT_TRUE(QTest::qWaitFor([&] { return received == "ok"; }, kWait));

    ASSERT_TRUE(port.setPortOpen(false));
    port.setDeviceOverride("/nonexistent/tty");
    EXPECT_FALSE(port.setPortOpen(true));
    EXPECT_FALSE(port.portOpen());
}

// After a close and a reopen the port delivers again; a discard drops what
// is buffered or still in the device; every byte value then arrives in order
// whatever the pieces; what arrives just before a close is never announced.
TEST_F(QtSerialPortTest, DeliversOnlyWhatArrivesWhileOpenAndIsNotDiscarded) {
    readOnNotify = false;
    ASSERT_TRUE(port.setPortOpen(true) && port.setPortOpen(false) && port.setPortOpen(true));
    ASSERT_TRUE(pty.send("fetched"));  // read into QSerialPort's own buffer
    ASSERT_TRUE(QTest::qWaitFor([&] { return !events.empty(); }, kWait));
    ASSERT_TRUE(pty.send("waiting"));  // still in the device
    ASSERT_TRUE(deviceHolds(7));
    port.discardInput();
    readOnNotify = true;
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    bytes += "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
    std::size_t sent = 0;
    for (std::size_t size : {std::size_t(1), std::size_t(7), std::size_t(120), bytes.size()}) {
        const std::string chunk = bytes.substr(sent, size);
        ASSERT_TRUE(pty.send(chunk));
        sent += chunk.size();
        ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= sent; }, kWait))
            << received.size();
    }
    EXPECT_EQ(received, bytes);
    for (int event : events) EXPECT_EQ(event, comEvReceive);

    events.clear();
    ASSERT_TRUE(pty.send("late"));
    ASSERT_TRUE(deviceHolds(4));
    EXPECT_TRUE(port.setPortOpen(false));
    EXPECT_FALSE(port.portOpen());
    EXPECT_TRUE(port.setPortOpen(false));  // closing a closed port is allowed
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(port.input(), "");
}

// Deferred, a close and an open at once leave the device as it is (its line
// is not set up again) and drop the input; a close left alone takes effect
// when the event loop runs, and QSerialPort restores the line it found.
TEST_F(QtSerialPortTest, ADeferredCloseAndReopenKeepTheDeviceOpen) {
    termios t{};
    const auto setSpeed = [&](speed_t speed) {
        return tcgetattr(pty.slaveFd(), &t) == 0 && cfsetspeed(&t, speed) == 0 &&
               tcsetattr(pty.slaveFd(), TCSANOW, &t) == 0;
    };
    const auto speed = [&] { return tcgetattr(pty.slaveFd(), &t) == 0 ? cfgetospeed(&t) : 0; };
    ASSERT_TRUE(setSpeed(B4800));
    port.setCloseDeferred(true);
    ASSERT_TRUE(port.setSettings("9600,n,8,1") && port.setPortOpen(true));
    ASSERT_TRUE(setSpeed(B2400) && pty.send("dropped") && deviceHolds(7));
    ASSERT_TRUE(port.setPortOpen(false));
    EXPECT_FALSE(port.portOpen());
    ASSERT_TRUE(port.setPortOpen(true) && pty.send("kept"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return received == "kept"; }, kWait)) << received;
    EXPECT_EQ(speed(), speed_t(B2400));
    ASSERT_TRUE(port.setPortOpen(false));
    EXPECT_EQ(speed(), speed_t(B2400));
    EXPECT_TRUE(QTest::qWaitFor([&] { return speed() == speed_t(B4800); }, kWait));
}

// A held port leaves what arrives in the device, however often the event
// loop runs, and reads it on its release; so again when the hold is taken in
// the handler of the read before.  A close ends a hold.
TEST_F(QtSerialPortTest, AHeldPortReadsNothingUntilReleased) {
    const auto loopLeavesInDevice = [&](int n) {
        for (int turn = 0; turn < 10; ++turn) QCoreApplication::processEvents();
        int waiting = 0;
        return ioctl(pty.slaveFd(), FIONREAD, &waiting) == 0 && waiting == n && events.empty();
    };
    ASSERT_TRUE(port.setPortOpen(true));
    port.setInputHeld(true);
    EXPECT_FALSE(port.deviceHasInput());
    ASSERT_TRUE(pty.send("first") && deviceHolds(5));
    EXPECT_TRUE(loopLeavesInDevice(5));
    EXPECT_TRUE(port.deviceHasInput());
    port.setInputHeld(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received == "first"; }, kWait)) << received;
    EXPECT_FALSE(port.deviceHasInput());

    holdOnRead = true;
    ASSERT_TRUE(pty.send("second"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return received == "firstsecond"; }, kWait)) << received;
    events.clear();
    ASSERT_TRUE(pty.send("third") && deviceHolds(5));
    EXPECT_TRUE(loopLeavesInDevice(5));
    holdOnRead = false;
    port.setInputHeld(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received == "firstsecondthird"; }, kWait));

    port.setInputHeld(true);
    ASSERT_TRUE(port.setPortOpen(false) && port.setPortOpen(true) && pty.send("fourth"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return received == "firstsecondthirdfourth"; }, kWait));
}

// The station's pacer holds every port it is given and releases them all
// together; a port that is gone by then is passed over.
TEST(InputPacer, ReleasesEveryHeldPortTogether) {
    testing::Pty lines[3];
    std::unique_ptr<QtSerialPort> ports[3];
    std::string received[3];
    station::InputPacer pacer;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(lines[i].ok());
        ports[i] = std::make_unique<QtSerialPort>();
        ports[i]->setDeviceOverride(QString::fromStdString(lines[i].slavePath()));
        ASSERT_TRUE(ports[i]->setPortOpen(true));
        QtSerialPort& port = *ports[i];
        port.setOnComm([&port, &text = received[i]] { text += port.input(); });
        pacer.hold(port);
        pacer.hold(port);
        ASSERT_TRUE(lines[i].send("$GP"));
    }
    ports[1].reset();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return received[0] == "$GP" && received[2] == "$GP"; }, kWait));
    pacer.hold(*ports[0]);  // and again, once the beat has passed
    ASSERT_TRUE(lines[0].send("GGA"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return received[0] == "$GPGGA"; }, kWait)) << received[0];
}

// Errors on a live line are passed on as events and leave it open.  The dead
// line QSerialPort reports as a read error or as a resource error, depending
// on the errno left over from earlier calls; both must close the port quietly.
class LineErrorTest : public QtSerialPortTest, public ::testing::WithParamInterface<int> {};

TEST_P(LineErrorTest, OthersBecomeEventsAPulledCableClosesThePort) {
    ASSERT_TRUE(port.setPortOpen(true));
    auto* serial = port.findChild<QSerialPort*>();
    ASSERT_NE(serial, nullptr);
    for (auto error : {QSerialPort::ReadError, QSerialPort::WriteError, QSerialPort::TimeoutError,
                       QSerialPort::UnsupportedOperationError, QSerialPort::UnknownError}) {
        events.clear();
        emit serial->errorOccurred(error);
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(events, std::vector<int>{comEventError + int(error)}) << error;
        EXPECT_TRUE(port.portOpen()) << error;
    }
    events.clear();
    ASSERT_TRUE(pty.send("$GPGGA"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return received == "$GPGGA"; }, kWait));

    pty.closeMaster();
    errno = GetParam();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !port.portOpen(); }, kWait));
    EXPECT_TRUE(std::all_of(events.begin(), events.end(), [](int e) { return e == comEvReceive; }));
}

INSTANTIATE_TEST_SUITE_P(LeftoverErrno, LineErrorTest, ::testing::Values(ENOENT, EIO),
                         [](const auto& info) { return info.param == EIO ? "EIO" : "ENOENT"; });

}  // namespace
}  // namespace gpslink
