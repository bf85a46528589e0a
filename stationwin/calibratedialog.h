// The question before the slots are calibrated: the golden unit's serial
// number and the C/N0 it is known to read of the generator's satellite,
// beside what the measurement runs with (the settings in force: the
// satellite, the seconds of samples, the time it may take to be seen and the
// largest offset a slot may have).
#pragma once

#include <QDialog>

#include "station/config.h"

class QDialogButtonBox;
class QDoubleSpinBox;
class QLineEdit;

namespace stationwin {

class CalibrateDialog : public QDialog {
    Q_OBJECT
public:
    // slot: any slot's configuration (they share the plan); slotCount: how many.
    CalibrateDialog(const station::UnitConfig& slot, int slotCount, QWidget* parent = nullptr);

    QString golden() const;
    double expected() const;
    QLineEdit* goldenField() const { return golden_; }
    QDoubleSpinBox* expectedField() const { return expected_; }
    QDialogButtonBox* buttons() const { return buttons_; }

private:
    QLineEdit* golden_;
    QDoubleSpinBox* expected_;
    QDialogButtonBox* buttons_;
};

}  // namespace stationwin
