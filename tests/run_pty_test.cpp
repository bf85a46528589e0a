// A whole cold start through the real program's parts: the main window after
// start-up, the real QSerialPort on a pseudo-terminal, QTimers, the event
// loop.  The test plays the receiver at the far end of the line.
#include <gtest/gtest.h>

#include <termios.h>
#include <QElapsedTimer>
#include <QTest>

#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "gpslink/qtserialport.h"
#include "ptypair.h"
#include "workdir.h"

namespace {

using gpslink::kColdStartSentence;

std::string gga(const std::string& time) {
    return "$GPGGA," + time + ",0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000*70\r\n";
}

TEST(RunOverPty, WholeColdStartWithRealPortAndTimers) {
    ScopedWorkDir dir;
    dir.write("COM 5,4800\r\n");
    gpslink::testing::Pty receiver;
    ASSERT_TRUE(receiver.ok());

    auto port = std::make_unique<gpslink::QtSerialPort>();
    port->setDeviceOverride(QString::fromStdString(receiver.slavePath()));
    Form1 form(std::move(port));
    form.setSettingsWriter(WriteSettingsFile);
    Form_Load(form, StartupHooks{});
    ASSERT_EQ(form.ComPort_6->currentText(), "COM 5");

    form.Cmd_Start_1->click();
    EXPECT_FALSE(form.MSComm1().portOpen()) << "the press itself opens nothing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.MSComm1().portOpen(); }, 3000));
    EXPECT_EQ(form.Label1->text(), "Connecting.....");
    termios line{};
    tcgetattr(receiver.slaveFd(), &line);
    EXPECT_EQ(cfgetospeed(&line), B4800);
    EXPECT_EQ(dir.read(), QByteArray("COM 5,4800\r\n"));

    // Five GGA sentences with a time, each in its own write.
    for (int s = 10; s < 15; ++s) {
        const std::string time = "2041" + std::to_string(s) + ".079";
        ASSERT_TRUE(receiver.send(gga(time)));
        const std::string shown = "UTC Time :20:41:" + std::to_string(s) + "\r\n";
        if (s < 14) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return form.statusText() == shown; }, 2000)) << s;
        }
    }
    std::string sent;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            sent += receiver.receive();
            return sent.size() >= kColdStartSentence.size();
        },
        2000));
    EXPECT_EQ(sent, kColdStartSentence);
    EXPECT_EQ(form.link().state().Mode, 1);

    // The receiver restarts and answers with its clock from zero.
    ASSERT_TRUE(receiver.send(gga("000001.000")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.link().state().Mode == 2; }, 2000));
    EXPECT_EQ(form.statusText(),
              "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!");
    EXPECT_EQ(form.Label1->text(), "Connected!");

    // Switched off: six silent stall checks later the run reports it.
    QElapsedTimer silence;
    silence.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.statusText() == "GPS be shuted down."; }, 10000))
        << form.statusText() << " c3=" << form.link().state().Counters[3]
        << " c7=" << form.link().state().Counters[7] << " c8=" << form.link().state().Counters[8]
        << " pf=" << form.Timer_PF->isActive() << form.link().Timer_PF.enabled();
    EXPECT_GE(silence.elapsed(), 5000);
    EXPECT_FALSE(form.Timer_PF->isActive() || form.Timer->isActive() ||
                 form.Timer_Start->isActive());
    sent += receiver.receive();
    EXPECT_EQ(sent, kColdStartSentence) << "sent once";

    // Stop: the port closes and the window is idle again.
    form.Cmd_Start_1->click();
    EXPECT_FALSE(form.MSComm1().portOpen());
    EXPECT_EQ(form.statusText(), "");
    EXPECT_TRUE(form.Frame5->isEnabled());
}

}  // namespace
