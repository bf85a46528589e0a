// gps-coldstart-cli as a line runs it: one process, many simulated receivers
// on real pseudo-terminals at once, its JSON lines, progress, exit status and
// signals; receivers of every family and start type, USB receivers that
// re-enumerate while they reset, databases that cannot be opened and a line's
// PostgreSQL server that fails during a run.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <clocale>
#include <cmath>

#include "cli/options.h"
#include "clirun.h"
#include "gpslink/resetcommand.h"
#include "pgserver.h"
#include "results/store.h"
#include "results_sample.h"

namespace {

using namespace clirun;
using results::testing::PgServer;

// One station, every way a unit can end, all at once.
TEST(Cli, MixedOutcomesOnOneStation) {
    Bench bench;
    ReceiverConfig fewSats = receiver(Behaviour::Normal);
    fewSats.satellitesUsed = 3;
    ReceiverConfig weak = receiver(Behaviour::Normal);
    weak.snr = {30, 30, 30, 30, 28, 0};
    ReceiverConfig offEarly = receiver(Behaviour::OffAfter);  // off before it knows the time
    offEarly.timeKnownAfterSeconds = 30;
    offEarly.offAfterSeconds = 3;
    const std::map<QString, ReceiverConfig> receivers = {
        {"normal", receiver(Behaviour::Normal)},
        {"silent", receiver(Behaviour::Silent)},
        {"wrong-baud", receiver(Behaviour::WrongBaud)},
        {"ignore", receiver(Behaviour::Ignore)},
        {"slow-confirm", receiver(Behaviour::SlowConfirm)},
        {"unplugged", receiver(Behaviour::Normal, 60)},
        {"slow-fix", receiver(Behaviour::Normal, 9)},
        {"no-fix", receiver(Behaviour::Normal, 60)},
        {"few-sats", fewSats},
        {"weak", weak},
        {"off-early", offEarly},
    };
    std::map<QString, QString> port;  // receiver -> its device
    QStringList arguments = {"--json", "--station",     "bench-7", "--confirm-timeout",
                             "5",      "--fix-timeout", "12",      "--max-ttff",
                             "7",      "--min-sats",    "5",       "--min-cn0",
                             "35"};
    for (const auto& [name, config] : receivers) {
        port[name] = bench.add(name, config);
        arguments << port[name] + "@9600=SN-" + name;
    }
    // USB receivers that drop off the bus while they reset (the time away counts
    // in the TTFF), each in a folder of its own, as each has a serial number.
    QTemporaryDir usb;
    const std::pair<const char*, gpssim::UsbDrop> drops[] = {{"usb-same", gpssim::UsbDrop::Same},
                                                             {"usb-other", gpssim::UsbDrop::Other},
                                                             {"usb-never", gpssim::UsbDrop::Never}};
    for (const auto& [name, drop] : drops) {
        gpssim::DriverOptions line;
        QDir(usb.path()).mkdir(name);
        line.link = usb.path() + "/" + name + "/gps";
        line.usbDrop = drop;
        port[name] = bench.add(name, receiver(Behaviour::Normal), line);
        arguments << port[name] + "=SN-" + name;
    }
    port["missing"] = QStringLiteral("/dev/gps-coldstart-no-such-port");
    arguments << port["missing"] + "=SN-missing";

    Cli cli;
    cli.start(arguments);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return cli.progressText().find(port["unplugged"].toStdString() + ": UTC Time") !=
                   std::string::npos;
        },
        30000));
    bench.unplug("unplugged");
    EXPECT_EQ(cli.finish(60000), 1);

    const auto objects = cli.objects();
    EXPECT_EQ(objects.size(), port.size());
    const struct {
        const char* name;
        const char* result;
        const char* reason;
        bool sent, confirmed, verified, fix;
        const char* status;  // how the last status text begins
    } expected[] = {
        {"normal", "pass", "ok", true, true, true, true, "Cold Start OK!\nPlease stop"},
        {"silent", "fail", "no-data", false, false, false, false, "/dev/"},
        {"wrong-baud", "fail", "baud-mismatch", false, false, false, false, "Baud Rate not match!"},
        {"ignore", "fail", "reset-not-taken", true, true, false, false, "Cold Start OK!"},
        {"slow-confirm", "fail", "no-confirmation", true, false, true, false,
         "Cold Starting......"},
        {"unplugged", "fail", "receiver-off", false, false, false, false, "UTC Time :"},
        {"slow-fix", "fail", "ttff-over-limit", true, true, true, true, "Cold Start OK!"},
        {"no-fix", "fail", "no-fix", true, true, true, false, "Cold Start OK!"},
        {"few-sats", "fail", "too-few-satellites", true, true, true, true, "Cold Start OK!"},
        {"weak", "fail", "cn0-under-limit", true, true, true, true, "Cold Start OK!"},
        {"off-early", "fail", "receiver-off", false, false, false, false, ""},
        {"usb-same", "pass", "ok", true, true, true, true, "Cold Start OK!"},
        {"missing", "station-fault", "port-unavailable", false, false, false, false,
         "/dev/gps-coldstart-no-such-port  error!\nPlease select another Com Port."},
    };
    const QJsonObject limits{{"max_ttff_s", 7}, {"min_sats", 5}, {"min_cn0", 35}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        const QJsonObject r = resultFor(objects, port[e.name]);
        EXPECT_EQ(r.value("result").toString(), e.result);
        EXPECT_EQ(r.value("reason").toString(), e.reason);
        EXPECT_EQ(r.value("baud").toInt(), 9600);
        EXPECT_EQ(r.value("unit").toString(), QStringLiteral("SN-") + e.name);
        EXPECT_EQ(r.value("station").toString(), "bench-7");
        EXPECT_EQ(r.value("version").toString(), "2.0.0");
        EXPECT_EQ(r.value("limits").toObject(), limits);
        EXPECT_EQ(r.value("cold_start_sent").toBool(), e.sent);
        EXPECT_EQ(r.value("confirmed").toBool(), e.confirmed);
        EXPECT_EQ(r.value("reset_verified").toBool(), e.verified);
        EXPECT_TRUE(r.value("status").toString().startsWith(e.status))
            << r.value("status").toString().toStdString();
        const QDateTime started =
            QDateTime::fromString(r.value("started").toString(), Qt::ISODateWithMs);
        const QDateTime ended =
            QDateTime::fromString(r.value("ended").toString(), Qt::ISODateWithMs);
        EXPECT_TRUE(started.isValid() && started.timeSpec() == Qt::UTC && started <= ended);
        for (const char* field :
             {"ttff_s", "satellites", "hdop", "cn0_max", "cn0_mean4", "sv_with_snr"})
            EXPECT_EQ(r.value(field).isDouble(), e.fix) << field;
        if (e.fix) {
            const double ttff = r.value("ttff_s").toDouble();
            EXPECT_NEAR(ttff, bench.ttff(e.name), 0.5);
            EXPECT_EQ(std::round(ttff * 100) / 100, ttff);  // two decimals
        }
    }
    // The last line of the status says what became of the device.
    const std::pair<const char*, const char*> notes[] = {
        {"unplugged", "the device went away"},
        {"usb-other", "the receiver came back as "},
        {"usb-never", "the device did not come back at "}};
    for (const auto& [name, note] : notes) {
        const QJsonObject r = resultFor(objects, port[name]);
        EXPECT_EQ(r.value("reason").toString(), "receiver-off") << name;
        EXPECT_TRUE(r.value("status").toString().section('\n', -1).startsWith(note))
            << r.value("status").toString().toStdString();
    }
    bench.unplug("usb-same");
    EXPECT_FALSE(QFileInfo(port["usb-same"]).isSymLink()) << "the link goes with it";
    const QJsonObject normal = resultFor(objects, port["normal"]);
    EXPECT_EQ(normal.value("hdop").toDouble(), 0.9);
    EXPECT_EQ(normal.value("sv_with_snr").toInt(), 8);
    EXPECT_EQ(normal.value("cn0_max").toInt(), 44);
    EXPECT_EQ(normal.value("cn0_mean4").toDouble(), 42.75);
    EXPECT_EQ(resultFor(objects, port["few-sats"]).value("satellites").toInt(), 3);  // not 8 seen

    // Results are stored by default in the user's data folder.
    EXPECT_TRUE(QFileInfo::exists(cli.dataHome.filePath("gps-coldstart/results.sqlite")));

    // Progress on a pipe: one "PORT: text" line per change.
    const QStringList progress =
        QString::fromStdString(cli.progressText()).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : progress) {
        const QString before = line.section(QLatin1String(": "), 0, 0);
        EXPECT_TRUE(std::any_of(port.begin(), port.end(), [&](const auto& p) {
            return p.second == before;
        })) << line.toStdString();
    }
    EXPECT_TRUE(progress.contains(port["normal"] + ": Cold Starting...... 1(Sec)"));
    EXPECT_TRUE(progress.contains(port["silent"] + ": 3"));
    EXPECT_TRUE(
        progress
            .filter(QRegularExpression("^" + QRegularExpression::escape(port["normal"]) +
                                       ": cycle 1 pass \\(ok\\), TTFF [0-9]+\\.[0-9]{2} s$"))
            .size() == 1);
}

// On a terminal the progress is one line per port, redrawn in place.  SIGINT
// in the middle of a cycle ends it as interrupted; the table of results is
// printed and the status is 130.
TEST(Cli, LiveLinesOnATerminalThenInterrupted) {
    if (QStandardPaths::findExecutable("tmux").isEmpty()) GTEST_SKIP() << "tmux is not installed";
    Bench bench;
    const QString normal = bench.add("normal", receiver(Behaviour::Normal));
    const QString silent = bench.add("silent", receiver(Behaviour::Silent));
    const QString slow = bench.add("slow", receiver(Behaviour::Normal, 60));
    const QString server = QStringLiteral("cli-test-%1").arg(QCoreApplication::applicationPid());
    auto tmux = [&](const QStringList& arguments) {
        QProcess process;
        process.start("tmux", QStringList{"-L", server} + arguments);
        process.waitForFinished();
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    // The shell outlives the SIGINT to print the status.
    const QString command =
        QStringLiteral("trap : INT; %1 %2=SN-1 %3 %4=SN-3; echo \"exit $?\"; exec cat")
            .arg(QStringLiteral(COLDSTART_CLI), normal, silent, slow);
    tmux({"new-session", "-d", "-s", "cli", "-x", "150", "-y", "12", "sh", "-c", command});
    QString screen;
    const auto shows = [&](const QString& text) {
        return QTest::qWaitFor(
            [&] {
                return (screen = tmux({"capture-pane", "-p", "-e"})).contains(text);
            },
            60000);
    };
    const bool ended = shows("PASS ok") && shows("FAIL no-data") &&
                       (tmux({"send-keys", "-t", "cli", "C-c"}), shows("exit "));
    tmux({"kill-server"});
    ASSERT_TRUE(ended) << screen.toStdString();

    const QStringList lines = screen.split('\n', Qt::SkipEmptyParts);
    // One line per port, then the table on standard output, then the exit line.
    ASSERT_EQ(lines.size(), 8) << screen.toStdString();
    const QString live[] = {"\x1b[32m" + normal + " SN-1 PASS ok TTFF ",
                            "\x1b[31m" + silent + " FAIL no-data",
                            "\x1b[33m" + slow + " SN-3 INTERRUPTED"};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(lines[i].simplified().startsWith(live[i])) << lines[i].toStdString();
    EXPECT_TRUE(lines[3].contains("PORT ")) << lines[3].toStdString();
    EXPECT_EQ(lines[6].simplified(), slow + " SN-3 interrupted interrupted - - - -");
    EXPECT_EQ(lines[7], "exit 130");
}

// Every usage mistake is refused before any port is opened, with a message
// that names it.
TEST(CliOptions, MistakesAreNamed) {
    const struct {
        QStringList arguments;
        const char* message;  // part of it
    } mistakes[] = {
        {{}, "no port given"},
        {{"--bogus", "/dev/ttyUSB0"}, "Unknown option 'bogus'"},
        {{"--cycles", "0", "/dev/ttyUSB0"}, "--cycles: \"0\" is not a whole number from 1"},
        {{"--max-ttff", "nan", "/dev/ttyUSB0"}, "--max-ttff: \"nan\" is not a number"},
        {{"--min-cn0", "-1", "/dev/ttyUSB0"}, "--min-cn0: \"-1\""},
        {{"--baud", "9601", "/dev/ttyUSB0"}, "--baud: unknown rate \"9601\""},
        {{"/dev/ttyUSB0@96000"}, "/dev/ttyUSB0@96000: unknown baud rate \"96000\""},
        {{"COM 0"}, "there is no port COM 0"},
        {{"ttyUSB0"}, "ttyUSB0: not a device path or a port name"},
        {{"COM33", "/dev/ttyUSB0@4800"}, "/dev/ttyUSB0@4800: the port is named twice"},
        {{"--station", "", "/dev/ttyUSB0"}, "--station: the name is empty"},
        {{"/dev/ttyUSB0@,casic,factory"}, "/dev/ttyUSB0: a casic receiver has no factory start"},
        {{"--receiver", "SiRF", "/dev/ttyUSB0"}, "unknown receiver family \"SiRF\""},
        {{"/dev/ttyUSB0@,mtk,Cold"}, "unknown start type \"Cold\""},
        {{"/dev/ttyUSB0@9600,mtk,hot,x"}, "more than BAUD,FAMILY,START"},
    };
    for (const auto& m : mistakes) {
        const cli::Parsed parsed =
            cli::parseArguments(QStringList{"gps-coldstart-cli"} + m.arguments);
        EXPECT_EQ(parsed.action, cli::Parsed::Fail) << m.message;
        EXPECT_EQ(parsed.exitStatus, 2) << m.message;
        EXPECT_TRUE(parsed.text.contains(m.message)) << parsed.text.toStdString();
    }

    const cli::Parsed ok =
        cli::parseArguments({"gps-coldstart-cli", "--baud", "4800", "--receiver", "mtk", "--start",
                             "hot", "--require-reset", "com3=A=B@1", "COM 4@9600,airoha,warm="});
    ASSERT_EQ(ok.action, cli::Parsed::Run) << ok.text.toStdString();
    const auto& u = ok.options.units;
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(u[0].port + u[0].device + " " + QString::number(u[0].baud) + " " + u[0].unit + " " +
                  u[0].start + " " + QString::number(u[0].requireReset) + " " +
                  QString::fromStdString(u[0].command),
              "COM 3/dev/ttyS2 4800 A=B@1 hot 1 $PMTK101*32\r\n");
    EXPECT_EQ(u[1].port + " " + QString::number(u[1].baud) + " [" + u[1].unit + "] " +
                  QString::fromStdString(u[1].command),
              "COM 4 9600 [] $PAIR005*3F\r\n");
}

// Run as a German user would, with a decimal comma, every number keeps its
// point: the receiver's HDOP and the limits as read, the JSON, the stored row,
// the report and its CSV.  The simulated receiver runs under that locale too.
TEST(Cli, NumbersInACommaDecimalLocale) {
    ASSERT_TRUE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) << "tools/setup.sh makes de_DE.UTF-8";
    Bench bench;
    ReceiverConfig config = receiver(Behaviour::Normal);
    config.hdop = 1.2;
    const QString port = bench.add("de", config);
    Cli cli;
    qputenv("LC_ALL", "de_DE.UTF-8");
    const QString db = cli.dataHome.filePath("r.sqlite");
    cli.start({"--json", "--quiet", "--db", db, "--max-ttff", "30.5", "--min-cn0", "20.5", port});
    EXPECT_EQ(cli.finish(60000), 0) << cli.progressText();
    const QJsonObject r = resultFor(cli.objects(), port);
    EXPECT_EQ(r.value("hdop").toDouble(), 1.2);
    EXPECT_EQ(r.value("cn0_mean4").toDouble(), 42.75);
    EXPECT_EQ(r.value("limits").toObject(), (QJsonObject{{"max_ttff_s", 30.5}, {"min_cn0", 20.5}}));
    const double ttff = r.value("ttff_s").toDouble();
    EXPECT_GT(ttff, 0.5);
    QString error;
    const auto store = results::Store::open(*results::parseTarget(db, &error), &error);
    const QSqlDatabase stored = store->database();
    EXPECT_EQ(results::testing::storedRows(stored, "hdop || ' ' || cn0_mean4 || ' ' || limits"),
              QStringList("1.2 42.75 {\"max_ttff_s\":30.5,\"min_cn0\":20.5}"));
    EXPECT_EQ(results::testing::storedRows(stored, "ttff_s").value(0).toDouble(), ttff);
    const auto report = [&](const QStringList& arguments) {
        QProcess p;
        p.setProcessEnvironment(cli.process.processEnvironment());
        p.start(COLDSTART_CLI, QStringList{"report", "--db", db} + arguments);
        EXPECT_TRUE(p.waitForFinished(30000) && p.exitCode() == 0)
            << p.readAllStandardError().toStdString();
        return QString::fromUtf8(p.readAllStandardOutput());
    };
    const QString ttffText = QString::number(ttff, 'f', 2);
    EXPECT_TRUE(report({}).contains("mean " + ttffText + "  median " + ttffText));
    const QJsonObject summary = QJsonDocument::fromJson(report({"--json"}).toUtf8()).object();
    EXPECT_EQ(summary["overall"]["ttff_s"]["mean"].toDouble(), ttff);
    EXPECT_TRUE(report({"--csv", "-"}).contains(QStringLiteral(",%1,8,1.2,44,42.75,8,").arg(ttff)));
    qunsetenv("LC_ALL");
    std::setlocale(LC_NUMERIC, "C");
}

// Every family and start type over three cycles, each through the link's own
// stop and start, beside a port that cannot be opened: exit status 3, not 1.
// A receiver obeys only a valid command of its own family, so a pass proves
// the right bytes went out on its line.
TEST(Families, EveryFamilyAndStartTypeOverThreeCycles) {
    Bench bench;
    QStringList arguments = {"--json", "--quiet",       "--cycles", "3", "--confirm-timeout",
                             "6",      "--fix-timeout", "20"};
    struct Unit {
        QString name, receiver, start, port;
        bool verified;
    };
    std::vector<Unit> units;
    for (gpslink::ReceiverFamily family : gpslink::kReceiverFamilies) {
        for (gpslink::StartType start : gpslink::kStartTypes) {
            if (gpslink::resetCommand(family, start).empty()) continue;
            ReceiverConfig config = receiver(Behaviour::Normal);
            config.family = family;
            config.warmTtffSeconds = 2;
            const QString f = QString::fromStdString(std::string(gpslink::nameOf(family)));
            const QString s = QString::fromStdString(std::string(gpslink::nameOf(start)));
            const QString name = f + "-" + s;
            // A hot start that keeps its fix is reported unseen but passes.
            config.hotKeepsFix = name == "mtk-hot";
            const QString port = bench.add(name, config);
            arguments << port + "@," + f + "," + s + "=" + name;
            units.push_back({name, f, s, port, !config.hotKeepsFix});
        }
    }
    const QString missing = QStringLiteral("COM 101");  // /dev/ttyAMA4: no such device here
    arguments << missing;

    Cli cli;
    cli.start(arguments);
    EXPECT_EQ(cli.finish(120000), 3);
    EXPECT_EQ(cli.progressText(), "");  // --quiet
    const auto objects = cli.objects();
    ASSERT_EQ(objects.size(), units.size() * 4 + 2);  // three cycles and a summary each
    EXPECT_EQ(resultFor(objects, missing).value("device").toString(), "/dev/ttyAMA4");
    EXPECT_EQ(resultFor(objects, missing).value("reason").toString(), "port-unavailable");
    for (const Unit& unit : units) {
        SCOPED_TRACE(unit.name.toStdString());
        EXPECT_EQ(bench.starts(unit.name), 3);
        std::vector<double> ttffs;
        for (int cycle = 1; cycle <= 3; ++cycle) {
            const QJsonObject r = resultFor(objects, unit.port, cycle);
            EXPECT_EQ(r.value("result").toString() + " " + r.value("reason").toString(), "pass ok");
            EXPECT_EQ(r.value("reset_verified").toBool(), unit.verified);
            EXPECT_EQ(r.value("receiver").toString(), unit.receiver);
            EXPECT_EQ(r.value("start").toString(), unit.start);
            if (cycle > 1) {
                EXPECT_LE(resultFor(objects, unit.port, cycle - 1).value("ended").toString(),
                          r.value("started").toString());
            }
            ttffs.push_back(r.value("ttff_s").toDouble());
        }
        if (unit.verified) {  // timed from the command, whatever the start type
            EXPECT_NEAR(ttffs[2], bench.ttff(unit.name), 0.5);
        }
        const QJsonObject summary = resultFor(objects, unit.port, 0);  // it has no cycle
        EXPECT_EQ(summary.value("cycles").toInt(), 3);
        EXPECT_EQ(summary.value("passed").toInt(), 3);
        EXPECT_TRUE(summary.value("unit").isString() && summary.value("ttff_p95_s").isDouble());
        // The mean is of the unrounded times: up to 0.005 s from that of the
        // printed ones, and rounded once more.
        EXPECT_NEAR(summary.value("ttff_mean_s").toDouble(), (ttffs[0] + ttffs[1] + ttffs[2]) / 3,
                    0.0101);
        EXPECT_NEAR(summary.value("ttff_max_s").toDouble(),
                    *std::max_element(ttffs.begin(), ttffs.end()), 0.006);
        EXPECT_NEAR(summary.value("ttff_median_s").toDouble(),
                    (std::sort(ttffs.begin(), ttffs.end()), ttffs[1]), 0.006);
    }
}

TEST(CliDatabase, LineServerAndItsOutage) {
    if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PgServer server;
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    Bench bench;
    // Refused before any port opens, naming the database but not the password.
    struct Refusal {
        const char* password;
        QString db;
        const char* error;
    } refusals[] = {
        {"wrong-secret", server.url("postgres"), "password authentication failed"},
        {PgServer::kPassword, server.url("absentdb"), "\"absentdb\" does not exist"},
        {PgServer::kPassword, "/nonexistent/dir/r.sqlite",
         "the folder /nonexistent/dir does not exist"},
    };
    for (const Refusal& r : refusals) {
        qputenv("PGPASSWORD", r.password);
        Cli refused;
        refused.start({"--db", r.db, bench.add(r.db, receiver(Behaviour::Normal))});
        EXPECT_EQ(refused.finish(20000), 3);
        const QString message = QString::fromStdString(refused.progressText());
        EXPECT_TRUE(message.contains(r.db) && message.contains(r.error)) << message.toStdString();
        EXPECT_FALSE(message.contains(r.password)) << message.toStdString();
        EXPECT_EQ(0, bench.starts(r.db));
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    const QString url = server.url("postgres");
    Cli a, b;
    a.start({"--json", "--quiet", "--db", url, "--station", "s-a", "--lot", "L-1",
             bench.add("a", receiver(Behaviour::Normal))});
    b.start({"--json", "--quiet", "--db", url, "--station", "s-b", "--operator", "kim",
             bench.add("b", receiver(Behaviour::Silent))});
    EXPECT_EQ(a.finish(60000), 0);
    EXPECT_EQ(b.finish(60000), 1);
    EXPECT_EQ(a.objects().at(0).value("lot").toString(), "L-1");
    EXPECT_EQ(b.objects().at(0).value("operator").toString(), "kim");

    // The server goes down during a run: the results are spooled with one
    // warning, printed, and moved in once the server is back.
    Cli c;
    c.start({"--json", "--db", url, "--station", "s-c",
             bench.add("c1", receiver(Behaviour::Normal)),
             bench.add("c2", receiver(Behaviour::Normal))});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return c.progressText().find("UTC Time") != std::string::npos; }, 30000));
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(c.finish(60000), 4);
    ASSERT_EQ(c.objects().size(), 2u);
    const QString warning = QString::fromStdString(c.progressText());
    EXPECT_EQ(warning.count(c.dataHome.path() + "/gps-coldstart/spool/"), 1) << c.progressText();
    EXPECT_FALSE(warning.contains(PgServer::kPassword));
    ASSERT_TRUE(server.start());
    QStringList printed;
    for (Cli* run : {&a, &b, &c})
        for (const QJsonObject& o : run->objects()) printed << o.value("id").toString();
    // Every printed id is stored once.
    QProcess report;  // as the same user: the spool is in that user's data folder
    report.setProcessEnvironment(c.process.processEnvironment());
    report.start(COLDSTART_CLI, {"report", "--db", url, "--csv", "-"});
    ASSERT_TRUE(report.waitForFinished(30000));
    EXPECT_EQ(report.exitCode(), 0) << report.readAllStandardError().toStdString();
    const QByteArray csv = report.readAllStandardOutput();
    EXPECT_EQ(csv.count("\r\n"), 1 + 4) << csv.toStdString();
    for (const QString& id : printed)
        EXPECT_TRUE(!id.isEmpty() && csv.contains(id.toUtf8())) << id.toStdString();
}

}  // namespace
