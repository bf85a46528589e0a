// Start-up of the main window in working directories with every kind of
// settings file.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>

#include "app/form1.h"
#include "app/settingsfile.h"
#include "app/startup.h"
#include "tests/support/fakes.h"
#include "tests/support/workdir.h"

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

TEST(Startup, WithAGoodFileSelectsItsTexts) {
    ScopedWorkDir dir;
    dir.write("COM 7,115200\r\n");
    Started s;
    EXPECT_EQ(s.messages, 0);
    EXPECT_EQ(s.form.ComPort_6->currentText(), "COM 7");
    EXPECT_EQ(s.form.BaudRate_6->currentText(), "115200");
    EXPECT_EQ(dir.read(), QByteArray("COM 7,115200\r\n")) << "reading does not rewrite";
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
