// gps-coldstart-cli spc and alarms: the line's control charts.  "spc
// baseline" freezes the limits a slot's (or the station's) series is judged
// against from the points an engineer names, and again when asked (each kept
// with its date); "alarms clear" clears a slot's alarms, with who and why,
// so that a slot held on an alarm runs again.  See --help.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace cli {

// arguments: what follows "spc" or "alarms".  Returns the exit status: 0
// done, 2 a usage mistake (or too few points for a baseline), 3 the database
// could not be opened or written.
int runSpc(const QStringList& arguments, QTextStream& out, QTextStream& err);
int runAlarms(const QStringList& arguments, QTextStream& out, QTextStream& err);

}  // namespace cli
