#include "stationwin/settingsdialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QSysInfo>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "results/target.h"
#include "station/portargs.h"

namespace stationwin {

namespace {

constexpr int kMaxSlots = 32;
const int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
const char* const kFamilies[] = {"sirf", "mtk", "airoha", "quectel-lg", "casic", "ublox"};
const char* const kStarts[] = {"cold", "warm", "hot", "factory"};

enum Column { kPort, kDescription, kUsbSerial, kStableName };

// A spin box whose lowest value means "no limit".
template <typename Box>
Box* limitBox(double high, QWidget* parent) {
    auto* box = new Box(parent);
    box->setRange(0, high);
    box->setSpecialValueText(QObject::tr("none"));
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
    ports_->setHeaderLabels({tr("Port"), tr("Description"), tr("USB serial"), tr("Stable name")});
    ports_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // The slots as kept first, in their order; then the other ports.
    QStringList listed;
    auto add = [this, &listed](const PortInfo& port, bool checked) {
        auto* item = new QTreeWidgetItem(
            ports_, {port.device, port.description, port.usbSerial, port.stableName});
        item->setData(kPort, Qt::UserRole, port.slotPort());
        item->setCheckState(kPort, checked ? Qt::Checked : Qt::Unchecked);
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
        add(kept, true);
        ports_->topLevelItem(ports_->topLevelItemCount() - 1)->setData(kPort, Qt::UserRole, slot);
    }
    for (const PortInfo& port : ports)
        if (!listed.contains(port.device)) add(port, false);

    extraPort_ = new QLineEdit(this);
    extraPort_->setPlaceholderText(tr("another device path, e.g. /dev/ttyACM0"));
    extraPort_->setAccessibleName(tr("Another port by its device path"));
    auto* addButton = new QPushButton(tr("&Add port"), this);
    connect(addButton, &QPushButton::clicked, this, &SettingsDialog::addPortByName);
    connect(extraPort_, &QLineEdit::returnPressed, this, &SettingsDialog::addPortByName);
    auto* extra = new QHBoxLayout;
    extra->addWidget(extraPort_, 1);
    extra->addWidget(addButton);

    baud_ = new QComboBox(this);
    for (int b : kBauds) baud_->addItem(QString::number(b), b);
    baud_->setCurrentText(QString::number(settings.baud));
    family_ = new QComboBox(this);
    for (const char* f : kFamilies) family_->addItem(QLatin1String(f));
    family_->setCurrentText(settings.family);
    start_ = new QComboBox(this);
    for (const char* s : kStarts) start_->addItem(QLatin1String(s));
    start_->setCurrentText(settings.start);
    cycles_ = new QSpinBox(this);
    cycles_->setRange(1, 100000);
    cycles_->setValue(settings.cycles);
    confirmTimeout_ = new QSpinBox(this);
    confirmTimeout_->setRange(1, 3600);
    confirmTimeout_->setSuffix(tr(" s"));
    confirmTimeout_->setValue(settings.confirmTimeoutS);
    fixTimeout_ = new QSpinBox(this);
    fixTimeout_->setRange(1, 86400);
    fixTimeout_->setSuffix(tr(" s"));
    fixTimeout_->setValue(settings.fixTimeoutS);
    maxTtff_ = limitBox<QDoubleSpinBox>(86400, this);
    maxTtff_->setSuffix(tr(" s"));
    maxTtff_->setValue(settings.limits.maxTtffS.value_or(0));
    minSats_ = limitBox<QSpinBox>(99, this);
    minSats_->setValue(settings.limits.minSats.value_or(0));
    minCn0_ = limitBox<QDoubleSpinBox>(99, this);
    minCn0_->setSuffix(tr(" dB-Hz"));
    minCn0_->setValue(settings.limits.minCn0.value_or(0));
    station_ = new QLineEdit(settings.station, this);
    station_->setPlaceholderText(QSysInfo::machineHostName());
    db_ = new QLineEdit(settings.db, this);
    db_->setPlaceholderText(results::defaultTarget().display());

    auto* form = new QFormLayout;
    auto row = [form](const QString& label, QWidget* field) {
        form->addRow(label, field);
        field->setAccessibleName(QString(label).remove('&'));
    };
    row(tr("&Baud rate"), baud_);
    row(tr("Receiver &family"), family_);
    row(tr("S&tart type"), start_);
    row(tr("&Cycles per unit"), cycles_);
    row(tr("Reset seen within"), confirmTimeout_);
    row(tr("Fix within"), fixTimeout_);
    row(tr("Maximum TTFF"), maxTtff_);
    row(tr("Minimum satellites"), minSats_);
    row(tr("Minimum C/N0 (four strongest)"), minCn0_);
    row(tr("&Station name"), station_);
    row(tr("Results &database"), db_);

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
    layout->addLayout(form);
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
    auto* item = new QTreeWidgetItem(ports_, {path, tr("added by name"), {}, {}});
    item->setData(kPort, Qt::UserRole, path);
    item->setCheckState(kPort, Qt::Checked);
    extraPort_->clear();
}

Settings SettingsDialog::settings() const {
    Settings s = base_;
    s.ports.clear();
    for (int i = 0; i < ports_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ports_->topLevelItem(i);
        if (item->checkState(kPort) == Qt::Checked)
            s.ports << item->data(kPort, Qt::UserRole).toString();
    }
    s.baud = baud_->currentData().toInt();
    s.family = family_->currentText();
    s.start = start_->currentText();
    s.cycles = cycles_->value();
    s.confirmTimeoutS = confirmTimeout_->value();
    s.fixTimeoutS = fixTimeout_->value();
    auto limit = [](double value) {
        return value > 0 ? std::optional<double>(value) : std::nullopt;
    };
    s.limits.maxTtffS = limit(maxTtff_->value());
    s.limits.minSats = minSats_->value() > 0 ? std::optional<int>(minSats_->value()) : std::nullopt;
    s.limits.minCn0 = limit(minCn0_->value());
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
    if (!error.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    QDialog::accept();
}

}  // namespace stationwin
