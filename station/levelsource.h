// The RF level that feeds the slots' antenna ports.  One source feeds every
// slot through a splitter, so the slots step it together: a level is set
// once for all of them and held while any slot dwells on it.
//
// The real source is a signal generator driven over SCPI (instrument/); a
// test hands in its own.  Whatever goes wrong with the instrument is the
// station's fault, never a unit's: fault() names the instrument and what it
// said, and the output is switched off.
#pragma once

#include <QObject>
#include <QString>

namespace station {

class LevelSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~LevelSource() override = default;

    // Connects and prepares the instrument (its identity, the scenario, the
    // output off).  Ends in ready() or fault().
    virtual void open() = 0;
    // The level in dBm at the instrument's output, with the output on.  Ends
    // in levelSet() once the instrument has finished the setting and its
    // error queue is empty, or in fault().
    virtual void setLevel(double dBm) = 0;
    // Switches the output off; safe at any moment, after a fault too.  Ends
    // in switchedOff() (also when the instrument could not be reached: the
    // attempt is what can be made).
    virtual void switchOff() = 0;
    // The instrument's own identity (its *IDN? answer); empty before ready().
    virtual QString identity() const = 0;

signals:
    void ready();
    void levelSet(double dBm);
    void switchedOff();
    void fault(const QString& message);
};

}  // namespace station
