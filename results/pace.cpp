#include "results/pace.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>
#include <algorithm>

#include "results/query.h"
#include "results/summaries.h"

namespace results {

QString storedForm(const QString& column) {
    return QStringLiteral("%1 LIKE '____-__-__T__:__:__.___Z'").arg(column);
}

QString storedMsSql(const QString& time, bool pg) {
    return pg ? QStringLiteral(
                    "CAST(EXTRACT(EPOCH FROM CAST(%1 AS TIMESTAMPTZ)) * 1000"
                    " AS BIGINT)")
                    .arg(time)
              : QStringLiteral(
                    "(CAST(strftime('%s', %1) AS INTEGER) * 1000 +"
                    " CAST(substr(%1, 21, 3) AS INTEGER))")
                    .arg(time);
}

namespace {

Pace negated(Pace p) {
    return {-p.results, -p.testMs, -p.gaps, -p.gapMs};
}

// The slot's results before and after a row in start order (then storing
// order), in the stored form: started and ended, and the lot of the later one.
// The bound on started lets the (station, started) index find it at once.
const char* kNeighbour =
    "SELECT started, ended, lot FROM results WHERE station = ? AND port = ? AND study = ''"
    " AND %1 AND %2 AND started %3= ? AND (started %3 ? OR seq %3 ?)"
    " ORDER BY started %4, seq %4 LIMIT 1";

}  // namespace

std::optional<double> Pace::unitsPerHour() const {
    const qint64 working = testMs + gapMs;
    // Without a unit that followed another the tests' times alone are no pace.
    if (results == 0 || gaps == 0 || working <= 0) return std::nullopt;
    return double(results) * 3600000.0 / double(working);
}

std::optional<double> Pace::handlingMean() const {
    if (gaps == 0) return std::nullopt;
    return double(gapMs) / double(gaps) / 1000.0;
}

void Pace::add(const Pace& o) {
    results += o.results;
    testMs += o.testMs;
    gaps += o.gaps;
    gapMs += o.gapMs;
}

Pace gapOf(qint64 ms) {
    Pace p;
    if (ms > kIdleMs) return p;
    p.gaps = 1;
    p.gapMs = std::max<qint64>(ms, 0);
    return p;
}

std::optional<qint64> storedMs(const QString& time) {
    if (time.size() != 24 || time.at(10) != QLatin1Char('T') || time.at(23) != QLatin1Char('Z'))
        return std::nullopt;
    const QDateTime t = QDateTime::fromString(time, Qt::ISODateWithMs);
    if (!t.isValid()) return std::nullopt;
    return t.toMSecsSinceEpoch();
}

bool paceFromRows(const QSqlDatabase& db, const Where& w, SlotPaces& to, QString* error) {
    // Each selected row with its slot's previous result, selected or not.
    QSqlQuery q(db);
    if (!run(
            q,
            QStringLiteral("SELECT r.station, r.port, r.started, r.ended,"
                           " (SELECT p.ended FROM results p WHERE p.station = r.station"
                           " AND p.port = r.port AND p.study = '' AND %1 AND %2"
                           " AND p.started <= r.started"
                           " AND (p.started < r.started OR p.seq < r.seq)"
                           " ORDER BY p.started DESC, p.seq DESC LIMIT 1)"
                           " FROM results r WHERE %3 AND %4 AND %5")
                .arg(storedForm(QStringLiteral("p.started")), storedForm(QStringLiteral("p.ended")),
                     w.sql, storedForm(QStringLiteral("r.started")),
                     storedForm(QStringLiteral("r.ended"))),
            w, error))
        return false;
    while (q.next()) {
        const auto started = storedMs(q.value(2).toString());
        const auto ended = storedMs(q.value(3).toString());
        if (!started || !ended) continue;
        Pace p{1, std::max<qint64>(*ended - *started, 0), 0, 0};
        if (const auto before = storedMs(q.value(4).toString())) p.add(gapOf(*started - *before));
        to[q.value(0).toString()][q.value(1).toString()].add(p);
    }
    return drained(q, error);
}

bool paceFromSummaries(const QSqlDatabase& db, const Where& w, SlotPaces& to, QString* error) {
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT station, port, results, test_ms, gaps, gap_ms"
                            " FROM summary_pace WHERE %1")
                 .arg(w.sql),
             w, error))
        return false;
    while (q.next())
        to[q.value(0).toString()][q.value(1).toString()].add(
            {q.value(2).toLongLong(), q.value(3).toLongLong(), q.value(4).toLongLong(),
             q.value(5).toLongLong()});
    return drained(q, error);
}

struct PaceWriter::Queries {
    explicit Queries(const QSqlDatabase& db) : seq(db), before(db), after(db), put(db) {}
    QSqlQuery seq, before, after, put;
    bool ready = false;
};

PaceWriter::PaceWriter(const QSqlDatabase& db) : q_(new Queries(db)) {}
PaceWriter::~PaceWriter() = default;

bool PaceWriter::add(const SummaryRow& r, ScopeCheck& scopes, QString* error) {
    Queries& q = *q_;
    auto failed = [&](const QSqlQuery& query) {
        *error = query.lastError().text();
        return false;
    };
    const auto started = storedMs(r.started), ended = storedMs(r.ended);
    if (!started || !ended) return true;
    if (!q.ready) {
        const QString s = storedForm(QStringLiteral("started")),
                      e = storedForm(QStringLiteral("ended"));
        if (!q.before.prepare(
                QString::fromLatin1(kNeighbour).arg(s, e, QStringLiteral("<"), "DESC")) ||
            !q.after.prepare(QString::fromLatin1(kNeighbour).arg(s, e, QStringLiteral(">"), "ASC")))
            return failed(q.before.lastError().isValid() ? q.before : q.after);
        if (!q.put.prepare(QStringLiteral(
                "INSERT INTO summary_pace (kind, name, station, port, results, test_ms, gaps,"
                " gap_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (kind, name, station, port) DO UPDATE SET"
                " results = summary_pace.results + excluded.results,"
                " test_ms = summary_pace.test_ms + excluded.test_ms,"
                " gaps = summary_pace.gaps + excluded.gaps,"
                " gap_ms = summary_pace.gap_ms + excluded.gap_ms")))
            return failed(q.put);
        if (!q.seq.prepare(QStringLiteral("SELECT seq FROM results WHERE id = ?")))
            return failed(q.seq);
        q.ready = true;
    }
    q.seq.bindValue(0, r.id);
    if (!q.seq.exec() || !q.seq.next()) return failed(q.seq);
    const qint64 seq = q.seq.value(0).toLongLong();
    q.seq.finish();
    const QString station = r.station.isNull() ? QStringLiteral("") : r.station;
    const QString port = r.port.isNull() ? QStringLiteral("") : r.port;
    // The neighbour on one side: started, ended and lot, or nothing.
    struct Neighbour {
        qint64 started = 0, ended = 0;
        QString startedText, lot;
    };
    auto neighbour = [&](QSqlQuery& query, std::optional<Neighbour>* found) {
        int i = 0;
        for (const QVariant& v : {QVariant(station), QVariant(port), QVariant(r.started),
                                  QVariant(r.started), QVariant(seq)})
            query.bindValue(i++, v);
        if (!query.exec()) return false;
        if (query.next()) {
            const auto s = storedMs(query.value(0).toString());
            const auto e = storedMs(query.value(1).toString());
            if (s && e)
                *found = Neighbour{*s, *e, query.value(0).toString(), query.value(2).toString()};
        }
        const bool ok = !query.lastError().isValid();
        query.finish();
        return ok;
    };
    std::optional<Neighbour> before, after;
    if (!neighbour(q.before, &before)) return failed(q.before);
    if (!neighbour(q.after, &after)) return failed(q.after);

    auto put = [&](const QString& lot, const QString& startedText, const Pace& p) {
        // Bound once for every scope (a bound value stays from one exec to the next).
        int i = 2;
        for (const QVariant& v : {QVariant(station), QVariant(port), QVariant(p.results),
                                  QVariant(p.testMs), QVariant(p.gaps), QVariant(p.gapMs)})
            q.put.bindValue(i++, v);
        for (const auto& scope : summaryScopesOf(lot, startedText)) {
            bool whole = false;
            if (!scopes.whole(scope, &whole, error)) return false;
            if (!whole) continue;
            const auto& [kind, name] = scope;
            q.put.bindValue(0, kind);
            q.put.bindValue(1, name);
            if (!q.put.exec()) {
                *error = q.put.lastError().text();
                return false;
            }
        }
        return true;
    };
    Pace own{1, std::max<qint64>(*ended - *started, 0), 0, 0};
    if (before) own.add(gapOf(*started - before->ended));
    if (!put(r.lot, r.started, own)) return false;
    if (after) {
        // The later result's handling is now measured from this one's end.
        Pace change = gapOf(after->started - *ended);
        if (before) change.add(negated(gapOf(after->started - before->ended)));
        if ((change.gaps || change.gapMs) && !put(after->lot, after->startedText, change))
            return false;
    }
    return true;
}

bool buildPace(const QSqlDatabase& db, const std::pair<QString, QString>& scope, const Where& rows,
               const Where& span, QString* error) {
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    auto ms = [&](const QString& time) { return storedMsSql(time, pg); };
    const QString idle = QString::number(kIdleMs);
    // The slots' rows over the scope's span in order, each with the end of its
    // slot's previous result; the first of each slot in the span looks that
    // up through the (station, started) index.
    const QString before = ms(
        QStringLiteral("(SELECT p.ended FROM results p WHERE p.station = x.station"
                       " AND p.port = x.port AND p.study = '' AND %1 AND %2"
                       " AND p.started <= x.started AND (p.started < x.started OR p.seq < x.seq)"
                       " ORDER BY p.started DESC, p.seq DESC LIMIT 1)")
            .arg(storedForm(QStringLiteral("p.started")), storedForm(QStringLiteral("p.ended"))));
    const QString sql =
        QStringLiteral(
            "INSERT INTO summary_pace (kind, name, station, port, results, test_ms, gaps, gap_ms)"
            " SELECT CAST(? AS TEXT), CAST(? AS TEXT), station, port, COUNT(*), SUM(t),"
            " SUM(CASE WHEN g <= %1 THEN 1 ELSE 0 END),"
            " SUM(CASE WHEN g <= %1 AND g > 0 THEN g ELSE 0 END) FROM"
            " (SELECT station, port, CASE WHEN e > s THEN e - s ELSE 0 END AS t,"
            " s - COALESCE(pe, %2) AS g FROM"
            " (SELECT station, port, started, seq, %3 AS s, %4 AS e,"
            " LAG(%4) OVER (PARTITION BY station, port ORDER BY started, seq) AS pe,"
            " CASE WHEN %5 THEN 1 ELSE 0 END AS mine FROM results"
            " WHERE study = '' AND %6 AND %7 AND %8) AS x WHERE mine = 1) AS o"
            " GROUP BY station, port")
            .arg(idle, before, ms(QStringLiteral("started")), ms(QStringLiteral("ended")), rows.sql,
                 storedForm(QStringLiteral("started")), storedForm(QStringLiteral("ended")),
                 span.sql);
    QSqlQuery q(db);
    if (q.prepare(sql)) {
        for (const QVariant& v :
             QVariantList{scope.first, scope.second} + rows.values + span.values)
            q.addBindValue(v);
        if (q.exec()) return true;
    }
    *error = q.lastError().text();
    return false;
}

}  // namespace results
