// The station window: its command line, its stored settings and the verdict a
// tile shows; and end to end on a private Xvfb: eight slots kept by the
// settings dialog, simulated receivers on pseudo-terminals, serial numbers
// scanned in and clicks made as real X input, the tiles read back through
// their accessible names and texts, the stored rows read from the file.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSqlQuery>
#include <QTabWidget>
#include <csignal>
#include <set>
#include <tuple>

#include "clirun.h"
#include "results/store.h"
#include "results/storeworker.h"
#include "station/settings.h"
#include "station/stopsignals.h"
#include "station/unitrun.h"
#include "stationwin/calibratedialog.h"
#include "stationwin/config.h"
#include "stationwin/lotpanel.h"
#include "stationwin/settingsdialog.h"
#include "stationwin/slottile.h"
#include "stationwin/stationwindow.h"
#include "stationwin/studydialog.h"
#include "stationwin/studyplan.h"
#include "testkit/results_sample.h"
#include "testkit/xinput.h"

namespace {

using namespace stationwin;

// The slots a station started with these options and ports runs.
std::vector<station::UnitConfig> unitsFrom(const QStringList& arguments) {
    QString error;
    const auto settings =
        settingsForRun({}, parseCommandLine(QStringList{"x"} + arguments), &error);
    const auto units = settings ? slotConfigs(*settings, &error) : std::nullopt;
    EXPECT_TRUE(units) << error.toStdString();
    return units.value_or(std::vector<station::UnitConfig>());
}

// A results store in a new SQLite file of `dir`.
std::unique_ptr<results::StoreWorker> sqliteStore(const QTemporaryDir& dir,
                                                  const results::Store::Options& options = {}) {
    QString error;
    auto store = results::StoreWorker::open(*results::parseTarget(dir.filePath("r.sqlite"), &error),
                                            &error, options);
    EXPECT_TRUE(store) << error.toStdString();
    return store;
}

TEST(StationCommandLine, NamesEachMistakeAndTouchesNothing) {
    struct Case {
        QStringList args;
        const char* named;  // part of the message
    };
    const Case cases[] = {
        {{"/dev/ttyUSB0@123"}, "123"},
        {{"/dev/ttyUSB0@,nosuchchip"}, "nosuchchip"},
        {{"/dev/ttyUSB0=SN1"}, "scanner"},
        {{"--db", "postgresql://host/db"}, "USER@"},
        {{"--station", ""}, "--station"},
        {{"--no-such-option"}, "no-such-option"},
        {{"--generator", "tcp://127.0.0.1:5025", "--test", "fix,tracking"}, "gps-coldstart-cli"},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(QStringList{"gps-coldstart-station"} + c.args);
        EXPECT_EQ(line.action, CommandLine::Fail) << c.args.join(' ').toStdString();
        EXPECT_EQ(line.exitStatus, station::kUsage);
        EXPECT_TRUE(line.text.contains(QLatin1String(c.named)))
            << c.args.join(' ').toStdString() << ": " << line.text.toStdString();
    }
    QStringList many{"gps-coldstart-station"};
    for (int i = 0; i < 33; ++i) many << QStringLiteral("/dev/ttyUSB%1").arg(i);
    EXPECT_EQ(parseCommandLine(many).action, CommandLine::Fail);
    many.removeLast();
    EXPECT_EQ(parseCommandLine(many).action, CommandLine::Run);
    const CommandLine help = parseCommandLine({"/usr/bin/gps-coldstart-station", "--help"});
    EXPECT_EQ(clirun::helpProblems(help.text, "gps-coldstart-station"), QStringList());
}

TEST(StationSettings, FallBackOrComeBackAsSaved) {
    QTemporaryDir dir;
    struct Case {
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"baud", "12345"},   {"family", "nosuchchip"},        {"cycles", "0"},
        {"cycles", "many"},  {"confirm_timeout_s", "-1"},     {"max_ttff_s", "1e9"},
        {"min_cn0", "loud"}, {"calibration_max_age", "1 day"}};
    const Settings defaults;
    for (const Case& c : cases) {
        QSettings store(dir.filePath(QStringLiteral("%1.conf").arg(c.key)), QSettings::IniFormat);
        store.clear();
        store.setValue(QLatin1String(c.key), QLatin1String(c.value));
        QStringList problems;
        const Settings s = Settings::load(store, &problems);
        ASSERT_EQ(problems.size(), 1) << c.key << "=" << c.value;
        EXPECT_TRUE(problems[0].contains(QLatin1String(c.value))) << problems[0].toStdString();
        for (const station::Setting& each : station::settings())
            EXPECT_EQ(each.print(s.plan), each.print(defaults.plan)) << each.key;
    }
    // Each slot's own rate, family and start; the plan's for the rest.
    Settings s;
    s.ports = QStringList{"/dev/ttyUSB3@115200,ublox,hot", "COM 3"};
    s.plan.baud = 4800;
    s.plan.cycles = 3;
    s.station = "bench-7";
    QString error;
    const auto units = slotConfigs(s, &error);
    ASSERT_TRUE(units) << error.toStdString();
    QStringList made;
    for (const station::UnitConfig& u : *units)
        made << QString("%1 %2 %3 %4 %5")
                    .arg(u.baud)
                    .arg(u.receiver, u.start)
                    .arg(u.cycles)
                    .arg(u.station);
    EXPECT_EQ(made, QStringList({"115200 ublox hot 3 bench-7", "4800 sirf cold 3 bench-7"}));
    // A generator kept in the settings (or a plan file's) is driven; its
    // searches, which step it for every slot together, are refused, not ignored.
    s.plan.generator = QStringLiteral("tcp://siggen:5025");
    EXPECT_TRUE(slotConfigs(s, &error)) << error.toStdString();
    s.plan.tests = QStringList{"fix", "acquisition"};
    EXPECT_FALSE(slotConfigs(s, &error));
    EXPECT_TRUE(error.contains("acquisition") && error.contains("gps-coldstart-cli"))
        << error.toStdString();
}

// Limits set in the dialog are kept when the ports came from the command
// line; what the command line gave is not.
TEST(StationSettings, TheDialogKeepsLimitsAndEachSlotsOwnRateAndFamily) {
    Settings kept;
    kept.ports = QStringList{"/dev/ttyUSB3@115200,ublox,hot", "/dev/ttyUSB4"};
    QString error;
    const auto forRun = settingsForRun(
        kept, parseCommandLine({"gps-coldstart-station", "--db", "/tmp/x.sqlite", "/dev/ttyS9"}),
        &error);
    ASSERT_TRUE(forRun) << error.toStdString();
    Settings chosen = *forRun;
    chosen.plan.limits.least(results::Measure::SkyCn0) = 30;
    const Settings saved = keptSettings(chosen, kept, parseCommandLine({"x", "--db", "y", "/a"}));
    EXPECT_EQ(saved.ports, kept.ports);
    EXPECT_EQ(saved.db, kept.db);
    EXPECT_EQ(saved.plan.limits.least(results::Measure::SkyCn0), 30);

    // Enter in the device-path field adds the port and keeps the dialog open.
    // The database's password is not shown, and kept while its field is left.
    kept.db = "postgresql://line:hunter2@db/r?sslmode=require";
    SettingsDialog dialog(kept, {});
    dialog.show();
    QLineEdit *path = nullptr, *db = nullptr;
    for (QLineEdit* field : dialog.findChildren<QLineEdit*>()) {
        if (field->accessibleName() == "Another port by its device path") path = field;
        if (field->accessibleName() == "Results database") db = field;
    }
    ASSERT_TRUE(path && db);
    EXPECT_EQ(db->text(), "postgresql://line:***@db/r?sslmode=require");
    EXPECT_EQ(dialog.settings().db, kept.db);
    QTest::keyClicks(path, "/dev/ttyACM0");
    QTest::keyClick(path, Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    for (QComboBox* box : dialog.findChildren<QComboBox*>())
        if (box->accessibleName() == "Receiver family of /dev/ttyUSB4") box->setCurrentText("mtk");
    EXPECT_EQ(dialog.settings().ports,
              QStringList({"/dev/ttyUSB3@115200,ublox,hot", "/dev/ttyUSB4@,mtk", "/dev/ttyACM0"}));
}

TEST(Verdict, FollowsThePhaseAndEveryCycle) {
    using station::Verdict;
    using R = station::Reason;
    struct Case {
        const char* name;
        bool started, done;
        std::vector<station::Reason> cycles;
        Verdict verdict;
    };
    const Case cases[] = {
        {"never started", false, false, {}, Verdict::Idle},
        {"second cycle under way after a pass", true, false, {R::Ok}, Verdict::Running},
        {"three passes", true, true, {R::Ok, R::Ok, R::Ok}, Verdict::Pass},
        // A TTFF over the limit fails its cycle and the run goes on: a later
        // pass does not make up for it.
        {"fail then pass", true, true, {R::TtffOverLimit, R::Ok}, Verdict::Fail},
        {"stopped after a pass", true, true, {R::Ok, R::Interrupted}, Verdict::Interrupted},
        {"stopped without a cycle", true, true, {}, Verdict::Interrupted},
    };
    for (const Case& c : cases) {
        station::Tally tally;
        for (station::Reason r : c.cycles) {
            station::CycleResult cycle;
            cycle.reason = r;
            tally.add(cycle);
        }
        EXPECT_EQ(station::verdictOf(c.started, c.done, tally), c.verdict) << c.name;
    }
}

// Every unit visits every slot exactly once in every trial, never in two
// slots of one round, and each slot holds a different unit in a round.
TEST(StudyPlan, EveryUnitVisitsEverySlotOnceInEachTrial) {
    const struct {
        int units, slotCount, trials;
        const char* firstTrial;  // round by round: the unit in each slot, '-' for none
    } cases[] = {
        {3, 2, 2, "01 12 20"}, {10, 4, 3, nullptr},
        {2, 2, 2, "01 10"},    {2, 4, 2, "01-- 1--0 --01 -01-"},
        {5, 5, 2, nullptr},    {4, 3, 3, "012 123 230 301"},
    };
    for (const auto& c : cases) {
        StudyPlan plan{"S", {}, c.slotCount, c.trials};
        for (int u = 0; u < c.units; ++u) plan.units << QStringLiteral("U%1").arg(u);
        const std::string name = plan.units.join(',').toStdString() + " x " +
                                 std::to_string(c.slotCount) + " x " + std::to_string(c.trials);
        ASSERT_EQ(studyPlanProblem(plan), QString()) << name;
        const std::vector<StudyStep> steps = studyOrder(plan);
        ASSERT_EQ(int(steps.size()), c.units * c.slotCount * c.trials) << name;
        const int rounds = std::max(c.units, c.slotCount);
        std::set<std::tuple<int, int, int>> visits, slotsInRound, unitsInRound;
        for (const StudyStep& s : steps) {
            EXPECT_EQ(s.trial, s.round / rounds) << name;
            EXPECT_TRUE(visits.insert({s.trial, s.unit, s.slot}).second) << name;
            EXPECT_TRUE(slotsInRound.insert({s.round, s.slot, 0}).second) << name;
            EXPECT_TRUE(unitsInRound.insert({s.round, s.unit, 0}).second) << name;
        }
        if (!c.firstTrial) continue;
        QStringList shown(rounds, QString(c.slotCount, '-'));
        for (const StudyStep& s : steps)
            if (s.trial == 0) shown[s.round][s.slot] = QChar('0' + s.unit);
        EXPECT_EQ(shown.join(' ').toStdString(), c.firstTrial) << name;
    }
}

TEST(StudyPlan, NamesEachMistake) {
    const struct {
        StudyPlan plan;
        const char* named;
    } cases[] = {
        {{"", {"A", "B"}, 2, 2}, "name"},
        {{"a,b", {"A", "B"}, 2, 2}, "a,b"},
        {{"S", {"A", "B"}, 1, 2}, "2 slots"},
        {{"S", {"A"}, 2, 2}, "2 units"},
        {{"S", {"A", "B"}, 2, 1}, "2 trials"},
        {{"S", {"A", "B", "A"}, 2, 2}, "Unit A is given twice"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(studyPlanProblem(c.plan).contains(c.named))
            << c.named << ": " << studyPlanProblem(c.plan).toStdString();
    EXPECT_EQ(studyUnits(" U1, U2;U3\n\nU4 "), QStringList({"U1", "U2", "U3", "U4"}));
}

// Round by round: a wrong unit is refused naming the right one, a run that
// measured nothing goes again, and the next round waits for the last slot.
TEST(StudyProgress, RefusesTheWrongUnitAndRepeatsARunThatMeasuredNothing) {
    StudyProgress p({"GRR-1", {"U1", "U2", "U3"}, 2, 2});
    EXPECT_EQ(p.progressText(), "trial 1 of 2, 0 of 12 runs");
    EXPECT_EQ(p.nextText(), "slot 1: U1, slot 2: U2");
    EXPECT_EQ(p.refusal(0, "U2"),
              "Unit U2 is not for slot 1 now: study GRR-1 puts unit U1 in slot 1 (trial 1, round "
              "1 of 3).");
    EXPECT_EQ(p.refusal(0, "U1"), QString());
    p.started(0);
    EXPECT_TRUE(p.refusal(0, "U1").contains("not kept yet"));
    EXPECT_EQ(p.expected(0), QString());
    p.ended(0, false);  // a station fault: the same unit again
    EXPECT_EQ(p.expected(0), "U1");
    p.started(0);
    p.ended(0, true);
    EXPECT_TRUE(p.refusal(0, "U2").contains("until the round's other slots are done (slot 2: U2)"))
        << p.refusal(0, "U2").toStdString();
    p.started(1);
    p.ended(1, true);
    EXPECT_EQ(p.nextText(), "slot 1: U2, slot 2: U3");

    // A scanned serial or a study's name is said as it is, whatever it holds.
    StudyProgress odd({"S%2", {"U%1", "U2"}, 2, 2});
    EXPECT_EQ(odd.refusal(0, "%1%2"),
              "Unit %1%2 is not for slot 1 now: study S%2 puts unit U%1 in slot 1 (trial 1, "
              "round 1 of 2).");
    odd.started(0);
    odd.ended(0, true);
    EXPECT_EQ(odd.refusal(0, "U2"),
              "Study S%2 has no unit for slot 1 until the round's other slots are done (slot 2: "
              "U2).");
}

QString described(QWidget* tile) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(tile);
    return face ? face->text(QAccessible::Description) : QString();
}

// A real click into a field, which takes the keyboard, then any text typed.
::testing::AssertionResult clickInto(QLineEdit* field, const QString& text = {}) {
    auto done = xinput::click(field, [field] { return field->hasFocus(); });
    if (!done || text.isEmpty()) return done;
    return xinput::xdotool({"type", text}, [&] { return field->text() == text; });
}

// A serial number scanned into the field with the keyboard: its keys, then Enter.
::testing::AssertionResult scan(const QString& serial, const xinput::Effect& effect) {
    return xinput::xdotool(QStringList{"key"} + serial.split("", Qt::SkipEmptyParts) << "Return",
                           effect);
}

// What the store at `target` holds: `row` of each result, in order.
QStringList stored(const results::Target& target, const QString& row) {
    QString error;
    return results::testing::storedRows(results::Store::open(target, &error)->database(), row);
}

// The window shown at the screen's corner, 1024x768 (the whole of the
// smallest screen a bench has), once the X server shows it.
::testing::AssertionResult shown(QWidget& window) {
    window.move(0, 0);
    window.resize(1024, 768);
    window.show();
    if (QTest::qWaitForWindowExposed(&window, 60000)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the window was not shown";
}

QString serial(int slot) {
    return QStringLiteral("SN%1").arg(slot + 1, 4, 10, QLatin1Char('0'));
}

// With signal tests in the lot, the panel's per-slot chart is the signal's
// C/N0 against its window rather than the sky's against the run's minimum.
TEST(LotPanel, ShowsTheSignalTestsCn0PerSlotWhenTheLotHasOne) {
    results::Distributions data;
    data.measures.resize(results::kSignal + 1, {"", nullptr, {}, {}, true, {}, {}, nullptr, {}});
    data.measures[results::kSignal].low = results::LimitInForce{40, 1, 1};
    data.measures[results::kSignal].limit = results::LimitInForce{44, 1, 1};
    data.cn0ByPort["/dev/ttyUSB0"] = {38};
    data.signalByPort["/dev/ttyUSB0"] = {42};
    stationwin::LotPanel panel;
    panel.showLot("L", data, 60, 36);
    QByteArray perSlot;  // the panel's last chart
    for (QWidget* w : panel.findChildren<QWidget*>())
        if (auto* chart = dynamic_cast<stationwin::SvgChart*>(w)) perSlot = chart->svg();
    EXPECT_TRUE(perSlot.contains(">low 40 dB-Hz<") && perSlot.contains(">high 44 dB-Hz<") &&
                !perSlot.contains("limit 36"))
        << perSlot.toStdString();
}

// The TTFF histogram of the lot at a glance never draws its values as one
// block across the plot, nor as bars too thin to see beside a far limit.
TEST(LotPanel, TtffBarsStandAmongBinsWhenTheValuesHardlyDiffer) {
    const struct {
        const char* name;
        std::vector<double> ttffs;
        std::optional<double> limit;
    } cases[] = {
        {"one unit", {10}, std::nullopt},
        {"identical units", {10, 10, 10, 10, 10}, std::nullopt},
        {"identical units, limit far", {10, 10, 10}, 60},
        {"identical units over a small limit", {10, 10, 10}, 1},
        {"milliseconds apart, limit far", {3.98, 3.984, 3.99, 3.99, 3.994}, 60},
        {"a spread lot", {21, 24, 25, 27, 28, 30, 31, 33, 36, 40, 44, 52}, 60},
    };
    for (const auto& c : cases) {
        results::Distributions data;
        data.measures.push_back({"ttff_s", nullptr, {}, {}, true, c.ttffs, {}, nullptr, {}});
        stationwin::LotPanel panel;
        panel.showLot("L", data, c.limit, std::nullopt);
        QString svg;  // the panel's first chart
        for (QWidget* w : panel.findChildren<QWidget*>())
            if (auto* chart = dynamic_cast<stationwin::SvgChart*>(w); chart && svg.isEmpty())
                svg = QString::fromUtf8(chart->svg());
        // Each bar's width against the whole plot's: its longest level line.
        static const QRegularExpression bar(R"re(<rect [^>]*width="([0-9.]+)"[^>]*class="bar")re");
        static const QRegularExpression level(
            R"re(<line x1="([0-9.]+)" y1="([0-9.]+)" x2="([0-9.]+)" y2="\2")re");
        double plotWidth = 0;
        for (auto it = level.globalMatch(svg); it.hasNext();) {
            const auto line = it.next();
            plotWidth =
                std::max(plotWidth, line.captured(3).toDouble() - line.captured(1).toDouble());
        }
        ASSERT_GT(plotWidth, 300) << c.name << svg.toStdString();
        int bars = 0;
        for (auto it = bar.globalMatch(svg); it.hasNext(); ++bars) {
            const double width = it.next().captured(1).toDouble();
            EXPECT_LT(width, plotWidth / 4) << c.name;
            EXPECT_GT(width, 3) << c.name;
        }
        EXPECT_GT(bars, 0) << c.name;
    }
}

// A bar's satellite by its system's letter and its number in the system;
// each bar named in a font read at the bench, the names apart and inside the
// chart at every size a tile takes; a tile without a sky draws no chart.
TEST(SlotTile, NamesEachSatellitesBarAndDrawsNoChartWithoutASky) {
    const struct {
        const char* system;
        int prn;
        const char* name;
    } names[] = {
        {"GPS", 12, "G12"},     {"GPS", 3, "G03"},       {"GLONASS", 69, "R05"},
        {"GLONASS", 5, "R05"},  {"Galileo", 301, "E01"}, {"Galileo", 11, "E11"},
        {"BeiDou", 221, "C21"}, {"BeiDou", 401, "C01"},  {"BeiDou", 21, "C21"},
        {"QZSS", 194, "J02"},   {"QZSS", 2, "J02"},      {"NavIC", 3, "I03"},
        {"SBAS", 33, "S20"},    {"SBAS", 123, "S23"},    {"", 7, "7"},
    };
    for (const auto& n : names)
        EXPECT_EQ(satelliteName(n.system, n.prn), n.name) << n.system << " " << n.prn;

    const auto blank = [](QWidget& widget, const QRect& area = {}) {
        const QImage image = widget.grab(area.isNull() ? widget.rect() : area).toImage();
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) != image.pixel(0, 0)) return false;
        return true;
    };
    for (const QSize size : {QSize(140, 105), QSize(230, 170), QSize(250, 330), QSize(480, 300)}) {
        // An idle tile whose port is missing has no sky.
        SlotTile tile(1, "/dev/ttyUSB9", "/no/such/folder/ttyUSB9");
        tile.resize(size);
        tile.show();
        tile.layout()->activate();
        ASSERT_TRUE(tile.chart()->height() >= 30) << size.width();
        EXPECT_TRUE(blank(tile, tile.chart()->geometry())) << size.width();
        for (int count : {1, 8, 12, 20, 32}) {
            std::vector<std::pair<QString, int>> sky;
            for (int i = 0; i < count; ++i)
                sky.emplace_back(satelliteName(i % 2 ? "GPS" : "BeiDou", 10 + i), 48 - i);
            Cn0Chart chart;
            chart.resize(tile.chart()->size());
            chart.setValues(sky, 30);
            const Cn0Chart::Names drawn = chart.names();
            const std::string at = std::to_string(count) + " at " + std::to_string(size.width());
            EXPECT_GE(drawn.font.pixelSize(), 9) << at;
            // Every satellite of a usual sky named where the tile gives the chart
            // room, as eight slots at 1024x768 do; else the strongest.
            if (tile.chart()->height() >= 100 && count <= 12) {
                EXPECT_EQ(drawn.rects.size(), std::size_t(count)) << at;
            }
            ASSERT_GE(drawn.rects.size(), 1u) << at;
            const QFontMetrics metrics(drawn.font);
            for (std::size_t i = 0; i < drawn.rects.size(); ++i) {
                const QRect r = drawn.rects[i];
                const QSize text(metrics.horizontalAdvance(sky[i].first), metrics.height());
                EXPECT_GE(drawn.turned ? r.height() : r.width(), text.width()) << at;
                EXPECT_GE(drawn.turned ? r.width() : r.height(), text.height()) << at;
                EXPECT_TRUE(chart.rect().contains(r)) << at;
                EXPECT_GE(r.top(), chart.height() / 2) << at;  // the bars keep half the height
                if (i > 0) {
                    EXPECT_FALSE(r.intersects(drawn.rects[i - 1])) << at;
                }
            }
            EXPECT_FALSE(blank(chart)) << at;
        }
    }
}

// The limits a unit will be held to, named in words before any scan, and
// again as the settings dialog changes them for the same slots.
TEST(StationWindow, NamesTheLimitsInForceAndFollowsTheSettingsDialog) {
    const struct {
        QStringList options;
        const char* line;
    } cases[] = {
        {{"--max-ttff", "1", "--min-sats", "3", "--min-cn0", "20"},
         "Limits: TTFF at most 1 s, at least 3 satellites used, C/N0 of the 4 strongest at "
         "least 20 dB-Hz."},
        {{}, "Limits: a fix within 300 s."},
        {{"--max-ttff", "45.5", "--cycles", "3"},
         "Limits: TTFF at most 45.5 s, in each of 3 cycles."},
        {{"--test", "signal", "--cn0-sv", "GPS:1", "--cn0-low", "40", "--cn0-high", "44"},
         "Limits: signal C/N0 of GPS:1 from 40 to 44 dB-Hz."},
        {{"--test", "fix,signal", "--cn0-sv", "GPS:1", "--cn0-low", "40", "--max-ttff", "60"},
         "Limits: TTFF at most 60 s, signal C/N0 of GPS:1 at least 40 dB-Hz."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StationWindow(unitsFrom(c.options + QStringList{"/dev/ttyUSB7"}), nullptr)
                      .limitsLine()
                      ->text(),
                  c.line);

    QString error;
    const auto settings = settingsForRun(
        {}, parseCommandLine({"x", "--max-ttff", "1", "/dev/ttyUSB7", "/dev/ttyUSB8"}), &error);
    ASSERT_TRUE(settings) << error.toStdString();
    StationWindow window(*slotConfigs(*settings, &error), nullptr);
    SettingsDialog dialog(*settings, {});
    for (QDoubleSpinBox* box : dialog.findChildren<QDoubleSpinBox*>())
        if (box->accessibleName() == "Maximum TTFF") box->setValue(45);
    for (QSpinBox* box : dialog.findChildren<QSpinBox*>())
        if (box->accessibleName() == "Minimum satellites") box->setValue(4);
    dialog.accept();
    ASSERT_EQ(dialog.result(), QDialog::Accepted);
    ASSERT_TRUE(window.setSlotConfigs(*slotConfigs(dialog.settings(), &error)));
    EXPECT_EQ(window.limitsLine()->text(),
              "Limits: TTFF at most 45 s, at least 4 satellites used.");
    window.startSlot(0, "SN1");
    EXPECT_EQ(window.run(0)->config().limits.most(results::Measure::Ttff), 45);
    // Other slots need the window started again: nothing changes.
    Settings other = dialog.settings();
    other.ports.removeLast();
    other.plan.limits.most(results::Measure::Ttff) = 5;
    EXPECT_FALSE(window.setSlotConfigs(*slotConfigs(other, &error)));
    EXPECT_EQ(window.limitsLine()->text(),
              "Limits: TTFF at most 45 s, at least 4 satellites used.");
}

// A unit scanned again in its lot says so on its tile, from its result on,
// as the results database decided; the next unit starts without it.
TEST(StationWindow, ARetestSaysSoOnItsTile) {
    QTemporaryDir dir;
    StationWindow window(unitsFrom({dir.filePath("no-such-port")}), sqliteStore(dir));
    window.lotField()->setText("L-1");
    const struct {
        const char* serial;
        bool retest;
    } scans[] = {{"SN1", false}, {"SN1", true}, {"SN2", false}};
    for (const auto& scan : scans) {
        QSignalSpy kept(&window, &StationWindow::resultKept);
        window.startSlot(0, scan.serial);
        EXPECT_FALSE(window.tile(0)->retestShown()) << scan.serial;  // not known before its result
        ASSERT_TRUE(kept.wait(30000)) << scan.serial;
        EXPECT_EQ(kept.at(0).at(0).toJsonObject().value("retest").toBool(), scan.retest);
        EXPECT_EQ(window.tile(0)->retestShown(), scan.retest) << scan.serial;
        EXPECT_EQ(described(window.tile(0)).contains(QString("unit %1, retest").arg(scan.serial)),
                  scan.retest)
            << described(window.tile(0)).toStdString();
    }
}

// A study's run that measured nothing puts its unit into the same slot
// again: a station fault once kept, and a run stopped before its port opened,
// which gives no result at all.
TEST(StationWindow, AStudyRunThatMeasuredNothingGoesAgain) {
    QTemporaryDir dir;
    StationWindow window(
        unitsFrom({"--test", "signal", "--cn0-sv", "GPS:1", dir.filePath("no-such-port-1"),
                   dir.filePath("no-such-port-2")}),
        sqliteStore(dir));
    QString error;
    ASSERT_TRUE(window.beginStudy({"S", {"U1", "U2"}, 2, 2}, &error)) << error.toStdString();
    QSignalSpy kept(&window, &StationWindow::resultKept);
    window.startSlot(0, "U1");
    window.startSlot(1, "U2");
    window.stopSlot(1);  // still reading its calibration
    ASSERT_TRUE(kept.wait(30000));
    EXPECT_EQ(kept.at(0).at(0).toJsonObject().value("result").toString(), "station-fault");
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return window.study()->nextText() == "slot 1: U1, slot 2: U2";
    })) << window.study()->nextText().toStdString();
    EXPECT_EQ(kept.size(), 1);
    EXPECT_EQ(window.study()->progressText(), "trial 1 of 2, 0 of 8 runs");
}

// A station that delivers shows what waits for the line and the oldest's
// age; a delivery answered "re-run" asks for the unit again on its tile.
TEST(StationWindow, DeliveriesWaitingAndARerunAskedOnTheTile) {
    const struct {
        const char* command;
        const char* line;      // the delivery line once the first attempt has ended
        const char* askedFor;  // on the tile; empty: nothing
    } cases[] = {
        {"cat > /dev/null; echo '{\"rerun\": true}'", "Line: every result delivered",
         "the line asks for unit SN1 in "},
        {"cat > /dev/null; exit 1",
         "Line: 1 result waiting for delivery, # s old; last attempt: the command ended with "
         "exit status 1",
         ""},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        auto units = unitsFrom({dir.filePath("no-such-port")});
        ASSERT_EQ(units.size(), 1u);
        units.front().deliver = {c.command};
        units.front().deliverRetryS = 600;  // one attempt within the test
        results::Store::Options options;
        options.deliveries = {"deliver"};
        StationWindow window(units, sqliteStore(dir, options));
        ASSERT_TRUE(window.deliveryLine()->isVisibleTo(&window));
        window.startSlot(0, "SN1");
        // The answer first: until the delivery, the line has nothing to say.
        if (*c.askedFor) {
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return window.tile(0)->askedAgain().startsWith(c.askedFor); }, 60000))
                << window.tile(0)->askedAgain().toStdString();
            EXPECT_TRUE(described(window.tile(0)).contains("again (re-run): scan it again"))
                << described(window.tile(0)).toStdString();
        }
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return window.deliveryLine()->text().replace(QRegularExpression("\\d+ s old"),
                                                             "# s old") == c.line;
            },
            60000))
            << c.command << ": " << window.deliveryLine()->text().toStdString();
        if (!*c.askedFor) {
            EXPECT_EQ(window.tile(0)->askedAgain(), QString());
        }
    }
}

TEST(StationWindowE2e, EightSlotsScannedInMixedVerdictsStoredAndClosedWhileRunning) {
    if (!xinput::available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
    using clirun::receiver;
    using gpssim::Behaviour;
    QTemporaryDir dir;
    clirun::Bench bench;
    // The slots and a plan file from the command line, an option beside it.
    // The unit that ignores its command runs until Esc, however slow the machine.
    QFile planFile(dir.filePath("bench.json"));
    ASSERT_TRUE(planFile.open(QIODevice::WriteOnly) && planFile.write(R"({"fix_timeout_s": 600})"));
    planFile.close();
    QStringList line = QStringList{"gps-coldstart-station", "--plan", planFile.fileName()} +
                       QString("--confirm-timeout 600 --max-ttff 60 --min-cn0 30").split(' ');
    for (int i = 0; i < 5; ++i) line << bench.add(serial(i), receiver(Behaviour::Normal));
    line << bench.add(serial(5), receiver(Behaviour::Silent)) + "@9600"
         // No fix for ten minutes: nothing ends its run but Esc.
         << bench.add(serial(6), receiver(Behaviour::Ignore, 600)) << dir.filePath("no-such-port");
    QString error;
    const auto forRun = settingsForRun({}, parseCommandLine(line), &error);
    ASSERT_TRUE(forRun) << error.toStdString();
    const stationwin::Settings settings = *forRun;
    // A real click on OK keeps the slots as they came, each listed checked.
    stationwin::SettingsDialog dialog(settings, stationwin::listPorts());
    dialog.move(0, 0);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog, 60000));
    xinput::screenshot("station-settings", &dialog);
    ASSERT_TRUE(xinput::click(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                              [&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.settings().ports, settings.ports);
    const auto units = stationwin::slotConfigs(dialog.settings(), &error);
    ASSERT_TRUE(units) << error.toStdString();
    const results::Target target = *results::parseTarget(dir.filePath("results.sqlite"), &error);
    auto store = results::StoreWorker::open(target, &error);
    ASSERT_TRUE(store) << error.toStdString();
    // Each stored row: unit, result, reason, lot and operator.
    const auto storedRows = [&] {
        return stored(target,
                      "unit || ' ' || result || ' ' || reason || ' ' || lot || ' ' || operator");
    };
    stationwin::StationWindow window(*units, std::move(store));
    ASSERT_TRUE(shown(window));
    ASSERT_EQ(window.slotCount(), 8);
    EXPECT_TRUE(described(window.tile(0)).startsWith("idle"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(
            QAccessible::queryAccessibleInterface(window.tile(i))->text(QAccessible::Name),
            QStringLiteral("Slot %1, %2").arg(i + 1).arg(settings.ports[i].section('@', 0, 0)));

    ASSERT_TRUE(clickInto(window.lotField(), "LOT-7"));
    ASSERT_TRUE(clickInto(window.operatorField(), "ana"));
    // Slot 1 takes the keyboard; each scan starts its slot and moves on.
    ASSERT_TRUE(clickInto(window.tile(0)->serialField()));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(scan(serial(i), [&] { return window.run(i) != nullptr; })) << i;
        EXPECT_TRUE(i == 7 || QApplication::focusWidget() == window.tile(i + 1)->serialField())
            << "focus did not move on from slot " << i + 1;
    }
    if (!qEnvironmentVariableIsEmpty("COLDSTART_SCREENSHOTS")) {  // once a unit is acquiring
        (void)QTest::qWaitFor([&] { return described(window.tile(0)).contains("acquiring"); },
                              60000);
        xinput::screenshot("station-mid-run", &window);
    }
    // The receiver that ignores its command, stopped with Esc once it runs.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window.run(6)->phase() == station::UnitRun::Phase::Commanded; }, 60000));
    ASSERT_TRUE(clickInto(window.tile(6)->serialField()));
    ASSERT_TRUE(xinput::xdotool({"key", "Escape"}, [&] { return window.run(6)->done(); }));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.anyRunning(); }, 120000));
    const QStringList verdicts = {"PASS", "PASS", "PASS",    "PASS",
                                  "PASS", "FAIL", "stopped", "STATION FAULT"};
    for (int i = 0; i < 8; ++i) {
        // What a screen reader reads is what the tile shows, once redrawn.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return described(window.tile(i)).startsWith(verdicts[i]); }, 30000))
            << "slot " << i + 1 << ": " << described(window.tile(i)).toStdString();
        EXPECT_TRUE(window.tile(i)->verdictShown().startsWith(verdicts[i]));
        EXPECT_TRUE(described(window.tile(i)).contains("unit " + serial(i)));
        EXPECT_EQ(described(window.tile(i)).contains("TTFF "), i < 5) << i + 1;
    }

    const QStringList rows = storedRows();
    EXPECT_EQ(rows.size(), 8);
    EXPECT_EQ(stored(target, "plan || ' ' || length(plan_sha256)"), QStringList(8, "bench 64"));
    for (const char* row : {"SN0001 pass ok LOT-7 ana", "SN0006 fail no-data LOT-7 ana",
                            "SN0007 interrupted interrupted LOT-7 ana",
                            "SN0008 station-fault port-unavailable LOT-7 ana"})
        EXPECT_TRUE(rows.contains(row)) << row;
    // The station fault and the stopped run are no tests of their units.
    const QString apart = ", first-pass yield 83.3 % (apart: 1 station faults, 1 stopped)";
    EXPECT_TRUE(QTest::qWaitFor(  // the figures come from the store's own thread
        [&] {
            const QString yield = window.yieldLine()->text();
            return yield.contains("This session: 6 tested, 5 passed" + apart) &&
                   yield.contains("Lot LOT-7: 6 tested, 5 passed" + apart);
        },
        30000))
        << window.yieldLine()->text().toStdString();
    xinput::screenshot("station-8-slots", &window);

    // A failed unit's bytes, read under its tile's Log; a passed unit offers none.
    EXPECT_TRUE(window.tile(0)->logButton()->isHidden());
    const auto log = [&] { return window.findChild<QDialog*>("evidenceLog"); };
    ASSERT_TRUE(xinput::click(window.tile(5)->logButton(), [&] { return log() != nullptr; }));
    const QString text = log()->findChild<QPlainTextEdit*>()->toPlainText();
    EXPECT_TRUE(text.startsWith(serial(5) + " cycle 1: ")) << text.toStdString();
    EXPECT_TRUE(
        text.contains("#  port " + window.run(5)->config().device + " opened at 9600,n,8,1"))
        << text.toStdString();
    log()->close();

    // The lot at a glance: the same figures, and its charts drawn.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window.lotPanel()->figuresText().startsWith(
                "6 units tested, 5 passed; first-pass yield 83.3 % (apart: 1 station faults, 1 "
                "stopped); TTFF median ");
        },
        30000))
        << window.lotPanel()->figuresText().toStdString();
    int charts = 0;
    for (QWidget* w : window.lotPanel()->findChildren<QWidget*>())
        if (auto* chart = dynamic_cast<stationwin::SvgChart*>(w))
            charts += chart->svg().startsWith("<svg") && chart->svg().contains("</svg>");
    EXPECT_EQ(charts, 2);
    window.tabs()->setCurrentIndex(1);
    xinput::screenshot("station-lot", &window);
    window.tabs()->setCurrentIndex(0);

    // Start all starts no finished slot again under its last serial.
    const station::UnitRun* before = window.run(0);
    QSignalSpy startAll(window.startAllButton(), &QPushButton::clicked);
    ASSERT_TRUE(xinput::click(window.startAllButton(), [&] { return startAll.count() == 1; }));
    EXPECT_TRUE(window.run(0) == before && !window.anyRunning());

    // A scan into a finished slot replaces its serial whole: a unit of this
    // lot scanned again is a retest.
    ASSERT_TRUE(clickInto(window.tile(0)->serialField()));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window.tile(0)->serialField()->hasSelectedText(); }, 30000));
    ASSERT_TRUE(scan(serial(1), [&] { return described(window.tile(0)).startsWith("running"); }));
    EXPECT_EQ(window.run(0)->config().unit, serial(1));

    // Closing while a slot runs asks once; yes ends every run, its result kept.
    // A timer answers the question, shown inside close(), with a real click.
    int asked = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (question && question->windowHandle()->isExposed() && asked++ == 0) {
            EXPECT_TRUE(xinput::click(question->button(QMessageBox::Yes),
                                      [&] { return !question->isVisible(); }));
        }
    });
    poll.start(100);
    window.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 60000));
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(window.anyRunning());
    EXPECT_TRUE(storedRows().contains("SN0002 interrupted interrupted LOT-7 ana"));
    EXPECT_EQ(stored(target, "unit || ' ' || retest").filter("SN0002"),
              QStringList({"SN0002 0", "SN0002 1"}));

    // A shutdown of the bench computer (SIGTERM) is that close without the
    // question: the run under way is stored as interrupted.
    stationwin::StationWindow shutting({units->at(0)}, results::StoreWorker::open(target, &error));
    QSignalSpy done(&shutting, &stationwin::StationWindow::shutDownDone);
    ASSERT_TRUE(station::onStopSignals(
        {SIGTERM}, [&] { shutting.shutDown(); }, &error));
    shutting.startAll();  // an empty slot never starts
    EXPECT_EQ(shutting.run(0), nullptr);
    shutting.startSlot(0, "SN0102");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return shutting.run(0)->phase() != station::UnitRun::Phase::Idle; }));
    ::raise(SIGTERM);
    ASSERT_TRUE(done.wait(20000));
    EXPECT_FALSE(shutting.anyRunning());
    EXPECT_TRUE(storedRows().contains("SN0102 interrupted interrupted  "))
        << storedRows().join('\n').toStdString();
}

// Calibrate... with golden units behind the generator (slot 2 loses too
// much), a signal test that applies each slot's calibration, and a
// calibration stopped while a slot waits for the satellite.
TEST(StationWindowE2e, SlotsCalibratedThenSignalTestedThenACalibrationStopped) {
    if (!xinput::available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
    QTemporaryDir dir;
    clirun::Bench bench;
    auto put = [&](const QString& name, double loss, int prn) {  // each slot keeps its name
        gpssim::ReceiverConfig config = clirun::receiver(gpssim::Behaviour::Normal);
        config.generator = gpssim::Generator{"GP", prn, 45, loss, 0, 0.5};
        gpssim::DriverOptions line;
        line.link = dir.filePath(name);
        return bench.add(name, config, line);
    };
    const QStringList ports = {put("A", 1, 1), put("B", 8, 1)};
    QString error;
    const auto forRun = settingsForRun(
        {},
        parseCommandLine(QStringList{"x", "--test", "signal", "--cn0-sv", "GPS:1", "--cn0-samples",
                                     "5", "--fix-timeout", "600", "--cn0-low", "43",
                                     "--calibration-max-age", "30m"} +
                         ports),
        &error);
    ASSERT_TRUE(forRun) << error.toStdString();
    SettingsDialog dialog(*forRun, {});  // shows the signal test's settings, one changed
    for (QSpinBox* box : dialog.findChildren<QSpinBox*>())
        if (box->accessibleName() == "Signal samples") box->setValue(3);
    dialog.accept();
    const station::Plan plan = dialog.settings().plan;
    EXPECT_EQ(std::tuple(plan.tests, plan.cn0Sv, plan.cn0Samples,
                         plan.limits.least(results::Measure::SignalCn0).value_or(0),
                         plan.calibrationMaxAgeS),
              std::tuple(QStringList{"signal"}, QString("GPS:1"), 3, 43.0, 1800.0));
    const results::Target target = *results::parseTarget(dir.filePath("r.sqlite"), &error);
    StationWindow window(*slotConfigs(dialog.settings(), &error),
                         results::StoreWorker::open(target, &error));
    ASSERT_TRUE(shown(window));
    ASSERT_TRUE(clickInto(window.operatorField(), "ana"));
    const auto calibrate = [&](const QString& golden) {
        CalibrateDialog* ask = nullptr;
        return xinput::click(window.calibrateButton(),
                             [&] { return (ask = window.findChild<CalibrateDialog*>()); }) &&
               clickInto(ask->goldenField(), golden) &&
               (ask->expectedField()->setValue(45), true) &&
               ask->findChild<QLabel*>()->text().contains(
                   "3 seconds of the C/N0 of the "
                   "generator's satellite GPS:1") &&
               xinput::click(ask->buttons()->button(QDialogButtonBox::Ok),
                             [&] { return window.calibrating(); });
    };
    ASSERT_TRUE(calibrate("GOLD-1"));
    EXPECT_FALSE(window.calibrateButton()->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.calibrating(); }, 120000));
    EXPECT_EQ(window.calibrationLine()->text(),
              "Calibration with golden unit GOLD-1: 1 of 2 slots calibrated; slot 2 "
              "offset-too-large.");
    EXPECT_TRUE(described(window.tile(0)).startsWith("CALIBRATED; calibration: ok; offset "));
    EXPECT_TRUE(
        described(window.tile(1)).startsWith("NOT CALIBRATED; calibration: offset-too-large"));
    xinput::screenshot("station-calibrated", &window);
    const auto calibrations = [&] {
        QStringList rows;
        const auto store = results::Store::open(target, &error);
        QSqlQuery q(
            "SELECT id || ' ' || port || ' ' || golden || ' ' || operator FROM calibrations",
            store->database());
        while (q.next()) rows << q.value(0).toString();
        return rows;
    };
    const QStringList kept = calibrations();
    ASSERT_EQ(kept.size(), 2);
    EXPECT_TRUE(kept[0].endsWith(" GOLD-1 ana") && kept[1].endsWith(" GOLD-1 ana"));

    // Each unit's run applies its slot's calibration; slot 2 is out of use.
    ASSERT_TRUE(clickInto(window.tile(0)->serialField()));
    ASSERT_TRUE(scan("SN1", [&] { return window.run(0) != nullptr; }));
    ASSERT_TRUE(scan("SN2", [&] { return window.run(1) != nullptr; }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.busy(); }, 120000));
    EXPECT_TRUE(window.tile(0)->verdictShown().startsWith("PASS"));
    EXPECT_TRUE(window.tile(1)->verdictShown().startsWith("STATION FAULT"));
    EXPECT_TRUE(
        described(window.tile(1)).contains("slot 2 needs calibration: " + ports[1] + ", offset "))
        << described(window.tile(1)).toStdString();
    const QString idA = kept.filter(ports[0]).value(0).section(' ', 0, 0);
    QStringList rows = stored(
        target,
        "unit || ' ' || result || ' ' || reason || ' ' || coalesce(signal_calibration_id, '-')");
    rows.sort();
    EXPECT_EQ(rows, QStringList({"SN1 pass ok " + idA, "SN2 station-fault calibration-needed -"}));

    // The slot's next unit starts at its scan, its calibration known: it does
    // not wait behind results still being kept.
    emit window.tile(0)->startRequested("SN3");
    ASSERT_TRUE(window.run(0) && window.run(0)->config().unit == "SN3");
    EXPECT_NE(window.run(0)->phase(), station::UnitRun::Phase::Idle);
    emit window.tile(0)->stopRequested();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.busy(); }, 120000));

    // Slot 1's satellite never comes: Stop all ends the calibration, nothing kept of it.
    bench.unplug("A");
    put("A", 1, 2);
    ASSERT_TRUE(calibrate("GOLD-2"));
    ASSERT_TRUE(xinput::click(window.stopAllButton(), [&] { return !window.calibrating(); }));
    EXPECT_TRUE(described(window.tile(0)).startsWith("stopped; calibration stopped"));
    EXPECT_TRUE(window.calibrationLine()->text().contains("; slot 1 stopped"));
    EXPECT_EQ(calibrations().filter(ports[0]).size(), 1);
}

// Acquisition at a level behind a simulated generator: the window sets the
// plan's level before the first unit starts and holds it for both slots; a
// unit 1.5 dB less sensitive than the level fails to fix (its own fail), the
// other passes with the level on its tile, and the output is off once the
// window has closed.
TEST(StationWindowE2e, AcquisitionAtALevelHeldForEverySlotAndLeftOff) {
    QTemporaryDir dir;
    clirun::GeneratorSim generator({});
    gpssim::DriverOptions line;
    line.generatorHost = QStringLiteral("127.0.0.1");
    line.generatorPort = quint16(generator.url().section(':', -1).toUInt());
    clirun::Bench bench;
    auto put = [&](const QString& name, double acquisitionDbm) {
        gpssim::ReceiverConfig config = clirun::receiver(gpssim::Behaviour::Normal);
        config.rf = gpssim::RfInput{};
        config.rf->acquisitionDbm = acquisitionDbm;
        line.link = dir.filePath(name);
        return bench.add(name, config, line);
    };
    const QStringList ports = {put("A", -142), put("B", -138.5)};
    auto window = std::make_unique<StationWindow>(
        unitsFrom(
            QStringList{"--generator", generator.url(), "--level", "-140", "--fix-timeout", "12"} +
            ports),
        sqliteStore(dir));
    window->show();
    EXPECT_TRUE(window->limitsLine()->text().contains("at -140 dBm at the antenna port"))
        << window->limitsLine()->text().toStdString();
    EXPECT_FALSE(window->calibrateButton()->isEnabled());  // the CLI's, behind a generator
    EXPECT_EQ(generator.ask("OUTP?"), "0");                // nothing before the first unit
    QSignalSpy kept(window.get(), &StationWindow::resultKept);
    emit window->tile(0)->startRequested("SN1");
    emit window->tile(1)->startRequested("SN2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return kept.size() == 2; }, 120000));
    EXPECT_EQ(generator.ask("OUTP?"), "1");  // held for the session
    EXPECT_EQ(generator.ask("SOUR:POW?").toDouble(), -140);
    std::map<QString, QJsonObject> results;
    for (const QList<QVariant>& k : kept) {
        const QJsonObject r = k.at(0).toJsonObject();
        results[r["unit"].toString()] = r;
    }
    EXPECT_EQ(
        std::tuple(results["SN1"]["result"].toString(), results["SN1"]["level_dbm"].toDouble(),
                   results["SN2"]["result"].toString(), results["SN2"]["reason"].toString()),
        std::tuple(QString("pass"), -140.0, QString("fail"), QString("no-fix")));
    EXPECT_TRUE(results["SN1"]["generator"].toString().contains("gps-generator-sim"));
    EXPECT_TRUE(described(window->tile(0)).contains("at -140.0 dBm"))
        << described(window->tile(0)).toStdString();
    window->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 30000));
    EXPECT_EQ(generator.ask("OUTP?"), "0");

    // An instrument that reports an error as it is set: the station's fault,
    // in its own words in the banner, never the unit's; the output left off.
    clirun::GeneratorSim failing({"--error-at", "4"});
    StationWindow faulted(unitsFrom({"--generator", failing.url(), "--level", "-140", ports[0]}),
                          sqliteStore(dir));
    QSignalSpy faultKept(&faulted, &StationWindow::resultKept);
    faulted.startSlot(0, "SN3");
    ASSERT_TRUE(faultKept.wait(60000));
    EXPECT_EQ(faultKept.at(0).at(0).toJsonObject()["reason"].toString(), "instrument-fault");
    EXPECT_TRUE(!faulted.banner()->isHidden() &&
                faulted.banner()->text().contains("instrument 127.0.0.1:"))
        << faulted.banner()->text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !faulted.generator()->outputMayBeOn(); }, 30000));
    EXPECT_EQ(failing.ask("OUTP?"), "0");
}

// A guided study of 3 units x 2 slots x 2 trials from the Study... dialog to
// its verdict: slot 2's receiver is a second slower, so the slots differ far
// more than the units and the study is rejected.
TEST(StationWindowE2e, AGuidedStudyRunsToItsVerdict) {
    if (!xinput::available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
    QTemporaryDir dir;
    clirun::Bench bench;
    const QStringList ports = {bench.add("A", clirun::receiver(gpssim::Behaviour::Normal, 1)),
                               bench.add("B", clirun::receiver(gpssim::Behaviour::Normal, 2))};
    StationWindow window(unitsFrom(QStringList{"--fix-timeout", "600", "--max-ttff", "10"} + ports),
                         sqliteStore(dir));
    QString error;
    const results::Target target = *results::parseTarget(dir.filePath("r.sqlite"), &error);
    ASSERT_TRUE(shown(window));
    ASSERT_TRUE(clickInto(window.operatorField(), "ana"));

    StudyDialog* ask = nullptr;
    ASSERT_TRUE(xinput::click(window.studyButton(),
                              [&] { return (ask = window.findChild<StudyDialog*>()); }));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ask, 60000));
    ASSERT_TRUE(clickInto(ask->nameField(), "GRR-1"));
    ASSERT_TRUE(xinput::click(ask->unitsField(), [&] { return ask->unitsField()->hasFocus(); }));
    ASSERT_TRUE(xinput::xdotool({"type", "U1 U2 U3"},
                                [&] { return ask->unitsField()->toPlainText() == "U1 U2 U3"; }));
    ask->trialsField()->setValue(2);
    EXPECT_TRUE(
        ask->summary()->text().startsWith("3 units × 2 slots × 2 trials: 12 runs in 6 "
                                          "rounds."))
        << ask->summary()->text().toStdString();
    ASSERT_TRUE(xinput::click(ask->buttons()->button(QDialogButtonBox::Ok),
                              [&] { return window.study() != nullptr; }));
    EXPECT_EQ(window.studyLine()->text(),
              "Study GRR-1: trial 1 of 2, 0 of 12 runs. Next: slot 1: U1, slot 2: U2.");

    // A unit scanned into the wrong slot is refused, naming the unit it takes.
    ASSERT_TRUE(clickInto(window.tile(0)->serialField()));
    ASSERT_TRUE(
        scan("U2", [&] { return window.studyLine()->text().startsWith("Unit U2 is not"); }));
    EXPECT_TRUE(window.studyLine()->text().contains("puts unit U1 in slot 1"));
    EXPECT_EQ(window.run(0), nullptr);
    EXPECT_EQ(window.tile(0)->serialField()->selectedText(), "U2");  // the next scan replaces it

    // Each round: the units the line names, scanned into their slots.
    for (int round = 0; round < 6; ++round) {
        if (round == 4) {
            EXPECT_TRUE(window.studyLine()->text().contains("trial 2 of 2, 8 of 12 runs"))
                << window.studyLine()->text().toStdString();
        }
        for (int slot = 0; slot < 2; ++slot) {
            const QString unit = window.study()->expected(slot);
            ASSERT_FALSE(unit.isEmpty()) << round << " " << slot;
            QLineEdit* field = window.tile(slot)->serialField();
            if (!field->hasFocus()) {
                ASSERT_TRUE(clickInto(field));
            }
            ASSERT_TRUE(QTest::qWaitFor(  // a scan replaces the last serial whole
                [&] { return field->text().isEmpty() || field->hasSelectedText(); }, 30000));
            ASSERT_TRUE(scan(unit, [&] {
                return window.run(slot) && window.run(slot)->config().unit == unit &&
                       !window.run(slot)->done();
            })) << unit.toStdString();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window.busy(); }, 120000)) << round;
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.studyLine()->text().contains("\nTTFF (s): rejected, %GRR "); }, 60000))
        << window.studyLine()->text().toStdString();
    EXPECT_TRUE(window.studyLine()->text().startsWith(
        "Study GRR-1 complete: trial 2 of 2, 12 of 12 runs.\nGauge R&R "));
    // Only TTFF has a limit: it alone decides, and the line says where to look.
    EXPECT_TRUE(
        window.studyLine()->text().contains("\nStation qualified: no (TTFF (s) rejected, %GRR "));
    EXPECT_TRUE(window.studyLine()->text().contains("of the tolerance). Decided by TTFF (s).\n"));
    EXPECT_TRUE(window.studyLine()->text().contains("\nTTFF (s) differs most between slots"));
    EXPECT_FALSE(window.tile(0)->retestShown() || window.tile(1)->retestShown());
    EXPECT_TRUE(QTest::qWaitFor(  // each of its lines in view
        [&] { return window.studyLine()->height() >= window.studyLine()->sizeHint().height(); }));
    xinput::screenshot("station-study", &window);

    // Each unit twice in each slot, every row the study's; nothing of the refused scan.
    QStringList rows = stored(target, "unit || ' ' || port || ' ' || coalesce(study, '-')");
    rows.sort();
    QStringList expected;
    for (const char* unit : {"U1", "U2", "U3"})
        for (const QString& port : ports) expected << QString("%1 %2 GRR-1").arg(unit, port);
    expected += expected;
    expected.sort();
    EXPECT_EQ(rows, expected);
}

}  // namespace
