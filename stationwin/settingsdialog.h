// The settings dialog: which of the machine's serial ports are the slots, in
// what order, and the settings every run shares.
//
// Each port is listed with what the system knows of it: its description,
// the USB serial number, and the stable /dev/serial/by-id/... name where
// udev made one.  A chosen port is kept under that stable name, so a slot
// stays tied to its fixture position across reboots.
#pragma once

#include <QDialog>
#include <QString>
#include <utility>
#include <vector>

#include "stationwin/config.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTreeWidget;

namespace stationwin {

// One serial port as the system knows it.
struct PortInfo {
    QString device;       // /dev/ttyUSB0
    QString description;  // "CP2102 USB to UART Bridge Controller"
    QString usbSerial;    // the USB device's serial number
    QString stableName;   // /dev/serial/by-id/..., or empty

    // What a slot keeps: the stable name where there is one.
    QString slotPort() const { return stableName.isEmpty() ? device : stableName; }
};

// The machine's serial ports; byIdFolder holds udev's stable names.
std::vector<PortInfo> listPorts(const QString& byIdFolder = QStringLiteral("/dev/serial/by-id"));

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(const Settings& settings, std::vector<PortInfo> ports,
                   QWidget* parent = nullptr);

    // The settings as the dialog has them; valid once accepted.
    Settings settings() const;

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addPortByName();
    // A listed port with its own baud rate and family, each "" for the run's.
    void addPortRow(const PortInfo& port, const QString& slot, bool checked);

    Settings base_;
    QTreeWidget* ports_;
    QLineEdit* extraPort_;
    // The plan's settings the dialog offers, each with its field.
    std::vector<std::pair<const station::Setting*, QWidget*>> fields_;
    QLineEdit* station_;
    QLineEdit* db_;
    QString dbGiven_;  // the address as the settings had it, password and all
    QCheckBox* requireFields_;
};

}  // namespace stationwin
