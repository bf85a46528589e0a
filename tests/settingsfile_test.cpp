// Reading and writing "Set.txt".
#include <gtest/gtest.h>

#include <QFile>

#include "app/settingsfile.h"
#include "workdir.h"

namespace {

struct ParseCase {
    std::string text;
    std::optional<SettingsTexts> fields;
};

TEST(SettingsParse, FieldRules) {
    const SettingsTexts deflt{"COM 1", "9600"};
    const std::vector<ParseCase> cases = {
        {"COM 1,9600\r\n", deflt},
        {"COM 1,9600", deflt},
        {"COM 1\r\n9600\r\n", deflt},  // one field a line
        {"COM 1\n9600\n", deflt},
        {"   COM 1,   9600\r\n", deflt},    // leading spaces skipped
        {"COM 1   ,9600   \r\n", deflt},    // trailing spaces dropped
        {"\"COM 1\",\"9600\"\r\n", deflt},  // quoted
        {"\"COM, 1\",9600", SettingsTexts{"COM, 1", "9600"}},
        {"\" COM 1 \" ,9600", SettingsTexts{" COM 1 ", "9600"}},
        {"COM 1,9600,115200\r\nCOM 2,4800\r\n", deflt},  // the rest is not read
        {"COM 12,921600\r\n", SettingsTexts{"COM 12", "921600"}},
        {"COM1,9600\r\n", SettingsTexts{"COM1", "9600"}},          // read as it stands
        {"\xe9\xff,9600\r\n", SettingsTexts{"\xe9\xff", "9600"}},  // bytes kept
        {"COM 1,\r\n", SettingsTexts{"COM 1", ""}},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"COM 1", std::nullopt},
        {"COM 1\r\n", std::nullopt},
        {"COM 1,", std::nullopt},
    };
    for (const ParseCase& c : cases) {
        const std::optional<SettingsTexts> got = parseSettings(c.text);
        ASSERT_EQ(got.has_value(), c.fields.has_value()) << '"' << c.text << '"';
        if (got) {
            EXPECT_EQ(got->port, c.fields->port) << '"' << c.text << '"';
            EXPECT_EQ(got->baud, c.fields->baud) << '"' << c.text << '"';
        }
    }
}

TEST(SettingsFile, WritesExactlyOneLineAndReadsItBack) {
    ScopedWorkDir dir;
    dir.write("COM 100,921600\r\nsomething much longer that must not survive\r\n");
    dir.write("half a write killed", "Set.txt.new");  // left by a killed writer
    ASSERT_TRUE(WriteSettingsFile("COM 1", "9600"));
    EXPECT_EQ(dir.read(), QByteArray("COM 1,9600\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"Set.txt"})
        << "nothing left over";
    EXPECT_EQ(dir.read().size(), 12);
    EXPECT_EQ(readSettingsFile(), (SettingsTexts{"COM 1", "9600"}));
}

TEST(SettingsFile, FollowsTheWorkingDirectory) {
    ScopedWorkDir first;
    ASSERT_TRUE(WriteSettingsFile("COM 3", "4800"));
    {
        ScopedWorkDir second;
        EXPECT_FALSE(readSettingsFile().has_value());
        ASSERT_TRUE(WriteSettingsFile("COM 4", "19200"));
        EXPECT_EQ(second.read(), QByteArray("COM 4,19200\r\n"));
    }
    EXPECT_EQ(first.read(), QByteArray("COM 3,4800\r\n"));
}

TEST(SettingsFile, ReadOnlyFileBecomesWritable) {
    ScopedWorkDir dir;
    dir.write("COM 5,2400\r\n");
    QFile::setPermissions(dir.path() + "/Set.txt", QFileDevice::ReadOwner | QFileDevice::ReadGroup);
    normaliseSettingsFileAttributes();
    EXPECT_TRUE(QFile::permissions(dir.path() + "/Set.txt") & QFileDevice::WriteOwner);
    EXPECT_EQ(readSettingsFile(), (SettingsTexts{"COM 5", "2400"}));
    ASSERT_TRUE(WriteSettingsFile("COM 6", "4800"));
    EXPECT_EQ(dir.read(), QByteArray("COM 6,4800\r\n"));
}

TEST(SettingsFile, FailureToWriteIsQuiet) {
    // Nothing can be created here, not even by root.
    ScopedWorkDir dir(QStringLiteral("/proc"));
    EXPECT_FALSE(WriteSettingsFile("COM 1", "9600"));
    EXPECT_FALSE(readSettingsFile().has_value());
    normaliseSettingsFileAttributes();
}

TEST(SettingsFile, AFileThatIsADirectoryCannotBeRead) {
    ScopedWorkDir dir;
    QDir(dir.path()).mkdir("Set.txt");
    EXPECT_FALSE(readSettingsFile().has_value());
    EXPECT_FALSE(WriteSettingsFile("COM 1", "9600"));
}

}  // namespace
