// The signal test and the slots' calibrations: ages as the options take
// them, calibrations kept on both engines, and the whole method end to end
// on pseudo-terminals with simulated receivers behind a signal generator.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QSqlQuery>

#include "cli/options.h"
#include "clirun.h"
#include "results/store.h"
#include "station/config.h"
#include "testkit/pgserver.h"

namespace {

using namespace clirun;
using results::testing::PgServer;

TEST(SignalOptions, AgesAndTheirMistakes) {
    const std::pair<const char*, double> ages[] = {
        {"90s", 90}, {"30m", 1800}, {"24h", 86400}, {"1.5h", 5400}, {"0.5s", 0.5},
        {"", -1},    {"24", -1},    {"h", -1},      {"-1h", -1},    {"0s", -1},
        {"1d", -1},  {" 1h", -1},   {"1,5h", -1},   {"1hh", -1},    {"infh", -1},
    };
    for (const auto& [text, seconds] : ages)
        EXPECT_EQ(station::parseAge(text).value_or(-1), seconds) << text;
    const std::pair<QStringList, const char*> mistakes[] = {
        {{"--calibration-max-age", "24"}, "--calibration-max-age: \"24\" is not an age"},
        {{"--test", "signal"}, "--cn0-sv SYS:PRN"},
        {{"--test", "fix,fix"},
         "--test: \"fix,fix\" is not a list of fix, signal, acquisition, tracking, hold, antenna "
         "and "
         "config, each once"},
        {{"--cn0-sv", "GPS1"}, "--cn0-sv: \"GPS1\" is not SYS:PRN"},
    };
    for (const auto& [arguments, message] : mistakes) {
        const cli::Parsed parsed =
            cli::parseArguments(QStringList{"gps-coldstart-cli", "/dev/null"} + arguments);
        EXPECT_EQ(parsed.exitStatus, 2) << message;
        EXPECT_TRUE(parsed.text.contains(QLatin1String(message))) << parsed.text.toStdString();
    }
    // A plan file carries them too, every key checked.
    QTemporaryDir dir;
    auto plan = [&](const QByteArray& json, QString* error) {
        QFile file(dir.filePath("p.json"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
        file.close();
        return station::readPlan(file.fileName(), error);
    };
    QString error;
    const auto read = plan(R"({"tests": ["signal", "fix"], "cn0_sv": "galileo:11", "cn0_samples": 5,
        "cn0_low": 40, "cn0_high": 46, "max_offset_db": 3, "calibration_max_age": "30m"})",
                           &error);
    ASSERT_TRUE(read) << error.toStdString();
    EXPECT_EQ(read->tests, QStringList({"fix", "signal"}));
    EXPECT_EQ(read->cn0Sv, "Galileo:11");
    EXPECT_EQ(std::tuple(read->cn0Samples, *read->limits.least(results::Measure::SignalCn0),
                         *read->limits.most(results::Measure::SignalCn0), read->maxOffsetDb,
                         read->calibrationMaxAgeS),
              std::tuple(5, 40.0, 46.0, 3.0, 1800.0));
    EXPECT_FALSE(plan(R"({"calibration_max_age": "1 day"})", &error));
    EXPECT_TRUE(error.contains("\"calibration_max_age\" \"1 day\" is not an age"))
        << error.toStdString();
}

// Each calibration keeps its id; the slot's latest and the one before it
// are its own, on both engines.
class Calibrations : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Engines, Calibrations, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

TEST_P(Calibrations, LatestAndPreviousPerSlot) {
    QTemporaryDir dir;
    std::unique_ptr<PgServer> server;
    QString db = dir.filePath("r.sqlite");
    if (GetParam()) {
        if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
        server = std::make_unique<PgServer>();
        ASSERT_TRUE(server->ok()) << server->error().toStdString();
        qputenv("PGPASSWORD", PgServer::kPassword);
        db = server->url("postgres");
    }
    QString error;
    auto store = results::Store::open(*results::parseTarget(db, &error), &error);
    ASSERT_TRUE(store) << error.toStdString();
    const QDateTime t0 = QDateTime::currentDateTimeUtc().addSecs(-60);
    std::optional<results::Calibration> previous;
    std::vector<qint64> ids;
    for (const auto& [port, offset, at] :
         {std::tuple{"/dev/a", 1.5, 0}, std::tuple{"/dev/b", 4.0, 10},
          std::tuple{"/dev/a", 3.25, 20}}) {
        results::Calibration c{0,  t0.addSecs(at), "st",   port, "op", "GOLD-1",
                               45, 45 - offset,    offset, {},   {},   {}};
        const auto id = store->saveCalibration(c, &previous, &error);
        ASSERT_TRUE(id) << error.toStdString();
        ids.push_back(*id);
    }
    EXPECT_TRUE(ids[0] < ids[1] && ids[1] < ids[2]);
    ASSERT_TRUE(previous);  // the third's: the first of /dev/a, not /dev/b's
    EXPECT_EQ(previous->id, ids[0]);
    EXPECT_EQ(previous->offset, 1.5);
    const auto a = store->calibrations("st", "/dev/a", 2, &error);
    ASSERT_TRUE(a && a->size() == 2) << error.toStdString();
    EXPECT_EQ((*a)[0].id, ids[2]);
    EXPECT_EQ((*a)[0].offset, 3.25);
    EXPECT_EQ((*a)[0].time, t0.addSecs(20));
    EXPECT_EQ((*a)[0].golden, "GOLD-1");
    EXPECT_TRUE(store->calibrations("other", "/dev/a", 1, &error)->empty());
}

// A receiver behind the generator: GPS:1 at 45 dB-Hz, less the slot's loss,
// plus the unit's own offset.  The time is known after a second.
ReceiverConfig behindGenerator(double loss, double unitOffset, int prn = 1, int ttffS = 2) {
    ReceiverConfig config = receiver(Behaviour::Normal, ttffS);
    config.generator = gpssim::Generator{"GP", prn, 45, loss, unitOffset, 0.5};
    return config;
}

std::map<QString, QJsonObject> byPort(Cli& cli) {
    std::map<QString, QJsonObject> found;
    for (const QJsonObject& o : cli.objects()) found[o.value("port").toString()] = o;
    return found;
}

TEST(SignalTest, CalibratedSlotsThenUnitsMeasured) {
    QTemporaryDir dir;
    const QString db = dir.filePath("r.sqlite");
    Bench bench;
    // Each slot's port keeps its name (a link, as udev makes) whatever unit is in it.
    std::map<QString, QString> slot;
    auto put = [&](const QString& name, const ReceiverConfig& config) {
        gpssim::DriverOptions line;
        line.link = dir.filePath(name);
        if (slot.count(name)) bench.unplug(name);
        slot[name] = bench.add(name, config, line);
    };
    const QStringList common = {
        "--db", db,       "--cn0-sv",  "GPS:1", "--cn0-samples", "3", "--fix-timeout",
        "10",   "--json", "--station", "st"};
    auto calibrate = [&](const QStringList& ports, const QString& expect) {
        auto cli = std::make_unique<Cli>();
        cli->start(QStringList{"calibrate", "--golden", "GOLD-1", "--expect", expect} + common +
                   ports);
        return cli;
    };

    // The golden unit in five slots: losses of 0, 2, 1 and 8 dB, and one
    // where the generator's satellite is not to be had.
    const std::pair<const char*, double> losses[] = {{"E", 0}, {"A", 2}, {"B", 1}, {"C", 8}};
    for (const auto& [name, loss] : losses) put(name, behindGenerator(loss, 0));
    put("D", behindGenerator(0, 0, 2));
    auto first = calibrate({slot["E"], slot["A"], slot["B"], slot["C"], slot["D"]}, "45");
    EXPECT_EQ(first->finish(), 1) << first->progressText();
    auto calibrated = byPort(*first);
    for (const auto& [name, loss] : losses) {
        const QJsonObject o = calibrated[slot[name]];
        EXPECT_EQ(o.value("result"), loss > 6 ? "offset-too-large" : "ok") << name;
        EXPECT_NEAR(o.value("offset").toDouble(), loss, 0.5) << name;
        EXPECT_EQ(o.value("expected").toDouble(), 45);
        EXPECT_DOUBLE_EQ(o.value("measured").toDouble() + o.value("offset").toDouble(), 45);
        EXPECT_GT(o.value("id").toInteger(), 0) << name;
        EXPECT_EQ(o.value("golden"), "GOLD-1");
        EXPECT_TRUE(o.value("drift").isNull());
    }
    EXPECT_EQ(calibrated[slot["D"]].value("result"), "signal-not-seen");
    EXPECT_TRUE(calibrated[slot["D"]].value("id").isNull());

    // Slot B again, its golden unit said to read 2 dB more: the offset drifted.
    auto again = calibrate({slot["B"]}, "47");
    EXPECT_EQ(again->finish(), 0) << again->progressText();
    const QJsonObject b = byPort(*again)[slot["B"]];
    EXPECT_NEAR(b.value("drift").toDouble(), 2, 0.5);
    EXPECT_TRUE(b.value("drift_flagged").toBool());
    const double offsetB = b.value("offset").toDouble();

    // Units under test: E reads 45 (pass), A 38 + 2 (low), B 46 + offset (high),
    // and C's slot is out of use.  Nothing is commanded.  (The signal measured
    // after a failed fix: sequencer_test; a calibration too old or none:
    // session_test.)
    put("E", behindGenerator(0, 0));
    put("A", behindGenerator(2, -5));
    put("B", behindGenerator(1, 2));
    put("C", behindGenerator(8, 0));
    Cli run;
    run.start(common + QStringList{"--test", "signal", "--cn0-low", "43", "--cn0-high", "47.5",
                                   slot["E"] + "=SN-E", slot["A"] + "=SN-A", slot["B"] + "=SN-B",
                                   slot["C"] + "=SN-C"});
    EXPECT_EQ(run.finish(), 1) << run.progressText();
    auto results = byPort(run);
    const std::pair<const char*, const char*> verdicts[] = {
        {"E", "ok"}, {"A", "signal-low"}, {"B", "signal-high"}, {"C", "calibration-needed"}};
    for (const auto& [name, reason] : verdicts) {
        EXPECT_EQ(results[slot[name]].value("reason"), reason) << name;
        EXPECT_EQ(bench.starts(name), 0) << name;
    }
    EXPECT_EQ(results[slot["C"]].value("result"), "station-fault");
    EXPECT_TRUE(results[slot["C"]].value("status").toString().startsWith(
        "slot 4 needs calibration: " + slot["C"] + ", offset 8"))
        << results[slot["C"]].value("status").toString().toStdString();
    const QJsonObject pass = results[slot["E"]];
    const QJsonObject signal = pass.value("signal").toObject();
    EXPECT_EQ(pass.value("tests"), QJsonArray{"signal"});
    EXPECT_EQ(pass.value("limits"), QJsonObject({{"cn0_low", 43}, {"cn0_high", 47.5}}));
    EXPECT_EQ(signal.value("sv"), "GPS:1");
    EXPECT_EQ(signal.value("samples"), 3);
    EXPECT_EQ(signal.value("values").toArray().size(), 3);
    EXPECT_DOUBLE_EQ(signal.value("cn0_mean").toDouble(),
                     signal.value("cn0_raw_mean").toDouble() + signal.value("offset").toDouble());
    EXPECT_NEAR(results[slot["B"]].value("signal").toObject().value("offset").toDouble(), offsetB,
                1e-9);
    EXPECT_EQ(signal.value("calibration_id"), calibrated[slot["E"]].value("id"));
    QString error;
    auto store = results::Store::open(*results::parseTarget(db, &error), &error);
    ASSERT_TRUE(store) << error.toStdString();
    QSqlQuery row(store->database());
    ASSERT_TRUE(row.exec("SELECT tests, signal_sv, signal_samples, signal_cn0_mean, "
                         "signal_cn0_raw_mean, signal_offset, signal_calibration_id, signal_values "
                         "FROM results WHERE unit = 'SN-E'") &&
                row.next());
    EXPECT_EQ(row.value(0).toString(), "[\"signal\"]");
    EXPECT_EQ(row.value(1).toString(), "GPS:1");
    EXPECT_EQ(row.value(2).toInt(), 3);
    EXPECT_NEAR(row.value(3).toDouble(), signal.value("cn0_mean").toDouble(), 1e-9);
    EXPECT_NEAR(row.value(4).toDouble(), signal.value("cn0_raw_mean").toDouble(), 1e-9);
    EXPECT_NEAR(row.value(5).toDouble(), signal.value("offset").toDouble(), 1e-9);
    EXPECT_EQ(row.value(6).toLongLong(), signal.value("calibration_id").toInteger());
    EXPECT_EQ(row.value(7).toString().count(','), 2);
}

}  // namespace
