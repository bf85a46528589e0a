// QtSerialPort against a pseudo-terminal: the real QSerialPort, the real event
// loop, and the test playing the receiver at the far end of the line.
#include "gpslink/qtserialport.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "ptypair.h"

namespace gpslink {
namespace {

using testing::Pty;

// Runs the event loop until done() holds or ms have passed; returns done().
template <class Done>
bool waitFor(Done done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired()) loop.quit();
    });
    poll.start(5);
    if (!done()) loop.exec();
    return done();
}

void runEventLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Every byte value once, NUL first, then a sentence.
std::string allByteValues() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    return bytes + "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
}

class QtSerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        port.setDeviceOverride(QString::fromStdString(pty.slavePath()));
        port.setOnComm([this] {
            events.push_back(port.commEvent());
            if (port.commEvent() == comEvReceive && readOnNotify) received += port.input();
        });
    }

    // The line settings as the device has them now.
    termios line() const {
        termios t{};
        tcgetattr(pty.slaveFd(), &t);
        return t;
    }

    // Waits (without the event loop, so the port reads nothing) until the
    // device holds n unread bytes.
    bool deviceHolds(int n) const {
        QDeadlineTimer deadline(5000);
        int waiting = 0;
        while (ioctl(pty.slaveFd(), FIONREAD, &waiting) == 0 && waiting < n)
            if (deadline.hasExpired()) return false;
        return waiting >= n;
    }

    Pty pty;
    QtSerialPort port;
    std::vector<int> events;
    std::string received;
    bool readOnNotify = true;
};

#ifdef Q_OS_LINUX
TEST(DeviceForPort, MapsPortNumbersToDeviceFamiliesInBlocks) {
    const std::vector<std::pair<int, const char*>> table = {
        {1, "/dev/ttyS0"},
        {32, "/dev/ttyS31"},
        {33, "/dev/ttyUSB0"},
        {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},
        {96, "/dev/ttyACM31"},
        {97, "/dev/ttyAMA0"},
        {101, "/dev/ttyAMA4"},
        {0, ""},
        {102, ""},
        {-1, ""},
    };
    for (const auto& [number, device] : table)
        EXPECT_EQ(deviceForPort(number).toStdString(), device) << "COM " << number;
}
#endif

TEST_F(QtSerialPortTest, OpensWithThePortNumberAndLineSettingsWritten) {
    EXPECT_TRUE(port.setCommPort(33));
    EXPECT_TRUE(port.setSettings("38400,n,8,1"));
    ASSERT_TRUE(port.setPortOpen(true));
    EXPECT_TRUE(port.portOpen());
    EXPECT_EQ(port.commPort(), 33);
    EXPECT_EQ(port.settings(), "38400,n,8,1");

    const termios t = line();
    EXPECT_EQ(cfgetispeed(&t), speed_t(B38400));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(QtSerialPortTest, RateChangesReachTheOpenLineUpTo921600) {
    ASSERT_TRUE(port.setSettings("921600,n,8,1"));
    ASSERT_TRUE(port.setPortOpen(true));
    termios t = line();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B921600));

    EXPECT_TRUE(port.setSettings("4800,n,8,1"));
    t = line();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B4800));
    EXPECT_EQ(port.settings(), "4800,n,8,1");
}

TEST_F(QtSerialPortTest, OpenCloseOpenDeliversOnlyWhileOpen) {
    ASSERT_TRUE(port.setPortOpen(true));
    ASSERT_TRUE(port.setPortOpen(false));
    ASSERT_TRUE(port.setPortOpen(true));
    ASSERT_TRUE(pty.send("$GPGLL"));
    ASSERT_TRUE(waitFor([&] { return received == "$GPGLL"; }));

    // Bytes that reach the device just before the close are never announced.
    events.clear();
    ASSERT_TRUE(pty.send("late"));
    ASSERT_TRUE(deviceHolds(4));
    EXPECT_TRUE(port.setPortOpen(false));
    EXPECT_FALSE(port.portOpen());
    EXPECT_TRUE(port.setPortOpen(false));  // closing a closed port is allowed
    runEventLoopFor(200);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(port.input(), "");
}

TEST_F(QtSerialPortTest, DiscardInputDropsEverythingNotYetRead) {
    readOnNotify = false;
    ASSERT_TRUE(port.setPortOpen(true));
    ASSERT_TRUE(pty.send("fetched"));  // read into QSerialPort's own buffer
    ASSERT_TRUE(waitFor([&] { return !events.empty(); }));
    ASSERT_TRUE(pty.send("waiting"));  // still in the device
    ASSERT_TRUE(deviceHolds(7));

    port.discardInput();
    readOnNotify = true;
    ASSERT_TRUE(pty.send("new"));
    ASSERT_TRUE(waitFor([&] { return received.size() >= 3; }));
    EXPECT_EQ(received, "new");
}

TEST_F(QtSerialPortTest, ReadsEveryByteInOrderOneCharacterPerByte) {
    ASSERT_TRUE(port.setPortOpen(true));
    const std::string bytes = allByteValues();
    std::size_t sent = 0;
    for (std::size_t size : {std::size_t(1), std::size_t(7), std::size_t(120), bytes.size()}) {
        const std::string chunk = bytes.substr(sent, size);
        ASSERT_TRUE(pty.send(chunk));
        sent += chunk.size();
        ASSERT_TRUE(waitFor([&] { return received.size() >= sent; })) << received.size();
    }
    EXPECT_EQ(received, bytes);
    EXPECT_GE(events.size(), 4u);
    for (int event : events) EXPECT_EQ(event, comEvReceive);
}

TEST_F(QtSerialPortTest, OutputReachesTheFarEndInOrder) {
    ASSERT_TRUE(port.setPortOpen(true));
    const std::string sentence = "$PSRF101,0,0,0,0,0,0,12,4*10\r\n";
    const std::string binary("\x00\x80\xff\r\n", 5);
    port.output(sentence);
    port.output(binary);
    std::string atFarEnd;
    ASSERT_TRUE(waitFor([&] {
        atFarEnd += pty.receive();
        return atFarEnd.size() >= sentence.size() + binary.size();
    }));
    EXPECT_EQ(atFarEnd, sentence + binary);
}

TEST_F(QtSerialPortTest, RefusesPortNumbersWithoutDeviceAndUnknownSettings) {
    ASSERT_TRUE(port.setCommPort(5));
    EXPECT_FALSE(port.setCommPort(0));
    EXPECT_FALSE(port.setCommPort(102));
    EXPECT_EQ(port.commPort(), 5);

    ASSERT_TRUE(port.setSettings("57600,n,8,1"));
    for (const char* text : {"38400,n,8,2", "9600", "", "9600,e,7,1", "38400,N,8,1"})
        EXPECT_FALSE(port.setSettings(text)) << text;
    EXPECT_EQ(port.settings(), "57600,n,8,1");

    port.setDeviceOverride("/nonexistent/tty");
    EXPECT_FALSE(port.setPortOpen(true));
    EXPECT_FALSE(port.portOpen());
}

TEST_F(QtSerialPortTest, RefusesPortNumberAndSecondOpenWhileOpen) {
    ASSERT_TRUE(port.setCommPort(3));
    ASSERT_TRUE(port.setPortOpen(true));
    EXPECT_FALSE(port.setCommPort(4));
    EXPECT_EQ(port.commPort(), 3);
    EXPECT_FALSE(port.setPortOpen(true));
    EXPECT_TRUE(port.portOpen());

    // Still the same working line.
    ASSERT_TRUE(pty.send("ok"));
    EXPECT_TRUE(waitFor([&] { return received == "ok"; }));
}

// QSerialPort reports the dead line as a read error or as a resource error,
// depending on the errno left over from earlier calls; both must end the same.
class PulledCableTest : public QtSerialPortTest, public ::testing::WithParamInterface<int> {};

TEST_P(PulledCableTest, ClosesThePortAndLeavesTheProcessIdle) {
    ASSERT_TRUE(port.setPortOpen(true));
    ASSERT_TRUE(pty.send("$GPGGA"));
    ASSERT_TRUE(waitFor([&] { return received == "$GPGGA"; }));

    pty.closeMaster();
    errno = GetParam();
    EXPECT_TRUE(waitFor([&] { return !port.portOpen(); }, 2000));

    const double before = processCpuSeconds();
    runEventLoopFor(2000);
    const double cpu = processCpuSeconds() - before;
    EXPECT_LT(cpu, 0.05 * 2.0) << "CPU seconds used in 2 s of idle event loop";
    EXPECT_FALSE(port.portOpen());
}

INSTANTIATE_TEST_SUITE_P(LeftoverErrno, PulledCableTest, ::testing::Values(ENOENT, EIO),
                         [](const auto& info) { return info.param == EIO ? "EIO" : "ENOENT"; });

}  // namespace
}  // namespace gpslink
