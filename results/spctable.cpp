#include "results/spctable.h"

#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

#include "results/svgchart.h"
#include "vocabulary/reasons.h"

namespace results {

namespace {

QString seriesId(spc::Series s) {
    return QLatin1String(spc::seriesRow(s).id);
}

bool failed(const QSqlQuery& q, QString* error) {
    if (error) *error = q.lastError().text();
    return false;
}

// The points' table, value and time columns, and their condition on the
// slot (the station's whole when port is empty).
struct Source {
    QString table, value, time, order, where;
    QVariantList binds;
};

Source sourceOf(spc::Series series, const QString& station, const QString& port) {
    Source s;
    if (series == spc::Series::Offset) {
        s = {QStringLiteral("calibrations"), QStringLiteral("\"offset\""),  QStringLiteral("time"),
             QStringLiteral("id"),           QStringLiteral("station = ?"), {station}};
    } else {
        s = {QStringLiteral("results"), QStringLiteral("ttff_s"),      QStringLiteral("started"),
             QStringLiteral("seq"),     QStringLiteral("station = ?"), {station}};
        // A gauge study's runs repeat the same units on purpose: they are
        // no point of the line's charts, as they count in no yield.
        if (series == spc::Series::Ttff)
            s.where += QStringLiteral(" AND ttff_s IS NOT NULL AND study = ''");
    }
    if (!port.isEmpty()) {
        s.where += QStringLiteral(" AND port = ?");
        s.binds << port;
    }
    return s;
}

// The yield's units: those the test judged, passed or failed, out of a
// gauge study (whose runs count in no yield).
const QString kJudged = QStringLiteral("result IN ('%1', '%2') AND study = ''")
                            .arg(codeOf(Outcome::Pass), codeOf(Outcome::Fail));

// Each value in turn; a text that was never set is the empty text the
// columns default to, not NULL.
void bindAll(QSqlQuery& q, const QVariantList& binds) {
    for (const QVariant& v : binds) {
        if (v.typeId() == QMetaType::QString && v.toString().isNull())
            q.addBindValue(QStringLiteral(""));
        else
            q.addBindValue(v);
    }
}

SpcAlarm alarmFrom(const QSqlQuery& q) {
    SpcAlarm a;
    a.id = q.value(0).toLongLong();
    a.raisedAt = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs);
    a.station = q.value(2).toString();
    a.port = q.value(3).toString();
    a.chart = q.value(4).toString();
    a.rule = q.value(5).toString();
    a.value = q.value(6).toDouble();
    a.resultId = q.value(7).toString();
    if (!q.isNull(8)) a.calibrationId = q.value(8).toLongLong();
    a.baselineId = q.value(9).toLongLong();
    if (!q.isNull(10))
        a.clearedAt = QDateTime::fromString(q.value(10).toString(), Qt::ISODateWithMs);
    a.clearedBy = q.value(11).toString();
    a.clearedWhy = q.value(12).toString();
    return a;
}

const QString kAlarmColumns = QStringLiteral(
    "id, raised_at, station, port, chart, rule, value, result_id, calibration_id, baseline_id, "
    "cleared_at, cleared_by, cleared_why");

}  // namespace

QJsonObject SpcAlarm::toJson() const {
    QJsonObject o{{"id", id},           {"raised_at", isoTime(raisedAt)},
                  {"station", station}, {"port", port},
                  {"chart", chart},     {"rule", rule},
                  {"value", value},     {"baseline_id", baselineId}};
    if (const spc::RuleRow* r = spc::ruleById(rule.toStdString()))
        o.insert(QLatin1String("rule_text"), QLatin1String(r->text));
    if (!resultId.isEmpty()) o.insert(QLatin1String("result_id"), resultId);
    if (calibrationId) o.insert(QLatin1String("calibration_id"), *calibrationId);
    if (clearedAt) {
        o.insert(QLatin1String("cleared_at"), isoTime(*clearedAt));
        o.insert(QLatin1String("cleared_by"), clearedBy);
        o.insert(QLatin1String("cleared_why"), clearedWhy);
    }
    return o;
}

std::optional<SpcBaseline> SpcTable::freeze(const BaselineRequest& r, const QDateTime& now,
                                            QString* error) {
    SpcBaseline b;
    b.station = r.station;
    b.port = r.port;
    b.series = r.series;
    b.lots = r.lots;
    b.frozenAt = now;
    b.frozenBy = r.by;
    b.why = r.why;
    if (r.series == spc::Series::Offset && !r.lots.isEmpty()) {
        if (error)
            *error = QStringLiteral(
                "an offset's baseline is a period of calibrations, "
                "not lots: give --from and --to");
        return std::nullopt;
    }
    if (r.series == spc::Series::Offset && r.port.isEmpty()) {
        if (error) *error = QStringLiteral("an offset is a slot's: give --slot");
        return std::nullopt;
    }
    Source s = sourceOf(r.series, r.station, r.port);
    if (r.from.isValid()) {
        s.where += QStringLiteral(" AND %1 >= ?").arg(s.time);
        s.binds << isoTime(r.from);
    }
    if (r.to.isValid()) {
        s.where += QStringLiteral(" AND %1 <= ?").arg(s.time);
        s.binds << isoTime(r.to);
    }
    if (!r.lots.isEmpty()) {
        QStringList marks;
        for (const QString& lot : r.lots) {
            marks << QStringLiteral("?");
            s.binds << lot;
        }
        s.where += QStringLiteral(" AND lot IN (%1)").arg(marks.join(QLatin1String(", ")));
    }
    QSqlQuery q(db_.connection());
    std::optional<spc::Baseline> figures;
    long long points = 0;
    if (r.series == spc::Series::Yield) {
        q.prepare(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(CASE WHEN result = '%1' THEN 1 "
                                 "ELSE 0 END), 0), MIN(started), MAX(started) FROM results "
                                 "WHERE %2 AND %3 GROUP BY lot")
                      .arg(codeOf(Outcome::Fail), s.where, kJudged));
        bindAll(q, s.binds);
        if (!q.exec()) return failed(q, error), std::nullopt;
        std::vector<spc::Sample> lots;
        while (q.next()) {
            lots.push_back({q.value(1).toLongLong(), q.value(0).toLongLong()});
            const QString first = q.value(2).toString(), last = q.value(3).toString();
            if (b.fromAt.isEmpty() || first < b.fromAt) b.fromAt = first;
            if (last > b.toAt) b.toAt = last;
        }
        points = (long long)lots.size();
        figures = spc::baselineOf(lots);
        if (figures && spc::pJudgedFrom(figures->center) == 0) {
            if (error)
                *error = QStringLiteral(
                             "%1 of the %2 unit(s) in the baseline named failed: a p-chart "
                             "needs some units failed and some passed to set its limits: give "
                             "a longer baseline")
                             .arg(figures->center > 0 ? figures->n : 0)
                             .arg(figures->n);
            return std::nullopt;
        }
    } else {
        q.prepare(QStringLiteral("SELECT %1, %2 FROM %3 WHERE %4 ORDER BY %2, %5")
                      .arg(s.value, s.time, s.table, s.where, s.order));
        bindAll(q, s.binds);
        if (!q.exec()) return failed(q, error), std::nullopt;
        std::vector<double> values;
        while (q.next()) {
            values.push_back(q.value(0).toDouble());
            if (b.fromAt.isEmpty()) b.fromAt = q.value(1).toString();
            b.toAt = q.value(1).toString();
        }
        points = (long long)values.size();
        figures = spc::baselineOf(values);
    }
    if (!figures) {
        if (error)
            *error = QStringLiteral(
                         "%1 point(s) of %2 in the baseline named; it needs at least "
                         "two")
                         .arg(points)
                         .arg(QLatin1String(spc::seriesRow(r.series).what));
        return std::nullopt;
    }
    b.figures = *figures;
    q.prepare(QStringLiteral(
        "INSERT INTO spc_baselines (station, port, series, from_at, to_at, lots, n, center, "
        "sigma, moving_range, frozen_at, frozen_by, why) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?) RETURNING id"));
    bindAll(q, {b.station, b.port, seriesId(b.series), b.fromAt, b.toAt,
                b.lots.join(QLatin1Char(',')), qint64(b.figures.n), b.figures.center,
                b.figures.sigma, b.figures.movingRange, isoTime(now), b.frozenBy, b.why});
    if (!q.exec() || !q.next()) return failed(q, error), std::nullopt;
    b.id = q.value(0).toLongLong();
    return b;
}

bool SpcTable::refreshBaselines(QString* error) {
    if (!newest_) {
        newest_.emplace(db_.connection());
        newest_->setForwardOnly(true);
        if (!newest_->prepare(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM spc_baselines"))) {
            const bool ok = failed(*newest_, error);
            newest_.reset();
            return ok;
        }
    }
    if (!newest_->exec() || !newest_->next()) return failed(*newest_, error);
    const qint64 newest = newest_->value(0).toLongLong();
    newest_->finish();
    if (newest == baselinesAt_) return true;
    QSqlQuery q(db_.connection());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, station, port, series, from_at, to_at, lots, n, center,"
                               " sigma, moving_range, frozen_at, frozen_by, why FROM spc_baselines"
                               " ORDER BY id")))
        return failed(q, error);
    std::map<std::tuple<QString, QString, int>, SpcBaseline> latest;
    while (q.next()) {
        const spc::SeriesRow* row = spc::seriesById(q.value(3).toString().toStdString());
        if (!row) continue;  // a later program's series
        SpcBaseline b;
        b.id = q.value(0).toLongLong();
        b.station = q.value(1).toString();
        b.port = q.value(2).toString();
        b.series = row->series;
        b.fromAt = q.value(4).toString();
        b.toAt = q.value(5).toString();
        b.lots = q.value(6).toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
        b.figures = {q.value(8).toDouble(), q.value(9).toDouble(), q.value(10).toDouble(),
                     q.value(7).toLongLong()};
        b.frozenAt = QDateTime::fromString(q.value(11).toString(), Qt::ISODateWithMs);
        b.frozenBy = q.value(12).toString();
        b.why = q.value(13).toString();
        latest[{b.station, b.port, int(b.series)}] = b;
    }
    if (q.lastError().isValid()) return failed(q, error);
    latest_ = std::move(latest);
    baselinesAt_ = newest;
    return true;
}

bool SpcTable::baseline(const QString& station, const QString& port, spc::Series series,
                        std::optional<SpcBaseline>* found, QString* error) {
    if (!refreshBaselines(error)) return false;
    found->reset();
    if (const SpcBaseline* b = inForce(station, port, series)) *found = *b;
    return true;
}

const SpcBaseline* SpcTable::inForce(const QString& station, const QString& port,
                                     spc::Series series) const {
    const auto it = latest_.find({station, port, int(series)});
    return it == latest_.end() ? nullptr : &it->second;
}

bool SpcTable::pointsAfter(const SpcBaseline& b, int newest, std::vector<double>* values,
                           QStringList* times, QString* error) {
    Source s = sourceOf(b.series, b.station, b.port);
    QSqlQuery q(db_.connection());
    q.prepare(QStringLiteral("SELECT %1, %2 FROM %3 WHERE %4 AND %2 > ? ORDER BY %2 DESC, %5 "
                             "DESC%6")
                  .arg(s.value, s.time, s.table, s.where, s.order,
                       newest > 0 ? QStringLiteral(" LIMIT %1").arg(newest) : QString()));
    bindAll(q, s.binds);
    q.addBindValue(b.toAt);
    if (!q.exec()) return failed(q, error);
    values->clear();
    if (times) times->clear();
    while (q.next()) {
        values->push_back(q.value(0).toDouble());
        if (times) times->prepend(q.value(1).toString());
    }
    std::reverse(values->begin(), values->end());
    return true;
}

bool SpcTable::lotsAfter(const SpcBaseline& b, std::vector<spc::Sample>* lots, QStringList* names,
                         QString* error) {
    Source s = sourceOf(spc::Series::Yield, b.station, b.port);
    QSqlQuery q(db_.connection());
    q.prepare(QStringLiteral("SELECT lot, COUNT(*), COALESCE(SUM(CASE WHEN result = '%1' THEN 1 "
                             "ELSE 0 END), 0), MIN(started) AS first FROM results WHERE %2 AND "
                             "%3 AND started > ? GROUP BY lot ORDER BY first")
                  .arg(codeOf(Outcome::Fail), s.where, kJudged));
    bindAll(q, s.binds);
    q.addBindValue(b.toAt);
    if (!q.exec()) return failed(q, error);
    lots->clear();
    names->clear();
    while (q.next()) {
        *names << q.value(0).toString();
        lots->push_back({q.value(2).toLongLong(), q.value(1).toLongLong()});
    }
    return true;
}

std::optional<QByteArray> SpcTable::chartsSection(const QString& station, QString* error) {
    QSqlQuery q(db_.connection());
    q.prepare(
        QStringLiteral("SELECT DISTINCT station, port, series FROM spc_baselines WHERE ? = '' "
                       "OR station = ? ORDER BY station, port, series"));
    bindAll(q, {station, station});
    if (!q.exec()) return failed(q, error), std::nullopt;
    struct Key {
        QString station, port, series;
    };
    std::vector<Key> keys;
    while (q.next())
        keys.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString()});
    if (keys.empty()) return QByteArray();
    QString html = QStringLiteral(
        "<section id=\"control-charts\">\n<h2>Control charts</h2>\n"
        "<p>Each chart against the limits of its series' baseline in "
        "force; a ring marks a point that broke a rule.</p>\n");
    for (const Key& k : keys) {
        const spc::SeriesRow* row = spc::seriesById(k.series.toStdString());
        if (!row) continue;
        std::optional<SpcBaseline> b;
        if (!baseline(k.station, k.port, row->series, &b, error)) return std::nullopt;
        if (!b) continue;
        std::vector<double> values;
        std::vector<spc::Sample> lots;
        QStringList labels;
        const bool yield = row->series == spc::Series::Yield;
        if (yield ? !lotsAfter(*b, &lots, &labels, error)
                  : !pointsAfter(*b, 0, &values, &labels, error))
            return std::nullopt;
        const QString whose = k.port.isEmpty() ? k.station : k.station + ' ' + k.port;
        html += QStringLiteral(
                    "<h3>%1, %2</h3>\n<p>Baseline %3 (%4..%5, %6 points) frozen %7 by "
                    "%8.</p>\n")
                    .arg(chart::escape(whose), chart::escape(QLatin1String(row->what)))
                    .arg(b->id)
                    .arg(chart::escape(b->fromAt), chart::escape(b->toAt))
                    .arg(b->figures.n)
                    .arg(isoTime(b->frozenAt), chart::escape(b->frozenBy));
        for (const spc::ChartRow& c : spc::kCharts) {
            if (c.series != row->series) continue;
            const spc::Plotted p = yield ? spc::plot(c, b->figures, lots, rules_)
                                         : spc::plot(c, b->figures, values, rules_, designs_);
            if (p.values.empty()) continue;
            std::vector<bool> flagged(p.values.size(), false);
            for (const spc::Broken& x : p.broken) flagged[x.index] = true;
            // The moving ranges begin at the second point.
            const QStringList shown = labels.mid(labels.size() - int(p.values.size()));
            // Limits that vary by point (the EWMA's, a p-chart's) are drawn
            // as the newest point's.
            const chart::ControlLimits limits{p.center.back(), p.lcl.back(), p.ucl.back()};
            html += chart::controlChart({whose + QStringLiteral(": ") + QLatin1String(c.title),
                                         QStringLiteral("point"), QLatin1String(row->unit)},
                                        shown, p.values, limits, flagged);
            html += '\n';
        }
    }
    html += QStringLiteral("</section>\n");
    return html.toUtf8();
}

bool SpcTable::judge(const QString& station, const QString& port, spc::Series series,
                     const QString& resultId, std::optional<qint64> calibrationId,
                     const QDateTime& at, std::vector<SpcAlarm>* raised, QString* error) {
    const SpcBaseline* b = inForce(station, port, series);
    if (!b) return true;
    std::vector<double> points;
    // The Shewhart charts read the newest points only; the CUSUM and the
    // EWMA carry every point since the baseline.
    const int newest = series == spc::Series::Ttff ? spc::kPointsRead : 0;
    if (!pointsAfter(*b, newest, &points, nullptr, error)) return false;
    for (const spc::Finding& f : spc::judgeNewest(series, b->figures, points, rules_, designs_))
        if (!keep(*b, f, resultId, calibrationId, at, raised, error)) return false;
    return true;
}

bool SpcTable::keep(const SpcBaseline& b, const spc::Finding& f, const QString& resultId,
                    std::optional<qint64> calibrationId, const QDateTime& at,
                    std::vector<SpcAlarm>* raised, QString* error) {
    SpcAlarm a;
    a.raisedAt = at;
    a.station = b.station;
    a.port = b.port;
    a.chart = QLatin1String(f.chart->id);
    a.rule = QLatin1String(spc::ruleRow(f.rule).id);
    a.value = f.value;
    a.resultId = resultId;
    a.calibrationId = calibrationId;
    a.baselineId = b.id;
    QSqlQuery q(db_.connection());
    q.prepare(
        QStringLiteral("INSERT INTO alarms (raised_at, station, port, chart, rule, "
                       "value, result_id, calibration_id, baseline_id) VALUES (?, ?, "
                       "?, ?, ?, ?, ?, ?, ?) RETURNING id"));
    bindAll(q, {isoTime(at), b.station, b.port, a.chart, a.rule, a.value, resultId,
                calibrationId ? QVariant(*calibrationId) : QVariant(QMetaType::fromType<qint64>()),
                b.id});
    if (!q.exec() || !q.next()) return failed(q, error);
    a.id = q.value(0).toLongLong();
    raised->push_back(a);
    return true;
}

bool SpcTable::judgeLot(const QString& station, const QString& port, const QJsonObject& result,
                        const QDateTime& at, std::vector<SpcAlarm>* raised, QString* error) {
    const SpcBaseline* b = inForce(station, port, spc::Series::Yield);
    if (!b) return true;
    // The lot's units after the baseline as kept, and whether the result is
    // among them (one of a gauge study, or of the baseline's own period
    // spooled late, moves no point).
    const QString id = result.value(QLatin1String("id")).toString();
    // Read by the lot's index, never the station's: a station's results
    // since its baseline grow without end, a lot's stop (SQLite, without
    // statistics, takes the station's for "station = ?"; "|| ''" keeps it
    // off that index on either engine).
    QString where = QStringLiteral("station || '' = ?");
    QVariantList binds{station};
    if (!port.isEmpty()) {
        where += QStringLiteral(" AND port = ?");
        binds << port;
    }
    QSqlQuery q(db_.connection());
    q.prepare(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(CASE WHEN result = '%1' THEN 1 "
                             "ELSE 0 END), 0), COALESCE(SUM(CASE WHEN id = ? THEN 1 ELSE 0 "
                             "END), 0) FROM results WHERE lot = ? AND started > ? AND %2 AND %3")
                  .arg(codeOf(Outcome::Fail), where, kJudged));
    bindAll(q, QVariantList{id, result.value(QLatin1String("lot")).toString(), b->toAt} + binds);
    if (!q.exec() || !q.next()) return failed(q, error);
    if (q.value(2).toLongLong() == 0) return true;
    const spc::Sample now{q.value(1).toLongLong(), q.value(0).toLongLong()};
    const bool failedUnit =
        result.value(QLatin1String("result")).toString() == codeOf(Outcome::Fail);
    const spc::Sample before{now.nonconforming - (failedUnit ? 1 : 0), now.n - 1};
    q.finish();
    const auto f = spc::judgeLot(b->figures, before, now);
    return !f || keep(*b, *f, id, std::nullopt, at, raised, error);
}

bool SpcTable::judgeResult(QJsonObject& result, QString* error) {
    const bool timed = !result.value(QLatin1String("ttff_s")).isNull() &&
                       !result.value(QLatin1String("ttff_s")).isUndefined() &&
                       result.value(QLatin1String("study")).toString().isEmpty();
    const QString outcome = result.value(QLatin1String("result")).toString();
    // The yield's units: a test that passed or failed.
    const bool counted = outcome == codeOf(Outcome::Pass) || outcome == codeOf(Outcome::Fail);
    if (!timed && !counted) return true;
    if (!refreshBaselines(error)) return false;
    const QString station = result.value(QLatin1String("station")).toString();
    const QString port = result.value(QLatin1String("port")).toString();
    const QString id = result.value(QLatin1String("id")).toString();
    // Raised when the unit's test was: a calibration after it releases the
    // slot it holds.
    QDateTime at;
    for (const char* key : {"ended", "started"})
        if (!at.isValid())
            at = QDateTime::fromString(result.value(QLatin1String(key)).toString(),
                                       Qt::ISODateWithMs);
    if (!at.isValid()) at = QDateTime::currentDateTimeUtc();
    std::vector<SpcAlarm> raised;
    if (timed) {
        if (!judge(station, port, spc::Series::Ttff, id, std::nullopt, at, &raised, error))
            return false;
        if (!port.isEmpty() &&
            !judge(station, QString(), spc::Series::Ttff, id, std::nullopt, at, &raised, error))
            return false;
    }
    if (counted) {
        if (!judgeLot(station, port, result, at, &raised, error)) return false;
        if (!port.isEmpty() && !judgeLot(station, QString(), result, at, &raised, error))
            return false;
    }
    if (raised.empty()) return true;
    QJsonArray alarms;
    for (const SpcAlarm& a : raised) alarms.append(a.toJson());
    result.insert(QLatin1String("alarms"), alarms);
    return true;
}

bool SpcTable::judgeCalibration(const Calibration& c, qint64 id, std::vector<SpcAlarm>* raised,
                                QString* error) {
    if (!refreshBaselines(error)) return false;
    return judge(c.station, c.port, spc::Series::Offset, QString(), id,
                 c.time.isValid() ? c.time : QDateTime::currentDateTimeUtc(), raised, error);
}

std::optional<std::vector<SpcAlarm>> SpcTable::alarms(const QString& station, const QString& port,
                                                      bool openOnly, QString* error) {
    QString where = QStringLiteral("1 = 1");
    QVariantList binds;
    if (!station.isEmpty()) {
        where += QStringLiteral(" AND station = ?");
        binds << station;
    }
    if (!port.isEmpty()) {
        where += QStringLiteral(" AND port = ?");
        binds << port;
    }
    if (openOnly) where += QStringLiteral(" AND cleared_at IS NULL");
    QSqlQuery q(db_.connection());
    q.prepare(
        QStringLiteral("SELECT %1 FROM alarms WHERE %2 ORDER BY id").arg(kAlarmColumns, where));
    bindAll(q, binds);
    if (!q.exec()) return failed(q, error), std::nullopt;
    std::vector<SpcAlarm> out;
    while (q.next()) out.push_back(alarmFrom(q));
    return out;
}

std::optional<bool> SpcTable::held(const QString& station, const QString& port, QString* error) {
    QSqlQuery q(db_.connection());
    q.prepare(QStringLiteral(
        "SELECT COUNT(*) FROM alarms a WHERE a.station = ? AND a.port = ? AND a.cleared_at IS "
        "NULL AND NOT EXISTS (SELECT 1 FROM calibrations c WHERE c.station = a.station AND "
        "c.port = a.port AND c.time > a.raised_at AND (a.calibration_id IS NULL OR c.id > "
        "a.calibration_id))"));
    bindAll(q, {station, port});
    if (!q.exec() || !q.next()) return failed(q, error), std::nullopt;
    return q.value(0).toLongLong() > 0;
}

std::optional<int> SpcTable::clear(const QString& station, const QString& port, const QString& by,
                                   const QString& why, const QDateTime& now, QString* error) {
    QSqlQuery q(db_.connection());
    q.prepare(
        QStringLiteral("UPDATE alarms SET cleared_at = ?, cleared_by = ?, cleared_why = ? "
                       "WHERE station = ? AND port = ? AND cleared_at IS NULL"));
    bindAll(q, {isoTime(now), by, why, station, port});
    if (!q.exec()) return failed(q, error), std::nullopt;
    return q.numRowsAffected();
}

}  // namespace results
