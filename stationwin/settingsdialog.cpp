#include "stationwin/settingsdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QSysInfo>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "results/target.h"
#include "station/config.h"
#include "station/portargs.h"

namespace stationwin {

namespace {

constexpr int kMaxSlots = 32;

enum Column { kPort, kBaud, kFamily, kDescription, kUsbSerial, kStableName };
constexpr int kStartRole = Qt::UserRole + 1;  // a slot's own start type, kept as it came

// A spin box over a number of the plan; a limit's lowest value means "none".
template <typename Box>
Box* numberBox(const char* key, const station::Plan& plan, const QString& suffix, QWidget* parent) {
    const auto& all = station::numberSettings();
    const auto& n = *std::find_if(all.begin(), all.end(), [key](const station::NumberSetting& s) {
        return !qstrcmp(s.key, key);
    });
    auto* box = new Box(parent);
    box->setRange(n.low, n.high);
    if (n.limit) box->setSpecialValueText(QObject::tr("none"));
    box->setSuffix(suffix);
    box->setValue(n.get(plan).value_or(n.low));
    box->setProperty("setting", QLatin1String(key));
    return box;
}

}  // namespace

std::vector<PortInfo> listPorts(const QString& byIdFolder) {
    std::vector<PortInfo> ports;
    const QDir byId(byIdFolder);
    const QFileInfoList stable =
        byId.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortInfo port;
        port.device = info.systemLocation();
        port.description = info.description();
        port.usbSerial = info.serialNumber();
        const QString real = QFileInfo(port.device).canonicalFilePath();
        for (const QFileInfo& link : stable)
            if (link.isSymLink() && link.canonicalFilePath() == real) {
                port.stableName = link.absoluteFilePath();
                break;
            }
        ports.push_back(port);
    }
    return ports;
}

SettingsDialog::SettingsDialog(const Settings& settings, std::vector<PortInfo> ports,
                               QWidget* parent)
    : QDialog(parent), base_(settings) {
    setWindowTitle(tr("Station settings"));
    setAccessibleName(tr("Station settings"));

    ports_ = new QTreeWidget(this);
    ports_->setAccessibleName(tr("Serial ports; the checked ones are the slots, in this order"));
    ports_->setRootIsDecorated(false);
    ports_->setHeaderLabels({tr("Port"), tr("Baud"), tr("Family"), tr("Description"),
                             tr("USB serial"), tr("Stable name")});
    ports_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // The slots as kept first, in their order; then the other ports.
    QStringList listed;
    auto add = [this, &listed](const PortInfo& port, bool checked) {
        addPortRow(port, port.slotPort(), checked);
        listed << port.device << port.stableName << port.slotPort();
    };
    for (const QString& slot : settings.ports) {
        const QString path = slot.section('@', 0, 0);
        PortInfo known{path, tr("not listed by the system now"), {}, {}};
        for (const PortInfo& port : ports)
            if (port.device == path || port.stableName == path) known = port;
        PortInfo kept = known;
        kept.stableName =
            known.stableName.isEmpty() && path != known.device ? path : known.stableName;
        addPortRow(kept, slot, true);
        listed << kept.device << kept.stableName << path;
    }
    for (const PortInfo& port : ports)
        if (!listed.contains(port.device)) add(port, false);

    extraPort_ = new QLineEdit(this);
    extraPort_->setPlaceholderText(tr("another device path, e.g. /dev/ttyACM0"));
    extraPort_->setAccessibleName(tr("Another port by its device path"));
    auto* addButton = new QPushButton(tr("&Add port"), this);
    connect(addButton, &QPushButton::clicked, this, &SettingsDialog::addPortByName);
    // Enter adds the port and keeps the dialog open.
    extraPort_->installEventFilter(this);
    auto* extra = new QHBoxLayout;
    extra->addWidget(extraPort_, 1);
    extra->addWidget(addButton);

    const station::Plan& plan = settings.plan;
    baud_ = new QComboBox(this);
    for (int b : station::lineRates()) baud_->addItem(QString::number(b), b);
    baud_->setCurrentText(QString::number(plan.baud));
    family_ = new QComboBox(this);
    family_->addItems(station::familyNames());
    family_->setCurrentText(plan.receiver);
    start_ = new QComboBox(this);
    start_->addItems(station::startNames());
    start_->setCurrentText(plan.start);
    cycles_ = numberBox<QSpinBox>("cycles", plan, {}, this);
    confirmTimeout_ = numberBox<QSpinBox>("confirm_timeout_s", plan, tr(" s"), this);
    fixTimeout_ = numberBox<QSpinBox>("fix_timeout_s", plan, tr(" s"), this);
    maxTtff_ = numberBox<QDoubleSpinBox>("max_ttff_s", plan, tr(" s"), this);
    minSats_ = numberBox<QSpinBox>("min_sats", plan, {}, this);
    minCn0_ = numberBox<QDoubleSpinBox>("min_cn0", plan, tr(" dB-Hz"), this);
    // The signal test and the slots' calibrations.
    tests_ = new QComboBox(this);
    for (const char* tests : {"fix", "signal", "fix,signal"}) tests_->addItem(QLatin1String(tests));
    tests_->setCurrentText(plan.tests.join(','));
    cn0Sv_ = new QLineEdit(plan.cn0Sv, this);
    cn0Sv_->setPlaceholderText(tr("SYS:PRN, e.g. GPS:1"));
    cn0Samples_ = numberBox<QSpinBox>("cn0_samples", plan, tr(" s"), this);
    cn0Low_ = numberBox<QDoubleSpinBox>("cn0_low", plan, tr(" dB-Hz"), this);
    cn0High_ = numberBox<QDoubleSpinBox>("cn0_high", plan, tr(" dB-Hz"), this);
    maxAge_ = new QLineEdit(ageText(plan.calibrationMaxAgeS), this);
    maxAge_->setPlaceholderText(tr("90s, 30m, 24h"));
    maxOffset_ = numberBox<QDoubleSpinBox>("max_offset_db", plan, tr(" dB"), this);
    station_ = new QLineEdit(settings.station, this);
    station_->setPlaceholderText(QSysInfo::machineHostName());
    db_ = new QLineEdit(settings.db, this);
    db_->setPlaceholderText(results::defaultTarget().display());
    requireFields_ = new QCheckBox(tr("Lot and operator required before a slot starts"), this);
    requireFields_->setChecked(settings.requireLotAndOperator);

    // The fix test's settings and the station's on the left, the signal
    // test's and the calibrations' on the right.
    auto* form = new QFormLayout;
    auto* signalForm = new QFormLayout;
    auto row = [](QFormLayout* in, const QString& label, QWidget* field) {
        in->addRow(label, field);
        field->setAccessibleName(QString(label).remove('&'));
    };
    row(form, tr("&Baud rate"), baud_);
    row(form, tr("Receiver &family"), family_);
    row(form, tr("S&tart type"), start_);
    row(form, tr("&Cycles per unit"), cycles_);
    row(form, tr("Reset seen within"), confirmTimeout_);
    row(form, tr("Fix within"), fixTimeout_);
    row(form, tr("Maximum TTFF"), maxTtff_);
    row(form, tr("Minimum satellites"), minSats_);
    row(form, tr("Minimum C/N0 (four strongest)"), minCn0_);
    row(signalForm, tr("T&ests"), tests_);
    row(signalForm, tr("Generator's satellite"), cn0Sv_);
    row(signalForm, tr("Signal samples"), cn0Samples_);
    row(signalForm, tr("Signal C/N0 at least"), cn0Low_);
    row(signalForm, tr("Signal C/N0 at most"), cn0High_);
    row(signalForm, tr("Calibration usable for"), maxAge_);
    row(signalForm, tr("Largest calibration offset"), maxOffset_);
    row(signalForm, tr("&Station name"), station_);
    row(signalForm, tr("Results &database"), db_);
    signalForm->addRow(QString(), requireFields_);
    requireFields_->setAccessibleName(requireFields_->text());

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Slots: check a port for each test slot (1 to %1); drag to "
                                    "reorder.")
                                     .arg(kMaxSlots),
                                 this));
    ports_->setDragDropMode(QAbstractItemView::InternalMove);
    layout->addWidget(ports_, 1);
    layout->addLayout(extra);
    auto* forms = new QHBoxLayout;
    forms->addLayout(form, 1);
    forms->addSpacing(12);
    forms->addLayout(signalForm, 1);
    layout->addLayout(forms);
    layout->addWidget(buttons);
    resize(760, 560);
}

void SettingsDialog::addPortByName() {
    const QString path = extraPort_->text().trimmed();
    if (path.isEmpty()) return;
    QString error;
    if (!station::parsePortArg(path, 9600, &error)) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    addPortRow({path.section('@', 0, 0), tr("added by name"), {}, {}}, path, true);
    extraPort_->clear();
}

void SettingsDialog::addPortRow(const PortInfo& port, const QString& slot, bool checked) {
    auto* item = new QTreeWidgetItem(
        ports_, {port.device, {}, {}, port.description, port.usbSerial, port.stableName});
    QString error;
    const auto arg = station::parsePortArg(slot, 0, &error);
    item->setData(kPort, Qt::UserRole, slot.section('@', 0, 0));
    item->setData(kPort, kStartRole, arg ? arg->start : QString());
    item->setCheckState(kPort, checked ? Qt::Checked : Qt::Unchecked);
    auto* baud = new QComboBox(ports_);
    baud->addItem(tr("run's"), 0);
    for (int rate : station::lineRates()) baud->addItem(QString::number(rate), rate);
    baud->setCurrentIndex(std::max(0, baud->findData(arg ? arg->baud : 0)));
    baud->setAccessibleName(tr("Baud rate of %1").arg(port.device));
    auto* family = new QComboBox(ports_);
    family->addItem(tr("run's"), QString());
    for (const QString& name : station::familyNames()) family->addItem(name, name);
    family->setCurrentIndex(std::max(0, family->findData(arg ? arg->family : QString())));
    family->setAccessibleName(tr("Receiver family of %1").arg(port.device));
    ports_->setItemWidget(item, kBaud, baud);
    ports_->setItemWidget(item, kFamily, family);
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == extraPort_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            addPortByName();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

Settings SettingsDialog::settings() const {
    Settings s = base_;
    s.ports.clear();
    for (int i = 0; i < ports_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ports_->topLevelItem(i);
        if (item->checkState(kPort) != Qt::Checked) continue;
        // PORT[@[BAUD][,FAMILY[,START]]], as short as it can be.
        const int baud =
            static_cast<QComboBox*>(ports_->itemWidget(item, kBaud))->currentData().toInt();
        QStringList own = {
            baud ? QString::number(baud) : QString(),
            static_cast<QComboBox*>(ports_->itemWidget(item, kFamily))->currentData().toString(),
            item->data(kPort, kStartRole).toString()};
        while (!own.isEmpty() && own.back().isEmpty()) own.removeLast();
        const QString path = item->data(kPort, Qt::UserRole).toString();
        s.ports << (own.isEmpty() ? path : path + '@' + own.join(','));
    }
    s.plan.baud = baud_->currentData().toInt();
    s.plan.receiver = family_->currentText();
    s.plan.start = start_->currentText();
    const std::initializer_list<QAbstractSpinBox*> boxes = {
        cycles_, confirmTimeout_, fixTimeout_, maxTtff_, minSats_,
        minCn0_, cn0Samples_,     cn0Low_,     cn0High_, maxOffset_};
    for (QAbstractSpinBox* box : boxes) {
        const QByteArray key = box->property("setting").toByteArray();
        for (const station::NumberSetting& n : station::numberSettings()) {
            if (key != n.key) continue;
            const double value = box->property("value").toDouble();
            n.set(s.plan, n.limit && value <= n.low ? std::nullopt : std::optional(value));
        }
    }
    // The texts as the command line takes them; accept() names a mistake.
    QString ignored;
    station::setTests(s.plan, tests_->currentText(), &ignored);
    s.plan.cn0Sv.clear();
    if (!cn0Sv_->text().trimmed().isEmpty())
        station::setCn0Sv(s.plan, cn0Sv_->text().trimmed(), &ignored);
    station::setCalibrationMaxAge(s.plan, maxAge_->text().trimmed(), &ignored);
    s.requireLotAndOperator = requireFields_->isChecked();
    s.station = station_->text().trimmed();
    s.db = db_->text().trimmed();
    return s;
}

void SettingsDialog::accept() {
    const Settings s = settings();
    QString error;
    const bool slotsOk = !s.ports.isEmpty() && s.ports.size() <= kMaxSlots;
    if (!slotsOk)
        error = tr("Check 1 to %1 ports as slots (%2 checked).").arg(kMaxSlots).arg(s.ports.size());
    if (slotsOk && slotConfigs(s, &error) && !s.db.isEmpty() && !results::parseTarget(s.db, &error))
        error = tr("Results database: ") + error;
    station::Plan probe;
    const QString sv = cn0Sv_->text().trimmed();
    if (error.isEmpty() && !sv.isEmpty() && !station::setCn0Sv(probe, sv, &error))
        error = tr("Generator's satellite: ") + error;
    if (error.isEmpty() && !station::setCalibrationMaxAge(probe, maxAge_->text().trimmed(), &error))
        error = tr("Calibration usable for: ") + error;
    if (error.isEmpty()) station::PlanOptions().over(s.plan, &error);  // a signal test's satellite
    if (!error.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    QDialog::accept();
}

}  // namespace stationwin
