// `gps-coldstart-cli db`: the line's PostgreSQL database set up by its owner.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace cli {

// args are the arguments after "db"; returns the exit status.
int runDb(const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace cli
