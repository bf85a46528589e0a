// The one verb a maintenance command takes ("db grant", "spc baseline",
// "alarms clear"), parsed with the command's options.
#pragma once

#include <QCommandLineParser>
#include <QTextStream>
#include <optional>

namespace cli {

// Parses args (what follows the command's name) for the one verb.  Returns
// the exit status where parsing has already answered: a mistake in the
// options, no verb or another one (2, said on err), or --help (0, the help
// on out); nothing when the command is to run.
std::optional<int> parseVerb(QCommandLineParser& parser, const QString& name, const QString& verb,
                             const QCommandLineOption& help, const QStringList& args,
                             QTextStream& out, QTextStream& err);

}  // namespace cli
