// The station window: its command line, its stored settings and the verdict a
// tile shows; and end to end on a private Xvfb: eight slots kept by the
// settings dialog, simulated receivers on pseudo-terminals, serial numbers
// scanned in and clicks made as real X input, the tiles read back through
// their accessible names and texts, the stored rows read from the file.
#include <QAccessible>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <csignal>

#include "clirun.h"
#include "results/storeworker.h"
#include "results_sample.h"
#include "station/stopsignals.h"
#include "station/unitrun.h"
#include "stationwin/config.h"
#include "stationwin/settingsdialog.h"
#include "stationwin/slottile.h"
#include "stationwin/stationwindow.h"
#include "tests/support/xinput.h"

namespace {

using namespace stationwin;

TEST(StationCommandLine, NamesEachMistakeAndTouchesNothing) {
    struct Case {
        QStringList args;
        const char* named;  // part of the message
    };
    const Case cases[] = {
        {{"/dev/ttyUSB0@123"}, "123"},     {{"/dev/ttyUSB0@,nosuchchip"}, "nosuchchip"},
        {{"/dev/ttyUSB0=SN1"}, "scanner"}, {{"--db", "postgresql://host/db"}, "USER@"},
        {{"--station", ""}, "--station"},  {{"--no-such-option"}, "no-such-option"},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(QStringList{"gps-coldstart-station"} + c.args);
        EXPECT_EQ(line.action, CommandLine::Fail) << c.args.join(' ').toStdString();
        EXPECT_EQ(line.exitStatus, kUsage);
        EXPECT_TRUE(line.text.contains(QLatin1String(c.named)))
            << c.args.join(' ').toStdString() << ": " << line.text.toStdString();
    }
    QStringList many{"gps-coldstart-station"};
    for (int i = 0; i < 33; ++i) many << QStringLiteral("/dev/ttyUSB%1").arg(i);
    EXPECT_EQ(parseCommandLine(many).action, CommandLine::Fail);
    many.removeLast();
    EXPECT_EQ(parseCommandLine(many).action, CommandLine::Run);
}

TEST(StationSettings, FallBackOrComeBackAsSaved) {
    QTemporaryDir dir;
    struct Case {
        const char* key;
        const char* value;
    };
    const Case cases[] = {{"baud", "12345"},  {"family", "nosuchchip"},    {"cycles", "0"},
                          {"cycles", "many"}, {"confirm_timeout_s", "-1"}, {"max_ttff_s", "1e9"},
                          {"min_cn0", "loud"}};
    const Settings defaults;
    for (const Case& c : cases) {
        QSettings store(dir.filePath(QStringLiteral("%1.conf").arg(c.key)), QSettings::IniFormat);
        store.clear();
        store.setValue(QLatin1String(c.key), QLatin1String(c.value));
        QStringList problems;
        const Settings s = Settings::load(store, &problems);
        ASSERT_EQ(problems.size(), 1) << c.key << "=" << c.value;
        EXPECT_TRUE(problems[0].contains(QLatin1String(c.value))) << problems[0].toStdString();
        EXPECT_EQ(s.baud, defaults.baud);
        EXPECT_EQ(s.family, defaults.family);
        EXPECT_EQ(s.cycles, defaults.cycles);
        EXPECT_EQ(s.confirmTimeoutS, defaults.confirmTimeoutS);
        EXPECT_FALSE(s.limits.maxTtffS);
        EXPECT_FALSE(s.limits.minCn0);
    }
    Settings saved;
    saved.ports = QStringList{"/dev/ttyUSB3@115200,ublox,hot", "COM 3"};
    saved.baud = 4800;
    saved.cycles = 3;
    saved.limits.maxTtffS = 45.5;
    saved.limits.minSats = 4;
    saved.station = "bench-7";
    saved.lot = "L-1";
    {
        QSettings store(dir.filePath("s.conf"), QSettings::IniFormat);
        saved.save(store);
    }
    QSettings store(dir.filePath("s.conf"), QSettings::IniFormat);
    QStringList problems;
    const Settings s = Settings::load(store, &problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    EXPECT_EQ(s.ports, saved.ports);
    EXPECT_EQ(s.limits.maxTtffS, 45.5);
    EXPECT_EQ(s.limits.minSats, 4);
    EXPECT_FALSE(s.limits.minCn0);
    QString error;
    const auto units = slotConfigs(s, &error);
    ASSERT_TRUE(units) << error.toStdString();
    ASSERT_EQ(units->size(), 2u);
    EXPECT_EQ((*units)[0].baud, 115200);
    EXPECT_EQ((*units)[0].receiver, "ublox");
    EXPECT_EQ((*units)[0].start, "hot");
    EXPECT_EQ((*units)[1].baud, 4800);
    EXPECT_EQ((*units)[1].receiver, "sirf");
    EXPECT_EQ((*units)[1].cycles, 3);
    EXPECT_EQ((*units)[1].station, "bench-7");
}

TEST(Verdict, FollowsThePhaseAndEveryCycle) {
    using station::Verdict;
    struct Case {
        const char* name;
        bool started, done;
        std::vector<const char*> cycles;
        Verdict verdict;
    };
    const Case cases[] = {
        {"never started", false, false, {}, Verdict::Idle},
        {"second cycle under way after a pass", true, false, {"pass"}, Verdict::Running},
        {"three passes", true, true, {"pass", "pass", "pass"}, Verdict::Pass},
        // A TTFF over the limit fails its cycle and the run goes on: a later
        // pass does not make up for it.
        {"fail then pass", true, true, {"fail", "pass"}, Verdict::Fail},
        {"stopped after a pass", true, true, {"pass", "interrupted"}, Verdict::Interrupted},
        {"stopped without a cycle", true, true, {}, Verdict::Interrupted},
    };
    for (const Case& c : cases) {
        station::Tally tally;
        for (const char* r : c.cycles) {
            station::CycleResult cycle;
            cycle.result = QString::fromLatin1(r);
            tally.add(cycle);
        }
        EXPECT_EQ(station::verdictOf(c.started, c.done, tally), c.verdict) << c.name;
    }
}

QString described(QWidget* tile) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(tile);
    return face ? face->text(QAccessible::Description) : QString();
}

// A real click into a field unless it is null, then the text as key presses;
// a scanner ends its serial number with Enter.
::testing::AssertionResult typeInto(QWidget* field, const QString& text, bool enter = false) {
    auto done = field ? xinput::click(field) : ::testing::AssertionSuccess();
    if (done) done = xinput::xdotool({"type", "--delay", "15", text});
    return done && enter ? xinput::xdotool({"key", "Return"}) : done;
}

QString serial(int slot) {
    return QStringLiteral("SN%1").arg(slot + 1, 4, 10, QLatin1Char('0'));
}

TEST(StationWindowE2e, EightSlotsScannedInMixedVerdictsStoredAndClosedWhileRunning) {
    if (!xinput::available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
    using clirun::receiver;
    using gpssim::Behaviour;
    QTemporaryDir dir;
    clirun::Bench bench;
    stationwin::Settings settings;
    for (int i = 0; i < 5; ++i) settings.ports << bench.add(serial(i), receiver(Behaviour::Normal));
    settings.ports << bench.add(serial(5), receiver(Behaviour::Silent)) + "@9600"
                   << bench.add(serial(6), receiver(Behaviour::Ignore))
                   << dir.filePath("no-such-port");
    settings.confirmTimeoutS = 8;
    settings.fixTimeoutS = 30;
    // A real click on OK keeps the slots as they came, each listed checked.
    stationwin::SettingsDialog dialog(settings, stationwin::listPorts());
    dialog.move(0, 0);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    xinput::screenshot("station-settings", &dialog);
    ASSERT_TRUE(xinput::click(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.settings().ports, settings.ports);
    QString error;
    const auto units = stationwin::slotConfigs(dialog.settings(), &error);
    ASSERT_TRUE(units) << error.toStdString();
    const results::Target target = *results::parseTarget(dir.filePath("results.sqlite"), &error);
    auto store = results::StoreWorker::open(target, &error);
    ASSERT_TRUE(store) << error.toStdString();
    // Each stored row: unit, result, reason, lot and operator.
    const auto storedRows = [&] {
        return results::testing::storedRows(
            results::Store::open(target, &error)->database(),
            "unit || ' ' || result || ' ' || reason || ' ' || lot || ' ' || operator");
    };
    stationwin::StationWindow window(*units, std::move(store));
    window.move(0, 0);
    window.resize(1000, 720);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.slotCount(), 8);
    EXPECT_TRUE(described(window.tile(0)).startsWith("idle"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(
            QAccessible::queryAccessibleInterface(window.tile(i))->text(QAccessible::Name),
            QStringLiteral("Slot %1, %2").arg(i + 1).arg(settings.ports[i].section('@', 0, 0)));

    ASSERT_TRUE(typeInto(window.lotField(), "LOT-7"));
    ASSERT_TRUE(typeInto(window.operatorField(), "ana"));
    // Slot 1 takes the keyboard; each scan starts its slot and moves on.
    ASSERT_TRUE(xinput::click(window.tile(0)->serialField()));
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(typeInto(nullptr, serial(i), true));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.run(i) != nullptr; }, 5000)) << i;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return QApplication::focusWidget() == window.tile(i + 1)->serialField(); }, 5000))
            << "focus did not move on from slot " << i + 1;
    }
    // The missing port, then the receiver that ignores its command, stopped
    // with Esc once it runs.
    ASSERT_TRUE(typeInto(window.tile(7)->serialField(), serial(7), true));
    ASSERT_TRUE(typeInto(window.tile(6)->serialField(), serial(6), true));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return window.run(6) && window.run(6)->phase() == station::UnitRun::Phase::Commanded;
        },
        20000));
    ASSERT_TRUE(xinput::click(window.tile(6)->serialField()));
    ASSERT_TRUE(xinput::xdotool({"key", "Escape"}));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.anyRunning(); }, 60000));
    const QStringList verdicts = {"PASS", "PASS", "PASS",    "PASS",
                                  "PASS", "FAIL", "stopped", "STATION FAULT"};
    for (int i = 0; i < 8; ++i) {
        // What a screen reader reads is what the tile shows, once redrawn.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return described(window.tile(i)).startsWith(verdicts[i]); }, 2000))
            << "slot " << i + 1 << ": " << described(window.tile(i)).toStdString();
        EXPECT_TRUE(window.tile(i)->verdictShown().startsWith(verdicts[i]));
        EXPECT_TRUE(described(window.tile(i)).contains("unit " + serial(i)));
        EXPECT_EQ(described(window.tile(i)).contains("TTFF "), i < 5) << i + 1;
    }
    xinput::screenshot("station-8-slots", &window);

    const QStringList rows = storedRows();
    EXPECT_EQ(rows.size(), 8);
    for (const char* row : {"SN0001 pass ok LOT-7 ana", "SN0006 fail no-data LOT-7 ana",
                            "SN0007 interrupted interrupted LOT-7 ana",
                            "SN0008 station-fault port-unavailable LOT-7 ana"})
        EXPECT_TRUE(rows.contains(row)) << row;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window.yieldLine()->text().contains("This session: 8 tested, 5 passed") &&
                   window.yieldLine()->text().contains("Lot LOT-7: 8 tested, 5 passed");
        },
        2000))
        << window.yieldLine()->text().toStdString();

    // A done slot goes back to running when a new serial is scanned in.
    ASSERT_TRUE(xinput::click(window.tile(0)->serialField()));
    ASSERT_TRUE(xinput::xdotool({"key", "ctrl+a"}));
    ASSERT_TRUE(typeInto(nullptr, "SN0101", true));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return described(window.tile(0)).startsWith("running"); }, 5000));

    // Closing while a slot runs asks once; yes ends every run, its result kept.
    // A timer answers the question, shown inside close(), with a real click.
    int asked = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (question && question->isVisible() && asked++ == 0) {
            EXPECT_TRUE(xinput::click(question->button(QMessageBox::Yes)));
        }
    });
    poll.start(100);
    window.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 10000));
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(window.anyRunning());
    EXPECT_TRUE(storedRows().contains("SN0101 interrupted interrupted LOT-7 ana"));

    // A shutdown of the bench computer (SIGTERM) is that close without the
    // question: the run under way is stored as interrupted.
    stationwin::StationWindow shutting({units->at(0)}, results::StoreWorker::open(target, &error));
    QSignalSpy done(&shutting, &stationwin::StationWindow::shutDownDone);
    ASSERT_TRUE(station::onStopSignals(
        {SIGTERM}, [&] { shutting.shutDown(); }, &error));
    shutting.startSlot(0, "SN0102");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return shutting.run(0)->phase() != station::UnitRun::Phase::Idle; }));
    ::raise(SIGTERM);
    ASSERT_TRUE(done.wait(20000));
    EXPECT_FALSE(shutting.anyRunning());
    EXPECT_TRUE(storedRows().contains("SN0102 interrupted interrupted  "))
        << storedRows().join('\n').toStdString();
}

}  // namespace
