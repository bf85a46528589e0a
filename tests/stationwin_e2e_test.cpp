// The station window end to end: eight slots on a private Xvfb against
// simulated receivers on pseudo-terminals (passing, silent, one that ignores
// its command, a port that does not exist), serial numbers scanned in as
// real X key events, real clicks, the tiles read back through their
// accessible names and texts, the stored rows read from the SQLite file.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <map>
#include <memory>
#include <vector>

#include "results/store.h"
#include "sim/simdriver.h"
#include "stationwin/settingsdialog.h"
#include "stationwin/slottile.h"
#include "stationwin/stationwindow.h"
#include "tests/support/xinput.h"

namespace {

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

class StationWindowE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xinput::available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
        ASSERT_TRUE(dir.isValid());
    }

    QString addReceiver(gpssim::Behaviour behaviour) {
        gpssim::ReceiverConfig config;
        config.behaviour = behaviour;
        config.timeKnownAfterSeconds = 1;
        config.timeToFirstFixSeconds = 2;
        drivers.push_back(std::make_unique<gpssim::SimDriver>(config, gpssim::DriverOptions{}));
        QString error;
        EXPECT_TRUE(drivers.back()->start(&error)) << error.toStdString();
        return drivers.back()->devicePath();
    }

    // Every stored row: unit -> result, reason, lot and operator.
    std::map<QString, QString> storedRows() {
        std::map<QString, QString> rows;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(dir.filePath("results.sqlite"));
            EXPECT_TRUE(db.open());
            QSqlQuery q(
                "SELECT unit, result || ' ' || reason || ' ' || lot || ' ' || operator "
                "FROM results",
                db);
            while (q.next()) rows[q.value(0).toString()] = q.value(1).toString();
        }
        QSqlDatabase::removeDatabase("check");
        return rows;
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<gpssim::SimDriver>> drivers;
};

TEST_F(StationWindowE2e, EightSlotsScannedInMixedVerdictsStoredAndClosedWhileRunning) {
    using gpssim::Behaviour;
    stationwin::Settings settings;
    for (int i = 0; i < 5; ++i) settings.ports << addReceiver(Behaviour::Normal);
    settings.ports << addReceiver(Behaviour::Silent) << addReceiver(Behaviour::Ignore)
                   << dir.filePath("no-such-port");
    settings.confirmTimeoutS = 8;
    settings.fixTimeoutS = 30;
    QString error;
    const auto units = stationwin::slotConfigs(settings, &error);
    ASSERT_TRUE(units) << error.toStdString();
    results::Target target;
    target.path = dir.filePath("results.sqlite");
    auto store = results::Store::open(target, &error);
    ASSERT_TRUE(store) << error.toStdString();
    stationwin::StationWindow window(*units, std::move(store));
    window.move(0, 0);
    window.resize(1000, 720);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.slotCount(), 8);
    EXPECT_TRUE(described(window.tile(0)).startsWith("idle"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(QAccessible::queryAccessibleInterface(window.tile(i))->text(QAccessible::Name),
                  QStringLiteral("Slot %1, %2").arg(i + 1).arg(settings.ports[i]));

    ASSERT_TRUE(typeInto(window.lotField(), "LOT-7"));
    ASSERT_TRUE(typeInto(window.operatorField(), "ana"));
    // Slot 1 takes the keyboard; each scan starts its slot and moves on.
    ASSERT_TRUE(xinput::click(window.tile(0)->serialField()));
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(typeInto(nullptr, serial(i), true));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.run(i) != nullptr; }, 5000)) << i;
        EXPECT_EQ(window.run(i)->config().unit, serial(i));
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

    const auto rows = storedRows();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows.at("SN0001"), "pass ok LOT-7 ana");
    EXPECT_EQ(rows.at("SN0006"), "fail no-data LOT-7 ana");
    EXPECT_EQ(rows.at("SN0007"), "interrupted interrupted LOT-7 ana");
    EXPECT_EQ(rows.at("SN0008"), "station-fault port-unavailable LOT-7 ana");
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
    // The question runs its own event loop inside close(); a timer answers it
    // with a real click on Yes.
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
    EXPECT_EQ(storedRows().at("SN0101"), "interrupted interrupted LOT-7 ana");
}

// The kept slot is listed checked and comes back as it was kept.
TEST_F(StationWindowE2e, SettingsDialogListsPortsAndKeepsChosenSlots) {
    stationwin::Settings settings;
    settings.ports = QStringList{addReceiver(gpssim::Behaviour::Normal) + "@9600"};
    stationwin::SettingsDialog dialog(settings, stationwin::listPorts());
    dialog.move(0, 0);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    xinput::screenshot("station-settings", &dialog);
    ASSERT_TRUE(xinput::click(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.settings().ports, settings.ports);
}

}  // namespace
