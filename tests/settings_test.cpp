// The plan's settings as every front end takes them: the command line, plan
// files, the station window's stored settings and its settings dialog.  No
// port is opened.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>
#include <map>

#include "cli/options.h"
#include "stationwin/config.h"
#include "stationwin/settingsdialog.h"

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

using station::Kind;
using station::Setting;

// A value of each setting other than its default, as the option takes it:
// at the far end of what a front end might lose (a rate and a family found
// by listening, a number of seven digits).
QString sample(const Setting& s) {
    const std::map<QString, QString> texts = {{"expect_firmware", "^AXN_5"},
                                              {"cn0_sv", "Galileo:11"},
                                              {"study", "GRR 2026-12 (line 4)"},
                                              {"qualified_by", "GRR-2026-11"},
                                              {"send_after", "time"},
                                              {"deliver", "lp -d label \"line 4\"\nmes-put"},
                                              {"deliver_url", "https://mes.line:8443/r?s=7"},
                                              {"evidence", "off"},
                                              {"route_check", "/opt/mes/check --step \"GPS 2\""},
                                              {"metrics_file", "/var/lib/node/gps.prom"},
                                              {"power", "relay 2>>/var/log/relay"},
                                              {"generator", "tcp://[::1]:5026"},
                                              {"scenario", "open sky, 8 GPS"}};
    switch (s.kind) {
        case Kind::Number: {
            const double value = s.low + (s.high - s.low) * 0.3701;
            return QString::number(s.whole() ? std::floor(value) : value, 'f', 2);
        }
        case Kind::Age:
            return "90m";
        case Kind::Rate:
            return "auto";
        case Kind::Name:
            return s.takesAuto ? "auto" : s.choices().value(1);
        case Kind::List:
            return s.choices().back();
        case Kind::Flag:
            return "true";
        case Kind::Text:
            break;
    }
    if (QLatin1String(s.key) == QLatin1String("config")) {  // a file that can be read
        static QTemporaryDir dir;
        return writeFile(dir, "c.json", R"({"name": "c", "mtk": ["PMTK220,200"]})");
    }
    return texts.count(s.key) ? texts.at(s.key) : QString();
}

// Each setting a front end offers comes back from it as it was given, and
// each it does not offer as others has it.
void expectSame(const station::PlanSettings& got, const station::PlanSettings& given,
                station::Offer where, const char* front,
                const station::PlanSettings& others = station::PlanSettings()) {
    for (const Setting& s : station::settings()) {
        const auto& want = s.offers(where) ? given : others;
        EXPECT_EQ(text(s.print(got)), text(s.print(want))) << s.key << " through " << front;
    }
}

TEST(Settings, EachComesBackFromEveryFrontEndThatOffersIt) {
    station::Plan given;
    QStringList arguments = {"gps-coldstart-cli", "--no-db"};
    QJsonObject json;
    for (const Setting& s : station::settings()) {
        const QString value = sample(s);
        QString why;
        ASSERT_TRUE(s.parse(given, value, &why)) << s.key << ": " << text(why);
        ASSERT_NE(text(s.print(given)), text(s.print(station::PlanSettings()))) << s.key;
        // A setting of several texts: the option once for each.
        for (const QString& line : s.repeats() ? value.split('\n') : QStringList{value}) {
            arguments << QLatin1String("--") + QLatin1String(s.option);
            if (s.kind != Kind::Flag) arguments << line;
        }
        json.insert(QLatin1String(s.key), s.toJson(given));
    }
    QTemporaryDir dir;
    const cli::Parsed parsed = cli::parseArguments(arguments << "COM1");
    ASSERT_EQ(parsed.action, cli::Parsed::Run) << text(parsed.text);
    expectSame(parsed.options.units.at(0), given, station::kCommandLine, "the command line");

    QString error;
    const auto plan = station::readPlan(
        writeFile(dir, "p.json", QJsonDocument(json).toJson(QJsonDocument::Compact)), &error);
    ASSERT_TRUE(plan) << text(error);
    expectSame(*plan, given, station::kPlanFile, "a plan file");

    stationwin::Settings kept;
    kept.plan = given;
    kept.ports = QStringList{"/dev/ttyUSB0"};
    {
        QSettings store(dir.filePath("s.conf"), QSettings::IniFormat);
        kept.save(store);
    }
    QSettings store(dir.filePath("s.conf"), QSettings::IniFormat);
    QStringList problems;
    expectSame(stationwin::Settings::load(store, &problems).plan, given, station::kStored,
               "the stored settings");
    EXPECT_EQ(problems, QStringList());

    stationwin::SettingsDialog dialog(kept, {});
    expectSame(dialog.settings().plan, given, station::kDialog, "the settings dialog", given);
}

// The station window's settings as an earlier version wrote them (the
// family under "family") load as they were, and are written back the same.
TEST(Settings, StoredByAnEarlierVersionLoadTheSame) {
    const QByteArray written = R"([General]
baud=4800
calibration_max_age=90m
cn0_high=46.5
cn0_low=40
cn0_samples=5
cn0_sv=GPS:1
confirm_timeout_s=45
cycles=3
db=/tmp/r.sqlite
family=mtk
fix_timeout_s=120
lot=L-1
max_offset_db=2.5
max_ttff_s=45.5
min_cn0=
min_sats=4
operator=ana
ports="/dev/ttyUSB3@115200,ublox,hot", COM 3
require_lot_and_operator=false
require_reset=true
start=hot
station=bench-7
tests="fix,signal"
)";
    QTemporaryDir dir;
    QSettings store(writeFile(dir, "old.conf", written), QSettings::IniFormat);
    QStringList problems;
    const stationwin::Settings loaded = stationwin::Settings::load(store, &problems);
    EXPECT_EQ(problems, QStringList());
    EXPECT_EQ(loaded.plan.receiver, "mtk");
    {
        QSettings again(dir.filePath("new.conf"), QSettings::IniFormat);
        loaded.save(again);
    }
    QFile file(dir.filePath("new.conf"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // Settings added since are written unset beside them.
    QByteArray expected = written;
    expected.replace("max_offset_db=", "max_hdop=\nmax_offset_db=");
    expected.replace("min_cn0=", "metrics_file=\nmin_cn0=");
    expected.replace("require_lot", "power=\npower_off_time_s=10\npower_retry=false\nrequire_lot");
    expected.replace("start=", "route_check=\nscenario=\nstart=");
    expected.replace("lot=", "generator=\ngenerator_dialect=rf\nlot=");
    expected.replace("start=hot", "send_after=ready\nstart=hot");
    expected.replace("family=",
                     "deliver=\ndeliver_retry_max_s=300\ndeliver_retry_s=5\n"
                     "deliver_timeout_s=30\ndeliver_url=\nfamily=");
    EXPECT_EQ(file.readAll().toStdString(), expected.toStdString());
}

// A value of the wrong kind in a plan file is named by its key and the kind
// the key takes.
TEST(Settings, PlanFileValuesOfTheWrongKind) {
    const std::pair<QByteArray, const char*> cases[] = {
        {R"({"cycles": 2.5})", "\"cycles\" is not a whole number from 1 to 100000"},
        {R"({"baud": 9601})", "\"baud\" is not a line rate or \"auto\""},
        {R"({"receiver": ""})", "\"receiver\" is not a name"},
        {R"({"to_nmea": "yes"})", "\"to_nmea\" is not true or false"},
        {R"({"calibration_max_age": 30})", "\"calibration_max_age\" is not a text"},
        {R"({"tests": ["fix", 3]})",
         "\"tests\" \"fix,\" is not a list of fix, signal, acquisition, tracking, hold, antenna "
         "and "
         "config, each once"},
        {R"({"cn0_sv": ["GPS:1"]})", "\"cn0_sv\" is not a text"},
        {R"({"deliver": ["print-label", 3]})",
         "\"deliver\" is not a text or an array of one-line texts"},
        {R"({"deliver_url": ["http://mes/r", "mes/r"]})",
         "\"deliver_url\" \"mes/r\" is not an http:// or https:// address"},
        {R"({"send_after": "soon"})", "\"send_after\" \"soon\" is not ready or time"},
        {R"({"start": "factory", "receiver": "casic"})", "a casic receiver has no factory start"},
    };
    QTemporaryDir dir;
    for (const auto& [json, message] : cases) {
        QString error;
        EXPECT_FALSE(station::readPlan(writeFile(dir, "p.json", json), &error)) << message;
        EXPECT_TRUE(error.contains(QLatin1String(message))) << text(error);
    }
}

}  // namespace
