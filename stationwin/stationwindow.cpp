#include "stationwin/stationwindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "instrument/levelsources.h"
#include "results/report.h"
#include "station/calibration.h"
#include "station/station.h"
#include "station/testtypes.h"
#include "station/words.h"
#include "stationwin/calibratedialog.h"
#include "stationwin/lotpanel.h"
#include "stationwin/slottile.h"
#include "stationwin/studydialog.h"
#include "vocabulary/evidence.h"

namespace stationwin {

namespace {

constexpr int kTileWidth = 230;  // the size a tile is laid out for
constexpr int kTileHeight = 170;

// Units with a pass or fail verdict; station faults and stopped runs, which
// say nothing about a unit, apart.
QString yieldText(const QString& name, const results::Figures& f) {
    QString text = QObject::tr("%1: %2 tested, %3 passed, first-pass yield %4")
                       .arg(name)
                       .arg(f.unitsTested)
                       .arg(f.unitsPassed)
                       .arg(results::Figures::percent(f.firstPassYield()));
    const qint64 faults = f.outcomes.value(station::codeOf(station::Outcome::StationFault));
    const qint64 stopped = f.outcomes.value(station::codeOf(station::Outcome::Interrupted));
    if (faults || stopped)
        text += QObject::tr(" (apart: %1 station faults, %2 stopped)").arg(faults).arg(stopped);
    return text;
}

QString number(double value) {
    return QString::number(value, 'g', 6);
}

// The generator is held at one level for the session: another one, or
// another level, takes a new session.
bool sameGenerator(const station::UnitConfig& a, const station::UnitConfig& b) {
    return a.generator == b.generator && a.generatorDialect == b.generatorDialect &&
           a.scenario == b.scenario && (a.generator.isEmpty() || a.levelDbm == b.levelDbm);
}

// What a unit is held to, as the technician reads it before a scan.
QString limitsText(const station::UnitConfig& c) {
    using results::Measure;
    const station::Limits& l = c.limits;
    const QString sv = c.cn0Sv.isEmpty() ? QObject::tr("the generator's satellite") : c.cn0Sv;
    auto said = [&](const char* words) {
        return QObject::tr(words).replace(QLatin1String("{sv}"), sv);
    };
    QStringList held;
    if (c.testsFix() && !l.most(Measure::Ttff))
        held << QObject::tr("a fix within %1 s").arg(c.fixTimeoutS);
    for (const results::MeasureRow& m : results::kMeasures) {
        if (!c.tests.contains(QLatin1String(station::testTypeOf(m.test).name))) continue;
        const auto &low = l.least(m.measure), &high = l.most(m.measure);
        if (low && high && m.heldBoth) {
            held << said(m.heldBoth).arg(number(*low), number(*high));
            continue;
        }
        if (low) held << said(m.least.held).arg(number(*low));
        if (high) held << said(m.most.held).arg(number(*high));
        if (m.measure == Measure::SignalCn0 && !low && !high)
            held << QObject::tr("signal C/N0 of %1 seen").arg(sv);
    }
    if (!c.generator.isEmpty())
        held << QObject::tr("at %1 dBm at the antenna port").arg(number(c.levelDbm));
    QString text = QObject::tr("Limits: %1").arg(held.join(QLatin1String(", ")));
    if (c.cycles > 1) text += QObject::tr(", in each of %1 cycles").arg(c.cycles);
    return text + QLatin1Char('.');
}

// A finished study's verdicts, a line for each measure with figures and one
// for those without, by why.
QString verdictsText(const results::GrrSection& section) {
    QStringList lines{QObject::tr("Gauge R&R (the tables: gps-coldstart-cli report --grr %1):")
                          .arg(section.study)};
    QMap<QString, QStringList> without;  // why: measures
    for (const results::GrrSection::Row& row : section.rows) {
        if (!row.grr) {
            without[row.why] << row.measure;
            continue;
        }
        const results::gauge::Grr& g = *row.grr;
        const bool ofTolerance = g.grr.pctTolerance.has_value();
        lines << QObject::tr("%1: %2, %GRR %3 % of the %4, %5")
                     .arg(row.measure, QLatin1String(results::gauge::verdictWord(g.verdict)))
                     .arg(ofTolerance ? *g.grr.pctTolerance : g.grr.pctStudy, 0, 'f', 1)
                     .arg(ofTolerance ? QObject::tr("tolerance") : QObject::tr("study variation"))
                     .arg(g.ndc ? QObject::tr("%1 distinct categories").arg(*g.ndc)
                                : QObject::tr("no variation of the station's own"));
    }
    for (auto it = without.cbegin(); it != without.cend(); ++it)
        lines << QObject::tr("No figures of %1: %2")
                     .arg(it.value().join(QLatin1String(", ")), it.key());
    if (section.rows.isEmpty()) lines << QObject::tr("no measure has values.");
    // Whether the station may go into production on this study, and why.
    if (!section.rows.isEmpty()) lines << results::qualificationText(section.qualification);
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

StationWindow::StationWindow(std::vector<station::UnitConfig> units,
                             std::unique_ptr<results::StoreWorker> worker, QWidget* parent)
    : QMainWindow(parent),
      session_(std::make_unique<session::Session>(
          units.empty() ? station::UnitConfig() : units.front(), std::move(worker))),
      sessionStart_(results::isoTime(QDateTime::currentDateTimeUtc())) {
    setWindowTitle(tr("GPS Station"));
    auto* central = new QWidget(this);
    setCentralWidget(central);

    lot_ = new QLineEdit(central);
    lot_->setAccessibleName(tr("Lot"));
    operator_ = new QLineEdit(central);
    operator_->setAccessibleName(tr("Operator"));
    startAll_ = new QPushButton(tr("Start &all"), central);
    startAll_->setAccessibleName(tr("Start all"));
    stopAll_ = new QPushButton(tr("St&op all"), central);
    stopAll_->setAccessibleName(tr("Stop all"));
    settings_ = new QPushButton(tr("&Settings..."), central);
    settings_->setAccessibleName(tr("Settings"));
    connect(settings_, &QPushButton::clicked, this, &StationWindow::settingsRequested);
    calibrate_ = new QPushButton(tr("&Calibrate..."), central);
    calibrate_->setAccessibleName(tr("Calibrate"));
    connect(calibrate_, &QPushButton::clicked, this, &StationWindow::askCalibration);
    study_ = new QPushButton(tr("St&udy..."), central);
    study_->setAccessibleName(tr("Study"));
    connect(study_, &QPushButton::clicked, this, &StationWindow::askStudy);
    connect(startAll_, &QPushButton::clicked, this, &StationWindow::startAll);
    connect(stopAll_, &QPushButton::clicked, this, &StationWindow::stopAll);
    auto* top = new QHBoxLayout;
    auto* lotLabel = new QLabel(tr("&Lot"), central);
    lotLabel->setBuddy(lot_);
    auto* operatorLabel = new QLabel(tr("O&perator"), central);
    operatorLabel->setBuddy(operator_);
    top->addWidget(lotLabel);
    top->addWidget(lot_, 1);
    top->addWidget(operatorLabel);
    top->addWidget(operator_, 1);
    top->addWidget(startAll_);
    top->addWidget(stopAll_);
    top->addWidget(calibrate_);
    top->addWidget(study_);
    top->addWidget(settings_);
    connect(lot_, &QLineEdit::editingFinished, this, &StationWindow::updateYield);
    fieldsWarning_ = new QLabel(central);
    fieldsWarning_->setAccessibleName(tr("Lot and operator"));
    fieldsWarning_->setAutoFillBackground(true);
    fieldsWarning_->setMargin(4);
    QPalette amber = fieldsWarning_->palette();
    amber.setColor(QPalette::Window, QColor(0xf0, 0xa0, 0x00));
    amber.setColor(QPalette::WindowText, Qt::black);
    fieldsWarning_->setPalette(amber);
    for (QLineEdit* field : {lot_, operator_})
        connect(field, &QLineEdit::textChanged, this, &StationWindow::showFieldsWarning);

    yield_ = new QLabel(central);
    yield_->setAccessibleName(tr("Yield"));
    yield_->setWordWrap(true);
    limits_ = new QLabel(central);
    limits_->setAccessibleName(tr("Limits"));
    limits_->setWordWrap(true);
    QFont bold = limits_->font();
    bold.setBold(true);
    limits_->setFont(bold);
    banner_ = new QLabel(central);
    banner_->setAccessibleName(tr("Results database"));
    banner_->setWordWrap(true);
    banner_->setAutoFillBackground(true);
    banner_->setMargin(6);
    banner_->hide();
    delivery_ = new QLabel(central);
    delivery_->setAccessibleName(tr("Deliveries to the line"));
    delivery_->setWordWrap(true);
    delivery_->hide();
    calibrationLine_ = new QLabel(central);
    calibrationLine_->setAccessibleName(tr("Calibration"));
    calibrationLine_->setWordWrap(true);
    calibrationLine_->hide();
    studyLine_ = new QLabel(central);
    studyLine_->setAccessibleName(tr("Study progress"));
    // Not wrapped: its text comes line by line, and a wrapped label is not
    // given the height of its lines above the tiles.
    studyLine_->setAutoFillBackground(true);
    studyLine_->setMargin(4);
    studyLine_->hide();

    auto* tiles = new QWidget;
    grid_ = new QGridLayout(tiles);
    grid_->setSpacing(4);
    grid_->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(central);
    scroll_->setWidget(tiles);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);

    auto* layout = new QVBoxLayout(central);
    layout->addLayout(top);
    layout->addWidget(fieldsWarning_);
    layout->addWidget(banner_);
    layout->addWidget(yield_);
    layout->addWidget(limits_);
    layout->addWidget(delivery_);
    layout->addWidget(calibrationLine_);
    layout->addWidget(studyLine_);
    // The slots, and the lot at a glance on a tab of its own (Alt+1, Alt+2).
    tabs_ = new QTabWidget(central);
    tabs_->setAccessibleName(tr("Slots and lot"));
    tabs_->addTab(scroll_, tr("Slots &1"));
    lotPanel_ = new LotPanel;
    tabs_->addTab(lotPanel_, tr("Lot &2"));
    layout->addWidget(tabs_, 1);

    setTabOrder(lot_, operator_);
    setTabOrder(operator_, startAll_);
    setTabOrder(startAll_, stopAll_);
    setTabOrder(stopAll_, calibrate_);
    setTabOrder(calibrate_, study_);
    setTabOrder(study_, settings_);
    QWidget* previous = settings_;
    slots_.resize(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        Slot& slot = slots_[i];
        slot.config = std::move(units[i]);
        slot.tile = new SlotTile(int(i) + 1, slot.config.port, slot.config.device, tiles);
        const int index = int(i);
        connect(slot.tile, &SlotTile::startRequested, this,
                [this, index](const QString& serial) { startSlot(index, serial); });
        connect(slot.tile, &SlotTile::stopRequested, this, [this, index] { stopSlot(index); });
        connect(slot.tile, &SlotTile::logRequested, this, [this, index] { showLog(index); });
        setTabOrder(previous, slot.tile->serialField());
        previous = slot.tile->serialField();
    }
    relayout();

    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &StationWindow::refreshTiles);
    refresh_.start();
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &StationWindow::retryDatabase);
    connect(session_.get(), &session::Session::kept, this, &StationWindow::onKept);
    connect(session_.get(), &session::Session::refusalNotKept, this,
            [this](const station::UnitConfig& unit, const QString& error) {
                showBanner(tr("Slot %1's refusal was not kept: %2").arg(unit.slot).arg(error),
                           false);
            });
    connect(session_.get(), &session::Session::metricsNotWritten, this,
            [this](const QString& why) { showBanner(why, false); });
    // What a slot's unit needs from the store cannot be read: it does not run.
    connect(session_.get(), &session::Session::unreadable, this,
            [this](session::Read what, const QList<station::UnitRun*>& runs, const QString& error) {
                for (station::UnitRun* run : runs) {
                    showBanner((what == session::Read::Study
                                    ? tr("Slot %1 cannot read the gauge study: %2")
                                : what == session::Read::Alarms
                                    ? tr("Slot %1 cannot read its alarms: %2")
                                    : tr("Slot %1 cannot read its calibration: %2"))
                                   .arg(run->config().slot)
                                   .arg(error),
                               false);
                    run->interrupt();
                }
            });
    if (!slots_.empty() && !slots_.front().config.generator.isEmpty()) {
        std::vector<station::UnitConfig> configs;
        for (const Slot& slot : slots_) configs.push_back(slot.config);
        held_ = std::make_unique<session::HeldLevel>(
            *session_, std::move(configs), instrument::makeLevelSource(slots_.front().config));
        connect(held_.get(), &session::HeldLevel::faulted, this, [this](const QString& message) {
            showBanner(message + tr(".  The generator's output is switched off; no slot tests "
                                    "until the window is started again."),
                       true);
        });
        connect(held_.get(), &session::HeldLevel::unreadable, this, [this](const QString& error) {
            showBanner(tr("The slots' path losses cannot be read: %1").arg(error), false);
        });
        connect(held_.get(), &session::HeldLevel::off, this, &StationWindow::closeWhenDone);
    }
    if (store()) {
        connect(store(), &results::StoreWorker::summarized, this, &StationWindow::showYield);
        connect(store(), &results::StoreWorker::distributed, this,
                [this](const results::Filter& filter, const results::Distributions& data) {
                    if (filter.lot != lot_->text().trimmed() || slots_.empty()) return;
                    const station::Limits& limits = slots_.front().config.limits;
                    lotPanel_->showLot(filter.lot, data, limits.most(results::Measure::Ttff),
                                       limits.least(results::Measure::SkyCn0));
                });
        connect(store(), &results::StoreWorker::reopened, this, [this] {
            retry_.stop();
            if (!anyLost_) banner_->hide();
            updateYield();
        });
    }
    // Every kept result told to the line, what an earlier session left first.
    if (results::Deliverer* deliverer = session_->deliverer(); deliverer && !slots_.empty()) {
        connect(deliverer, &results::Deliverer::queueChanged, this, &StationWindow::showDeliveries);
        connect(deliverer, &results::Deliverer::delivered, this, &StationWindow::showDeliveries);
        connect(deliverer, &results::Deliverer::attemptFailed, this,
                &StationWindow::showDeliveries);
        connect(deliverer, &results::Deliverer::problem, this, &StationWindow::showDeliveries);
        connect(deliverer, &results::Deliverer::rerunAsked, this, &StationWindow::onRerunAsked);
        delivery_->show();
        showDeliveries();
        session_->startDeliveries();
    }
    updateYield();
    showFieldsWarning();
    showLimits();
    updateActions();
    if (!slots_.empty()) slots_.front().tile->serialField()->setFocus();
    resize(1000, 700);
}

StationWindow::~StationWindow() {
    for (Slot& slot : slots_) delete slot.run;
    held_.reset();  // its output off, at the latest, as the generator goes
    session_.reset();
}

void StationWindow::showDeliveries() {
    if (!session_->deliverer()) return;
    const QList<results::Deliverer::TargetState> states = session_->deliverer()->states();
    QStringList lines;
    for (const results::Deliverer::TargetState& t : states) {
        // A line for each target when there are several.
        const QString line = states.size() > 1 ? tr("Line (%1)").arg(t.target) : tr("Line");
        const results::QueueState& state = t.queue;
        if (state.waiting == 0) {
            lines << tr("%1: every result delivered").arg(line);
            continue;
        }
        const qint64 age =
            std::max<qint64>(0, state.oldest.secsTo(QDateTime::currentDateTimeUtc()));
        const QString ageText = age < 120    ? tr("%1 s").arg(age)
                                : age < 7200 ? tr("%1 min").arg(age / 60)
                                             : tr("%1 h").arg(age / 3600);
        QString text = state.waiting == 1
                           ? tr("%1: 1 result waiting for delivery, %2 old").arg(line, ageText)
                           : tr("%1: %2 results waiting for delivery, the oldest %3 old")
                                 .arg(line)
                                 .arg(state.waiting)
                                 .arg(ageText);
        if (!t.lastError.isEmpty()) text += tr("; last attempt: %1").arg(t.lastError);
        lines << text;
    }
    const QString text = lines.join(QLatin1Char('\n'));
    if (delivery_->text() != text) {
        delivery_->setText(text);
        delivery_->setAccessibleDescription(text);
    }
}

void StationWindow::onRerunAsked(const QJsonObject& result) {
    const QString port = result.value(QLatin1String("port")).toString();
    for (int i = 0; i < slotCount(); ++i) {
        Slot& slot = slots_[std::size_t(i)];
        if (slot.config.port != port) continue;
        slot.tile->askAgain(results::rerunNotice(result) + tr(": scan it again"));
        slot.tile->refresh(slot.run, storing(i));
    }
}

bool StationWindow::anyRunning() const {
    for (const Slot& slot : slots_)
        if (slot.run && !slot.run->done()) return true;
    return false;
}

bool StationWindow::busy() const {
    return anyRunning() || calibrator_ || session_->pending() > 0;
}

void StationWindow::startSlot(int index, const QString& serial) {
    Slot& slot = slots_[std::size_t(index)];
    if (closing_ || calibrator_ || serial.isEmpty() || (slot.run && !slot.run->done())) return;
    station::UnitConfig config = slot.config;
    config.unit = serial;
    config.lot = lot_->text().trimmed();
    config.operatorName = operator_->text().trimmed();
    if (requireLotAndOperator_ && (config.lot.isEmpty() || config.operatorName.isEmpty())) {
        showFieldsWarning();
        (config.lot.isEmpty() ? lot_ : operator_)->setFocus();
        return;
    }
    if (studyActive_) {
        if (const QString refused = progress_->refusal(index, serial); !refused.isEmpty()) {
            studyRefusal_ = refused;
            showStudy();
            slot.tile->serialField()->selectAll();  // the next scan replaces it
            return;
        }
        config.study = progress_->plan().name;
        config.cycles = 1;  // one result, one trial
        progress_->started(index);
        slot.inStudy = true;
        studyRefusal_.clear();
        showStudy();
    }
    slot.tile->markStarted();
    delete slot.run;
    slot.run = new station::UnitRun(config);
    slot.tile->setSerial(serial);
    connect(slot.run, &station::UnitRun::changed, this,
            [this, index] { slots_[std::size_t(index)].dirty = true; });
    session_->follow(slot.run, index);
    connect(slot.run, &station::UnitRun::finished, this, &StationWindow::onFinished,
            Qt::QueuedConnection);
    if (slot.inStudy)  // a run stopped before it began gives no result: the unit goes again
        connect(
            slot.run, &station::UnitRun::finished, this,
            [this, index] {
                Slot& s = slots_[std::size_t(index)];
                if (!s.inStudy || storing(index) || !s.run || !s.run->done()) return;
                s.inStudy = false;
                progress_->ended(index, false);
                showStudy();
            },
            Qt::QueuedConnection);
    // Its study's verdict and its calibration first, read on the store's thread.
    session_->prepare({slot.run}, [this, index, run = QPointer<station::UnitRun>(slot.run)] {
        if (!run) return;
        if (held_)
            held_->start(index, run);  // at the generator's level
        else
            run->start();
    });
    slot.dirty = false;
    slot.tile->refresh(slot.run, storing(index));
    if (slot.tile->serialField()->hasFocus()) focusNextIdle(index);
}

// The unit's bytes of its last test, as the station kept them for its
// result, readable: a line each, with its time and direction.
void StationWindow::showLog(int index) {
    const Slot& slot = slots_[std::size_t(index)];
    if (!slot.run || !slot.run->tally().last()) return;
    const station::CycleResult& last = *slot.run->tally().last();
    QString why;
    const auto chunks = results::evidence::parse(last.evidence, &why);
    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("evidenceLog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(
        tr("Slot %1, unit %2: the receiver's bytes").arg(index + 1).arg(last.unit));
    auto* text = new QPlainTextEdit(dialog);
    text->setAccessibleName(tr("Log"));
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setPlainText(
        tr("%1 cycle %2: %3\nTime since the port opened; < from the receiver, > to it, # the "
           "station's note.\n\n")
            .arg(last.unit)
            .arg(last.cycle)
            .arg(QString(last.status).replace('\n', QLatin1String("; "))) +
        (chunks ? results::evidence::text(*chunks) : tr("The bytes cannot be read: %1").arg(why)));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(text);
    layout->addWidget(buttons);
    dialog->resize(900, 600);
    dialog->show();
}

void StationWindow::stopSlot(int index) {
    Slot& slot = slots_[std::size_t(index)];
    if (slot.run && !slot.run->done()) slot.run->interrupt();
}

void StationWindow::startAll() {
    // Only the slots with a serial scanned for this start: never a finished
    // slot under its last serial, never an empty one.
    for (int i = 0; i < slotCount(); ++i)
        if (tile(i)->freshScan()) startSlot(i, tile(i)->serial());
}

void StationWindow::setRequireLotAndOperator(bool required) {
    requireLotAndOperator_ = required;
    showFieldsWarning();
}

bool StationWindow::setSlotConfigs(std::vector<station::UnitConfig> units) {
    if (units.size() != slots_.size()) return false;
    for (std::size_t i = 0; i < units.size(); ++i)
        if (units[i].port != slots_[i].config.port || units[i].device != slots_[i].config.device ||
            !sameGenerator(units[i], slots_[i].config))
            return false;
    for (std::size_t i = 0; i < units.size(); ++i) slots_[i].config = std::move(units[i]);
    showLimits();
    updateActions();
    updateYield();  // the lot's charts against the new limits
    return true;
}

void StationWindow::showLimits() {
    const QString text = slots_.empty() ? QString() : limitsText(slots_.front().config);
    limits_->setText(text);
    limits_->setAccessibleDescription(text);
}

void StationWindow::showFieldsWarning() {
    QStringList empty;
    if (lot_->text().trimmed().isEmpty()) empty << tr("lot");
    if (operator_->text().trimmed().isEmpty()) empty << tr("operator");
    const QString text = empty.isEmpty() ? QString()
                         : requireLotAndOperator_
                             ? tr("Enter the %1 before a slot starts.").arg(empty.join(tr(" and ")))
                             : tr("No %1: results will not say it.").arg(empty.join(tr(" and ")));
    fieldsWarning_->setText(text);
    fieldsWarning_->setAccessibleDescription(text);
    fieldsWarning_->setVisible(!text.isEmpty());
}

void StationWindow::stopAll() {
    for (int i = 0; i < slotCount(); ++i) stopSlot(i);
    if (calibrator_ && !calibrationStopped_) {
        calibrationStopped_ = true;
        calibrator_->interrupt();
    }
}

void StationWindow::updateActions() {
    const bool satellite = !slots_.empty() && !slots_.front().config.cn0Sv.isEmpty();
    calibrate_->setEnabled(satellite && !held_ && !closing_ && !calibrator_ && !anyRunning());
    study_->setText(studyActive_ ? tr("End st&udy") : tr("St&udy..."));
    study_->setEnabled(!closing_ && !calibrator_ && (studyActive_ || !anyRunning()));
    calibrate_->setToolTip(
        held_       ? tr("Behind a signal generator the slots' path losses are calibrated with "
                               "gps-coldstart-cli calibrate --generator")
        : satellite ? tr("Measure a golden unit in every slot")
                    : tr("The settings name no generator's satellite"));
}

void StationWindow::askCalibration() {
    updateActions();
    if (!calibrate_->isEnabled()) return;
    auto* dialog = new CalibrateDialog(slots_.front().config, slotCount(), this);
    connect(dialog, &QDialog::accepted, this,
            [this, dialog] { calibrate(dialog->golden(), dialog->expected()); });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

void StationWindow::calibrate(const QString& golden, double expected) {
    updateActions();
    if (!calibrate_->isEnabled() || golden.isEmpty()) return;
    std::vector<station::UnitConfig> units;
    for (Slot& slot : slots_) {
        units.push_back(slot.config);
        units.back().operatorName = operator_->text().trimmed();
        slot.calibrated = false;
    }
    session_->setCalibrating(true);
    calibrator_ = new station::Calibrator(std::move(units), golden, expected,
                                          slots_.front().config.maxOffsetDb,
                                          session::calibrationKeeper(store()), this);
    calibrationStopped_ = false;
    connect(calibrator_, &station::Calibrator::slotCalibrated, this, &StationWindow::onCalibrated);
    connect(calibrator_, &station::Calibrator::finished, this,
            &StationWindow::onCalibrationFinished, Qt::QueuedConnection);
    calibrationLine_->setText(
        tr("Calibrating %1 slots with golden unit %2...").arg(slotCount()).arg(golden));
    calibrationLine_->show();
    calibrator_->start();
    updateActions();
    refreshTiles();
}

void StationWindow::onCalibrated(const station::CalibrationOutcome& outcome) {
    for (Slot& slot : slots_)
        if (slot.config.port == outcome.port) {
            slot.calibrated = true;
            slot.tile->showCalibration(outcome, calibrationStopped_);
        }
}

void StationWindow::onCalibrationFinished() {
    std::vector<station::CalibrationOutcome> outcomes = calibrator_->outcomes();
    auto slotOf = [this](const QString& port) {
        for (const Slot& slot : slots_)
            if (slot.config.port == port) return slot.config.slot;
        return 0;
    };
    std::sort(outcomes.begin(), outcomes.end(),
              [&](const auto& a, const auto& b) { return slotOf(a.port) < slotOf(b.port); });
    int calibrated = 0;
    QStringList notes;
    for (const station::CalibrationOutcome& o : outcomes) {
        const int n = slotOf(o.port);
        if (o.calibrated())
            ++calibrated;
        else if (!o.error.isEmpty())
            notes << tr("slot %1 not kept (%2)").arg(n).arg(o.error);
        else
            notes << tr("slot %1 %2")
                         .arg(n)
                         .arg(calibrationStopped_ && !o.id ? tr("stopped") : o.result);
        if (o.driftFlagged) notes << tr("slot %1 drifted %2 dB").arg(n).arg(*o.drift, 0, 'f', 2);
    }
    const QString text =
        tr("Calibration with golden unit %1: %2 of %3 slots calibrated")
            .arg(outcomes.empty() ? QString() : outcomes.front().golden)
            .arg(calibrated)
            .arg(outcomes.size()) +
        (notes.isEmpty() ? QStringLiteral(".") : QStringLiteral("; ") + notes.join("; ") + '.');
    calibrationLine_->setText(text);
    calibrationLine_->setAccessibleDescription(text);
    calibrator_->deleteLater();
    calibrator_ = nullptr;
    session_->setCalibrating(false);
    updateActions();
    closeWhenDone();
}

void StationWindow::focusNextIdle(int after) {
    const int n = slotCount();
    for (int step = 1; step < n; ++step) {
        const Slot& slot = slots_[std::size_t((after + step) % n)];
        if (!slot.run || slot.run->done()) {
            slot.tile->serialField()->setFocus(Qt::TabFocusReason);
            slot.tile->serialField()->selectAll();
            return;
        }
    }
}

void StationWindow::onKept(int index, const QJsonObject& result, results::Store::Saved saved) {
    Slot& slot = slots_[std::size_t(index)];
    if (store()) {
        switch (saved) {
            case results::Store::Saved::Stored:
                break;
            case results::Store::Saved::Spooled:
                showBanner(tr("The results database %1 is failing: results are kept in %2 and "
                              "moved in as soon as it answers again.")
                               .arg(store()->target().display(), store()->target().spoolPath()),
                           false);
                if (!retry_.isActive()) retry_.start();
                break;
            case results::Store::Saved::Lost:
                anyLost_ = true;
                showBanner(tr("A result of slot %1 (unit %2) could not be kept: neither the "
                              "database %3 nor its spool file took it.")
                               .arg(index + 1)
                               .arg(result.value(QLatin1String("unit")).toString(),
                                    store()->target().display()),
                           true);
                break;
        }
        updateYield();
    }
    // The store marks a unit's first result in a lot that already has one of
    // it; a result of the slot's last unit, kept late, marks the unit now
    // under test only when it is the same unit in the same lot.
    if (slot.inStudy) onStudyKept(index, result);
    // A study's units run again by design: no retest to point out.
    if (slot.run && result.value(QLatin1String("retest")).toBool() &&
        result.value(QLatin1String("study")).toString().isEmpty() &&
        result.value(QLatin1String("unit")).toString() == slot.run->config().unit &&
        result.value(QLatin1String("lot")).toString() == slot.run->config().lot)
        slot.tile->setRetest(true);
    // The alarms its result raised on the slot's control charts, on the
    // tile until the slot's next result, and in the window's banner.
    QStringList alarms;
    for (const QJsonValue& a : result.value(QLatin1String("alarms")).toArray())
        alarms << tr("ALARM %1 %2: %3")
                      .arg(a[QLatin1String("chart")].toString(),
                           a[QLatin1String("rule")].toString(),
                           a[QLatin1String("rule_text")].toString());
    if (saved == results::Store::Saved::Stored) slot.tile->showAlarms(alarms);
    if (!alarms.isEmpty())
        showBanner(tr("Slot %1 (%2): %3")
                       .arg(index + 1)
                       .arg(result.value(QLatin1String("port")).toString(),
                            alarms.join(QStringLiteral("; "))),
                   false);
    slot.dirty = false;
    slot.tile->refresh(slot.run, storing(index));
    emit resultKept(result);
    closeWhenDone();
}

void StationWindow::onFinished() {
    refreshTiles();
    closeWhenDone();
}

void StationWindow::closeWhenDone() {
    if (!closing_ || busy()) return;
    // The generator's output off last, once no slot needs it; here again
    // once it is.
    if (held_ && !held_->ended()) return held_->switchOff();
    if (shuttingDown_)
        emit shutDownDone();
    else
        close();
}

void StationWindow::shutDown() {
    if (shuttingDown_) return;
    shuttingDown_ = closing_ = true;
    stopAll();
    closeWhenDone();
}

void StationWindow::refreshTiles() {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot& slot = slots_[i];
        if (calibrator_) {  // the golden unit's measurement, until its outcome
            const station::UnitRun* run = calibrator_->station().units()[i];
            if (!slot.calibrated) slot.tile->refresh(run, run->done());
            continue;
        }
        // A running tile counts its seconds even when its run is quiet.
        if (!slot.dirty && !(slot.run && !slot.run->done())) continue;
        slot.dirty = false;
        slot.tile->refresh(slot.run, storing(int(i)));
    }
    showDeliveries();  // the oldest's age goes on
    updateActions();
}

void StationWindow::updateYield() {
    if (!store()) {
        yield_->setText(tr("Results are not stored."));
        return;
    }
    // While the database fails there is no answer: the last figures stay.
    results::Filter session;
    session.since = sessionStart_;
    session.station = slots_.empty() ? QString() : slots_.front().config.station;
    QList<results::Filter> filters{session};
    if (const QString lot = lot_->text().trimmed(); !lot.isEmpty()) {
        results::Filter byLot;
        byLot.lot = lot;
        filters << byLot;
        store()->distribute(byLot);
    } else {
        lotPanel_->clear(tr("Enter a lot to see its figures."));
    }
    store()->summarize(filters);
}

void StationWindow::showYield(const QList<results::SummaryAnswer>& answers) {
    QStringList parts;
    for (const results::SummaryAnswer& answer : answers) {
        const QString name =
            answer.filter.lot.isEmpty() ? tr("This session") : tr("Lot %1").arg(answer.filter.lot);
        parts << (answer.summary ? yieldText(name, answer.summary->overall)
                                 : tr("%1: no figures (%2)").arg(name, answer.error));
    }
    const QString text = parts.join(QLatin1String("    "));
    yield_->setText(text);
    yield_->setAccessibleDescription(text);
}

void StationWindow::retryDatabase() {
    if (!store() || !store()->spooling()) {
        retry_.stop();
        return;
    }
    session_->retryDatabase();  // reopened() follows when the database answers
}

void StationWindow::showBanner(const QString& text, bool lost) {
    QPalette p = banner_->palette();
    p.setColor(QPalette::Window, lost ? QColor(0xc6, 0x28, 0x28) : QColor(0xf0, 0xa0, 0x00));
    p.setColor(QPalette::WindowText, lost ? Qt::white : Qt::black);
    banner_->setPalette(p);
    banner_->setText(text);
    banner_->setAccessibleDescription(text);
    banner_->show();
}

void StationWindow::relayout() {
    const int n = slotCount();
    if (n == 0) return;
    const QSize area = scroll_->viewport()->size();
    // The column count that lets tiles grow the most, in proportion.
    int best = 1;
    double bestScale = 0;
    for (int cols = 1; cols <= n; ++cols) {
        const int rows = (n + cols - 1) / cols;
        const double scale = std::min(double(area.width()) / (cols * kTileWidth),
                                      double(area.height()) / (rows * kTileHeight));
        if (scale > bestScale + 1e-9) {
            bestScale = scale;
            best = cols;
        }
    }
    if (best == columns_) return;
    columns_ = best;
    for (int i = 0; i < n; ++i) grid_->removeWidget(slots_[std::size_t(i)].tile);
    for (int i = 0; i < n; ++i) grid_->addWidget(slots_[std::size_t(i)].tile, i / best, i % best);
    for (int c = 0; c < grid_->columnCount(); ++c) grid_->setColumnStretch(c, c < best ? 1 : 0);
    const int rows = (n + best - 1) / best;
    for (int r = 0; r < grid_->rowCount(); ++r) grid_->setRowStretch(r, r < rows ? 1 : 0);
}

void StationWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    relayout();
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (!busy() && (!held_ || held_->ended())) {
        event->accept();
        return;
    }
    if (!closing_ && !anyRunning() && !calibrator_) {
        closing_ = true;  // only results to keep, or the output to switch off
        closeWhenDone();
    } else if (!closing_) {
        const auto answer = QMessageBox::question(
            this, windowTitle(),
            calibrator_ ? tr("The slots are being calibrated. Stop and close? Calibrations so far "
                             "are kept.")
                        : tr("Slots are still testing. Stop every run and close? Results so "
                             "far are kept."),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        closing_ = true;
        stopAll();
    }
    event->ignore();  // closes once every run has ended and its result is kept
}

void StationWindow::askStudy() {
    if (studyActive_) {
        endStudy();
        return;
    }
    updateActions();
    if (!study_->isEnabled()) return;
    auto* dialog = new StudyDialog(slotCount(), this);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        QString why;
        if (!beginStudy(dialog->plan(), &why)) QMessageBox::warning(this, windowTitle(), why);
    });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

bool StationWindow::beginStudy(const StudyPlan& plan, QString* why) {
    if (plan.slotCount != slotCount()) {
        *why =
            tr("The study has %1 slots; this window has %2.").arg(plan.slotCount).arg(slotCount());
        return false;
    }
    if (const QString problem = studyPlanProblem(plan); !problem.isEmpty()) {
        *why = problem;
        return false;
    }
    if (anyRunning() || calibrator_) {
        *why = tr("A study begins once no slot runs.");
        return false;
    }
    progress_ = std::make_unique<StudyProgress>(plan);
    studyActive_ = true;
    studyRefusal_.clear();
    studyVerdicts_.clear();
    for (Slot& slot : slots_) slot.inStudy = false;
    updateActions();
    showStudy();
    return true;
}

void StationWindow::endStudy() {
    studyActive_ = false;
    for (Slot& slot : slots_) slot.inStudy = false;
    studyRefusal_.clear();
    updateActions();
    showStudy();
}

void StationWindow::onStudyKept(int index, const QJsonObject& result) {
    Slot& slot = slots_[std::size_t(index)];
    slot.inStudy = false;
    if (!studyActive_ || result.value(QLatin1String("study")).toString() != progress_->plan().name)
        return;
    // Only a unit's verdict measured it; a station fault or a stop goes again.
    const QString outcome = result.value(QLatin1String("result")).toString();
    progress_->ended(index, outcome == station::codeOf(station::Outcome::Pass) ||
                                outcome == station::codeOf(station::Outcome::Fail));
    if (!progress_->finished()) {
        showStudy();
        return;
    }
    studyActive_ = false;
    updateActions();
    if (!store()) {
        studyVerdicts_ = tr("Results are not stored: no gauge R&R.");
        showStudy();
        return;
    }
    studyVerdicts_ = tr("Gauge R&R: reading the results...");
    showStudy();
    const QString name = progress_->plan().name;
    store()->studyGrr(name, [this, name](const results::GrrSection& section, const QString& error) {
        if (!progress_ || progress_->plan().name != name || studyActive_) return;
        studyVerdicts_ = error.isEmpty()
                             ? verdictsText(section)
                             : tr("Gauge R&R: no answer from the database (%1).").arg(error);
        showStudy();
    });
}

void StationWindow::showStudy() {
    if (!progress_) {
        studyLine_->hide();
        return;
    }
    const StudyProgress& p = *progress_;
    QString text = tr("Study %1: %2.").arg(p.plan().name, p.progressText());
    if (studyActive_) {
        if (const QString next = p.nextText(); !next.isEmpty())
            text += QLatin1Char(' ') + tr("Next: %1.").arg(next);
        if (!studyRefusal_.isEmpty()) text = studyRefusal_ + QLatin1Char('\n') + text;
    } else if (p.finished()) {
        text = tr("Study %1 complete: %2.").arg(p.plan().name, p.progressText()) +
               QLatin1Char('\n') + studyVerdicts_;
    } else {
        text += QLatin1Char(' ') + tr("Ended before its last run.");
    }
    QPalette palette = studyLine_->palette();
    palette.setColor(QPalette::Window,
                     studyRefusal_.isEmpty() ? QColor(0xe3, 0xee, 0xfa) : QColor(0xf0, 0xa0, 0x00));
    palette.setColor(QPalette::WindowText, Qt::black);
    studyLine_->setPalette(palette);
    studyLine_->setText(text);
    studyLine_->setAccessibleDescription(text);
    studyLine_->show();
}

}  // namespace stationwin
