#include "cli/verb.h"

#include "station/config.h"

namespace cli {

std::optional<int> parseVerb(QCommandLineParser& p, const QString& name, const QString& verb,
                             const QCommandLineOption& help, const QStringList& args,
                             QTextStream& out, QTextStream& err) {
    p.addPositionalArgument(verb, QStringLiteral("What to do: %1.").arg(verb));
    if (!p.parse(QStringList{name} + args)) {
        err << name << ": " << p.errorText() << '\n';
        return station::kUsage;
    }
    if (p.isSet(help)) {
        out << station::helpText(p, name);
        return station::kOk;
    }
    const QStringList given = p.positionalArguments();
    if (given == QStringList{verb}) return std::nullopt;
    err << name << ": "
        << (given.isEmpty()
                ? QStringLiteral("name what to do: %1").arg(verb)
                : QStringLiteral("unknown command \"%1\"; known: %2").arg(given.join(' '), verb))
        << '\n';
    return station::kUsage;
}

}  // namespace cli
