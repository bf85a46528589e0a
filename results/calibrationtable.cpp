#include "results/calibrationtable.h"

#include <QSqlError>
#include <QSqlQuery>

namespace results {

namespace {

// The calibrations' columns of the golden measures' figures, each put into
// `form` ("%1" its name, if it has one), in the table's order.
QString goldenColumns(const QString& form) {
    QString columns;
    for (const MeasureRow& row : kMeasures)
        if (row.golden)
            columns += QString(form).replace(QLatin1String("%1"), QLatin1String(keyOf(row)));
    return columns;
}

}  // namespace

std::optional<std::vector<Calibration>> CalibrationTable::latest(const QString& station,
                                                                 const QString& port, int count,
                                                                 QString* error) {
    QSqlQuery q(db_.connection());
    q.prepare(
        QStringLiteral("SELECT id, time, station, port, operator, golden, expected, "
                       "measured, \"offset\", level_dbm%1 FROM calibrations WHERE station = ? AND "
                       "port = ? ORDER BY time DESC, id DESC LIMIT ?")
            .arg(goldenColumns(QStringLiteral(", %1"))));
    q.addBindValue(station);
    q.addBindValue(port);
    q.addBindValue(count);
    if (!q.exec()) {
        if (error) *error = q.lastError().text();
        return std::nullopt;
    }
    std::vector<Calibration> found;
    while (q.next()) {
        Calibration c;
        c.id = q.value(0).toLongLong();
        c.time = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs);
        c.station = q.value(2).toString();
        c.port = q.value(3).toString();
        c.operatorName = q.value(4).toString();
        c.golden = q.value(5).toString();
        c.expected = q.value(6).toDouble();
        c.measured = q.value(7).toDouble();
        c.offset = q.value(8).toDouble();
        if (!q.isNull(9)) c.levelDbm = q.value(9).toDouble();
        int column = 10;
        for (const MeasureRow& row : kMeasures) {
            if (!row.golden) continue;
            if (!q.isNull(column)) c.figures[row.measure] = q.value(column).toDouble();
            ++column;
        }
        found.push_back(c);
    }
    return found;
}

std::optional<qint64> CalibrationTable::save(const Calibration& c,
                                             std::optional<Calibration>* previous, QString* error,
                                             const Within& within) {
    QSqlDatabase db = db_.connection();
    QSqlQuery q(db);
    auto failed = [&](const QSqlQuery& query) {
        if (error) *error = query.lastError().text();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return std::nullopt;
    };
    if (!db_.begin(q)) return failed(q);
    const auto before = latest(c.station, c.port, 1, error);
    if (!before) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return std::nullopt;
    }
    if (previous) *previous = before->empty() ? std::nullopt : std::optional(before->front());
    q.prepare(
        QStringLiteral("INSERT INTO calibrations (time, station, port, operator, golden, "
                       "expected, measured, \"offset\", level_dbm%1) VALUES (?, ?, ?, ?, ?, ?, ?, "
                       "?, ?%2) "
                       "RETURNING id")
            .arg(goldenColumns(QStringLiteral(", %1")), goldenColumns(QStringLiteral(", ?"))));
    const auto figure = [](const std::optional<double>& v) {
        return v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double));
    };
    const auto text = [](const QString& t) { return t.isNull() ? QStringLiteral("") : t; };
    for (const QVariant& v :
         {QVariant(isoTime(c.time)), QVariant(text(c.station)), QVariant(text(c.port)),
          QVariant(text(c.operatorName)), QVariant(text(c.golden)), QVariant(c.expected),
          QVariant(c.measured), QVariant(c.offset), figure(c.levelDbm)})
        q.addBindValue(v);
    for (const MeasureRow& row : kMeasures)
        if (row.golden) q.addBindValue(figure(c.figures[row.measure]));
    if (!q.exec() || !q.next()) return failed(q);
    const qint64 id = q.value(0).toLongLong();
    q.finish();
    if (within && !within(id, error)) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return std::nullopt;
    }
    if (!q.exec(QStringLiteral("COMMIT"))) return failed(q);
    return id;
}

}  // namespace results
