// A slot's golden offset drifting on the station: calibrations of a
// simulated golden unit, over a pseudo-terminal, whose slot loses a little
// more of the generator's signal at each power-up.
#include <gtest/gtest.h>

#include <QDate>
#include <QJsonArray>

#include "clirun.h"

namespace {

using namespace clirun;

// The golden unit behind the generator: GPS:1 read without noise, so that
// each calibration's offset is exact; it falls by drift dB at each power-up.
ReceiverConfig golden(double cn0, double drift) {
    ReceiverConfig config = receiver(Behaviour::Normal);
    config.resetSilenceSeconds = 0;
    config.generator = gpssim::Generator{"GP", 1, cn0, 0, 0, 0, drift};
    return config;
}

// A station run's result for its one unit, among the lines it printed.
QJsonObject resultIn(const QByteArray& printed) {
    for (const QByteArray& line : printed.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains("unit")) return o;
    }
    return {};
}

QStringList alarmsOf(const QJsonObject& o) {
    QStringList list;
    for (const QJsonValue& v : o.value("alarms").toArray()) list << v.toString();
    return list;
}

// Four calibrations alternating 0 and -1 dB freeze the offset's limits:
// centre -0.5 dB, a moving range of 1 dB, sigma 1 / 1.128 = 0.8865 dB.  The
// slot then loses 1 dB at each power-up, offsets 0, 1, 2 and 3 dB (z 0.56,
// 1.69, 2.82, 3.95).  By hand, from the charts' definitions: the EWMA
// (lambda 0.1, L 2.7) reaches -0.0745 over its limit of -0.1241 at the
// third; at the fourth the CUSUM's C+ (k 0.5, h 5 sigma) is 6.23 over 4.43,
// the point is beyond 3 sigma (rule 1) and the second of three beyond 2
// sigma (rule 2).  Each is said by the calibration that raised it, and only
// there; the slot is held from then until an engineer clears it.
TEST(SpcStation, PlantedDriftRaisesItsAlarmsOnceAndHoldsTheSlot) {
    QTemporaryDir dir;
    const QString db = dir.filePath("r.sqlite");
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    Bench bench;
    gpssim::DriverOptions line;
    line.link = dir.filePath("slot");  // the slot's name, whatever unit is in it
    QString port;
    const auto put = [&](const ReceiverConfig& config) {
        if (!port.isEmpty()) bench.unplug("slot");
        port = bench.add("slot", config, line);
    };
    const QStringList common = {"--db",          db,   "--cn0-sv",  "GPS:1", "--cn0-samples", "1",
                                "--fix-timeout", "10", "--station", "st"};
    const auto calibrate = [&] {
        Cli cli;
        cli.start(QStringList{"calibrate", "--golden", "GOLD-1", "--expect", "45", "--json"} +
                  common + QStringList{port});
        EXPECT_EQ(cli.finish(), 0) << cli.progressText();
        const auto objects = cli.objects();
        return objects.size() == 1 ? objects[0] : QJsonObject();
    };
    const auto run = [&](int wantStatus, const QStringList& arguments) {
        Cli cli;
        cli.start(arguments);
        EXPECT_EQ(cli.finish(), wantStatus) << arguments.join(' ').toStdString() << "\n"
                                            << cli.progressText();
        return cli.process.readAllStandardOutput();
    };

    for (int i = 0; i < 4; ++i) {
        put(golden(i % 2 ? 46 : 45, 0));
        EXPECT_EQ(calibrate().value("offset").toDouble(), i % 2 ? -1 : 0) << i;
    }
    const QByteArray frozen =
        run(0, {"spc", "baseline", "--db", db, "--station", "st", "--slot", port, "--series",
                "offset", "--from", today, "--to", today, "--by", "qe"});
    EXPECT_TRUE(frozen.contains("4 points")) << frozen.toStdString();

    put(golden(45, 1));
    const std::vector<QStringList> expected = {
        {}, {}, {"offset-ewma ewma"}, {"offset we1", "offset we2", "offset-cusum cusum"}};
    std::vector<qint64> ids;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (i > 0) bench.powerCycle("slot");
        const QJsonObject o = calibrate();
        EXPECT_EQ(o.value("offset").toDouble(), double(i)) << i;
        EXPECT_EQ(alarmsOf(o), expected[i]) << i;
        ids.push_back(o.value("id").toInteger());
    }

    // Held: the unit in the slot is not tested until the alarms are cleared.
    const QStringList test = QStringList{"--json",    "--test", "signal",      "--hold-on-alarm",
                                         "--cn0-low", "43",     port + "=SN-1"} +
                             common;
    EXPECT_EQ(resultIn(run(3, test)).value("reason"), "slot-held");
    const QByteArray cleared = run(0, {"alarms", "clear", "--db", db, "--station", "st", "--slot",
                                       port, "--by", "qe", "--why", "RF cable replaced"});
    EXPECT_TRUE(cleared.contains("4 alarm(s) cleared by qe")) << cleared.toStdString();
    // Tested again: the drifted reading (42 dB-Hz) corrected by the latest offset.
    const QJsonObject tested = resultIn(run(0, test));
    EXPECT_EQ(tested.value("reason"), "ok");
    EXPECT_EQ(tested.value("signal").toObject().value("cn0_mean").toDouble(), 45);

    // The list: each alarm with the calibration that raised it, and its clearing.
    const QJsonArray listed =
        QJsonDocument::fromJson(run(0, {"report", "--alarms", "--json", "--db", db}))
            .object()
            .value("alarms")
            .toArray();
    QStringList seen;
    for (const QJsonValue& a : listed) {
        seen << QStringLiteral("%1 %2 %3 %4 %5")
                    .arg(a["port"].toString() == port ? QStringLiteral("slot")
                                                      : a["port"].toString(),
                         a["chart"].toString(), a["rule"].toString())
                    .arg(a["calibration_id"].toInteger() == ids[3]   ? 4
                         : a["calibration_id"].toInteger() == ids[2] ? 3
                                                                     : -1)
                    .arg(a["cleared_by"].toString() + '/' + a["cleared_why"].toString());
    }
    seen.sort();
    EXPECT_EQ(seen, (QStringList{"slot offset we1 4 qe/RF cable replaced",
                                 "slot offset we2 4 qe/RF cable replaced",
                                 "slot offset-cusum cusum 4 qe/RF cable replaced",
                                 "slot offset-ewma ewma 3 qe/RF cable replaced"}));
}

}  // namespace
