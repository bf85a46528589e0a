// The question before a guided gauge study: its name, the units' serial
// numbers (typed or scanned, one after another) and the trials; the slots are
// the window's.  What the study comes to (units × slots × trials, in how many
// rounds) is said as it is filled in, and a mistake is named in place of it,
// with Start refused until there is none.
#pragma once

#include <QDialog>

#include "stationwin/studyplan.h"

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

namespace stationwin {

class StudyDialog : public QDialog {
    Q_OBJECT
public:
    StudyDialog(int slotCount, QWidget* parent = nullptr);

    StudyPlan plan() const;
    QLineEdit* nameField() const { return name_; }
    QPlainTextEdit* unitsField() const { return units_; }
    QSpinBox* trialsField() const { return trials_; }
    QLabel* summary() const { return summary_; }
    QDialogButtonBox* buttons() const { return buttons_; }

private:
    void check();

    int slots_;
    QLineEdit* name_;
    QPlainTextEdit* units_;
    QSpinBox* trials_;
    QLabel* summary_;
    QDialogButtonBox* buttons_;
};

}  // namespace stationwin
