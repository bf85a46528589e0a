// gps-coldstart-cli calibrate: every slot given measured with a golden unit,
// each slot's offset kept in the results database.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace cli {

// arguments: what follows "calibrate".  Returns the exit status: 0 when
// every slot was calibrated, 1 when one was not (offset-too-large,
// signal-not-seen), 2 for a usage mistake, 3 when the database cannot be
// opened or a calibration could not be kept, 130 when interrupted.  Runs
// Qt's event loop.
int runCalibrate(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace cli
