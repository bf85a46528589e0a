// `gps-coldstart-cli report`: the line's questions over the stored results,
// on the command line.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace cli {

// args are the arguments after "report"; returns the exit status.
int runReport(const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace cli
