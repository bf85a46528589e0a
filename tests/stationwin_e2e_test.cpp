// The station window end to end: eight slots on a private Xvfb against
// simulated receivers on pseudo-terminals (passing, silent, one that ignores
// its command, a port that does not exist), serial numbers scanned in as
// real X key events, real clicks, the tiles read back through their
// accessible names and texts, the stored rows read from the SQLite file.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
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

QString accessible(QWidget* widget, QAccessible::Text which) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(which) : QString();
}

// What a scanner does: the characters as key presses, then Enter.
::testing::AssertionResult scan(const QString& serial) {
    const auto typed = xinput::xdotool({"type", "--delay", "15", serial});
    return typed ? xinput::xdotool({"key", "Return"}) : typed;
}

gpssim::ReceiverConfig receiver(gpssim::Behaviour behaviour) {
    gpssim::ReceiverConfig config;
    config.behaviour = behaviour;
    config.timeKnownAfterSeconds = 1;
    config.timeToFirstFixSeconds = 2;
    return config;
}

class StationWindowE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xinput::available()) GTEST_SKIP() << "needs an X server and xdotool for real input";
        ASSERT_TRUE(dir.isValid());
    }

    QString addReceiver(gpssim::Behaviour behaviour) {
        auto driver =
            std::make_unique<gpssim::SimDriver>(receiver(behaviour), gpssim::DriverOptions{});
        QString error;
        EXPECT_TRUE(driver->start(&error)) << error.toStdString();
        const QString path = driver->devicePath();
        drivers.push_back(std::move(driver));
        return path;
    }

    std::unique_ptr<stationwin::StationWindow> openWindow(const QStringList& ports) {
        stationwin::Settings settings;
        settings.ports = ports;
        settings.station = QStringLiteral("bench-e2e");
        settings.confirmTimeoutS = 8;
        settings.fixTimeoutS = 30;
        QString error;
        const auto units = stationwin::slotConfigs(settings, &error);
        EXPECT_TRUE(units) << error.toStdString();
        results::Target target;
        target.path = dir.filePath("results.sqlite");
        auto store = results::Store::open(target, &error);
        EXPECT_TRUE(store) << error.toStdString();
        auto window = std::make_unique<stationwin::StationWindow>(*units, std::move(store));
        window->move(0, 0);
        window->resize(1000, 720);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        return window;
    }

    // Every stored row: unit -> result and reason.
    std::map<QString, QString> storedRows() {
        std::map<QString, QString> rows;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(dir.filePath("results.sqlite"));
            EXPECT_TRUE(db.open());
            QSqlQuery q("SELECT unit, result, reason, lot, operator FROM results", db);
            while (q.next())
                rows[q.value(0).toString()] = q.value(1).toString() + " " + q.value(2).toString() +
                                              " " + q.value(3).toString() + " " +
                                              q.value(4).toString();
        }
        QSqlDatabase::removeDatabase("check");
        return rows;
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<gpssim::SimDriver>> drivers;
};

TEST_F(StationWindowE2e, EightSlotsScannedInMixedVerdictsStoredAndClosedWhileRunning) {
    using gpssim::Behaviour;
    QStringList ports;
    for (int i = 0; i < 5; ++i) ports << addReceiver(Behaviour::Normal);
    ports << addReceiver(Behaviour::Silent) << addReceiver(Behaviour::Ignore)
          << dir.filePath("no-such-port");
    auto window = openWindow(ports);
    ASSERT_EQ(window->slotCount(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(accessible(window->tile(i), QAccessible::Name),
                  QStringLiteral("Slot %1, %2").arg(i + 1).arg(ports[i]));

    // Lot and operator, clicked into and typed.
    ASSERT_TRUE(xinput::click(window->lotField()));
    ASSERT_TRUE(xinput::xdotool({"type", "--delay", "15", "LOT-7"}));
    ASSERT_TRUE(xinput::click(window->operatorField()));
    ASSERT_TRUE(xinput::xdotool({"type", "--delay", "15", "ana"}));

    // Slot 1 takes the keyboard; each scan starts its slot and moves on.
    ASSERT_TRUE(xinput::click(window->tile(0)->serialField()));
    for (int i = 0; i < 6; ++i) {
        const QString serial = QStringLiteral("SN%1").arg(i + 1, 4, 10, QLatin1Char('0'));
        ASSERT_TRUE(scan(serial));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->run(i) != nullptr; }, 5000)) << i;
        EXPECT_EQ(window->run(i)->config().unit, serial);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return QApplication::focusWidget() == window->tile(i + 1)->serialField(); },
            5000))
            << "focus did not move on from slot " << i + 1;
    }
    // The missing port, then the receiver that ignores its command, stopped
    // with Esc once it runs.
    ASSERT_TRUE(xinput::click(window->tile(7)->serialField()));
    ASSERT_TRUE(scan("SN0008"));
    ASSERT_TRUE(xinput::click(window->tile(6)->serialField()));
    ASSERT_TRUE(scan("SN0007"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->run(6) != nullptr; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->run(6)->phase() == station::UnitRun::Phase::Commanded; }, 20000));
    ASSERT_TRUE(xinput::click(window->tile(6)->serialField()));
    ASSERT_TRUE(xinput::xdotool({"key", "Escape"}));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->anyRunning(); }, 60000));
    const QStringList verdicts = {"PASS", "PASS", "PASS",    "PASS",
                                  "PASS", "FAIL", "stopped", "STATION FAULT"};
    for (int i = 0; i < 8; ++i) {
        // What a screen reader reads is what the tile shows, once redrawn.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return accessible(window->tile(i), QAccessible::Description)
                    .startsWith(verdicts[i]);
            },
            2000))
            << "slot " << i + 1 << ": "
            << accessible(window->tile(i), QAccessible::Description).toStdString();
        EXPECT_TRUE(window->tile(i)->verdictShown().startsWith(verdicts[i]));
        EXPECT_TRUE(accessible(window->tile(i), QAccessible::Description)
                        .contains(QStringLiteral("unit SN%1").arg(i + 1, 4, 10, QLatin1Char('0'))));
    }
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(accessible(window->tile(i), QAccessible::Description).contains("TTFF "))
            << i + 1;
    xinput::screenshot("station-8-slots", window.get());

    const auto rows = storedRows();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows.at("SN0001"), "pass ok LOT-7 ana");
    EXPECT_EQ(rows.at("SN0006"), "fail no-data LOT-7 ana");
    EXPECT_EQ(rows.at("SN0007"), "interrupted interrupted LOT-7 ana");
    EXPECT_EQ(rows.at("SN0008"), "station-fault port-unavailable LOT-7 ana");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window->yieldLine()->text().contains("This session: 8 tested, 5 passed") &&
                   window->yieldLine()->text().contains("Lot LOT-7: 8 tested, 5 passed");
        },
        2000))
        << window->yieldLine()->text().toStdString();

    // A done slot goes back to running when a new serial is scanned in.
    ASSERT_TRUE(xinput::click(window->tile(0)->serialField()));
    ASSERT_TRUE(xinput::xdotool({"key", "ctrl+a"}));
    ASSERT_TRUE(scan("SN0101"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return accessible(window->tile(0), QAccessible::Description).startsWith("running"); },
        5000));

    // Closing while a slot runs asks once; yes ends every run, its result kept.
    // The question runs its own event loop inside close(); it is answered
    // from a timer, with a real click on Yes.
    int asked = 0;
    bool answered = false;
    QTimer poll;
    poll.setInterval(100);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!question || !question->isVisible() || answered) return;
        ++asked;
        answered = xinput::click(question->button(QMessageBox::Yes));
    });
    poll.start();
    window->close();
    EXPECT_TRUE(answered);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 10000));
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(window->anyRunning());
    EXPECT_EQ(storedRows().at("SN0101"), "interrupted interrupted LOT-7 ana");
}

TEST_F(StationWindowE2e, SettingsDialogListsPortsAndKeepsChosenSlots) {
    stationwin::Settings settings;
    settings.ports = QStringList{addReceiver(gpssim::Behaviour::Normal) + "@9600"};
    std::vector<stationwin::PortInfo> ports = stationwin::listPorts();
    stationwin::SettingsDialog dialog(settings, ports);
    dialog.move(0, 0);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    xinput::screenshot("station-settings", &dialog);
    // The kept slot is listed checked and comes back as it was kept.
    QPushButton* ok = nullptr;
    for (auto* button : dialog.findChildren<QPushButton*>())
        if (button->text().remove('&') == "OK") ok = button;
    ASSERT_TRUE(ok);
    ASSERT_TRUE(xinput::click(ok));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.settings().ports, settings.ports);
}

}  // namespace
