// The station window: one tile per slot, lot and operator, the yield of this
// session and this lot, the limits each unit is held to, Start all and Stop
// all.
//
// The window decides nothing about a unit: each slot's run is a
// station::UnitRun, its verdict the station's, the rules it runs under the
// session's (session/session.h: its study, its calibration, its result and a
// refusal kept, deliveries), and the yield the results database's report.
// The database works on a thread of its own (results::StoreWorker), so the
// window and the ports never wait for it; a tile shows its verdict only once
// the store has kept the result, and "storing the result" until then.  While the database fails,
// results go to its spool and a banner says so until a later attempt moves them in.
//
// Calibrate... measures a golden unit in every slot at once with the
// station's Calibrator while no slot runs; each tile shows its measurement,
// then its offset and result, and a line sums them up.  A signal test reads
// its slot's latest calibration from the store before its port opens, as the
// headless station does.
//
// With a signal generator in the plan, the window holds it at the plan's
// level for the whole session (session/heldlevel.h): set before the first
// unit starts, off when the window closes.  Its fault is shown in the banner
// and ends the slots' runs as the station's fault.
//
// Study... starts a guided gauge study (stationwin/studyplan.h): the study
// line says which unit goes into which slot now and how far the study has
// come, a scan of any other unit is refused there naming the unit the slot
// takes, and each run of the study is one cycle tagged with its name.  Once
// the last run is kept the line gives the study's gauge R&R verdicts.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSet>
#include <QTimer>
#include <memory>
#include <vector>

#include "results/storeworker.h"
#include "session/heldlevel.h"
#include "session/session.h"
#include "station/unitrun.h"
#include "stationwin/config.h"
#include "stationwin/studyplan.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QGridLayout;
class QScrollArea;
class QTabWidget;

namespace station {
class Calibrator;
struct CalibrationOutcome;
}  // namespace station

namespace stationwin {

class CalibrateDialog;
class LotPanel;
class SlotTile;

class StationWindow : public QMainWindow {
    Q_OBJECT
public:
    // units: one per tile, in order, without serial numbers; store: where
    // results go (nullptr: nowhere).
    StationWindow(std::vector<station::UnitConfig> units,
                  std::unique_ptr<results::StoreWorker> store, QWidget* parent = nullptr);
    ~StationWindow() override;

    int slotCount() const { return int(slots_.size()); }
    SlotTile* tile(int index) const { return slots_[std::size_t(index)].tile; }
    // The slot's current run, or nullptr before its first.
    const station::UnitRun* run(int index) const { return slots_[std::size_t(index)].run; }
    bool anyRunning() const;
    // A run under way, or a result not kept yet.
    bool busy() const;
    QPushButton* startAllButton() const { return startAll_; }
    QPushButton* stopAllButton() const { return stopAll_; }
    QPushButton* calibrateButton() const { return calibrate_; }
    // What the latest calibration came to.
    QLabel* calibrationLine() const { return calibrationLine_; }
    bool calibrating() const { return calibrator_ != nullptr; }
    QLineEdit* lotField() const { return lot_; }
    QLineEdit* operatorField() const { return operator_; }
    QLabel* yieldLine() const { return yield_; }
    // The limits each unit is held to, in words, as the slots have them now.
    QLabel* limitsLine() const { return limits_; }
    QTabWidget* tabs() const { return tabs_; }
    LotPanel* lotPanel() const { return lotPanel_; }
    QLabel* banner() const { return banner_; }
    // The signal generator held at the plan's level, or nullptr.
    const session::HeldLevel* generator() const { return held_.get(); }
    QPushButton* studyButton() const { return study_; }
    // Where the guided study stands, what it refused and, at its end, its verdicts.
    QLabel* studyLine() const { return studyLine_; }
    // The guided study under way or last finished, or nullptr.
    const StudyProgress* study() const { return progress_.get(); }
    // What waits for delivery to the line: how many results and the oldest's
    // age (hidden when the station does not deliver).
    QLabel* deliveryLine() const { return delivery_; }

    // Starts the slot's run for the serial number; a slot whose run is done
    // starts afresh.  Nothing while it runs.
    void startSlot(int index, const QString& serial);
    void stopSlot(int index);
    void startAll();
    // Ends every run and a calibration under way.
    void stopAll();
    // Asks for the golden unit and calibrates every slot; nothing while a
    // slot runs or the plan names no generator's satellite.
    void askCalibration();
    void calibrate(const QString& golden, double expected);
    // Asks for a study's plan and begins it; with a study under way, ends it.
    void askStudy();
    // Begins a guided study over the window's slots; false, with the
    // mistake in *why, when the plan cannot be run or a slot runs.
    bool beginStudy(const StudyPlan& plan, QString* why);
    // Ends the study under way: later runs are no longer guided or tagged.
    void endStudy();
    // Lot and operator must be filled in before a slot starts.
    void setRequireLotAndOperator(bool required);
    // New settings for the same slots (the same ports, in the same order):
    // each slot's next run takes them, the limits line and the lot's charts
    // show them; a run under way keeps its own.  False, and nothing changed,
    // when the slots are not the same.
    bool setSlotConfigs(std::vector<station::UnitConfig> units);
    QLabel* fieldsWarning() const { return fieldsWarning_; }
    // The bench computer is shutting down: every run ends as the close does
    // once answered yes, without asking, and shutDownDone follows once each
    // result is kept.
    void shutDown();

    // How often tiles are redrawn from their runs.
    static constexpr int kRefreshMs = 250;
    // How often a spooling database is tried again.
    static constexpr int kRetryMs = 10000;

signals:
    // The Settings button was pressed.
    void settingsRequested();
    // A result was stored (or spooled, or lost) and its tile shows it.
    void resultKept(const QJsonObject& result);
    // Every run has ended after shutDown(), its result kept.
    void shutDownDone();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showLog(int index);
    struct Slot {
        station::UnitConfig config;
        SlotTile* tile = nullptr;
        station::UnitRun* run = nullptr;  // owned by the window
        bool dirty = true;
        bool calibrated = false;  // the calibration under way has its outcome
        bool inStudy = false;     // its run under way is a step of the study
    };
    void onKept(int index, const QJsonObject& result, results::Store::Saved saved);
    void onFinished();
    void onCalibrated(const station::CalibrationOutcome& outcome);
    void onCalibrationFinished();
    void updateActions();
    void closeWhenDone();
    void refreshTiles();
    void relayout();
    void focusNextIdle(int after);
    void updateYield();
    void showYield(const QList<results::SummaryAnswer>& answers);
    void retryDatabase();
    void showBanner(const QString& text, bool lost);
    void showFieldsWarning();
    void showLimits();
    void showStudy();
    void onStudyKept(int index, const QJsonObject& result);
    void showDeliveries();
    void onRerunAsked(const QJsonObject& result);

    std::vector<Slot> slots_;
    results::StoreWorker* store() const { return session_->store(); }
    bool storing(int index) const { return session_->storing(index) > 0; }
    std::unique_ptr<session::Session> session_;
    std::unique_ptr<session::HeldLevel> held_;  // goes before the session
    QLabel* delivery_;
    QString sessionStart_;  // stored-time form
    QTimer refresh_;
    QTimer retry_;
    QLineEdit* lot_;
    QLineEdit* operator_;
    QLabel* yield_;
    QLabel* limits_;
    QLabel* banner_;
    QLabel* fieldsWarning_;
    bool requireLotAndOperator_ = false;
    QPushButton* startAll_;
    QPushButton* stopAll_;
    QPushButton* settings_;
    QPushButton* calibrate_;
    QLabel* calibrationLine_;
    QPushButton* study_;
    QLabel* studyLine_;
    std::unique_ptr<StudyProgress> progress_;
    bool studyActive_ = false;                   // progress_ guides the slots' runs
    QString studyRefusal_;                       // the latest scan refused, until a run starts
    QString studyVerdicts_;                      // the finished study's gauge R&R
    station::Calibrator* calibrator_ = nullptr;  // a child, while calibrating
    bool calibrationStopped_ = false;
    QGridLayout* grid_;
    QScrollArea* scroll_;
    QTabWidget* tabs_;
    LotPanel* lotPanel_;
    int columns_ = 0;
    bool closing_ = false;  // asked once; waiting for the runs to end
    bool shuttingDown_ = false;
    bool anyLost_ = false;
};

}  // namespace stationwin
