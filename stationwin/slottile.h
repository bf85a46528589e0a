// One test slot on the screen, readable from two metres: the slot number and
// its port (elided in the middle, so the distinguishing tail of a
// /dev/serial/by-id/... name stays; the whole name in the tooltip), the
// unit's serial number, where the run stands in a large font and how long
// it has stood there, each satellite's C/N0 as a bar named under it against
// the limit, the TTFF, satellites and HDOP once there is a fix, and the
// verdict in large letters and colour (a pass whose reset was not proven
// says so beside it).  A unit tested again in its lot says
// "Retest" beside its serial number.  Fonts follow the tile's size.
//
// The serial field takes the keyboard: a scanner types the number and Enter
// into it.  A scan is a whole line: the field is selected whole whenever the
// slot finishes or takes the focus, so the next scan replaces the last, and
// only a serial scanned since the slot last started asks for a run.  Esc
// asks to stop.  The tile shows what its run reports only when refresh() is
// called, so the owner decides how often the screen changes however fast the
// receiver talks.
#pragma once

#include <QFont>
#include <QFrame>
#include <QRect>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace station {
class UnitRun;
struct CalibrationOutcome;
}  // namespace station

namespace stationwin {

class SerialEdit;
class ElidedLabel;

// A satellite's name as a bar shows it: the system's letter and its number
// within the system, two digits (G12 GPS, R05 GLONASS, E11 Galileo, C21
// BeiDou, J02 QZSS, I03 NavIC, S23 SBAS), whatever range the receiver sent
// the number in.
QString satelliteName(const QString& system, int prn);

// Each satellite's C/N0 as a bar in dB-Hz, on a scale, with a limit line and
// the satellite's name under each bar.  Without satellites nothing at all is
// drawn: no sky, no chart.
class Cn0Chart : public QWidget {
public:
    explicit Cn0Chart(QWidget* parent = nullptr);
    // Satellites (name, dB-Hz); the limit drawn as a line when set.
    void setValues(std::vector<std::pair<QString, int>> values, std::optional<double> limit);
    const std::vector<std::pair<QString, int>>& values() const { return values_; }

    // Where the names go at the chart's size: their font, whether they are
    // turned to run upwards, and the room each takes.
    struct Names {
        QFont font;
        bool turned = false;
        std::vector<QRect> rects;
    };
    Names names() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The bars' area: the chart less the scale on the left and the names under it.
    QRect plotRect(const Names& names) const;

    std::vector<std::pair<QString, int>> values_;
    std::optional<double> limit_;
};

class SlotTile : public QFrame {
    Q_OBJECT
public:
    SlotTile(int number, const QString& port, const QString& device, QWidget* parent = nullptr);

    int number() const { return number_; }
    QString serial() const;
    void setSerial(const QString& serial);
    QLineEdit* serialField() const;
    // A serial number was scanned (typed) since the slot last started.
    bool freshScan() const { return fresh_; }
    // The run started for the scanned serial: the next start needs a new
    // scan, and nothing of the last unit stays.
    void markStarted();

    // Shows the run's state now; nullptr shows an idle slot.  A run that has
    // ended while its result is still being stored (storing) shows that in
    // place of its verdict.  Texts that did not change are left alone.
    void refresh(const station::UnitRun* run, bool storing = false);
    // Shows what calibrating the slot came to, in place of a run: the result,
    // the offset, what the golden unit measured and any drift; stopped: the
    // calibration was interrupted.
    void showCalibration(const station::CalibrationOutcome& outcome, bool stopped);
    // Text changes refresh() made so far.
    qint64 textUpdates() const { return textUpdates_; }
    // The verdict in words, as shown.
    QString verdictShown() const;
    // The unit under test is a retest: it already had a result in its lot,
    // as the results database decided when it kept the run's first result.
    // Cleared when the next unit starts; the accessible description says it
    // from the next refresh().
    void setRetest(bool retest);
    bool retestShown() const;
    // The line's system asks for the unit under test again (its delivery
    // answered "re-run"): the tile says so under the stage until the next
    // unit starts, and its serial field waits for the scan.
    void askAgain(const QString& notice);
    // The alarms the slot's last result raised on its control charts, one a
    // line ("ALARM ttff we2: two of three beyond 2 sigma on one side"),
    // shown until the next result replaces them; none: hidden.
    void showAlarms(const QStringList& alarms);
    QString alarmsShown() const;
    QString askedAgain() const { return lineNote_; }
    // The Log button, shown while a failed unit's bytes are at hand.
    QPushButton* logButton() const { return log_; }
    const Cn0Chart* chart() const { return chart_; }

signals:
    // Enter in the serial field with a fresh, non-empty scan.
    void startRequested(const QString& serial);
    void stopRequested();
    // The Log button of a failed unit: its bytes of the last test wanted.
    void logRequested();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void setText(QLabel* label, const QString& text);
    void setTone(int tone);
    void fitVerdict();

    int number_;
    QString port_, device_;
    bool fresh_ = false;
    bool wasDone_ = false;
    const station::UnitRun* shown_ = nullptr;
    ElidedLabel* title_;
    SerialEdit* serial_;
    QLabel* retest_;
    QLabel* alarm_;
    QLabel* stage_;
    QLabel* elapsed_;
    Cn0Chart* chart_;
    ElidedLabel* fix_;
    QLabel* verdict_;
    QPushButton* log_;
    int tone_ = -1;
    qint64 textUpdates_ = 0;
    QString description_;
    QString lineNote_;
};

}  // namespace stationwin
