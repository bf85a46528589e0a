// The plan's settings as every front end takes them: the command line, plan
// files, the station window's stored settings and its settings dialog.  No
// port is opened.
#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include "cli/options.h"
#include "stationwin/config.h"

namespace {

// Prints texts as text in test messages.
std::string text(const QString& s) {
    return s.toStdString();
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    return file.fileName();
}

// The SHA-256 kept with every result, of the settings a unit was judged
// under: the same settings give the same bytes as in every earlier version,
// so that results of one plan stay together across versions.
TEST(PlanSha256, UnchangedForTheSameSettings) {
    QTemporaryDir dir;
    const QString file = writeFile(dir, "line-2.json", R"({"name": "Line 2", "baud": "auto",
        "receiver": "casic", "start": "warm", "require_reset": true, "cycles": 2,
        "confirm_timeout_s": 20, "fix_timeout_s": 90, "max_ttff_s": 35.25, "min_sats": 6,
        "min_cn0": 33, "expect_firmware": "^CASIC", "require_identity": true, "to_nmea": false,
        "tests": ["fix", "signal"], "cn0_sv": "beidou:7", "cn0_samples": 8, "cn0_low": 38.5,
        "cn0_high": 48, "max_offset_db": 4.5, "calibration_max_age": "36h"})");
    const struct {
        QStringList arguments;
        const char* sha256;
    } cases[] = {
        {{"COM1"}, "c4ba80d7a4b624ce524035635257e2842b3501fff2b98acbb88f8226f1e38ca9"},
        {{"--start", "hot", "COM1"},
         "2d0c8cba3728adf11aae43e5042eae0289dc1dbde88d8d9b3f172715962798fe"},
        {{"--start", "hot", "--require-reset", "--baud", "auto", "--receiver", "auto", "COM1"},
         "6ecf34bf1db69c1ccb7bac9091f33ab5e66a7ffb71e3a7b157925e40305733f7"},
        {{"--receiver", "mtk", "--cycles", "3", "--confirm-timeout", "5", "--fix-timeout", "12",
          "--max-ttff", "7.5", "--min-sats", "5", "--min-cn0", "35", "--expect-firmware", "AXN_.*",
          "--require-identity", "--to-nmea", "COM1@4800,ublox,warm"},
         "fa8a1471de157f1dadcee17cdc236d66740d8ea0e0a8e4bdf04fae6267f92ead"},
        {{"--test", "fix,signal", "--cn0-sv", "gps:1", "--cn0-samples", "5", "--cn0-low", "40",
          "--cn0-high", "46.5", "--max-offset", "3", "--calibration-max-age", "90m", "COM1"},
         "07f0b4fc80e40ad778e4d4f2b57bf42d6b4fe203864791e6cf6248f801b994b6"},
        {{"--test", "signal", "--cn0-sv", "GPS:7", "COM1"},
         "b36757e2e3e0c99c5169479fe34cc1a7ea19bf6021db0908b9a17cb8047d40f0"},
        {{"--plan", file, "COM1"},
         "6fbbba3ce2dfcf369ea9b32aa61ce4f6d48168a9f6158386793c24324432484f"},
        {{"--plan", file, "--max-ttff", "40", "--start", "hot", "COM1@,mtk"},
         "2012b92766e6e043bcf2921cf34c0ea09b5b006966283329f651ed86417b0a3d"},
    };
    for (const auto& c : cases) {
        const cli::Parsed parsed =
            cli::parseArguments(QStringList{"gps-coldstart-cli", "--no-db"} + c.arguments);
        ASSERT_EQ(parsed.action, cli::Parsed::Run) << text(parsed.text);
        EXPECT_EQ(text(parsed.options.units.at(0).planSha256), c.sha256)
            << text(c.arguments.join(' '));
    }
}

}  // namespace
