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
#include <QPlainTextEdit>
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

// A setting's field in the dialog, holding its value in the plan.
QWidget* fieldFor(const station::Setting& s, const station::Plan& plan, QWidget* parent) {
    const QString value = s.print(plan);
    switch (s.kind) {
        case station::Kind::Number: {
            QAbstractSpinBox* box;
            if (s.whole()) {
                auto* spin = new QSpinBox(parent);
                spin->setRange(int(s.low), int(s.high));
                box = spin;
            } else {
                auto* spin = new QDoubleSpinBox(parent);
                spin->setRange(s.low, s.high);
                box = spin;
            }
            // A limit's lowest value means "none".
            if (s.limit()) box->setSpecialValueText(QObject::tr("none"));
            if (*s.unit) box->setProperty("suffix", QLatin1Char(' ') + QLatin1String(s.unit));
            box->setProperty("value", s.number(plan).value_or(s.low));
            return box;
        }
        case station::Kind::Rate:
        case station::Kind::Name:
        case station::Kind::List: {
            auto* box = new QComboBox(parent);
            if (s.kind == station::Kind::Rate)
                for (int rate : station::lineRates()) box->addItem(QString::number(rate));
            else
                box->addItems(s.choices());
            if (s.takesAuto || s.kind == station::Kind::Rate) box->addItem(station::kAuto);
            box->setCurrentText(value);
            return box;
        }
        case station::Kind::Age:
        case station::Kind::Text:
        case station::Kind::Flag: {
            if (s.repeats()) {  // one a line
                auto* field = new QPlainTextEdit(value, parent);
                field->setPlaceholderText(QLatin1String(s.hint));
                field->setTabChangesFocus(true);
                field->setFixedHeight(field->fontMetrics().lineSpacing() * 3 + 12);
                return field;
            }
            auto* field = new QLineEdit(value, parent);
            field->setPlaceholderText(QLatin1String(s.hint));
            return field;
        }
    }
    return nullptr;
}

// Sets a setting from its field: its default for a limit at "none" or an
// empty text whose default is none.
bool setFrom(const station::Setting& s, QWidget* field, station::Plan& plan, QString* why) {
    if (s.kind == station::Kind::Number) {  // in range: the box keeps it there
        const double value = field->property("value").toDouble();
        if (s.limit() && value <= s.low)
            s.reset(plan);
        else
            s.setNumber(plan, value);
        return true;
    }
    const auto* box = qobject_cast<QComboBox*>(field);
    const auto* lines = qobject_cast<QPlainTextEdit*>(field);
    const QString text = box     ? box->currentText()
                         : lines ? lines->toPlainText().trimmed()
                                 : static_cast<QLineEdit*>(field)->text().trimmed();
    if (text.isEmpty() && s.print(station::PlanSettings()).isEmpty()) {
        s.reset(plan);
        return true;
    }
    return s.parse(plan, text, why);
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

    station_ = new QLineEdit(settings.station, this);
    station_->setPlaceholderText(QSysInfo::machineHostName());
    // A password in the address is not shown: the field keeps it while its
    // masked text is left as it is.
    dbGiven_ = settings.db;
    db_ = new QLineEdit(results::redactedAddress(settings.db), this);
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
    for (const station::Setting& setting : station::settings()) {
        if (!setting.offers(station::kDialog)) continue;
        QWidget* field = fieldFor(setting, settings.plan, this);
        fields_.emplace_back(&setting, field);
        row(setting.column == 0 ? form : signalForm, tr(setting.label), field);
    }
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
    // A mistake keeps the value as it was; accept() names it.
    for (const auto& [setting, field] : fields_) {
        QString ignored;
        station::Plan value = s.plan;
        if (setFrom(*setting, field, value, &ignored)) s.plan = value;
    }
    s.requireLotAndOperator = requireFields_->isChecked();
    s.station = station_->text().trimmed();
    s.db = db_->text().trimmed();
    if (s.db == results::redactedAddress(dbGiven_).trimmed()) s.db = dbGiven_.trimmed();
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
    for (const auto& [setting, field] : fields_) {
        station::Plan probe;
        if (error.isEmpty() && !setFrom(*setting, field, probe, &error))
            error = tr(setting->label).remove('&') + QLatin1String(": ") + error;
    }
    if (error.isEmpty()) station::PlanOptions().over(s.plan, &error);  // a signal test's satellite
    if (!error.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    QDialog::accept();
}

}  // namespace stationwin
