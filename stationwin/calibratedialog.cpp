#include "stationwin/calibratedialog.h"

#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace stationwin {

CalibrateDialog::CalibrateDialog(const station::UnitConfig& slot, int slotCount, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Calibrate the slots"));
    setAccessibleName(windowTitle());
    golden_ = new QLineEdit(this);
    golden_->setAccessibleName(tr("Golden unit's serial number"));
    expected_ = new QDoubleSpinBox(this);
    expected_->setAccessibleName(tr("Expected C/N0"));
    // A C/N0 in dB-Hz as the plan's C/N0 limits take it.
    const station::Setting& cn0 = station::setting("cn0_high");
    expected_->setRange(cn0.low, cn0.high);
    expected_->setDecimals(1);
    expected_->setSuffix(tr(" dB-Hz"));
    // No value is offered: a wrong one would shift every slot.
    expected_->setSpecialValueText(tr("the golden unit's known reading"));
    expected_->setValue(expected_->minimum());
    auto* what = new QLabel(
        tr("The golden unit is measured in each of the %1 slots at once: %2 seconds of the C/N0 "
           "of the generator's satellite %3 once it is seen, within %4 s.  Each slot keeps the "
           "expected C/N0 less what it measured as its offset; an offset beyond %5 dB leaves the "
           "slot out of use until it is calibrated again.")
            .arg(slotCount)
            .arg(slot.cn0Samples)
            .arg(slot.cn0Sv)
            .arg(slot.fixTimeoutS)
            .arg(slot.maxOffsetDb),
        this);
    what->setWordWrap(true);
    what->setAccessibleName(tr("How the slots are measured"));
    auto* form = new QFormLayout;
    form->addRow(tr("&Golden unit's serial number"), golden_);
    form->addRow(tr("&Expected C/N0"), expected_);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons_->button(QDialogButtonBox::Ok)->setText(tr("&Calibrate"));
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(false);
    auto ready = [this] {
        buttons_->button(QDialogButtonBox::Ok)
            ->setEnabled(!golden().isEmpty() && expected_->value() > expected_->minimum());
    };
    connect(golden_, &QLineEdit::textChanged, this, ready);
    connect(expected_, &QDoubleSpinBox::valueChanged, this, ready);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(what);
    layout->addLayout(form);
    layout->addWidget(buttons_);
}

QString CalibrateDialog::golden() const {
    return golden_->text().trimmed();
}

double CalibrateDialog::expected() const {
    return expected_->value();
}

}  // namespace stationwin
