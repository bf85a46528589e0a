// The end-of-line tests as a line runs them: gps-coldstart-cli against
// simulated receivers of each family that offers them, on real
// pseudo-terminals; the antenna's state and its changes, the configuration
// written, restarted and read back, what is kept in the database, and the
// plans a family cannot take.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QSqlQuery>

#include "clirun.h"
#include "results/store.h"
#include "results/target.h"

namespace {

using namespace clirun;
using gpslink::ReceiverFamily;
using gpssim::Antenna;

ReceiverConfig unitOf(ReceiverFamily family, std::vector<gpssim::AntennaChange> antenna) {
    ReceiverConfig config = receiver(Behaviour::Normal);
    config.family = family;
    config.antenna = std::move(antenna);
    return config;
}

QString familyName(ReceiverFamily family) {
    return QString::fromLatin1(gpslink::nameOf(family).data());
}

QString sha256(const char* text) {
    return QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
}

TEST(EndOfLine, AntennaOfEachFamilyThatReportsIt) {
    Bench bench;
    const struct {
        const char* name;
        ReceiverFamily family;
        std::vector<gpssim::AntennaChange> antenna;
        const char* reason;
        const char* state;
        const char* status;
    } units[] = {
        {"ublox-ok", ReceiverFamily::Ublox, {{0, Antenna::Ok}}, "ok", "ok", "antenna ok"},
        {"ublox-switched",
         ReceiverFamily::Ublox,
         {{0, Antenna::Ok}, {4000, Antenna::Open}},
         "antenna-open",
         "open",
         "antenna open"},
        {"ublox-unknown",
         ReceiverFamily::Ublox,
         {{0, Antenna::Unknown}},
         "antenna-unknown",
         "unknown",
         "antenna unknown"},
        {"casic-open",
         ReceiverFamily::Casic,
         {{0, Antenna::Open}},
         "antenna-open",
         "open",
         "antenna open"},
        {"mtk-short",
         ReceiverFamily::Mtk,
         {{0, Antenna::Short}},
         "antenna-short",
         "short",
         "antenna short"},
        {"mtk-ok", ReceiverFamily::Mtk, {{0, Antenna::Ok}}, "ok", "ok", "antenna ok"},
    };
    QTemporaryDir dir;
    QStringList arguments = {
        "--json",         "--db", dir.filePath("r.sqlite"), "--test", "antenna",
        "--antenna-time", "8",    "--require-antenna"};
    std::map<QString, QString> port;
    for (const auto& u : units)
        arguments << (port[u.name] = bench.add(u.name, unitOf(u.family, u.antenna))) + "@," +
                         familyName(u.family) + "=SN-" + u.name;
    Cli cli;
    cli.start(arguments);
    EXPECT_EQ(cli.finish(), 1) << cli.progressText();
    const auto objects = cli.objects();
    for (const auto& u : units) {
        SCOPED_TRACE(u.name);
        const QJsonObject o = resultFor(objects, port[u.name]);
        EXPECT_EQ(o.value("reason"), u.reason);
        EXPECT_EQ(o.value("antenna"), u.state);
        EXPECT_EQ(o.value("status"), u.status);
        EXPECT_EQ(o.value("tests"), QJsonArray{"antenna"});
        EXPECT_EQ(bench.starts(u.name), 0);
    }
    // The load switched within the run: ok first, open from about 4 s after
    // the receiver's power-up.
    const QJsonArray changes =
        resultFor(objects, port["ublox-switched"])["antenna_changes"].toArray();
    ASSERT_EQ(changes.size(), 2) << QJsonDocument(changes).toJson().toStdString();
    EXPECT_EQ(changes[0]["state"], "ok");
    EXPECT_EQ(changes[1]["state"], "open");
    EXPECT_GT(changes[1]["at_s"].toDouble(), changes[0]["at_s"].toDouble());

    QString error;
    auto store =
        results::Store::open(*results::parseTarget(dir.filePath("r.sqlite"), &error), &error);
    ASSERT_TRUE(store) << error.toStdString();
    QSqlQuery row(store->database());
    ASSERT_TRUE(row.exec("SELECT antenna, antenna_changes, reason FROM results "
                         "WHERE unit = 'SN-ublox-switched'") &&
                row.next());
    EXPECT_EQ(row.value(0).toString(), "open");
    EXPECT_EQ(QJsonDocument::fromJson(row.value(1).toString().toUtf8()).array(), changes);
    EXPECT_EQ(row.value(2).toString(), "antenna-open");
}

TEST(EndOfLine, ConfigurationWrittenRestartedAndReadBack) {
    QTemporaryDir dir;
    const QString file = dir.filePath("L3-out.json");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(R"({"name": "L3-out-v1",
                    "ublox": [{"key": "0x30210001", "value": 200},
                              {"key": "0x209100bb", "value": 0}],
                    "mtk": ["PMTK220,200", "PMTK314,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0"]})");
    }
    Bench bench;
    ReceiverConfig ubloxRefusing = unitOf(ReceiverFamily::Ublox, {{0, Antenna::Ok}});
    ubloxRefusing.refusedItems = {"CFG-MSGOUT-NMEA_ID_GGA_UART1"};
    ReceiverConfig mtkLosing = unitOf(ReceiverFamily::Mtk, {{0, Antenna::Ok}});
    mtkLosing.loseUnsaved = true;
    ReceiverConfig mtkRefusing = unitOf(ReceiverFamily::Mtk, {{0, Antenna::Ok}});
    mtkRefusing.refusedItems = {"PMTK220"};
    const struct {
        const char* name;
        ReceiverConfig config;
        const char* reason;
        const char* status;
        QJsonValue sha;
    } units[] = {
        {"ublox", unitOf(ReceiverFamily::Ublox, {{0, Antenna::Ok}}), "ok",
         "^TTFF \\d+\\.\\d\\d s; antenna ok; configuration L3-out-v1 kept$",
         sha256("0x30210001=200\n0x209100bb=0\n")},
        {"ublox-refusing",
         ubloxRefusing,
         "config-rejected",
         "^configuration L3-out-v1 rejected: 0x209100bb refused \\(UBX-ACK-NAK\\)$",
         {}},
        {"ublox-open",
         unitOf(ReceiverFamily::Ublox, {{0, Antenna::Open}}),
         "antenna-open",
         "^antenna open$",
         {}},
        {"mtk", unitOf(ReceiverFamily::Mtk, {{0, Antenna::Ok}}), "ok",
         "configuration L3-out-v1 kept$",
         sha256("PMTK500,200,0,0,0,0\nPMTK514,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0\n")},
        {"mtk-losing",
         mtkLosing,
         "config-mismatch",
         "^configuration L3-out-v1 not kept: PMTK220 reads back 1000, not 200$",
         {}},
        {"mtk-refusing",
         mtkRefusing,
         "config-rejected",
         "^configuration L3-out-v1 rejected: PMTK220 refused \\(\\$PMTK001,220,2\\)$",
         {}},
    };
    QStringList arguments = {"--json",   "--no-db", "--test",        "fix,antenna,config",
                             "--config", file,      "--fix-timeout", "20",
                             "--start",  "hot"};
    std::map<QString, QString> port;
    for (const auto& u : units)
        arguments << (port[u.name] = bench.add(u.name, u.config)) + "@," +
                         familyName(u.config.family) + "=SN-" + u.name;
    Cli cli;
    cli.start(arguments);
    EXPECT_EQ(cli.finish(), 1) << cli.progressText();
    const auto objects = cli.objects();
    for (const auto& u : units) {
        SCOPED_TRACE(u.name);
        const QJsonObject o = resultFor(objects, port[u.name]);
        EXPECT_EQ(o.value("reason"), u.reason);
        EXPECT_TRUE(QRegularExpression(u.status).match(o.value("status").toString()).hasMatch())
            << o.value("status").toString().toStdString();
        EXPECT_EQ(o.value("config_sha256"), u.sha);
        // The unit that failed its measurements is not programmed.
        EXPECT_EQ(o.value("config"),
                  u.reason == std::string("antenna-open") ? QJsonValue() : QJsonValue("L3-out-v1"));
        EXPECT_EQ(o.value("tests"), QJsonArray({"fix", "antenna", "config"}));
    }
}

// Plans a unit's family cannot take are refused before a port is opened.
TEST(EndOfLine, PlansAFamilyCannotTake) {
    QTemporaryDir dir;
    const QString file = dir.filePath("c.json");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(R"({"name": "c", "ublox": [{"key": "0x30210001", "value": 200}],
                    "casic": ["PCAS02,1000"]})");
    }
    const struct {
        QStringList arguments;
        const char* error;
    } mistakes[] = {
        {{"--test", "antenna", "/dev/null@,sirf"},
         "/dev/null: a sirf receiver does not report its antenna: the antenna test is for "
         "ublox, casic and mtk receivers"},
        {{"--test", "antenna", "/dev/null@,quectel-lg"}, "a quectel-lg receiver does not report"},
        {{"--test", "config", "/dev/null"}, "a config test needs the configuration: --config FILE"},
        {{"--test", "config", "--config", file, "/dev/null@,casic"},
         "/dev/null: a casic receiver's settings cannot be read back (no query of them is "
         "published): the config test is for ublox and mtk receivers"},
        {{"--test", "config", "--config", file, "/dev/null@,mtk"},
         "configuration c has no items for a mtk receiver"},
        {{"--test", "fix,antenna,antenna", "/dev/null"},
         "--test: \"fix,antenna,antenna\" is not a list of fix, signal, antenna and config, each "
         "once"},
        {{"--config", dir.filePath("none.json"), "/dev/null"}, "--config: configuration "},
    };
    for (const auto& m : mistakes) {
        SCOPED_TRACE(m.error);
        Cli cli;
        cli.start(QStringList{"--no-db"} + m.arguments);
        EXPECT_EQ(cli.finish(), 2);
        EXPECT_TRUE(cli.progressText().find(m.error) != std::string::npos) << cli.progressText();
    }
}

}  // namespace
