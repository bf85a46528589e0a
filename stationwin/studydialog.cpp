#include "stationwin/studydialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace stationwin {

StudyDialog::StudyDialog(int slotCount, QWidget* parent) : QDialog(parent), slots_(slotCount) {
    setWindowTitle(tr("Gauge study"));
    setAccessibleName(windowTitle());
    name_ = new QLineEdit(this);
    name_->setAccessibleName(tr("Study name"));
    units_ = new QPlainTextEdit(this);
    units_->setAccessibleName(tr("Units' serial numbers"));
    units_->setTabChangesFocus(true);
    units_->setPlaceholderText(tr("One serial number after another (scan or type)"));
    trials_ = new QSpinBox(this);
    trials_->setAccessibleName(tr("Trials"));
    trials_->setRange(2, 10);
    trials_->setValue(3);
    summary_ = new QLabel(this);
    summary_->setAccessibleName(tr("The study"));
    summary_->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(tr("Study &name"), name_);
    form->addRow(tr("&Units"), units_);
    form->addRow(tr("&Trials"), trials_);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons_->button(QDialogButtonBox::Ok)->setText(tr("&Start the study"));
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(name_, &QLineEdit::textChanged, this, &StudyDialog::check);
    connect(units_, &QPlainTextEdit::textChanged, this, &StudyDialog::check);
    connect(trials_, &QSpinBox::valueChanged, this, &StudyDialog::check);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(summary_);
    layout->addWidget(buttons_);
    check();
}

StudyPlan StudyDialog::plan() const {
    return {name_->text().trimmed(), studyUnits(units_->toPlainText()), slots_, trials_->value()};
}

void StudyDialog::check() {
    const StudyPlan p = plan();
    const QString problem = studyPlanProblem(p);
    const int runs = int(p.units.size()) * p.slotCount * p.trials;
    const QString text =
        !problem.isEmpty()
            ? problem
            : tr("%1 units × %2 slots × %3 trials: %4 runs in %5 rounds. Each unit goes into "
                 "every slot once in each trial; the window says which unit goes where.")
                  .arg(p.units.size())
                  .arg(p.slotCount)
                  .arg(p.trials)
                  .arg(runs)
                  .arg(studyRoundsPerTrial(p) * p.trials);
    summary_->setText(text);
    summary_->setAccessibleDescription(text);
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(problem.isEmpty());
}

}  // namespace stationwin
