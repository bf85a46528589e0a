// gps-coldstart-cli in a line: the route check and the fixture's power switch,
// each a shell script the test writes, against simulated receivers; and the
// time limit those commands are promised.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "clirun.h"
#include "results/store.h"
#include "station/hook.h"

namespace {

using namespace clirun;

QString script(const QTemporaryDir& dir, const char* name, const QString& body) {
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n" + body.toUtf8());
    file.close();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    return path;
}

QJsonObject forUnit(const std::vector<QJsonObject>& objects, const QString& unit) {
    for (const QJsonObject& o : objects)
        if (o.value("unit").toString() == unit) return o;
    return {};
}

QStringList lines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The line's command, each unit on its own slot in one run: only "allow"
// starts a unit; a refusal keeps it out of the results; a failed command is a
// station fault naming what happened (every way it fails: decisions_test's Hook).
TEST(Line, TheRouteCheckAllowsRefusesAndNeverLetsAFailurePass) {
    QTemporaryDir dir;
    const QString asked = dir.filePath("asked");
    const QString check = script(dir, "route-check",
                                 QStringLiteral(R"(input=$(cat)
echo "$input" >> '%1'
case "$input" in
  *'"unit":"SN-allowed"'*) echo '{"allow": true}' ;;
  *'"unit":"SN-held"'*) echo '{"allow": false, "reason": "on hold: burn-in missing"}' ;;
  *'"unit":"SN-crashed"'*) kill -SEGV $$ ;;
  *'"unit":"SN-failing"'*) echo 'MES unreachable' >&2; exit 2 ;;
esac
)")
                                     .arg(asked));
    Bench bench;
    const QStringList names = {"allowed", "held", "crashed", "failing"};
    QStringList arguments = {
        "--json",    "--db",   dir.filePath("r.sqlite"), "--lot", "WO-17", "--operator", "ana",
        "--station", "line-3", "--route-check",          check};
    std::map<QString, QString> port;
    for (const QString& name : names) {
        port[name] = bench.add(name, receiver(Behaviour::Normal));
        arguments << port[name] + "@9600=SN-" + name;
    }
    Cli cli;
    cli.start(arguments);
    EXPECT_EQ(cli.finish(), 3) << cli.progressText();  // the failed checks are station faults
    EXPECT_NE(cli.progressText().find(port["held"].toStdString() +
                                      ": refused by the line: on hold: burn-in missing"),
              std::string::npos)
        << cli.progressText();

    const auto objects = cli.objects();
    ASSERT_EQ(objects.size(), names.size());
    const QJsonObject allowed = forUnit(objects, "SN-allowed");
    EXPECT_EQ(allowed["result"].toString() + " " + allowed["lot"].toString() + " " +
                  allowed["operator"].toString(),
              "pass WO-17 ana");
    EXPECT_EQ(bench.starts("allowed"), 1);
    const QJsonObject held = forUnit(objects, "SN-held");
    EXPECT_EQ(held["result"], "refused");
    EXPECT_EQ(held["refusal"], "on hold: burn-in missing");
    const struct {
        const char* name;
        const char* status;
    } faults[] = {
        {"crashed", "the route check crashed"},
        {"failing", "the route check exited with status 2: MES unreachable"},
    };
    for (const auto& f : faults) {
        const QJsonObject r = forUnit(objects, QStringLiteral("SN-") + f.name);
        EXPECT_EQ(r["result"], "station-fault") << f.name;
        EXPECT_EQ(r["reason"], "route-check-failed") << f.name;
        EXPECT_TRUE(r["status"].toString().startsWith(f.status))
            << f.name << ": " << r["status"].toString().toStdString();
    }
    for (const char* untested : {"held", "crashed", "failing"})
        EXPECT_EQ(bench.starts(untested), 0) << untested << " was commanded";

    // What the line was told, one object per unit.
    const QStringList told = lines(asked);
    ASSERT_EQ(told.size(), names.size());
    const QJsonObject first =
        QJsonDocument::fromJson(told.filter("SN-allowed").value(0).toUtf8()).object();
    EXPECT_EQ(first, (QJsonObject{{"unit", "SN-allowed"},
                                  {"station", "line-3"},
                                  {"slot", 1},
                                  {"port", port["allowed"]},
                                  {"lot", "WO-17"},
                                  {"operator", "ana"},
                                  {"plan", ""},
                                  {"plan_sha256", first["plan_sha256"]}}));

    // The refusal is kept beside the results, not among them.
    QString error;
    auto store =
        results::Store::open(*results::parseTarget(dir.filePath("r.sqlite"), &error), &error);
    ASSERT_TRUE(store) << error.toStdString();
    QSqlQuery q(store->database());
    ASSERT_TRUE(
        q.exec("SELECT unit || ' ' || station || ' ' || lot || ' ' || operator || ' ' || "
               "port || ' ' || reason FROM route_refusals"));
    QStringList refusals;
    while (q.next()) refusals << q.value(0).toString();
    EXPECT_EQ(refusals, QStringList("SN-held line-3 WO-17 ana " + port["held"] +
                                    " on hold: burn-in missing"));
    ASSERT_TRUE(q.exec("SELECT count(*), sum(unit = 'SN-held') FROM results") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 3);
    EXPECT_EQ(q.value(1).toInt(), 0);
}

// The fixture's power switch: a power start with and without the unit's
// backup supply, timed from power-on; a silent unit revived by switching its
// slot off and on; and a switch that fails.  The command is a shell line:
// the station's words arrive as "$@", once.  (A unit that stays silent and a
// relay that does not switch: the sequencer's, the preparation's and the
// power proof's tests.)
TEST(Line, PowerStartsAndASilentUnitSwitchedOffAndOn) {
    QTemporaryDir dir;
    const QString log = dir.filePath("power.log");
    const QString power = QStringLiteral(R"('%1' "$@" >> '%2')")
                              .arg(script(dir, "power",
                                          QStringLiteral(R"(echo "$*"
if [ "$1" = 3 ]; then echo 'relay 3 does not answer' >&2; exit 1; fi
echo "$3" > '%1'/power-$1
)")
                                              .arg(dir.path())),
                                   log);
    const auto switched = [&](int slot, const char* state) {  // its supply
        gpssim::DriverOptions line;
        line.powerFile = dir.filePath(QStringLiteral("power-%1").arg(slot));
        QFile file(line.powerFile);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(state) > 0);
        return line;
    };
    ReceiverConfig cold = receiver(Behaviour::Normal, 6);
    ReceiverConfig backup = cold;
    backup.backupSupply = true;
    backup.warmTtffSeconds = 1;
    Bench bench;
    const QString ports[] = {
        bench.add("cold", cold, switched(1, "on")) + "@9600,sirf,power=SN-cold",
        bench.add("revived", receiver(Behaviour::Normal), switched(2, "off")) + "@9600=SN-revived",
        bench.add("stuck", cold, switched(3, "on")) + "@9600,sirf,power=SN-stuck",
        bench.add("backup", backup, switched(4, "on")) + "@9600,sirf,power=SN-backup",
    };
    Cli cli;
    cli.start(QStringList{"--json", "--no-db", "--power", power, "--power-off-time", "1",
                          "--power-retry", "--fix-timeout", "40"} +
              QStringList(std::begin(ports), std::end(ports)));
    EXPECT_EQ(cli.finish(), 3) << cli.progressText();  // the station fault
    const auto objects = cli.objects();

    // TTFF from power-on, as the receiver itself saw it, cold and warm.  The
    // station's clock starts when "on" has ended, the receiver's when it
    // sees the switch (up to 100 ms later); the fix arrives a moment after.
    const QJsonObject c = forUnit(objects, "SN-cold"), b = forUnit(objects, "SN-backup");
    for (const auto& [name, r] : {std::pair{"cold", c}, std::pair{"backup", b}}) {
        EXPECT_EQ(r["result"], "pass") << r["status"].toString().toStdString();
        EXPECT_EQ(r["start"], "power");
        EXPECT_GE(r["ttff_s"].toDouble(), bench.ttff(name) - 0.5) << name;
        EXPECT_LE(r["ttff_s"].toDouble(), bench.ttff(name) + 1.0) << name;
        EXPECT_TRUE(r["reset_verified"].toBool()) << name << ": the station switched its supply";
        EXPECT_EQ(bench.powerUps(name), 1) << name;
        EXPECT_EQ(bench.starts(name), 0) << name << ": a power start sends no command";
    }
    EXPECT_LT(b["ttff_s"].toDouble(), c["ttff_s"].toDouble() - 2);

    const QJsonObject revived = forUnit(objects, "SN-revived");
    EXPECT_EQ(revived["result"], "pass") << revived["status"].toString().toStdString();
    EXPECT_EQ(bench.powerUps("revived"), 1);
    EXPECT_EQ(bench.starts("revived"), 1);  // its cold start, once it talked
    const QJsonObject stuck = forUnit(objects, "SN-stuck");
    EXPECT_EQ(stuck["result"].toString() + " " + stuck["reason"].toString(),
              "station-fault power-failed");
    EXPECT_EQ(stuck["status"].toString(),
              "the power command (off) exited with status 1: relay 3 does not answer");

    // Each slot switched off, then on, once: SLOT PORT off|on.
    std::map<int, QStringList> perSlot;
    for (const QString& line : lines(log)) perSlot[line.section(' ', 0, 0).toInt()] << line;
    for (int slot = 1; slot <= 4; ++slot) {
        const QString port = ports[slot - 1].section('@', 0, 0);
        EXPECT_EQ(perSlot[slot], slot == 3 ? QStringList{"3 " + port + " off"}
                                           : QStringList({QString("%1 %2 off").arg(slot).arg(port),
                                                          QString("%1 %2 on").arg(slot).arg(port)}))
            << "slot " << slot;
    }
}

// The limit is a promise: a command that does not end is killed, but never
// before its time.  Several limits, so that a timer rounded to a tidy moment
// (as a coarse one is, up to 5 % either way) lands early for some of them.
TEST(Line, ACommandIsNeverKilledBeforeItsTime) {
    constexpr int kCommands = 8;
    station::Hook hooks[kCommands];
    QElapsedTimer clock;
    qint64 endedMs[kCommands] = {};
    station::HookEnd ends[kCommands];
    int ended = 0;
    clock.start();
    for (int i = 0; i < kCommands; ++i) {
        hooks[i].run(station::hookCommand("sleep 60", {}), {}, 1000 + 45 * i,
                     [&, i](const station::HookEnd& end) {
                         endedMs[i] = clock.elapsed();
                         ends[i] = end;
                         ++ended;
                     });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended == kCommands; }, 60000));
    for (int i = 0; i < kCommands; ++i) {
        EXPECT_TRUE(ends[i].timedOut) << i;
        EXPECT_GE(endedMs[i], ends[i].timeoutMs) << "killed early";
    }
}

}  // namespace

// The plant's monitoring reads the station's figures from a file the station
// keeps whole: after a run of a passing and a silent unit it holds both
// results by slot, the passing unit's TTFF and no serial number, and
// Prometheus' own checker (promtool, Debian's prometheus package) finds
// nothing to say about it.
TEST(Line, TheMetricsFilePassesPromtool) {
    QTemporaryDir dir;
    const QString metrics = dir.filePath("station.prom");
    Bench bench;
    const QString good = bench.add("good", receiver(Behaviour::Normal));
    const QString quiet = bench.add("quiet", receiver(Behaviour::Silent));
    Cli cli;
    cli.start({"--json", "--db", dir.filePath("r.sqlite"), "--station", "line-3", "--metrics-file",
               metrics, good + "@9600=SN-GOOD-1", quiet + "@9600=SN-QUIET-2"});
    EXPECT_EQ(cli.finish(), 1) << cli.progressText();  // the silent unit fails

    QFile file(metrics);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << metrics.toStdString();
    const QString text = QString::fromUtf8(file.readAll());
    const QString tested = R"(gps_coldstart_units_tested_total{station="line-3",slot="%1",)";
    EXPECT_TRUE(text.contains(tested.arg(good) + R"(result="pass",reason="ok"} 1)"))
        << text.toStdString();
    EXPECT_TRUE(text.contains(tested.arg(quiet) + R"(result="fail",reason="no-data"} 1)"));
    EXPECT_TRUE(text.contains(
        QStringLiteral(R"(gps_coldstart_ttff_seconds_count{station="line-3",slot="%1"} 1)")
            .arg(good)));
    EXPECT_FALSE(text.contains("SN-")) << "a serial number is no label";

    const QString promtool = QStandardPaths::findExecutable("promtool");
    if (promtool.isEmpty())
        GTEST_SKIP() << "promtool is not installed (apt-get install prometheus)";
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.setStandardInputFile(metrics);
    check.start(promtool, {"check", "metrics"});
    ASSERT_TRUE(check.waitForFinished(60000));
    const QByteArray said = check.readAll();
    EXPECT_EQ(check.exitCode(), 0) << said.toStdString();
    EXPECT_EQ(said, QByteArray()) << "a warning: " << said.toStdString();
}

// The station opens the plan's generator before any unit starts, records its
// identity with each result and leaves its output off; an instrument that
// fails is the station's fault for every unit, never a unit's fail.
TEST(Line, TheGeneratorIsSetBeforeTheUnitsAndLeftOff) {
    QTemporaryDir dir;
    {
        GeneratorSim generator({});
        Bench bench;
        const QString unit = bench.add("unit", receiver(Behaviour::Normal));
        Cli cli;
        cli.start({"--json", "--no-db", "--generator", generator.url(), "--level", "-130",
                   unit + "@9600=SN-1"});
        EXPECT_EQ(cli.finish(), 0) << cli.progressText();
        const auto results = cli.objects();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_TRUE(results[0]["generator"].toString().contains("gps-generator-sim"))
            << QJsonDocument(results[0]).toJson().toStdString();
        EXPECT_EQ(generator.ask("OUTP?"), "0");
    }
    {
        // The instrument answers its identity, then reports an error.
        GeneratorSim generator({"--error-at", "4"});
        Bench bench;
        const QString a = bench.add("a", receiver(Behaviour::Normal));
        const QString b = bench.add("b", receiver(Behaviour::Normal));
        Cli cli;
        cli.start({"--json", "--no-db", "--generator", generator.url(), "--level", "-130",
                   a + "@9600=SN-A", b + "@9600=SN-B"});
        EXPECT_EQ(cli.finish(), 3) << cli.progressText();
        EXPECT_EQ(cli.objects().size(), 2u) << cli.progressText();
        for (const QJsonObject& result : cli.objects()) {
            EXPECT_EQ(result["reason"].toString(), "instrument-fault");
            EXPECT_TRUE(result["status"].toString().contains("instrument 127.0.0.1:"))
                << result["status"].toString().toStdString();
        }
        EXPECT_EQ(generator.ask("OUTP?"), "0");
    }
}

// A slot calibrated at a known level, then a unit's acquisition sensitivity
// found over its line: the cold starts judged by the unit's own GGAs.
TEST(Line, AcquisitionSensitivityOverTheLine) {
    QTemporaryDir dir;
    GeneratorSim generator({"--dialect", "gsg"});
    const QString url = generator.url();
    gpssim::DriverOptions line;
    line.generatorHost = QStringLiteral("127.0.0.1");
    line.generatorPort = quint16(url.section(':', -1).toUInt());
    ReceiverConfig config = receiver(Behaviour::Normal);
    config.rf = gpssim::RfInput{};
    config.rf->pathLoss = 6;  // the slot's, which only its calibration tells the station
    config.rf->acquisitionDbm = -140;
    Bench bench;
    const QString unit = bench.add("unit", config, line);
    const QStringList instrument{
        "--generator", url,    "--generator-dialect",   "gsg", "--scenario", "open sky", "--level",
        "-130",        "--db", dir.filePath("r.sqlite")};

    Cli calibrate;
    calibrate.start(QStringList{"calibrate", "--golden", "GOLD-1", "--expect", "42", "--cn0-sv",
                                "GPS:7", "--cn0-samples", "2", "--quiet"} +
                    instrument + QStringList{unit});
    EXPECT_EQ(calibrate.finish(), 0) << calibrate.progressText();

    Cli run;
    run.start(QStringList{"--json", "--test", "fix,acquisition", "--acquisition-top", "-124",
                          "--fix-timeout", "8"} +
              instrument + QStringList{unit + "=SN-1"});
    EXPECT_EQ(run.finish(), 0) << run.progressText();
    const auto results = run.objects();
    ASSERT_EQ(results.size(), 1u);
    const QJsonObject& r = results[0];
    EXPECT_EQ(r["result"].toString(), "pass") << QJsonDocument(r).toJson().toStdString();
    EXPECT_LE(r["cold_starts"].toInt(), 6);
    // The unit's threshold behind the slot's calibrated loss (within the
    // golden satellite's own spread).
    EXPECT_NEAR(r["acquisition_dbm"].toDouble(99), -140, 1.5)
        << QJsonDocument(r).toJson().toStdString();
    EXPECT_EQ(generator.ask("OUTP?"), "0");
}
