#include "cli/spccommand.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "cli/verb.h"
#include "results/report.h"
#include "results/store.h"
#include "station/config.h"

namespace cli {

namespace {

QString seriesIds() {
    QStringList ids;
    for (const results::spc::SeriesRow& r : results::spc::kSeries) ids << QLatin1String(r.id);
    return ids.join(QStringLiteral(", "));
}

// The store of --db (the default database without it), opened as it is.
std::unique_ptr<results::Store> openStore(const QCommandLineParser& p, const QCommandLineOption& db,
                                          const QString& name, QTextStream& err, int* status) {
    results::Target target = results::defaultTarget();
    QString why;
    if (p.isSet(db)) {
        const auto parsed = results::parseTarget(p.value(db), &why);
        if (!parsed) {
            err << name << ": " << why << '\n';
            *status = station::kUsage;
            return nullptr;
        }
        target = *parsed;
    }
    results::Store::Options options;
    options.create = false;
    auto store = results::Store::open(target, &why, options, [&](const QString& text) {
        err << "gps-coldstart: " << text << Qt::endl;
    });
    if (!store) {
        err << name << ": " << why << '\n';
        *status = station::kStationFault;
    }
    return store;
}

QCommandLineOption dbOption() {
    return {QStringLiteral("db"),
            QStringLiteral("The results database: a SQLite file or postgresql://... (default: "
                           "the station's)."),
            QStringLiteral("PATH|URI")};
}

QString figure(double v) {
    return QString::number(v, 'f', 3);
}

}  // namespace

int runSpc(const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString name = QStringLiteral("gps-coldstart-cli spc");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Freezes the limits a series of a slot (or of the whole station, without\n"
        "--slot) is judged against, from the points of a baseline the engineer names:\n"
        "the results started in --from..--to or of the lots --lot names (ttff, yield),\n"
        "or the calibrations of --from..--to (offset).  Every result and calibration\n"
        "kept after it is judged by the charts of its series, and each rule broken\n"
        "raises an alarm (report --alarms).  Freezing again recomputes the limits: the\n"
        "new baseline is in force from then on, and every earlier one is kept with its\n"
        "date.  Prints the baseline's figures (JSON with --json).\n"
        "\n"
        "Series: ttff, offset, yield.\n"
        "\n"
        "Exit status:\n"
        "  0    the baseline is frozen\n"
        "  2    usage mistake, or too few points in the baseline named (for yield,\n"
        "       units of which none, or all, failed)\n"
        "  3    the database could not be opened or written"));
    const QCommandLineOption help(QStringList{"h", "help"}, QStringLiteral("Show this help."));
    const QCommandLineOption db = dbOption();
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("The station's name, as its results have it."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption slot(QStringLiteral("slot"),
                                  QStringLiteral("The slot's port, as the run was given it; "
                                                 "none: the whole station."),
                                  QStringLiteral("PORT"));
    const QCommandLineOption series(
        QStringLiteral("series"),
        QStringLiteral("What is charted: ") + seriesIds() + QStringLiteral("."),
        QStringLiteral("SERIES"));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("The baseline's first time (a date or ISO 8601)."),
                                  QStringLiteral("TIME"));
    const QCommandLineOption to(QStringLiteral("to"),
                                QStringLiteral("The baseline's last time (a date: all of it)."),
                                QStringLiteral("TIME"));
    const QCommandLineOption lot(QStringLiteral("lot"),
                                 QStringLiteral("A lot of the baseline (repeatable)."),
                                 QStringLiteral("LOT"));
    const QCommandLineOption by(QStringLiteral("by"),
                                QStringLiteral("Who freezes it (kept with it)."),
                                QStringLiteral("NAME"));
    const QCommandLineOption why(QStringLiteral("why"), QStringLiteral("Why (kept with it)."),
                                 QStringLiteral("TEXT"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print JSON."));
    p.addOptions({help, db, station, slot, series, from, to, lot, by, why, json});
    if (const auto answered = parseVerb(p, name, QStringLiteral("baseline"), help, args, out, err))
        return *answered;
    auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return station::kUsage;
    };
    results::BaselineRequest request;
    const auto* row = results::spc::seriesById(p.value(series).toStdString());
    if (!row)
        return usage(p.isSet(series)
                         ? QStringLiteral("--series \"%1\" is not one of %2")
                               .arg(p.value(series), seriesIds())
                         : QStringLiteral("--series names what is charted: ") + seriesIds());
    request.series = row->series;
    request.station = p.value(station);
    if (request.station.isEmpty()) return usage(QStringLiteral("--station names the station"));
    request.port = p.value(slot);
    request.lots = p.values(lot);
    request.by = p.value(by).trimmed();
    request.why = p.value(why).trimmed();
    if (request.by.isEmpty())
        return usage(QStringLiteral("--by NAME: who freezes the baseline is kept with it"));
    if (request.lots.isEmpty() && !p.isSet(from) && !p.isSet(to))
        return usage(QStringLiteral("name the baseline: --from and --to, or --lot"));
    for (auto [option, upper, field] :
         {std::tuple{&from, false, &request.from}, std::tuple{&to, true, &request.to}}) {
        if (!p.isSet(*option)) continue;
        const auto bound = results::parseBound(p.value(*option), upper);
        if (!bound)
            return usage(QStringLiteral("--%1 \"%2\" is not a date (YYYY-MM-DD) or an ISO 8601 "
                                        "time")
                             .arg(option->names().constFirst(), p.value(*option)));
        *field = QDateTime::fromString(*bound, Qt::ISODateWithMs);
        // A date's end is the start of the next day, as the report bounds it.
        if (upper) *field = field->addMSecs(-1);
    }
    if (request.from.isValid() && request.to.isValid() && request.from > request.to)
        return usage(QStringLiteral("--from is after --to"));

    int status = station::kOk;
    const auto store = openStore(p, db, name, err, &status);
    if (!store) return status;
    QString error;
    const auto b = store->spc().freeze(request, QDateTime::currentDateTimeUtc(), &error);
    if (!b) {
        err << name << ": " << error << '\n';
        return error.contains(QLatin1String("point(s)")) || error.contains(QLatin1String("give"))
                   ? station::kUsage
                   : station::kStationFault;
    }
    const QString unit = QLatin1String(row->unit);
    if (p.isSet(json)) {
        out << QJsonDocument(QJsonObject{{"id", b->id},
                                         {"station", b->station},
                                         {"port", b->port},
                                         {"series", QLatin1String(row->id)},
                                         {"from", b->fromAt},
                                         {"to", b->toAt},
                                         {"lots", QJsonArray::fromStringList(b->lots)},
                                         {"n", qint64(b->figures.n)},
                                         {"center", b->figures.center},
                                         {"sigma", b->figures.sigma},
                                         {"moving_range", b->figures.movingRange},
                                         {"frozen_at", results::isoTime(b->frozenAt)},
                                         {"frozen_by", b->frozenBy}})
                   .toJson(QJsonDocument::Compact)
            << '\n';
        return station::kOk;
    }
    const QString whose = b->port.isEmpty() ? b->station : b->station + ' ' + b->port;
    if (row->series == results::spc::Series::Yield) {
        out << QStringLiteral("baseline %1: %2 of %3, %4 units of %5..%6: %7 failed\n")
                   .arg(b->id)
                   .arg(QLatin1String(row->what), whose)
                   .arg(b->figures.n)
                   .arg(b->fromAt, b->toAt, figure(b->figures.center));
    } else {
        out << QStringLiteral(
                   "baseline %1: %2 of %3, %4 points of %5..%6: mean %7 %8, sigma "
                   "%9 %8, limits %10..%11 %8\n")
                   .arg(b->id)
                   .arg(QLatin1String(row->what), whose)
                   .arg(b->figures.n)
                   .arg(b->fromAt, b->toAt, figure(b->figures.center), unit,
                        figure(b->figures.sigma), figure(b->figures.center - 3 * b->figures.sigma),
                        figure(b->figures.center + 3 * b->figures.sigma));
    }
    return station::kOk;
}

int runAlarms(const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString name = QStringLiteral("gps-coldstart-cli alarms");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Clears a slot's alarms: each is kept, with who cleared it, why and when, and\n"
        "a slot held on an alarm (--hold-on-alarm) runs again.  report --alarms lists\n"
        "them.\n"
        "\n"
        "Exit status:\n"
        "  0    the slot's alarms are cleared (none open is no mistake)\n"
        "  2    usage mistake\n"
        "  3    the database could not be opened or written"));
    const QCommandLineOption help(QStringList{"h", "help"}, QStringLiteral("Show this help."));
    const QCommandLineOption db = dbOption();
    const QCommandLineOption station(QStringLiteral("station"),
                                     QStringLiteral("The station's name, as its results have it."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption slot(QStringLiteral("slot"),
                                  QStringLiteral("The slot's port, as the run was given it; "
                                                 "empty: the station's own charts."),
                                  QStringLiteral("PORT"));
    const QCommandLineOption by(QStringLiteral("by"), QStringLiteral("Who clears them."),
                                QStringLiteral("NAME"));
    const QCommandLineOption why(QStringLiteral("why"), QStringLiteral("Why they are cleared."),
                                 QStringLiteral("TEXT"));
    p.addOptions({help, db, station, slot, by, why});
    if (const auto answered = parseVerb(p, name, QStringLiteral("clear"), help, args, out, err))
        return *answered;
    auto usage = [&](const QString& text) {
        err << name << ": " << text << '\n';
        return station::kUsage;
    };
    if (p.value(station).isEmpty()) return usage(QStringLiteral("--station names the station"));
    if (!p.isSet(slot)) return usage(QStringLiteral("--slot names the slot's port"));
    const QString who = p.value(by).trimmed(), reason = p.value(why).trimmed();
    if (who.isEmpty()) return usage(QStringLiteral("--by NAME: who clears the alarms is kept"));
    if (reason.isEmpty()) return usage(QStringLiteral("--why TEXT: why they are cleared is kept"));
    int status = station::kOk;
    const auto store = openStore(p, db, name, err, &status);
    if (!store) return status;
    QString error;
    const auto cleared = store->spc().clear(p.value(station), p.value(slot), who, reason,
                                            QDateTime::currentDateTimeUtc(), &error);
    if (!cleared) {
        err << name << ": " << store->target().display() << ": " << error << '\n';
        return station::kStationFault;
    }
    out << QStringLiteral("%1 %2: %3 alarm(s) cleared by %4\n")
               .arg(p.value(station), p.value(slot))
               .arg(*cleared)
               .arg(who);
    return station::kOk;
}

}  // namespace cli
