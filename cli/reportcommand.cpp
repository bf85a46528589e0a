#include "cli/reportcommand.h"

#include <QCommandLineParser>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <tuple>

#include "results/report.h"
#include "results/store.h"
#include "station/config.h"

namespace cli {

int runReport(const QStringList& args, QTextStream& out, QTextStream& err) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Summarizes stored results: units tested and passed, first-pass yield, failures by "
        "reason, TTFF statistics, per station and overall."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral(
            "The results database: a SQLite file or postgresql://USER@HOST[:PORT]/DBNAME "
            "(default %1).")
            .arg(results::defaultTarget().path),
        QStringLiteral("DB"));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("Results started on or after DATE (YYYY-MM-DD, "
                                                  "UTC, or an ISO 8601 time)."),
                                   QStringLiteral("DATE"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("Results started on or before DATE (the whole "
                                                  "day for YYYY-MM-DD)."),
                                   QStringLiteral("DATE"));
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("Only this station."), QStringLiteral("NAME"));
    const QCommandLineOption lot(QStringLiteral("lot"), QStringLiteral("Only this lot."),
                                 QStringLiteral("NAME"));
    const QCommandLineOption unit(QStringLiteral("unit"), QStringLiteral("Only this serial."),
                                  QStringLiteral("SERIAL"));
    const QCommandLineOption csv(
        QStringLiteral("csv"),
        QStringLiteral("Write the matching results, one per row, to FILE (- for standard output)."),
        QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the summary as one JSON object."));
    p.addOptions({help, db, since, until, station, lot, unit, csv, json});

    const QString name = QStringLiteral("gps-coldstart-cli report");
    if (!p.parse(QStringList{name} + args)) {
        err << name << ": " << p.errorText() << '\n';
        return station::kUsage;
    }
    if (p.isSet(help)) {
        out << p.helpText().replace(QStringLiteral("[options]"),
                                    QStringLiteral("report [options]"));
        return station::kOk;
    }
    auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return station::kUsage;
    };
    if (!p.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments()[0]));
    if (p.isSet(csv) && p.isSet(json))
        return usage(QStringLiteral("give --csv or --json, not both"));

    results::Filter filter;
    for (auto [option, upper, field] : {std::tuple{&since, false, &filter.since},
                                        std::tuple{&until, true, &filter.untilBefore}}) {
        if (!p.isSet(*option)) continue;
        const auto bound = results::parseBound(p.value(*option), upper);
        if (!bound) {
            return usage(
                QStringLiteral("--%1 \"%2\" is not a date (YYYY-MM-DD) or an ISO 8601 time")
                    .arg(option->names().constFirst(), p.value(*option)));
        }
        *field = *bound;
    }
    if (!filter.since.isEmpty() && !filter.untilBefore.isEmpty() &&
        filter.since >= filter.untilBefore)
        return usage(QStringLiteral("--since is after --until"));
    filter.station = p.value(station);
    filter.lot = p.value(lot);
    filter.unit = p.value(unit);

    results::Target target = results::defaultTarget();
    if (p.isSet(db)) {
        QString why;
        const auto parsed = results::parseTarget(p.value(db), &why);
        if (!parsed) return usage(why);
        target = *parsed;
    }
    QString why;
    results::Store::Options options;
    options.create = false;
    const auto store = results::Store::open(target, &why, options, [&](const QString& text) {
        err << "gps-coldstart: " << text << '\n';
    });
    if (!store) {
        err << name << ": " << why << '\n';
        return station::kStationFault;
    }

    if (p.isSet(csv)) {
        const QString path = p.value(csv);
        if (path == QLatin1String("-")) {
            out.flush();
            QFile stdoutFile;
            if (!stdoutFile.open(stdout, QIODevice::WriteOnly) ||
                !results::writeCsv(store->database(), filter, stdoutFile, &why)) {
                err << name << ": cannot write the CSV: " << why << '\n';
                return station::kStationFault;
            }
            return station::kOk;
        }
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            err << name << ": cannot write " << path << ": " << file.errorString() << '\n';
            return station::kStationFault;
        }
        if (!results::writeCsv(store->database(), filter, file, &why) || !file.commit()) {
            err << name << ": cannot write " << path << ": "
                << (why.isEmpty() ? file.errorString() : why) << '\n';
            return station::kStationFault;
        }
        return station::kOk;
    }

    const auto summary = results::summarize(store->database(), filter, &why);
    if (!summary) {
        err << name << ": " << target.display() << ": " << why << '\n';
        return station::kStationFault;
    }
    if (p.isSet(json)) {
        QJsonObject o = results::summaryJson(*summary);
        o.insert(QStringLiteral("database"), target.display());
        out << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
    } else {
        out << "Results in " << target.display() << '\n';
        results::printSummary(*summary, out);
    }
    return station::kOk;
}

}  // namespace cli
