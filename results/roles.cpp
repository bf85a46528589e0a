#include "results/roles.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace results {

namespace {

QString identifier(const QString& name) {
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

const QStringList& keptTables() {
    static const QStringList tables{QStringLiteral("results"), QStringLiteral("calibrations"),
                                    QStringLiteral("struck_runs"), QStringLiteral("limit_results"),
                                    QStringLiteral("spc_baselines")};
    return tables;
}

QString checkRoleName(const QString& name) {
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z_][A-Za-z0-9_$]*$"));
    if (name.isEmpty()) return QStringLiteral("the role name is empty");
    if (!valid.match(name).hasMatch())
        return QStringLiteral(
                   "role \"%1\" is not a letter or _ followed by letters, digits, _ or $")
            .arg(name);
    if (name.size() > 63)
        return QStringLiteral("role \"%1\" is longer than 63 characters").arg(name);
    if (name.startsWith(QLatin1String("pg_"), Qt::CaseInsensitive))
        return QStringLiteral("role \"%1\": names starting with pg_ are the server's").arg(name);
    return {};
}

bool grantRoles(QSqlDatabase db, const Grant& grant, QStringList* notes, QString* error) {
    QSqlQuery q(db);
    const auto run = [&](const QString& sql) {
        if (q.exec(sql)) return true;
        *error = QStringLiteral("%1 (in: %2)").arg(q.lastError().databaseText().trimmed(), sql);
        return false;
    };
    if (!run(QStringLiteral("SELECT current_schema(), current_user")) || !q.next()) return false;
    const QString schema = identifier(q.value(0).toString());
    const QString owner = q.value(1).toString();
    q.finish();
    for (const QString& role : {grant.station, grant.report}) {
        if (const QString why = checkRoleName(role); !why.isEmpty()) {
            *error = why;
            return false;
        }
        // The owner's own privileges are never revoked: it would lose them.
        if (role == owner) {
            *error = QStringLiteral(
                         "role \"%1\" is the database's owner, which migrates; name another "
                         "role")
                         .arg(role);
            return false;
        }
    }
    if (grant.station == grant.report) {
        *error = QStringLiteral("the station and the report role are both \"%1\"; they differ")
                     .arg(grant.station);
        return false;
    }
    const QString station = identifier(grant.station), report = identifier(grant.report);
    if (!run(QStringLiteral("BEGIN"))) return false;
    const auto failed = [&] {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    for (const QString& role : {grant.station, grant.report}) {
        q.prepare(QStringLiteral("SELECT 1 FROM pg_roles WHERE rolname = ?"));
        q.addBindValue(role);
        if (!q.exec()) {
            *error = q.lastError().databaseText().trimmed();
            return failed();
        }
        const bool exists = q.next();
        q.finish();
        if (!exists && !run(QStringLiteral("CREATE ROLE %1 NOLOGIN").arg(identifier(role)))) {
            *error = QStringLiteral(
                         "cannot create role \"%1\": %2; create it as a superuser, or name an "
                         "existing role")
                         .arg(role, q.lastError().databaseText().trimmed());
            return failed();
        }
    }
    QStringList statements{
        // From nothing, so that running it again takes back what no longer holds.
        QStringLiteral("REVOKE ALL ON ALL TABLES IN SCHEMA {schema} FROM {station}, {report}"),
        QStringLiteral("REVOKE ALL ON ALL SEQUENCES IN SCHEMA {schema} FROM {station}, {report}"),
        QStringLiteral("GRANT USAGE ON SCHEMA {schema} TO {station}, {report}"),
        QStringLiteral("GRANT SELECT ON ALL TABLES IN SCHEMA {schema} TO {report}"),
        QStringLiteral(
            "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA {schema} TO {station}"),
        // The schema's version is the owner's to write.
        QStringLiteral("REVOKE INSERT, UPDATE, DELETE ON TABLE schema_version FROM {station}"),
        QStringLiteral("GRANT USAGE ON ALL SEQUENCES IN SCHEMA {schema} TO {station}"),
        // The tables of the owner's later migrations.
        QStringLiteral(
            "ALTER DEFAULT PRIVILEGES IN SCHEMA {schema} GRANT SELECT ON TABLES TO {report}"),
        QStringLiteral("ALTER DEFAULT PRIVILEGES IN SCHEMA {schema}"
                       " GRANT SELECT, INSERT, UPDATE, DELETE ON TABLES TO {station}"),
        QStringLiteral(
            "ALTER DEFAULT PRIVILEGES IN SCHEMA {schema} GRANT USAGE ON SEQUENCES TO {station}"),
    };
    for (QString statement : statements) {
        statement.replace(QLatin1String("{schema}"), schema)
            .replace(QLatin1String("{station}"), station)
            .replace(QLatin1String("{report}"), report);
        if (!run(statement)) return failed();
    }
    for (const QString& table : keptTables()) {
        if (!run(QStringLiteral("REVOKE UPDATE, DELETE, TRUNCATE ON TABLE %1 FROM %2")
                     .arg(identifier(table), station)))
            return failed();
    }
    // Evidence retention marks a result whose bytes it removed: that column
    // alone, which says nothing of the unit's test.
    if (!run(QStringLiteral("GRANT UPDATE (evidence_removed) ON TABLE results TO %1").arg(station)))
        return failed();
    if (!run(QStringLiteral("COMMIT"))) return failed();

    // Privileges granted to PUBLIC reach every role; say so rather than
    // change what other programs on the server rely on.
    q.prepare(QStringLiteral("SELECT has_schema_privilege(?, current_schema(), 'CREATE')"));
    q.addBindValue(grant.station);
    if (q.exec() && q.next() && q.value(0).toBool() && notes) {
        *notes << QStringLiteral(
                      "every role may create tables in the schema (granted to PUBLIC); "
                      "REVOKE CREATE ON SCHEMA %1 FROM PUBLIC keeps the station from it")
                      .arg(schema);
    }
    return true;
}

}  // namespace results
