// One test slot on the screen: its port, the unit's serial number, the
// status text as the cold-start window shows it, seconds in the current
// state, TTFF, the mean C/N0 of the four strongest satellites, and the
// verdict in words and colour.
//
// The serial field takes the keyboard: a scanner types the number and Enter
// into it, which asks for a run; Esc asks to stop.  The tile shows what its
// run reports only when refresh() is called, so the owner decides how often
// the screen changes however fast the receiver talks.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QLineEdit;
class QProgressBar;

namespace station {
class UnitRun;
}

namespace stationwin {

class SerialEdit;

class SlotTile : public QFrame {
    Q_OBJECT
public:
    SlotTile(int number, const QString& port, QWidget* parent = nullptr);

    int number() const { return number_; }
    QString serial() const;
    void setSerial(const QString& serial);
    QLineEdit* serialField() const;

    // Shows the run's state now; nullptr shows an idle slot.  A run that has
    // ended while its result is still being stored (storing) shows that in
    // place of its verdict.  Texts that did not change are left alone.
    void refresh(const station::UnitRun* run, bool storing = false);
    // Text changes refresh() made so far.
    qint64 textUpdates() const { return textUpdates_; }
    // The verdict in words, as shown.
    QString verdictShown() const;

signals:
    // Enter in the serial field, with the field's text.
    void startRequested(const QString& serial);
    void stopRequested();

private:
    void setText(QLabel* label, const QString& text);
    void setTone(int tone);

    int number_;
    QString port_;
    QLabel* title_;
    SerialEdit* serial_;
    QLabel* status_;
    QLabel* elapsed_;
    QLabel* ttff_;
    QProgressBar* cn0_;
    QLabel* verdict_;
    int tone_ = -1;
    qint64 textUpdates_ = 0;
    QString description_;
};

}  // namespace stationwin
