// gps-lot-sim: stores a made-up production lot's results in a results
// database, for trying the report (gps-coldstart-cli report) without a line.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "results/store.h"
#include "sim/lot.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Stores a simulated production lot's results in a results database (made up: "
        "TTFF, C/N0, HDOP, satellites, failures and retests; one weak slot)."));
    p.addHelpOption();
    const QCommandLineOption db(QStringLiteral("db"),
                                QStringLiteral("The results database (a SQLite file or "
                                               "postgresql://USER@HOST[:PORT]/DBNAME[?...])."),
                                QStringLiteral("DB"));
    const QCommandLineOption lot(QStringLiteral("lot"),
                                 QStringLiteral("A lot's name; give it again for more lots "
                                                "(default WO-1001)."),
                                 QStringLiteral("NAME"));
    const QCommandLineOption units(QStringLiteral("units"),
                                   QStringLiteral("Units per lot (default 300)."),
                                   QStringLiteral("N"), QStringLiteral("300"));
    const QCommandLineOption days(QStringLiteral("days"),
                                  QStringLiteral("Days the tests are spread over (default 3)."),
                                  QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("The first day, YYYY-MM-DD (default 2026-12-07)."),
                                  QStringLiteral("DATE"), QStringLiteral("2026-12-07"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("The generator's seed (default 1)."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    p.addOptions({db, lot, units, days, from, seed});
    p.process(app);

    QTextStream err(stderr);
    gpssim::LotOptions o;
    if (p.isSet(lot)) o.lots = p.values(lot);
    bool ok[3];
    o.unitsPerLot = p.value(units).toInt(&ok[0]);
    o.days = p.value(days).toInt(&ok[1]);
    o.seed = p.value(seed).toULongLong(&ok[2]);
    o.firstDay = QDate::fromString(p.value(from), Qt::ISODate);
    if (!p.isSet(db) || !ok[0] || !ok[1] || !ok[2] || o.unitsPerLot < 1 || o.days < 1 ||
        !o.firstDay.isValid()) {
        err << "gps-lot-sim: give --db, and whole numbers above 0 and a date where asked\n";
        return 2;
    }
    QString why;
    const auto target = results::parseTarget(p.value(db), &why);
    const auto store = target ? results::Store::open(*target, &why) : nullptr;
    const auto lotResults = gpssim::simulatedLot(o);
    const qint64 stored = store ? store->saveBatch(lotResults, &why) : -1;
    if (stored < 0) {
        err << "gps-lot-sim: " << why << '\n';
        return 3;
    }
    QTextStream(stdout) << "stored " << stored << " of " << lotResults.size() << " results in "
                        << target->display() << '\n';
    return 0;
}
