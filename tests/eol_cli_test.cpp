// The end-of-line tests as a line runs them: gps-coldstart-cli against
// simulated receivers of each family that offers them, on real pseudo-terminals.
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

// Each family that reports its antenna, end to end; each state in each
// family's form is the simulator's and the decoders' (sim_test's FrontEnd),
// how each is judged the antenna test's (eol_test).
TEST(EndOfLine, AntennaOfEachFamilyThatReportsIt) {
    Bench bench;
    const struct {
        const char* name;
        ReceiverFamily family;
        std::vector<gpssim::AntennaChange> antenna;
        const char* state;  // as judged last; the reason and status follow from it
    } units[] = {
        {"ublox-switched",
         ReceiverFamily::Ublox,
         {{0, Antenna::Ok}, {4000, Antenna::Open}},
         "open"},
        {"casic-short", ReceiverFamily::Casic, {{0, Antenna::Short}}, "short"},
        {"casic-silent", ReceiverFamily::Casic, {}, "unknown"},
        {"mtk-ok", ReceiverFamily::Mtk, {{0, Antenna::Ok}}, "ok"},
    };
    QStringList arguments = {"--json",         "--no-db", "--test",           "antenna",
                             "--antenna-time", "8",       "--require-antenna"};
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
        const QString state = u.state;
        EXPECT_EQ(o.value("reason"), state == "ok" ? state : "antenna-" + state);
        EXPECT_EQ(o.value("antenna"), state);
        EXPECT_EQ(o.value("status"), "antenna " + state);
        EXPECT_EQ(o.value("tests"), QJsonArray{"antenna"});
        EXPECT_EQ(bench.starts(u.name), 0);
    }
    // The load switched within the run: ok first, open from about 4 s on.
    const QJsonArray changes =
        resultFor(objects, port["ublox-switched"])["antenna_changes"].toArray();
    ASSERT_EQ(changes.size(), 2) << QJsonDocument(changes).toJson().toStdString();
    EXPECT_EQ(changes[0]["state"], "ok");
    EXPECT_EQ(changes[1]["state"], "open");
    EXPECT_GT(changes[1]["at_s"].toDouble(), changes[0]["at_s"].toDouble());
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
    // A worn flash: every save acknowledged, nothing kept.  Its RAM outlives a
    // GNSS-only restart, as published, so only a reset that rebuilds the
    // running configuration from what was saved shows it.
    ReceiverConfig ubloxForgetting = unitOf(ReceiverFamily::Ublox, {{0, Antenna::Ok}});
    ubloxForgetting.failingMemory = true;
    const char* ubloxSaved = "0x30210001=200\n0x209100bb=0\n";
    // Each way each family's items fail is the configuration test's (eol_test);
    // that what is saved outlives a restart that loses the rest, the
    // simulator's layers (sim_test) under the station's forms (eol_test); that
    // a unit that failed is not programmed, the sequencer's (sequencer_test).
    const struct {
        const char* name;
        ReceiverConfig config;
        const char *reason, *status, *saved;  // saved: the items kept, whose SHA-256 is printed
    } units[] = {
        {"ublox", unitOf(ReceiverFamily::Ublox, {{0, Antenna::Ok}}), "ok",
         "^TTFF \\d+\\.\\d\\d s; antenna ok; configuration L3-out-v1 kept$", ubloxSaved},
        {"ublox-refusing", ubloxRefusing, "config-rejected",
         "^configuration L3-out-v1 rejected: 0x209100bb refused \\(UBX-ACK-NAK\\)$", nullptr},
        {"ublox-forgetting", ubloxForgetting, "config-mismatch",
         "^configuration L3-out-v1 not kept: 0x30210001 reads back 1000, not 200$", nullptr},
        {"mtk", unitOf(ReceiverFamily::Mtk, {{0, Antenna::Ok}}), "ok",
         "configuration L3-out-v1 kept$",
         "PMTK500,200,0,0,0,0\nPMTK514,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0\n"},
    };
    // Commanded with the fifth GGA time, each unit has its fix to lose: the
    // reset is proven and the status is the tests' own.
    QStringList arguments = {"--json",   "--no-db", "--test",        "fix,antenna,config",
                             "--config", file,      "--fix-timeout", "20",
                             "--start",  "hot",     "--send-after",  "time"};
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
        EXPECT_EQ(o.value("config_sha256"), u.saved ? QJsonValue(sha256(u.saved)) : QJsonValue());
        EXPECT_EQ(o.value("config"), "L3-out-v1");
        EXPECT_EQ(o.value("tests"), QJsonArray({"fix", "antenna", "config"}));
    }
}

// A slot calibrated three times with a u-blox golden unit learns its RF
// limits; a unit whose AGC is off fails though its C/N0 passes, its family
// found by listening.
TEST(EndOfLine, RfHealthAgainstTheGoldenUnitsFigures) {
    QTemporaryDir dir;
    const QString db = dir.filePath("r.sqlite");
    Bench bench;
    std::map<QString, QString> slot, running;  // by slot: its link, its simulator
    int units = 0;
    auto put = [&](const QString& name, int agc) {
        ReceiverConfig config = unitOf(ReceiverFamily::Ublox, {});
        config.generator = gpssim::Generator{"GP", 1, 45, 0, 0, 0.5};
        config.frontEnd.agc = agc;
        config.frontEnd.spread = 20;
        config.seed = ++units;
        gpssim::DriverOptions line;
        line.link = dir.filePath(name);
        const QString simulator = name + QString::number(units);
        if (running.count(name)) bench.unplug(running[name]);
        bench.add(running[name] = simulator, config, line);
        slot[name] = line.link;
    };
    const QStringList common = {"--db",          db,           "--cn0-sv",      "GPS:1",
                                "--cn0-samples", "3",          "--fix-timeout", "10",
                                "--json",        "--receiver", "ublox"};
    put("A", 2800);
    put("B", 2800);
    for (int i = 0; i < 3; ++i) {
        Cli calibrate;
        calibrate.start(QStringList{"calibrate", "--golden", "G", "--expect", "45"} + common +
                        QStringList{slot["A"]} + (i == 0 ? QStringList{slot["B"]} : QStringList{}));
        EXPECT_EQ(calibrate.finish(), 0) << calibrate.progressText();
    }
    put("A", 1200);  // a damaged front end
    Cli run;
    run.start(common + QStringList{"--test", "signal", "--cn0-low", "40", "--rf-golden-runs", "3",
                                   slot["A"] + "@,auto=SN-A", slot["B"] + "=SN-B"});
    EXPECT_EQ(run.finish(), 1) << run.progressText();
    const auto objects = run.objects();
    const QJsonObject damaged = resultFor(objects, slot["A"]);
    EXPECT_EQ(damaged.value("reason"), "rf-health");
    EXPECT_EQ(damaged.value("receiver"), "ublox");
    EXPECT_TRUE(QRegularExpression("^GPS:1 C/N0 45\\.\\d\\d dB-Hz, AGC 1\\d{3} outside 2\\d{3} to "
                                   "2\\d{3}$")
                    .match(damaged.value("status").toString())
                    .hasMatch())
        << damaged.value("status").toString().toStdString();
    EXPECT_NEAR(damaged.value("agc").toDouble(), 1200, 20);
    EXPECT_NEAR(damaged.value("noise").toDouble(), 90, 20);
    EXPECT_NEAR(damaged.value("jamming").toDouble(), 5, 20);
    const QJsonObject few = resultFor(objects, slot["B"]);
    EXPECT_EQ(few.value("reason"), "calibration-needed");
    EXPECT_EQ(few.value("status"), "slot 2 needs calibration: " + slot["B"] +
                                       ", 1 golden runs with RF figures, fewer than 3");

    QString error;
    auto store = results::Store::open(*results::parseTarget(db, &error), &error);
    ASSERT_TRUE(store) << error.toStdString();
    QSqlQuery row(store->database());
    // Each golden run's figures kept (their AGC is in the verdict above).
    ASSERT_TRUE(row.exec("SELECT count(*), min(noise), min(jamming) FROM calibrations WHERE "
                         "port = '" +
                         slot["A"] + "'") &&
                row.next());
    EXPECT_EQ(row.value(0).toInt(), 3);
    EXPECT_NEAR(row.value(1).toDouble(), 90, 20);
    EXPECT_NEAR(row.value(2).toDouble(), 5, 20);

    // The report's page shows each figure per slot, and in its statistics.
    Cli report;
    report.start({"report", "--db", db, "--html", dir.filePath("r.html")});
    EXPECT_EQ(report.finish(), 0) << report.progressText();
    QFile page(dir.filePath("r.html"));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    const qsizetype rf = html.indexOf("AGC count, per slot");
    for (const char* figure : {"AGC count, per slot", "Noise level, per slot",
                               "Jamming indicator, per slot", "stat.agc.mean"})
        EXPECT_TRUE(html.contains(figure)) << figure;
    EXPECT_TRUE(html.indexOf(slot["A"], rf) > rf);
}

}  // namespace
