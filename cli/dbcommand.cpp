#include "cli/dbcommand.h"

#include <QCommandLineParser>

#include "cli/verb.h"
#include "results/roles.h"
#include "results/store.h"
#include "station/config.h"

namespace cli {

int runDb(const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString name = QStringLiteral("gps-coldstart-cli db");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Sets up a line's PostgreSQL database.  grant, given the owner's address,\n"
        "migrates the schema to this program's version, then gives a station role the\n"
        "right to add results and keep the summaries, never to change or delete a\n"
        "stored result, and a report role the right to read.  A role that does not\n"
        "exist is created NOLOGIN: make each station's and reader's login role a\n"
        "member of it.  Run it again after a newer program has migrated the schema.\n"
        "\n"
        "Exit status:\n"
        "  0    the roles have their privileges\n"
        "  2    usage mistake\n"
        "  3    the database could not be opened or migrated, or a role not made"));
    const QCommandLineOption help(QStringList{"h", "help"}, QStringLiteral("Show this help."));
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral("The database, as its owner: postgresql://OWNER@HOST[:PORT]/DBNAME[?...]."),
        QStringLiteral("URI"));
    const QCommandLineOption station(QStringLiteral("station-role"),
                                     QStringLiteral("The stations' role (default gps_station)."),
                                     QStringLiteral("ROLE"), QStringLiteral("gps_station"));
    const QCommandLineOption report(QStringLiteral("report-role"),
                                    QStringLiteral("The readers' role (default gps_report)."),
                                    QStringLiteral("ROLE"), QStringLiteral("gps_report"));
    p.addOptions({help, db, station, report});
    if (const auto answered = parseVerb(p, name, QStringLiteral("grant"), help, args, out, err))
        return *answered;
    auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return station::kUsage;
    };
    if (!p.isSet(db)) return usage(QStringLiteral("--db names the server's database"));
    QString why;
    const auto target = results::parseTarget(p.value(db), &why);
    if (!target) return usage(why);
    if (target->engine != results::Target::Engine::Postgres)
        return usage(QStringLiteral("--db %1: roles are a PostgreSQL server's; a SQLite file "
                                    "has none")
                         .arg(target->display()));
    const results::Grant grant{p.value(station), p.value(report)};
    for (const QString& role : {grant.station, grant.report})
        if (const QString bad = results::checkRoleName(role); !bad.isEmpty()) return usage(bad);

    const auto store =
        results::Store::open(*target, &why, results::Store::Options(),
                             [&](const QString& text) { err << name << ": " << text << Qt::endl; });
    if (!store) {
        err << name << ": " << why << '\n';
        return station::kStationFault;
    }
    QStringList notes;
    if (!results::grantRoles(store->database(), grant, &notes, &why)) {
        err << name << ": " << target->display() << ": " << why << '\n';
        return station::kStationFault;
    }
    out << QStringLiteral(
               "%1: schema version %2; station role \"%3\" may add results, report "
               "role \"%4\" may read\n")
               .arg(target->display())
               .arg(store->schemaVersion())
               .arg(grant.station, grant.report);
    for (const QString& note : notes) err << name << ": note: " << note << '\n';
    return station::kOk;
}

}  // namespace cli
