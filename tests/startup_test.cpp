// Start-up of the main window in working directories with every kind of
// settings file.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>

#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "fakes.h"
#include "workdir.h"

namespace {

struct Started {
    explicit Started(std::function<void(Form1&)> whileBoxOpen = nullptr)
        : form(std::make_unique<gpslink::testing::FakeSerialPort>()) {
        Form_Load(form, StartupHooks{[this, whileBoxOpen] {
                      ++messages;
                      if (whileBoxOpen) whileBoxOpen(form);
                  }});
    }
    Form1 form;
    int messages = 0;
};

QStringList entries(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

TEST(Startup, WithAGoodFileSelectsItsTexts) {
    ScopedWorkDir dir;
    dir.write("COM 7,115200\r\n");
    Started s;
    EXPECT_EQ(s.messages, 0);
    EXPECT_EQ(s.form.ComPort_6->currentText(), "COM 7");
    EXPECT_EQ(s.form.BaudRate_6->currentText(), "115200");
    EXPECT_EQ(dir.read(), QByteArray("COM 7,115200\r\n")) << "reading does not rewrite";
}

TEST(Startup, FillsTheListsOnceInOrder) {
    ScopedWorkDir dir;
    dir.write("COM 1,9600\r\n");
    Started s;
    const QStringList ports = entries(s.form.ComPort_6);
    ASSERT_EQ(ports.size(), 101);
    EXPECT_EQ(ports.first(), "COM 1");
    EXPECT_EQ(ports[11], "COM 12");
    EXPECT_EQ(ports.last(), "COM 101");
    EXPECT_EQ(entries(s.form.BaudRate_6),
              QStringList({"1200", "2400", "4800", "9600", "19200", "57600", "115200", "230400",
                           "460800", "921600"}));
}

TEST(Startup, LeavesTheWindowIdleAndShown) {
    ScopedWorkDir dir;
    dir.write("COM 1,9600\r\n");
    Started s;
    EXPECT_EQ(s.form.statusText(), "");
    EXPECT_TRUE(s.form.Text_Error_1->isReadOnly());
    EXPECT_EQ(s.form.Label1->text(), "Not connected!");
    for (gpslink::Int16 c : s.form.link().state().Counters) EXPECT_EQ(c, 0);
    EXPECT_EQ(s.form.link().state().LoadStage, 1);
    EXPECT_FALSE(s.form.MSComm1().portOpen());
    EXPECT_TRUE(s.form.isVisible());
    EXPECT_DOUBLE_EQ(s.form.windowOpacity(), 1.0);
    EXPECT_TRUE(s.form.Timer_PF->isActive());
    EXPECT_FALSE(s.form.Timer1->isActive() || s.form.Timer->isActive() ||
                 s.form.Timer_Start->isActive());
}

TEST(Startup, OffersNoClose) {
    ScopedWorkDir dir;
    dir.write("COM 1,9600\r\n");
    Started s;
    EXPECT_FALSE(s.form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(s.form.close());
    QCloseEvent fromWindowManager;
    QCoreApplication::sendEvent(&s.form, &fromWindowManager);
    EXPECT_FALSE(fromWindowManager.isAccepted());
    EXPECT_TRUE(s.form.isVisible());
}

TEST(Startup, MissingFileIsReportedAndCreated) {
    ScopedWorkDir dir;
    Started s;
    EXPECT_EQ(s.messages, 1);
    EXPECT_EQ(dir.read(), QByteArray("COM 1,9600\r\n"));
    EXPECT_EQ(s.form.ComPort_6->currentText(), "COM 1");
    EXPECT_EQ(s.form.BaudRate_6->currentText(), "9600");
}

TEST(Startup, UnusableFilesAreReplacedByTheDefault) {
    const QByteArray unusable[] = {"",
                                   "COM 1",
                                   "COM 1\r\n",
                                   "COM1,9600\r\n",
                                   "COM 1,38400\r\n",
                                   "COM 200,9600\r\n",
                                   "\xe9\xff,\x80\r\n",
                                   "com 1,9600\r\n",
                                   "COM 1,9600 baud\r\n"};
    for (const QByteArray& contents : unusable) {
        ScopedWorkDir dir;
        dir.write(contents);
        Started s;
        EXPECT_EQ(s.messages, 1) << contents.toStdString();
        EXPECT_EQ(dir.read(), QByteArray("COM 1,9600\r\n")) << contents.toStdString();
        EXPECT_EQ(s.form.ComPort_6->currentText(), "COM 1");
        EXPECT_EQ(s.form.BaudRate_6->currentText(), "9600");
        EXPECT_EQ(s.form.ComPort_6->count(), 101) << "filled once";
        EXPECT_EQ(s.form.BaudRate_6->count(), 10) << "filled once";
    }
}

TEST(Startup, ReadOnlyFileIsReadAndMadeWritable) {
    ScopedWorkDir dir;
    dir.write("COM 3,4800\r\n");
    QFile::setPermissions(dir.path() + "/Set.txt", QFileDevice::ReadOwner);
    Started s;
    EXPECT_EQ(s.messages, 0);
    EXPECT_EQ(s.form.ComPort_6->currentText(), "COM 3");
    EXPECT_TRUE(QFile::permissions(dir.path() + "/Set.txt") & QFileDevice::WriteOwner);
}

TEST(Startup, UnwritableDirectoryStillStartsWithDefaults) {
    ScopedWorkDir dir(QStringLiteral("/proc"));  // no file can be created here
    Started s;
    EXPECT_EQ(s.messages, 1);
    EXPECT_EQ(s.form.ComPort_6->currentText(), "COM 1");
    EXPECT_EQ(s.form.BaudRate_6->currentText(), "9600");
    EXPECT_TRUE(s.form.isVisible());
}

TEST(Startup, TicksWhileTheNoticeIsOpenAreUndone) {
    ScopedWorkDir dir;
    Started s([](Form1& form) {
        // The stall check runs while the notice waits for the user.
        for (int i = 0; i < 4; ++i) form.link().Timer_PF_Timer();
        EXPECT_EQ(form.link().state().Counters[8], 4);
    });
    EXPECT_EQ(s.messages, 1);
    EXPECT_EQ(s.form.link().state().Counters[8], 0);
    EXPECT_EQ(s.form.Label1->text(), "Not connected!");
}

}  // namespace
