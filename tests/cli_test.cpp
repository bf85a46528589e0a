// gps-coldstart-cli as a line runs it: one process, many simulated receivers
// on real pseudo-terminals at once.
#include <gtest/gtest.h>

#include <algorithm>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>
#include <clocale>
#include <cmath>

#include "cli/delivercommand.h"
#include "cli/options.h"
#include "clirun.h"
#include "gpslink/resetcommand.h"
#include "results/store.h"
#include "sim/capture.h"
#include "sim/receivermodel.h"
#include "station/families.h"
#include "testkit/pgserver.h"
#include "testkit/recordings.h"
#include "testkit/results_sample.h"
#include "vocabulary/evidence.h"

namespace {

using namespace clirun;
using results::testing::PgServer;

// One station, every way a unit can end, all at once.
TEST(Cli, MixedOutcomesOnOneStation) {
    Bench bench;
    ReceiverConfig offEarly = receiver(Behaviour::OffAfter);  // off before it knows the time
    offEarly.timeKnownAfterSeconds = 30;
    offEarly.offAfterSeconds = 3;
    offEarly.resetSilenceSeconds = 1;  // back, then off for good
    const std::map<QString, ReceiverConfig> receivers = {
        {"normal", receiver(Behaviour::Normal)},
        {"silent", receiver(Behaviour::Silent)},
        {"wrong-baud", receiver(Behaviour::WrongBaud)},
        {"ignore", receiver(Behaviour::Ignore)},
        {"slow-confirm", receiver(Behaviour::SlowConfirm)},
        {"unplugged", receiver(Behaviour::Normal, 60)},
        {"slow-fix", receiver(Behaviour::Normal, 6)},
        {"no-fix", receiver(Behaviour::Normal, 60)},
        {"off-early", offEarly},
    };
    std::map<QString, QString> port;  // receiver -> its device
    QStringList arguments = {"--json", "--station",     "bench-7", "--confirm-timeout",
                             "5",      "--fix-timeout", "12",      "--max-ttff",
                             "7",      "--min-sats",    "5",       "--min-cn0",
                             "35"};
    // Unplugged before it said anything: once heard, a unit is commanded at once.
    gpssim::DriverOptions notYetTalking;
    notYetTalking.intervalMs = 600'000;
    for (const auto& [name, config] : receivers) {
        port[name] =
            bench.add(name, config, name == "unplugged" ? notYetTalking : gpssim::DriverOptions{});
        arguments << port[name] + "@9600=SN-" + name;
    }
    // USB receivers that drop off the bus while they reset (the time away counts
    // in the TTFF), each in a folder of its own, as each has a serial number.
    QTemporaryDir usb;
    {
        gpssim::DriverOptions line;
        QDir(usb.path()).mkdir("usb-same");
        line.link = usb.path() + "/usb-same/gps";
        line.usbDrop = gpssim::UsbDrop::Same;
        port["usb-same"] = bench.add("usb-same", receiver(Behaviour::Normal), line);
        arguments << port["usb-same"] + "=SN-usb-same";
    }
    port["missing"] = QStringLiteral("COM 101");  // /dev/ttyAMA4: no such device here
    arguments << port["missing"] + "=SN-missing";

    Cli cli;
    cli.start(arguments);
    ASSERT_TRUE(cli.shows(port["unplugged"].toStdString() + ": waiting for the receiver"));
    bench.unplug("unplugged");
    EXPECT_EQ(cli.finish(), 1);

    const auto objects = cli.objects();
    EXPECT_EQ(objects.size(), port.size());
    const struct {
        const char* name;
        const char* result;
        const char* reason;
        bool sent, confirmed, verified, fix;
        const char* status;  // what the cycle came to, in the station's words
    } expected[] = {
        {"normal", "pass", "ok", true, true, true, true, "^TTFF \\d+\\.\\d\\d s$"},
        {"silent", "fail", "no-data", false, false, false, false,
         "^no data from the receiver: check its power, its cable and the baud rate$"},
        {"wrong-baud", "fail", "baud-mismatch", false, false, false, false,
         "^characters but no NMEA time at 9600 baud"},
        // Commanded before its first fix, it had nothing to lose: its fix is
        // taken, the reset not proven (required, it fails: decisions_test's FixTest).
        {"ignore", "pass", "ok", true, true, false, true,
         "^TTFF \\d+\\.\\d\\d s: reset not proven: the unit had no fix to lose"},
        {"slow-confirm", "fail", "no-confirmation", true, false, true, false,
         "^no GGA time within 5 s of the cold reset command$"},
        {"unplugged", "fail", "receiver-off", false, false, false, false,
         "^the receiver fell silent: the device went away$"},
        {"slow-fix", "fail", "ttff-over-limit", true, true, true, true,
         "^TTFF \\d+\\.\\d s > 7 s$"},
        {"no-fix", "fail", "no-fix", true, true, true, false,
         "^no fix within 12 s of the reset command$"},
        {"off-early", "fail", "receiver-off", true, true, true, false,
         "^the receiver fell silent$"},
        {"usb-same", "pass", "ok", true, true, true, true, "^TTFF "},
        {"missing", "station-fault", "port-unavailable", false, false, false, false,
         "^no such device: /dev/ttyAMA4$"},
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
        EXPECT_EQ(r.value("limits").toObject(), limits);
        EXPECT_EQ(r.value("cold_start_sent").toBool(), e.sent);
        EXPECT_EQ(r.value("confirmed").toBool(), e.confirmed);
        EXPECT_EQ(r.value("reset_verified").toBool(), e.verified);
        EXPECT_TRUE(r.value("status").toString().contains(QRegularExpression(e.status)))
            << r.value("status").toString().toStdString();
        const QDateTime started =
            QDateTime::fromString(r.value("started").toString(), Qt::ISODateWithMs);
        const QDateTime ended =
            QDateTime::fromString(r.value("ended").toString(), Qt::ISODateWithMs);
        EXPECT_TRUE(started.isValid() && started.timeSpec() == Qt::UTC && started <= ended);
        for (const char* field :
             {"ttff_s", "satellites", "hdop", "cn0_max", "cn0_mean4", "sv_with_snr"})
            EXPECT_EQ(r.value(field).isDouble(), e.fix) << field;
        // Each limit judged where the fix test came to its verdict, the TTFF's first.
        const QJsonArray judged = r.value("limit_results").toArray();
        EXPECT_EQ(judged.size(), 3);
        EXPECT_EQ(judged[0]["result"].toString().toStdString(),
                  !e.fix                                  ? "not-measured"
                  : !qstrcmp(e.reason, "ttff-over-limit") ? "fail"
                                                          : "pass");
        const double ttff = r.value("ttff_s").toDouble();
        EXPECT_EQ(std::round(ttff * 100) / 100, ttff) << "two decimals";
    }
    EXPECT_EQ(resultFor(objects, port["missing"]).value("device").toString(), "/dev/ttyAMA4");
    // Timed from writing the command to reading the fix: no shorter than the
    // receiver's time (but for rounding and a preemption), longer by far less
    // than 3 s however busy the machine.
    const double ttff = resultFor(objects, port["normal"]).value("ttff_s").toDouble();
    EXPECT_GE(ttff, bench.ttff("normal") - 0.25);
    EXPECT_LT(ttff, bench.ttff("normal") + 3);
    bench.unplug("usb-same");
    EXPECT_FALSE(QFileInfo(port["usb-same"]).isSymLink()) << "the link goes with it";

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
    // Each stage once, in order (the station's own rule: not five times).
    const QStringList stages = progress.filter(port["normal"] + ": ");
    const auto at = [&](const QString& stage) {
        return stages.indexOf(
            QRegularExpression("^" + QRegularExpression::escape(port["normal"]) + ": " + stage));
    };
    EXPECT_TRUE(at("listening at 9600 baud") >= 0 &&
                at("listening at 9600 baud") < at("waiting for the receiver$") &&
                at("waiting for the receiver") < at("cold reset sent$"))
        << stages.join('\n').toStdString();
    EXPECT_EQ(progress.filter(port["slow-fix"] + ": acquiring").size(), 1)
        << "once, not each second";
    EXPECT_EQ(stages.filter(QRegularExpression(": cycle 1 PASS  TTFF [0-9]+\\.[0-9]{2} s$")).size(),
              1);
}

// On a terminal, one line per port redrawn in place; SIGINT mid-cycle ends it
// as interrupted, the table is printed and the status is 130.
TEST(Cli, LiveLinesOnATerminalThenInterrupted) {
    if (QStandardPaths::findExecutable("tmux").isEmpty()) GTEST_SKIP() << "tmux is not installed";
    Bench bench;
    // A long stable name, as udev makes them, on an 80-column terminal.
    QTemporaryDir byId;
    gpssim::DriverOptions usb;
    usb.link = byId.filePath("usb-FTDI_FT232R_USB_UART_A9012345-if00-port0");
    const QString normal = bench.add("normal", receiver(Behaviour::Normal), usb);
    const QString silent = bench.add("silent", receiver(Behaviour::Silent));
    const QString slow = bench.add("slow", receiver(Behaviour::Normal, 60));
    const QString ignore = bench.add("ignore", receiver(Behaviour::Ignore));
    const QString server = QStringLiteral("cli-test-%1").arg(QCoreApplication::applicationPid());
    auto tmux = [&](const QStringList& arguments) {
        QProcess process;
        process.start("tmux", QStringList{"-L", server} + arguments);
        (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000);
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    // The shell outlives the SIGINT to print the status; the user's database stays out.
    const QString command =
        QStringLiteral(
            "trap : INT; %1 --no-db %2=SN-1 %3 %4=SN-3 %5=SN-4; echo \"exit $?\"; exec cat")
            .arg(QStringLiteral(COLDSTART_CLI), normal, silent, slow, ignore);
    tmux({"new-session", "-d", "-s", "cli", "-x", "80", "-y", "12", "sh", "-c", command});
    QString screen;
    const auto shows = [&](const QString& text) {
        return QTest::qWaitFor(
            [&] {
                return (screen = tmux({"capture-pane", "-p", "-e"})).contains(text);
            },
            60000);
    };
    const bool ended = shows("SN-1  PASS  TTFF") && shows("FAIL  no data") &&
                       shows("SN-4  PASS  TTFF") &&
                       (tmux({"send-keys", "-t", "cli", "C-c"}), shows("exit "));
    tmux({"kill-server"});
    ASSERT_TRUE(ended) << screen.toStdString();

    const QStringList lines = screen.split('\n', Qt::SkipEmptyParts);
    // One line per port, then the table on standard output, the exit line last;
    // every line within the 80 columns, the verdicts and the names' tails shown,
    // and beside each verdict whether the reset was proven.
    ASSERT_GE(lines.size(), 10) << screen.toStdString();
    const QString live[] = {"\x1b[32m" + normal.left(20), "\x1b[31m" + silent,
                            "\x1b[33m" + slow + " SN-3 INTERRUPTED",
                            "\x1b[32m" + ignore + " SN-4 PASS TTFF "};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(lines[i].simplified().startsWith(live[i])) << lines[i].toStdString();
    EXPECT_TRUE(lines[0].contains("-if00-port0  SN-1  PASS  TTFF ")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains("FAIL  no data from the receiver")) << lines[1].toStdString();
    EXPECT_TRUE(lines[4].contains("PORT ") && lines[4].contains(" RESET "))
        << lines[4].toStdString();
    EXPECT_TRUE(lines[5].simplified().contains(" SN-1 pass ok proven ")) << lines[5].toStdString();
    EXPECT_TRUE(lines[7].simplified().contains(
        QRegularExpression("^" + QRegularExpression::escape(slow) +
                           " SN-3 interrupted interrupted (not )?proven - - - -$")))
        << lines[7].toStdString();
    EXPECT_TRUE(lines[8].simplified().startsWith(ignore + " SN-4 pass ok unproven "))
        << lines[8].toStdString();
    EXPECT_EQ(lines.last(), "exit 130");
    for (QString line : lines)
        EXPECT_LE(line.remove(QRegularExpression("\x1b\\[[0-9;]*m")).size(), 80)
            << line.toStdString();
}

// Every usage mistake is refused before any port opens, named.
TEST(CliOptions, MistakesAreNamed) {
    const struct {
        QStringList arguments;
        const char* message;  // part of it
    } mistakes[] = {
        {{}, "no port given"},
        {{"--bogus", "/dev/ttyUSB0"}, "Unknown option 'bogus'"},
        {{"--cycles", "0", "/dev/ttyUSB0"}, "--cycles: \"0\" is not a whole number from 1"},
        {{"--max-ttff", "nan", "/dev/ttyUSB0"}, "--max-ttff: \"nan\" is not a number"},
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
        {{"--expect-firmware", "AXN_(5", "/dev/ttyUSB0"}, "--expect-firmware: \"AXN_(5\" is not"},
        {{"/dev/ttyUSB0@auto,auto,factory"}, "takes a cold, warm or hot start"},
        {{"--study", "a,b", "/dev/ttyUSB0"}, "--study: \"a,b\" is not a study's name"},
        {{"--evidence", "yes", "/dev/ttyUSB0"}, "--evidence: \"yes\" is not on or off"},
        {{"--start", "power", "/dev/ttyUSB0"}, "a power start needs the fixture's power command"},
        {{"/dev/ttyUSB0@,ublox,power"}, "a power start needs the fixture's power command"},
        {{"--power-retry", "/dev/ttyUSB0"}, "--power-retry needs the fixture's power command"},
        {{"--route-check", "\"\"", "/dev/ttyUSB0"}, "--route-check: \"\"\"\" is not a command"},
        {{"--metrics-file", "/var/lib/node/station.txt", "/dev/ttyUSB0"},
         "--metrics-file: \"/var/lib/node/station.txt\" does not end in .prom"},
        {{"--power", "x", "--power-off-time", "0", "/dev/ttyUSB0"},
         "--power-off-time: \"0\" is not a number from 0.1"},
        // Plans a unit's family cannot take (what each family can take: eol_test).
        {{"--test", "antenna", "/dev/ttyUSB0@,sirf"},
         "/dev/ttyUSB0: a sirf receiver does not report its antenna: the antenna test is for "
         "ublox, casic and mtk receivers"},
        {{"--test", "config", "/dev/ttyUSB0"},
         "a config test needs the configuration: --config FILE"},
        {{"--config", "/nonexistent/none.json", "/dev/ttyUSB0"}, "--config: configuration "},
    };
    QTemporaryDir dir;
    const auto plan = [&](const char* name, const QByteArray& json) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
        return file.fileName();
    };
    const struct {
        const char* file;
        QByteArray json;
        const char* message;
    } plans[] = {
        {"typo.json", R"({"max_ttf_s": 30})", "\"max_ttf_s\" is not a setting of a plan"},
        {"broken.json", R"({"cycles": 3,})", "not a JSON object"},
        {"none.json", {}, "none.json: "},
    };
    for (const auto& p : plans) {
        const QString path = p.json.isEmpty() ? dir.filePath(p.file) : plan(p.file, p.json);
        const cli::Parsed parsed =
            cli::parseArguments({"gps-coldstart-cli", "--plan", path, "COM1"});
        EXPECT_EQ(parsed.exitStatus, 2) << p.message;
        EXPECT_TRUE(parsed.text.contains(p.message) && parsed.text.contains(path))
            << parsed.text.toStdString();
    }
    for (const auto& m : mistakes) {
        const cli::Parsed parsed =
            cli::parseArguments(QStringList{"gps-coldstart-cli"} + m.arguments);
        EXPECT_EQ(parsed.action, cli::Parsed::Fail) << m.message;
        EXPECT_EQ(parsed.exitStatus, 2) << m.message;
        EXPECT_TRUE(parsed.text.contains(m.message)) << parsed.text.toStdString();
    }
    // The delivery options, taken together with the database too, and
    // `deliver`, which tests no unit; a database that is not there opens nothing.
    const struct {
        QStringList arguments;
        int status;
        const char* message;
    } delivery[] = {
        {{"--deliver-url", "mes/results", "COM1"}, 2, "is not an http:// or https:// address"},
        {{"--deliver", "lp\nmes", "COM1"}, 2, "is not one line"},
        {{"--deliver", "lp", "--no-db", "COM1"}, 2, "not with --no-db"},
        {{"--deliver-retry", "0", "COM1"}, 2, "--deliver-retry"},
        {{"deliver", "--db", dir.filePath("r.db")}, 2, "no target to deliver to"},
        {{"deliver", "--deliver", "lp", "SN-1"}, 2, "unexpected argument \"SN-1\""},
        {{"deliver", "--deliver", "lp", "--db", dir.filePath("none.db")}, 3, "no such file"},
    };
    for (const auto& d : delivery) {
        int status = 0;
        QString said;
        if (d.arguments.front() == "deliver") {
            QString out;
            QTextStream o(&out), e(&said);
            status = cli::runDeliver(d.arguments.mid(1), o, e);
        } else {
            const cli::Parsed parsed =
                cli::parseArguments(QStringList{"gps-coldstart-cli"} + d.arguments);
            said = parsed.action == cli::Parsed::Fail ? parsed.text
                                                      : cli::deliveryMistake(parsed.options);
            status = said.isEmpty() ? 0 : 2;
        }
        EXPECT_EQ(status, d.status) << d.message;
        EXPECT_TRUE(said.contains(d.message)) << d.message << ": " << said.toStdString();
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

// Each help reads whole on an 80-column terminal, its exit statuses too.
TEST(CliOptions, HelpFitsEightyColumns) {
    for (const QStringList& command :
         {QStringList{}, {"report"}, {"calibrate"}, {"db"}, {"deliver"}}) {
        QProcess cli;
        cli.start(COLDSTART_CLI, command + QStringList{"--help"});
        ASSERT_TRUE(cli.waitForFinished(30000));
        EXPECT_EQ(cli.exitCode(), 0);
        const QString help = QString::fromUtf8(cli.readAllStandardOutput());
        EXPECT_EQ(help.contains("\nExit status:\n"), command != QStringList{"report"});
        EXPECT_EQ(helpProblems(help, (QStringList{"gps-coldstart-cli"} + command).join(' ')),
                  QStringList())
            << help.toStdString();
    }
}

// gps-coldstart-cli run to its end, as the user of `as` when given (a spool
// is in that user's data folder): its exit status and both channels.
struct Ran {
    int status = -1;
    QString out, err;
};
Ran ranCli(const QStringList& arguments, const Cli* as = nullptr) {
    QProcess p;
    if (as) p.setProcessEnvironment(as->process.processEnvironment());
    p.start(COLDSTART_CLI, arguments);
    EXPECT_TRUE(p.waitForFinished(120000)) << arguments.join(' ').toStdString();
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// With a decimal comma (the simulated receiver too), every number keeps its
// point: HDOP and limits as read, the JSON, the stored row, the report, its CSV.
TEST(Cli, NumbersInACommaDecimalLocale) {
    ASSERT_TRUE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) << "tools/setup.sh makes de_DE.UTF-8";
    Bench bench;
    ReceiverConfig config = receiver(Behaviour::Normal);
    config.hdop = 1.2;
    const QString port = bench.add("de", config);
    Cli cli;
    qputenv("LC_ALL", "de_DE.UTF-8");
    const QString db = cli.dataHome.filePath("r.sqlite");
    QFile plan(cli.dataHome.filePath("line-4.json"));  // a plan file read under that locale too
    ASSERT_TRUE(plan.open(QIODevice::WriteOnly) && plan.write(R"({"max_ttff_s": 30.5})") > 0);
    plan.close();
    cli.start(
        {"--json", "--quiet", "--db", db, "--plan", plan.fileName(), "--min-cn0", "20.5", port});
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
    EXPECT_EQ(results::testing::storedRows(
                  stored,
                  "hdop || ' ' || cn0_mean4 || ' ' || limits || ' ' || plan || ' ' || "
                  "plan_sha256"),
              QStringList("1.2 42.75 {\"max_ttff_s\":30.5,\"min_cn0\":20.5} line-4 " +
                          r.value("plan_sha256").toString()));
    EXPECT_EQ(results::testing::storedRows(stored, "ttff_s").value(0).toDouble(), ttff);
    const auto report = [&](const QStringList& arguments) {
        const Ran ran = ranCli(QStringList{"report", "--db", db} + arguments, &cli);
        EXPECT_EQ(ran.status, 0) << ran.err.toStdString();
        return ran.out;
    };
    const QString ttffText = QString::number(ttff, 'f', 2);
    EXPECT_TRUE(report({}).contains("mean " + ttffText + "  median " + ttffText));
    const QJsonObject summary = QJsonDocument::fromJson(report({"--json"}).toUtf8()).object();
    EXPECT_EQ(summary["overall"]["ttff_s"]["mean"].toDouble(), ttff);
    EXPECT_TRUE(report({"--csv", "-"}).contains(QStringLiteral(",%1,8,1.2,44,42.75,8,").arg(ttff)));
    qunsetenv("LC_ALL");
    std::setlocale(LC_NUMERIC, "C");
}

QString sha256Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The bytes written back by report --evidence (or OPTION), as the user of cli.
QByteArray evidenceOf(const Cli& cli, const QString& db, const QString& id,
                      const char* option = "--evidence") {
    QProcess p;
    p.setProcessEnvironment(cli.process.processEnvironment());
    p.start(COLDSTART_CLI, {"report", "--db", db, option, id, "-"});
    EXPECT_TRUE(p.waitForFinished(60000) && p.exitCode() == 0) << id.toStdString();
    return p.readAllStandardOutput();
}

// Each unit's bytes of its test, both ways, are kept with its result and
// come back byte for byte (their SHA-256 the one the station printed); with
// evidence off none are kept.
TEST(Cli, EachUnitsBytesAreKeptAndWrittenBack) {
    Bench bench;
    ReceiverConfig weak = receiver(Behaviour::Normal);
    weak.snr = {30, 30, 30, 30, 28, 0};
    const QString good = bench.add("good", receiver(Behaviour::Normal));
    const QString failed = bench.add("weak", weak);
    Cli cli;
    const QString db = cli.dataHome.filePath("r.sqlite");
    cli.start({"--json", "--quiet", "--db", db, "--min-cn0", "35", good, failed});
    EXPECT_EQ(cli.finish(60000), 1) << cli.progressText();
    const std::string command =
        station::startCommand(gpslink::ReceiverFamily::Sirf, gpslink::StartType::Cold);
    for (const QString& port : {good, failed}) {
        const QJsonObject r = resultFor(cli.objects(), port);
        const QString id = r.value("id").toString();
        const QByteArray framed = evidenceOf(cli, db, id);
        EXPECT_EQ(sha256Hex(framed), r.value("evidence_sha256").toString());
        QString why;
        const auto chunks = results::evidence::parse(framed, &why);
        ASSERT_TRUE(chunks && !chunks->empty()) << why.toStdString();
        EXPECT_TRUE(chunks->front().bytes.startsWith("port " + port.toUtf8() + " opened at "))
            << chunks->front().bytes.toStdString();
        QByteArray sent;
        for (const auto& c : *chunks)
            if (c.kind == results::evidence::Kind::Sent) sent += c.bytes;
        EXPECT_TRUE(sent.contains(QByteArray::fromStdString(command))) << sent.toStdString();
        const QByteArray raw = evidenceOf(cli, db, id, "--evidence-raw");
        EXPECT_EQ(raw, results::evidence::received(*chunks));
        const QList<QByteArray> lines = raw.split('\n');
        int checked = 0;
        for (qsizetype i = 1; i + 1 < lines.size(); ++i)  // the first may be cut by the opening
            checked += bool(gpslink::nmeaCheckedBody(lines[i].trimmed().toStdString()));
        // A line may be cut where the station discarded what came before it listened.
        EXPECT_GT(checked, 10);
        EXPECT_LE(lines.size() - 2 - checked, 2) << raw.toStdString();
        EXPECT_LE(raw.size(), bench.bytesWritten(port == good ? "good" : "weak"));
        EXPECT_TRUE(evidenceOf(cli, db, id, "--evidence-text").contains("  <  $GPGGA,"));
    }

    // The first run's evidence made two days old: the next run's retention
    // removes it and says so.  That run is a study's.
    QString error;
    QSqlQuery(results::Store::open(*results::parseTarget(db, &error), &error)->database())
        .exec("UPDATE evidence SET stored_at = '2026-01-01T00:00:00.000Z'");
    Cli off;
    off.start({"--json", "--quiet", "--db", db, "--evidence", "off", "--evidence-days", "1",
               "--study", "GRR-1", good});
    EXPECT_EQ(off.finish(60000), 0) << off.progressText();
    EXPECT_TRUE(QString::fromStdString(off.progressText())
                    .contains("retention removed the evidence of 2 results"))
        << off.progressText();
    const QJsonObject r = resultFor(off.objects(), good);
    EXPECT_FALSE(r.contains("evidence_sha256"));
    EXPECT_EQ(r.value("study").toString(), "GRR-1");
    const Ran refused = ranCli({"report", "--db", db, "--evidence", r.value("id").toString(), "-"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(refused.err.contains("was kept without evidence")) << refused.err.toStdString();
}

// Real receivers' recordings replayed, from the top again after the cold
// start: the station's fix is the recording's first second with a fix, whose
// figures were counted by hand from the file.
TEST(RealReceivers, RecordingsReplayedThroughTheStation) {
    std::string why;
    const std::string logs = sharedFolder("recordings/logs", why),
                      nmea = sharedFolder("testdata/nmea", why);
    if (logs.empty() || nmea.empty()) GTEST_SKIP() << why;
    const struct {
        const char* file;
        const char* reason;
        int satellites, satellitesGga, withSnr, cn0Max;  // cn0Max 0: null
        double cn0Mean4;
    } cases[] = {
        // Dual band: GSV groups of L1 and L2 (signal IDs 1 and 6) for each
        // system, every signal kept; GGA stops at 12 while GSA list 20.
        {"ublox-zed-f9p-nmea.log", "ok", 20, 12, 23, 35, 34.75},
        // L1 and L5 of the same satellites in one GPGSV group.
        {"quectelLC79D-1.log", "ok", 14, 14, 16, 44, 41.75},
        // GPGGA, then GLGGA of the same second: the second goes on, and has
        // no GSV; the sky from before the reset is not taken.
        {"sirfstarv-nmea.log", "ok", 10, 8, 0, 0, 0},
        // GPGGA, then GAGGA of the same second; GSA of five systems.
        {"telit-pls83-w.log", "ok", 14, 5, 22, 50, 48.75},
        // High-precision GGA of 87 characters.
        {"ublox-f9p-hpnmea.log", "ok", 31, 12, 21, 41, 39.5},
        // A unit left in demo mode: GGA quality 8.
        {"garmin-geko201.log", "not-a-real-fix", -1, -1, -1, 0, 0},
        // The fix's second has GPS's GSV only: Galileo's of an earlier second is not taken.
        {"jl-micro-jlt.log", "ok", 14, 12, 12, 46, 44.25},
        // GGA's 12 beside GSA's 17 (GSA before RMC and GGA); no GSV in the second.
        {"quectel-pqgsv.log", "ok", 17, 12, 0, 0, 0},
        // CASIC binary packets, with "$" bytes, between the seconds.
        {"quectel-l76k-dual.log", "ok", 17, 17, 20, 36, 34},
        // UBX and RTCM 3 packets, with "$" bytes, before each second.
        {"ublox-f9p-base-rtcm.log", "ok", 31, 12, 40, 49, 48.5},
    };
    Bench bench;
    QStringList arguments = {"--json", "--quiet",       "--no-db", "--confirm-timeout",
                             "15",     "--fix-timeout", "20"};
    std::map<std::string, QString> port;
    for (const auto& c : cases) {
        ReceiverConfig config = receiver(Behaviour::Normal);
        std::string error;
        const std::string folder = c.file == std::string("sirfstarv-nmea.log") ? nmea : logs;
        ASSERT_TRUE(gpssim::loadCapture(folder + "/" + c.file, config.replay, error)) << error;
        // Played twice before the command, so that a slow start of the station
        // cannot outlast a short recording.
        const std::vector<std::string> once = config.replay;
        config.replay.insert(config.replay.end(), once.begin(), once.end());
        port[c.file] = bench.add(c.file, config);
        arguments << port[c.file];
    }
    Cli cli;
    cli.start(arguments);
    cli.finish(120000);
    const auto objects = cli.objects();
    const auto number = [](const QJsonValue& v) { return v.isNull() ? -1.0 : v.toDouble(); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QJsonObject r = resultFor(objects, port[c.file]);
        EXPECT_EQ(r.value("reason").toString(), c.reason)
            << r.value("status").toString().toStdString();
        EXPECT_EQ(number(r.value("satellites")), c.satellites);
        EXPECT_EQ(number(r.value("satellites_gga")), c.satellitesGga);
        EXPECT_EQ(number(r.value("sv_with_snr")), c.withSnr);
        EXPECT_EQ(number(r.value("cn0_max")), c.cn0Max ? c.cn0Max : -1);
        EXPECT_EQ(number(r.value("cn0_mean4")), c.cn0Mean4 ? c.cn0Mean4 : -1);
    }
    // Each satellite once, its C/N0 the strongest of its signals.
    const QJsonArray l1l2{QJsonObject{{"id", "1"}, {"cn0", 31}},
                          QJsonObject{{"id", "6"}, {"cn0", 29}}};
    const QJsonObject gps27{{"system", "GPS"}, {"prn", 27}, {"cn0", 31}, {"signals", l1l2}};
    EXPECT_TRUE(
        resultFor(objects, port["ublox-zed-f9p-nmea.log"])["sky"].toArray().contains(gps27));
}

// Each family at its own rate, found by listening and by what it answers,
// asked who it is; a unit with other firmware.  (SiRF binary mode, switched
// to NMEA or not, no identity, a rate other than the one given: the probe's
// and the preparation's tests; dual band, a second talker's GGA, long
// sentences and binary packets: RealReceivers.)
TEST(Identity, RateFamilyAndWhoEachUnitIs) {
    Bench bench;
    const struct {
        gpslink::ReceiverFamily family;
        int baud;
        gpssim::Binary binary;
        const char *hardware, *uniqueId;  // "": the family does not say
    } families[] = {
        {gpslink::ReceiverFamily::Sirf, 4800, gpssim::Binary::None, "", ""},
        {gpslink::ReceiverFamily::Mtk, 9600, gpssim::Binary::None, "SIM-mtk", ""},
        {gpslink::ReceiverFamily::Airoha, 115200, gpssim::Binary::None, "", ""},
        {gpslink::ReceiverFamily::QuectelLg, 38400, gpssim::Binary::None, "", "5ee0000001"},
        {gpslink::ReceiverFamily::Casic, 57600, gpssim::Binary::Casic, "SIM-casic", "5ee0000001"},
        {gpslink::ReceiverFamily::Ublox, 19200, gpssim::Binary::Ubx, "SIM-ublox", "5ee0000001"},
    };
    const auto paced = [&](const QString& name, ReceiverConfig config, int baud) {
        config.chunking = gpssim::Chunking::Sentence;
        gpssim::DriverOptions line;
        line.baud = baud;
        line.strictBaud = true;  // at another rate its output is noise
        return bench.add(name, config, line);
    };
    QStringList found = {"--json", "--quiet",       "--no-db", "--baud",
                         "auto",   "--receiver",    "auto",    "--expect-firmware",
                         "-SIM ",  "--fix-timeout", "20"};
    std::map<QString, QString> port;
    for (const auto& f : families) {
        ReceiverConfig config = receiver(Behaviour::Normal);
        config.family = f.family;
        config.binary = f.binary;
        const QString name = QString::fromLatin1(gpslink::nameOf(f.family).data());
        found << (port[name] = paced(name, config, f.baud));
    }
    ReceiverConfig other = receiver(Behaviour::Normal);
    other.family = gpslink::ReceiverFamily::Mtk;
    other.firmware = "AXN_5.1.7";
    found << (port["other"] = bench.add("other", other));
    Cli a;
    a.start(found);
    EXPECT_EQ(a.finish(120000), 1);
    const auto objects = a.objects();
    QFile kept(a.dataHome.filePath("gps-coldstart/baud-rates.json"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    const QJsonObject rates = QJsonDocument::fromJson(kept.readAll()).object();
    for (const auto& f : families) {
        const QString name = QString::fromLatin1(gpslink::nameOf(f.family).data());
        SCOPED_TRACE(name.toStdString());
        const QJsonObject r = resultFor(objects, port[name]);
        EXPECT_EQ(r.value("reason").toString(), "ok") << r.value("status").toString().toStdString();
        EXPECT_EQ(r.value("baud").toInt(), f.baud);
        EXPECT_EQ(rates.value(port[name]).toInt(), f.baud) << "kept for the next run";
        EXPECT_EQ(QStringList({r["receiver"].toString(), r["firmware"].toString(),
                               r["hardware"].toString(), r["unique_id"].toString()}),
                  QStringList({name, name + "-SIM 1.0", f.hardware, f.uniqueId}));
    }
    // Other firmware than the plan expects.
    const QJsonObject r = resultFor(objects, port["other"]);
    EXPECT_TRUE(
        (r.value("reason").toString() + ": " + r.value("status").toString().section('\n', -1))
            .startsWith("wrong-firmware: firmware AXN_5.1.7 does not match -SIM "))
        << r.value("status").toString().toStdString();
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
        EXPECT_EQ(refused.finish(), 3) << refused.progressText();
        const QString message = QString::fromStdString(refused.progressText());
        EXPECT_TRUE(message.contains(r.db) && message.contains(r.error)) << message.toStdString();
        EXPECT_FALSE(message.contains(r.password)) << message.toStdString();
        EXPECT_EQ(0, bench.starts(r.db));
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    const QString url = server.url("postgres");
    // Down during a run (long before the fixes, 20 s on): the results are
    // spooled with one warning, printed, and moved in once it is back.
    Cli c;
    c.start({"--json", "--db", url, "--station", "s-c",
             bench.add("c1", receiver(Behaviour::Normal, 20)),
             bench.add("c2", receiver(Behaviour::Normal, 20))});
    ASSERT_TRUE(c.shows("waiting for the receiver"));
    ASSERT_TRUE(server.stop());
    EXPECT_EQ(c.finish(), 4);
    ASSERT_EQ(c.objects().size(), 2u);
    const QString warning = QString::fromStdString(c.progressText());
    EXPECT_EQ(warning.count(c.dataHome.path() + "/gps-coldstart/spool/"), 1) << c.progressText();
    EXPECT_FALSE(warning.contains(PgServer::kPassword));
    ASSERT_TRUE(server.start());
    // Every printed id is stored once, with its bytes.
    const Ran report = ranCli({"report", "--db", url, "--csv", "-"}, &c);
    EXPECT_EQ(report.status, 0) << report.err.toStdString();
    const QString csv = report.out;
    EXPECT_EQ(csv.count("\r\n"), 1 + 2) << csv.toStdString();
    for (const QJsonObject& o : c.objects()) {
        const QString id = o.value("id").toString();
        EXPECT_TRUE(!id.isEmpty() && csv.contains(id)) << id.toStdString();
        EXPECT_EQ(sha256Hex(evidenceOf(c, url, id)), o.value("evidence_sha256").toString());
    }
}

// verify-full connects with the authority that signed the server's certificate
// and its host name, and refuses, naming why, another authority or name.
TEST(CliDatabase, TlsVerifiesTheServersCertificate) {
    if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    QTemporaryDir certs;
    QString why;
    ASSERT_TRUE(PgServer::makeAuthority(certs.path(), "line-ca", &why)) << why.toStdString();
    ASSERT_TRUE(PgServer::makeAuthority(certs.path(), "other-ca", &why)) << why.toStdString();
    ASSERT_TRUE(PgServer::makeCertificate(certs.path(), "line-ca", "server", "localhost", &why))
        << why.toStdString();
    PgServer server(false,
                    PgServer::Tls{certs.filePath("server.crt"), certs.filePath("server.key")});
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    const struct {
        const char *host, *authority;
        int status;
        const char* error;
    } cases[] = {
        {"localhost", "line-ca", 0, ""},
        {"localhost", "other-ca", 3, "certificate verify failed"},
        {"127.0.0.1", "line-ca", 3, "does not match host name \"127.0.0.1\""},
    };
    for (const auto& c : cases) {
        const QString db =
            QStringLiteral("postgresql://%1:%2@%3:%4/postgres?sslmode=verify-full&sslrootcert=%5")
                .arg(PgServer::kUser, PgServer::kPassword, c.host)
                .arg(server.port())
                .arg(QString::fromUtf8(
                    QUrl::toPercentEncoding(certs.filePath(QString(c.authority) + ".crt"))));
        const Ran ran = ranCli({"report", "--db", db});
        EXPECT_EQ(ran.status, c.status)
            << c.host << " " << c.authority << ": " << ran.err.toStdString();
        EXPECT_TRUE(ran.err.contains(c.error)) << ran.err.toStdString();
        EXPECT_FALSE((ran.out + ran.err).contains(PgServer::kPassword))
            << ran.out.toStdString() << ran.err.toStdString();
    }
}

// One statement on the test's server as a role: the server's refusal, or
// "" when it ran.
QString asRole(const PgServer& server, const QString& role, const QString& password,
               const QString& db, const QString& sql) {
    QString refusal;
    {
        QSqlDatabase c = QSqlDatabase::addDatabase("QPSQL", "as-role");
        c.setHostName("127.0.0.1");
        c.setPort(server.port());
        c.setUserName(role);
        c.setPassword(password);
        c.setDatabaseName(db);
        QSqlQuery q(c);
        if (!c.open())
            refusal = c.lastError().text();
        else if (!q.exec(sql))
            refusal = q.lastError().databaseText();
    }
    QSqlDatabase::removeDatabase("as-role");
    return refusal;
}

// Least privilege: the owner migrates and grants; a station's role stores and
// keeps the summaries but may change no stored result; a report role reads
// only; a role that may not migrate stops before any port, the schema as it was.
TEST(CliDatabase, RolesKeepStoredResultsAsStored) {
    if (!PgServer::available()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PgServer server;
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    const auto address = [&](const char* role, const char* password) {
        return QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/line")
            .arg(role, password)
            .arg(server.port());
    };
    for (const char* sql : {"CREATE ROLE line_owner LOGIN CREATEROLE PASSWORD 'owner-pw'",
                            "CREATE DATABASE line OWNER line_owner",
                            "CREATE ROLE station7 LOGIN PASSWORD 'station-pw'",
                            "CREATE ROLE reader1 LOGIN PASSWORD 'reader-pw'"})
        ASSERT_EQ(asRole(server, PgServer::kUser, PgServer::kPassword, "postgres", sql), "") << sql;
    const Ran granted = ranCli({"db", "grant", "--db", address("line_owner", "owner-pw")});
    ASSERT_EQ(granted.status, 0) << granted.err.toStdString();
    EXPECT_TRUE(granted.out.contains("station role \"gps_station\" may add results"))
        << granted.out.toStdString();
    for (const char* sql : {"GRANT gps_station TO station7", "GRANT gps_report TO reader1"})
        ASSERT_EQ(asRole(server, PgServer::kUser, PgServer::kPassword, "line", sql), "") << sql;

    Bench bench;
    Cli station;
    station.start({"--json", "--quiet", "--db", address("station7", "station-pw"), "--station",
                   "s-7", bench.add("stored", receiver(Behaviour::Normal))});
    EXPECT_EQ(station.finish(), 0) << station.progressText();
    const auto objects = station.objects();
    ASSERT_EQ(objects.size(), 1u);
    const QString id = objects[0].value("id").toString();
    EXPECT_FALSE(QString::fromStdString(station.progressText()).contains("station-pw"));

    const struct {
        const char *role, *password, *sql, *refusal;  // "": allowed
    } statements[] = {
        {"station7", "station-pw", "UPDATE results SET result = 'pass'", "permission denied"},
        {"station7", "station-pw", "DELETE FROM results", "permission denied for table results"},
        {"station7", "station-pw", "INSERT INTO schema_version VALUES (99, '')",
         "permission denied for table schema_version"},
        {"station7", "station-pw", "UPDATE summary_outcomes SET n = n", ""},
        // Evidence retention's mark, and nothing else of a result.
        {"station7", "station-pw", "UPDATE results SET evidence_removed = evidence_removed", ""},
        // A study's run is struck by adding a record, which stays as it was added.
        {"station7", "station-pw",
         "INSERT INTO struck_runs (result_id, study, struck_at, struck_by, why)"
         " VALUES ('r', 'S', 't', 'ann', 'wrong slot')",
         ""},
        {"station7", "station-pw", "DELETE FROM struck_runs",
         "permission denied for table struck_runs"},
        {"station7", "station-pw", "UPDATE limit_results SET result = 'pass'",
         "permission denied for table limit_results"},
        {"reader1", "reader-pw",
         "INSERT INTO struck_runs (result_id, study, struck_at, struck_by, why)"
         " VALUES ('q', 'S', 't', 'bob', 'x')",
         "permission denied for table struck_runs"},
        {"reader1", "reader-pw", "INSERT INTO results (id, stored_at) VALUES ('x', 'y')",
         "permission denied for table results"},
        {"reader1", "reader-pw", "UPDATE summary_outcomes SET n = 0",
         "permission denied for table summary_outcomes"},
        {"reader1", "reader-pw", "SELECT COUNT(*) FROM results", ""},
    };
    for (const auto& s : statements) {
        const QString refusal = asRole(server, s.role, s.password, "line", s.sql);
        EXPECT_TRUE(QString(s.refusal).isEmpty() ? refusal.isEmpty() : refusal.contains(s.refusal))
            << s.role << ": " << s.sql << " -> " << refusal.toStdString();
    }
    const Ran read = ranCli({"report", "--db", address("reader1", "reader-pw"), "--csv", "-"});
    EXPECT_EQ(read.status, 0) << read.err.toStdString();
    EXPECT_TRUE(!id.isEmpty() && read.out.contains(id)) << read.out.toStdString();

    // This role may create tables but not record the schema's version: it gets
    // through the first step's statements, and all of it is rolled back.
    ASSERT_EQ(asRole(server, PgServer::kUser, PgServer::kPassword, "postgres",
                     "CREATE DATABASE line2 OWNER line_owner"),
              "");
    for (const char* sql : {"CREATE TABLE schema_version (version INTEGER PRIMARY KEY, applied "
                            "TEXT NOT NULL)",
                            "GRANT SELECT ON schema_version TO station7",
                            "GRANT CREATE ON SCHEMA public TO station7"})
        ASSERT_EQ(asRole(server, "line_owner", "owner-pw", "line2", sql), "") << sql;
    Cli refused;
    refused.start({"--db", address("station7", "station-pw") + "2",
                   bench.add("refused", receiver(Behaviour::Normal))});
    EXPECT_EQ(refused.finish(), 3);
    const QString message = QString::fromStdString(refused.progressText());
    EXPECT_TRUE(message.contains(QStringLiteral("role \"station7\" may not migrate this database "
                                                "from schema version 0 to %1")
                                     .arg(results::latestSchemaVersion())))
        << message.toStdString();
    EXPECT_FALSE(message.contains("station-pw")) << message.toStdString();
    EXPECT_EQ(bench.starts("refused"), 0);
    EXPECT_EQ(
        asRole(server, "line_owner", "owner-pw", "line2",
               "DO $$ BEGIN IF to_regclass('results') IS NOT NULL THEN RAISE 'half-migrated'; "
               "END IF; END $$"),
        "");
}

}  // namespace
