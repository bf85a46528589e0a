// `gps-coldstart-cli deliver`: what waits for the line delivered without
// testing a unit, e.g. once the line's system is back and no station runs.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace cli {

// args are the arguments after "deliver"; returns the exit status.  Runs
// Qt's event loop.
int runDeliver(const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace cli
