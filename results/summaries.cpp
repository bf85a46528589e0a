#include "results/summaries.h"
#include "results/reasons.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <array>
#include <charconv>
#include <map>

#include "results/query.h"
#include "results/store.h"

namespace results {

namespace {

// The scopes a row is summarized in: (kind, name).
// Empty, never null (a null text is bound as NULL).
QString text(const QString& s) {
    return s.isNull() ? QString(QLatin1String("")) : s;
}

std::array<std::pair<QString, QString>, 3> scopesOf(const QString& lot, const QString& started) {
    return {{{QStringLiteral("all"), text({})},
             {QStringLiteral("lot"), text(lot)},
             {QStringLiteral("day"), text(started.left(10))}}};
}

// The scope whose summaries are exactly the filter's results, if one is.
std::optional<std::pair<QString, QString>> scopeOf(const Filter& f) {
    if (!f.unit.isEmpty() || !f.study.isEmpty()) return std::nullopt;
    QString day;
    if (!f.since.isEmpty() || !f.untilBefore.isEmpty()) {
        const QDateTime since = QDateTime::fromString(f.since, Qt::ISODateWithMs);
        if (!since.isValid() || isoTime(since) != f.since || since.toUTC().time() != QTime(0, 0) ||
            isoTime(since.addDays(1)) != f.untilBefore)
            return std::nullopt;
        day = f.since.left(10);
    }
    if (!f.lot.isEmpty() && !day.isEmpty()) return std::nullopt;
    if (!f.lot.isEmpty()) return std::pair{QStringLiteral("lot"), f.lot};
    if (!day.isEmpty()) return std::pair{QStringLiteral("day"), day};
    return std::pair{QStringLiteral("all"), QString(QLatin1String(""))};
}

QVariant nullText() {
    return QVariant(QMetaType(QMetaType::QString));
}

// A unit's first test and first pass in one scope (at one station, or at
// any); what it adds to the units tested, passed and first-pass.
struct UnitState {
    bool tested = false;
    QString first, pass;  // pass: null without one
    void add(const QString& started, bool passed) {
        if (!tested || started < first) first = started;
        if (passed && (pass.isNull() || started < pass)) pass = started;
        tested = true;
    }
    void merge(const UnitState& o) {
        if (!o.tested) return;
        add(o.first, false);
        if (!o.pass.isNull()) add(o.pass, true);
    }
    Tally::Units counts() const {
        if (!tested) return {};
        return {1, pass.isNull() ? 0 : 1, !pass.isNull() && pass == first ? 1 : 0};
    }
};

void addUnits(Tally::Units& to, const Tally::Units& u, int sign = 1) {
    to.tested += sign * u.tested;
    to.passed += sign * u.passed;
    to.firstPass += sign * u.firstPass;
}

using Counts = std::map<double, qint64>;

constexpr int kMeasureColumns = int(kMeasureCount);

// The two C/N0 columns a slot's mean may be of, in summaryMeasures().
constexpr int kSlotMeasures[] = {int(Measure::SkyCn0), int(Measure::SignalCn0)};

// Ascending distributions from counts, per station and merged over stations,
// and the passing results' over stations.
void fillValues(MeasureValues& v, const QMap<QString, QMap<QString, Counts>>& byStation,
                const QMap<QString, Counts>& passed) {
    QMap<QString, Counts> merged;
    for (auto s = byStation.cbegin(); s != byStation.cend(); ++s)
        for (auto m = s->cbegin(); m != s->cend(); ++m) {
            Distribution& d = v.stations[s.key()][m.key()];
            d.assign(m->begin(), m->end());
            Counts& all = merged[m.key()];
            for (const auto& [value, n] : *m) all[value] += n;
        }
    for (auto m = merged.cbegin(); m != merged.cend(); ++m)
        v.overall[m.key()].all.assign(m->begin(), m->end());
    for (auto m = passed.cbegin(); m != passed.cend(); ++m)
        v.overall[m.key()].passed.assign(m->begin(), m->end());
}

// A stored "limits" object's numbers, counted n times.
void addLimits(LimitCounts& to, const QString& text, qint64 n) {
    to.results += n;
    const QJsonObject limits = QJsonDocument::fromJson(text.toUtf8()).object();
    for (auto it = limits.begin(); it != limits.end(); ++it)
        if (it->isDouble()) to.byKey[it.key()][it->toDouble()] += n;
}

// The filter's results read from the rows, through the index of the
// narrowest condition: the WHERE is the query's only clause, so nothing else
// can steer the planner to a whole-table index.
bool tallyRows(const QSqlDatabase& db, const Filter& filter, Tally& t, QString* error) {
    const Where w = where(filter);
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT station, unit, started, result, reason, port, %1, limits"
                            " FROM results WHERE %2")
                 .arg(summaryMeasures().join(QStringLiteral(", ")), w.sql),
             w, error))
        return false;
    QMap<QString, QMap<QString, Counts>> values;
    QMap<QString, Counts> passed;
    QMap<std::tuple<QString, QString, int>, SlotSum> ports;
    QHash<QString, qint64> limits;
    QHash<QString, UnitState> units;
    QMap<QString, QHash<QString, UnitState>> stationUnits;
    const QString passCode = codeOf(Outcome::Pass), failCode = codeOf(Outcome::Fail);
    while (q.next()) {
        const QString station = q.value(0).toString();
        const QString result = q.value(3).toString();
        ++t.outcomes[station][{result, q.value(4).toString()}];
        const bool pass = result == passCode;
        QMap<QString, Counts>& v = values[station];
        for (int m = 0; m < kMeasureColumns; ++m)
            if (!q.isNull(6 + m)) {
                const double value = q.value(6 + m).toDouble();
                ++v[summaryMeasures()[m]][value];
                if (pass) ++passed[summaryMeasures()[m]][value];
            }
        for (int m : kSlotMeasures)
            if (!q.isNull(6 + m)) {
                SlotSum& s = ports[{station, q.value(5).toString(), m}];
                s.station = station;
                s.port = q.value(5).toString();
                s.column = summaryMeasures()[m];
                ++s.count;
                s.sum += q.value(6 + m).toDouble();
            }
        ++limits[q.value(6 + kMeasureColumns).toString()];
        const QString unit = q.value(1).toString();
        if (unit.isEmpty() || (!pass && result != failCode)) continue;
        units[unit].add(q.value(2).toString(), pass);
        stationUnits[station][unit].add(q.value(2).toString(), pass);
    }
    if (!drained(q, error)) return false;
    fillValues(t.values, values, passed);
    t.values.perSlot = ports.values();
    for (auto it = limits.cbegin(); it != limits.cend(); ++it)
        addLimits(t.values.limits, it.key(), it.value());
    for (const UnitState& u : units) addUnits(t.units, u.counts());
    for (auto s = stationUnits.cbegin(); s != stationUnits.cend(); ++s)
        for (const UnitState& u : *s) addUnits(t.stationUnits[s.key()], u.counts());
    return paceFromRows(db, w, t.pace, error);
}

// The scope's summaries, of one station or of all.
bool tallySummaries(const QSqlDatabase& db, const std::pair<QString, QString>& scope,
                    const QString& station, Tally& t, QString* error) {
    Where w{QStringLiteral("kind = ? AND name = ?"), {scope.first, scope.second}};
    if (!station.isEmpty()) {
        w.sql += QStringLiteral(" AND station = ?");
        w.values << station;
    }
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT station, result, reason, n FROM summary_outcomes WHERE %1")
                 .arg(w.sql),
             w, error))
        return false;
    while (q.next())
        t.outcomes[q.value(0).toString()][{q.value(1).toString(), q.value(2).toString()}] +=
            q.value(3).toLongLong();
    if (!drained(q, error)) return false;

    // PostgreSQL's driver reads many small rows slowly: there each station's
    // values of a measure come as one text "value:n,value:n,..." (a double
    // is written in its shortest exact form and reads back the same).
    QMap<QString, QMap<QString, Counts>> values;
    QMap<QString, Counts> passed;
    const bool packed = db.driverName() == QLatin1String("QPSQL");
    if (!run(q,
             packed ? QStringLiteral("SELECT station, measure, passed,"
                                     " string_agg(CAST(value AS TEXT) || ':' || CAST(n AS TEXT),"
                                     " ',') FROM summary_values WHERE %1"
                                     " GROUP BY station, measure, passed")
                          .arg(w.sql)
                    : QStringLiteral("SELECT station, measure, passed, value, n"
                                     " FROM summary_values WHERE %1")
                          .arg(w.sql),
             w, error))
        return false;
    while (q.next()) {
        const QString measure = q.value(1).toString();
        Counts& counts = values[q.value(0).toString()][measure];
        Counts* pass = q.value(2).toInt() ? &passed[measure] : nullptr;
        if (!packed) {
            counts[q.value(3).toDouble()] += q.value(4).toLongLong();
            if (pass) (*pass)[q.value(3).toDouble()] += q.value(4).toLongLong();
            continue;
        }
        const QByteArray text = q.value(3).toString().toLatin1();
        for (const char *p = text.constData(), *end = p + text.size(); p < end; ++p) {
            double value = 0;
            qint64 n = 0;
            auto got = std::from_chars(p, end, value);
            if (got.ec == std::errc() && got.ptr < end && *got.ptr == ':')
                got = std::from_chars(got.ptr + 1, end, n);
            if (got.ec != std::errc() || (got.ptr < end && *got.ptr != ',')) {
                *error = QStringLiteral("unreadable values of %1").arg(q.value(1).toString());
                return false;
            }
            counts[value] += n;
            if (pass) (*pass)[value] += n;
            p = got.ptr;
        }
    }
    if (!drained(q, error)) return false;
    fillValues(t.values, values, passed);

    if (!run(q,
             QStringLiteral("SELECT station, port, measure, n, cn0_sum FROM summary_slots WHERE %1")
                 .arg(w.sql),
             w, error))
        return false;
    QMap<std::tuple<QString, QString, int>, SlotSum> ports;
    while (q.next()) {
        const SlotSum s{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toLongLong(), q.value(4).toDouble()};
        ports.insert({s.station, s.port, int(summaryMeasures().indexOf(s.column))}, s);
    }
    if (!drained(q, error)) return false;
    t.values.perSlot = ports.values();

    if (!run(q, QStringLiteral("SELECT limits, n FROM summary_limits WHERE %1").arg(w.sql), w,
             error))
        return false;
    while (q.next()) addLimits(t.values.limits, q.value(0).toString(), q.value(1).toLongLong());
    if (!drained(q, error)) return false;

    // With a station, its own units are the units of the whole selection.
    if (!run(q,
             QStringLiteral(
                 "SELECT whole, station, units, passed, first_pass FROM summary_units WHERE %1")
                 .arg(station.isEmpty() ? w.sql : w.sql + QStringLiteral(" AND whole = 0")),
             w, error))
        return false;
    while (q.next()) {
        const Tally::Units u{q.value(2).toLongLong(), q.value(3).toLongLong(),
                             q.value(4).toLongLong()};
        if (u.tested == 0) continue;
        if (q.value(0).toInt() == 0) t.stationUnits[q.value(1).toString()] = u;
        if (q.value(0).toInt() == 1 || !station.isEmpty()) t.units = u;
    }
    return drained(q, error) && paceFromSummaries(db, w, t.pace, error);
}

}  // namespace

std::array<std::pair<QString, QString>, 3> summaryScopesOf(const QString& lot,
                                                           const QString& started) {
    return scopesOf(lot, started);
}

const QStringList& summaryMeasures() {
    static const QStringList names = [] {
        QStringList keys;
        for (const MeasureRow& m : kMeasures) keys << QLatin1String(keyOf(m));
        return keys;
    }();
    return names;
}

std::optional<Tally> tally(const QSqlDatabase& db, const Filter& filter, QString* error,
                           Source source) {
    Tally t;
    QString why;
    const auto scope = source == Source::Summaries ? scopeOf(filter) : std::nullopt;
    const Snapshot moment(db);
    const bool ok =
        moment.begun(&why) && (scope ? tallySummaries(db, *scope, filter.station, t, &why)
                                     : tallyRows(db, filter, t, &why));
    if (ok) return t;
    if (error) *error = why;
    return std::nullopt;
}

std::optional<MeasureValues> measureValues(const QSqlDatabase& db, const Filter& filter,
                                           QString* error, Source source) {
    auto t = tally(db, filter, error, source);
    if (!t) return std::nullopt;
    return std::move(t->values);
}

// The statements of a save, each over the row's three scopes at once.
struct SummaryWriter::Queries {
    explicit Queries(const QSqlDatabase& db)
        : outcomes(db),
          values(db),
          ports(db),
          limits(db),
          unitLock(db),
          unitRows(db),
          unitPut(db),
          unitCounts(db) {}
    QSqlQuery outcomes, values, ports, limits, unitLock, unitRows, unitPut, unitCounts;
    bool ready = false, pg = false;
};

SummaryWriter::SummaryWriter(const QSqlDatabase& db)
    : db_(db), q_(new Queries(db)), pace_(new PaceWriter(db)) {}
SummaryWriter::~SummaryWriter() = default;

bool SummaryWriter::add(const SummaryRow& r, QString* error) {
    Queries& q = *q_;
    auto failed = [&](const QSqlQuery& query) {
        *error = query.lastError().text();
        return false;
    };
    auto three = [](const char* values) {
        return QStringLiteral("%1, %1, %1").arg(QLatin1String(values));
    };
    if (!q.ready) {
        const std::pair<QSqlQuery*, QString> statements[] = {
            {&q.outcomes,
             QStringLiteral("INSERT INTO summary_outcomes (kind, name, station, result, reason, n)"
                            " VALUES %1 ON CONFLICT (kind, name, station, result, reason)"
                            " DO UPDATE SET n = summary_outcomes.n + 1")
                 .arg(three("(?, ?, ?, ?, ?, 1)"))},
            {&q.values,
             QStringLiteral("INSERT INTO summary_values (kind, name, station, measure, passed,"
                            " value, n) VALUES %1"
                            " ON CONFLICT (kind, name, station, measure, passed, value)"
                            " DO UPDATE SET n = summary_values.n + 1")
                 .arg(three("(?, ?, ?, ?, ?, ?, 1)"))},
            {&q.ports,
             QStringLiteral("INSERT INTO summary_slots (kind, name, station, port, measure, n,"
                            " cn0_sum) VALUES %1"
                            " ON CONFLICT (kind, name, station, port, measure) DO UPDATE SET"
                            " n = summary_slots.n + 1,"
                            " cn0_sum = summary_slots.cn0_sum + excluded.cn0_sum")
                 .arg(three("(?, ?, ?, ?, ?, 1, ?)"))},
            {&q.limits, QStringLiteral("INSERT INTO summary_limits (kind, name, station, limits, n)"
                                       " VALUES %1 ON CONFLICT (kind, name, station, limits)"
                                       " DO UPDATE SET n = summary_limits.n + 1")
                            .arg(three("(?, ?, ?, ?, 1)"))},
            {&q.unitLock, QStringLiteral("SELECT pg_advisory_xact_lock(7460013, hashtext(?))")},
            {&q.unitRows, QStringLiteral("SELECT station, first_at, pass_at FROM unit_tests"
                                         " WHERE kind = ? AND name = ? AND unit = ?")},
            {&q.unitPut,
             QStringLiteral("INSERT INTO unit_tests (kind, name, unit, station, first_at, pass_at)"
                            " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (kind, name, unit, station)"
                            " DO UPDATE SET first_at = excluded.first_at,"
                            " pass_at = excluded.pass_at")},
            {&q.unitCounts,
             QStringLiteral("INSERT INTO summary_units (kind, name, whole, station, units, passed,"
                            " first_pass) VALUES (?, ?, ?, ?, ?, ?, ?)"
                            " ON CONFLICT (kind, name, whole, station) DO UPDATE SET"
                            " units = summary_units.units + excluded.units,"
                            " passed = summary_units.passed + excluded.passed,"
                            " first_pass = summary_units.first_pass + excluded.first_pass")},
        };
        q.pg = db_.driverName() == QLatin1String("QPSQL");
        for (const auto& [query, sql] : statements)
            if ((q.pg || query != &q.unitLock) && !query->prepare(sql)) return failed(*query);
        q.ready = true;
    }
    const auto scopes = scopesOf(r.lot, r.started);
    auto bindScopes = [&](QSqlQuery& query, const QVariantList& tail) {
        int i = 0;
        for (const auto& [kind, name] : scopes) {
            query.bindValue(i++, kind);
            query.bindValue(i++, name);
            query.bindValue(i++, text(r.station));
            for (const QVariant& v : tail) query.bindValue(i++, v);
        }
        return query.exec();
    };
    if (!bindScopes(q.outcomes, {text(r.result), text(r.reason)})) return failed(q.outcomes);
    const bool pass = r.result == codeOf(Outcome::Pass);
    for (int m = 0; m < kMeasureColumns; ++m)
        if (r.measures[m] &&
            !bindScopes(q.values, {summaryMeasures()[m], pass ? 1 : 0, *r.measures[m]}))
            return failed(q.values);
    for (int m : kSlotMeasures)
        if (r.measures[m] &&
            !bindScopes(q.ports, {text(r.port), summaryMeasures()[m], *r.measures[m]}))
            return failed(q.ports);
    if (!bindScopes(q.limits, {text(r.limits)})) return failed(q.limits);
    if (!pace_->add(r, error)) return false;

    if (r.unit.isEmpty() || (!pass && r.result != codeOf(Outcome::Fail))) return true;
    // SQLite writes one transaction at a time; on PostgreSQL two saves of one
    // unit wait for each other, so that each reads the other's first test.
    if (q.pg) {
        q.unitLock.bindValue(0, r.unit);
        if (!q.unitLock.exec()) return failed(q.unitLock);
        q.unitLock.finish();
    }
    for (const auto& [kind, name] : scopes) {
        // The unit's state at each of its stations before this test.
        q.unitRows.bindValue(0, kind);
        q.unitRows.bindValue(1, name);
        q.unitRows.bindValue(2, r.unit);
        if (!q.unitRows.exec()) return failed(q.unitRows);
        UnitState here, whole;
        while (q.unitRows.next()) {
            UnitState s;
            s.tested = true;
            s.first = q.unitRows.value(1).toString();
            if (!q.unitRows.isNull(2)) s.pass = q.unitRows.value(2).toString();
            whole.merge(s);
            if (q.unitRows.value(0).toString() == r.station) here = s;
        }
        if (q.unitRows.lastError().isValid()) return failed(q.unitRows);
        q.unitRows.finish();
        UnitState hereAfter = here, wholeAfter = whole;
        hereAfter.add(r.started, pass);
        wholeAfter.add(r.started, pass);
        q.unitPut.bindValue(0, kind);
        q.unitPut.bindValue(1, name);
        q.unitPut.bindValue(2, r.unit);
        q.unitPut.bindValue(3, r.station);
        q.unitPut.bindValue(4, hereAfter.first);
        q.unitPut.bindValue(5, hereAfter.pass.isNull() ? nullText() : QVariant(hereAfter.pass));
        if (!q.unitPut.exec()) return failed(q.unitPut);
        for (const auto& [level, before, after] :
             {std::tuple{0, &here, &hereAfter}, std::tuple{1, &whole, &wholeAfter}}) {
            Tally::Units delta = after->counts();
            addUnits(delta, before->counts(), -1);
            if (delta.tested == 0 && delta.passed == 0 && delta.firstPass == 0) continue;
            int i = 0;
            for (const QVariant& v :
                 {QVariant(kind), QVariant(name), QVariant(level),
                  QVariant(level ? QString(QLatin1String("")) : r.station), QVariant(delta.tested),
                  QVariant(delta.passed), QVariant(delta.firstPass)})
                q.unitCounts.bindValue(i++, v);
            if (!q.unitCounts.exec()) return failed(q.unitCounts);
        }
    }
    return true;
}

bool buildSummaries(const QSqlDatabase& db, const std::function<void(const QString&)>& progress,
                    QString* error) {
    QSqlQuery q(db);
    auto exec = [&](const QString& sql) {
        if (q.exec(sql)) return true;
        *error = QStringLiteral("%1 (in: %2)").arg(q.lastError().text(), sql.left(80));
        return false;
    };
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    if (pg && !exec(QStringLiteral("ANALYZE results"))) return false;
    if (!exec(QStringLiteral("SELECT COUNT(*) FROM results")) || !q.next()) {
        if (error->isEmpty()) *error = q.lastError().text();
        return false;
    }
    const qint64 total = q.value(0).toLongLong();
    q.finish();
    const bool tell = total > 250000;
    if (tell)
        progress(QStringLiteral("building the report's summaries from %1 stored results, once")
                     .arg(total));

    // Whole sets, never row by row: the rows are grouped once into working
    // tables of the finest grain the scopes share (lot, day, station and the
    // summary's own key), and each scope's summary is those groups added up.
    // A unit's first test and pass are grouped from the rows per scope.  The
    // statements and their weight, in passes over the rows, for the estimate
    // of the time left.
    const QString day = QStringLiteral("substr(started, 1, 10)");
    const QString passed = QStringLiteral("CASE WHEN result = 'pass' THEN 1 ELSE 0 END");
    const QString fineKey = QStringLiteral("lot, station, measure, passed, value, day");
    std::vector<std::pair<QString, double>> steps;
    steps.push_back(
        {QStringLiteral("CREATE TEMP TABLE build_groups AS SELECT lot, %1 AS day, station, port,"
                        " result, reason, COALESCE(limits, '') AS limits, COUNT(*) AS n,"
                        " COUNT(cn0_mean4) AS n_sky, SUM(cn0_mean4) AS sum_sky,"
                        " COUNT(signal_cn0_mean) AS n_signal, SUM(signal_cn0_mean) AS sum_signal"
                        " FROM results GROUP BY lot, %1, station, port, result, reason,"
                        " COALESCE(limits, '')")
             .arg(day),
         1});
    steps.push_back({QStringLiteral("CREATE TEMP TABLE build_values (lot TEXT NOT NULL,"
                                    " station TEXT NOT NULL, measure TEXT NOT NULL,"
                                    " passed %1 NOT NULL, value %2 NOT NULL, day TEXT NOT NULL,"
                                    " n %1 NOT NULL, PRIMARY KEY (%3))%4")
                         .arg(pg ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER"),
                              pg ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL"),
                              fineKey, pg ? QString() : QStringLiteral(" WITHOUT ROWID")),
                     0});
    for (const QString& m : summaryMeasures())
        steps.push_back({QStringLiteral("INSERT INTO build_values (%5) SELECT lot, station, '%1',"
                                        " %2, %1, %3, COUNT(*) FROM results WHERE %1 IS NOT NULL"
                                        " GROUP BY lot, station, %2, %1, %3")
                             .arg(m, passed, day)
                             .arg(fineKey + QStringLiteral(", n")),
                         1});
    const QString scopes[3][2] = {{QStringLiteral("all"), QString()},
                                  {QStringLiteral("lot"), QStringLiteral("lot")},
                                  {QStringLiteral("day"), QStringLiteral("day")}};
    for (const auto& [kind, column] : scopes) {
        // The whole scope has no name column; PostgreSQL groups by no constant.
        const QString name = column.isEmpty() ? QStringLiteral("''") : column;
        const QString by = column.isEmpty() ? QString() : column + QStringLiteral(", ");
        const QString head = QStringLiteral("'%1', %2").arg(kind, name);
        steps.push_back({QStringLiteral("INSERT INTO summary_outcomes (kind, name, station, result,"
                                        " reason, n) SELECT %1, station, result, reason, SUM(n)"
                                        " FROM build_groups GROUP BY %2station, result, reason")
                             .arg(head, by),
                         0.05});
        steps.push_back(
            {QStringLiteral("INSERT INTO summary_limits (kind, name, station, limits, n)"
                            " SELECT %1, station, limits, SUM(n) FROM build_groups"
                            " GROUP BY %2station, limits")
                 .arg(head, by),
             0.05});
        for (const auto& [measure, column] :
             {std::pair{"cn0_mean4", "sky"}, std::pair{"signal_cn0_mean", "signal"}})
            steps.push_back(
                {QStringLiteral("INSERT INTO summary_slots (kind, name, station, port, measure, n,"
                                " cn0_sum) SELECT %1, station, port, '%3', SUM(n_%4), SUM(sum_%4)"
                                " FROM build_groups WHERE n_%4 > 0 GROUP BY %2station, port")
                     .arg(head, by, QLatin1String(measure), QLatin1String(column)),
                 0.05});
        steps.push_back({QStringLiteral("INSERT INTO summary_values (kind, name, station, measure,"
                                        " passed, value, n) SELECT %1, station, measure, passed,"
                                        " value, SUM(n) FROM build_values"
                                        " GROUP BY %2station, measure, passed, value")
                             .arg(head, by),
                         1});
        const QString rowName = column == QLatin1String("day") ? day : name;
        const QString rowBy = column == QLatin1String("day") ? day + QStringLiteral(", ") : by;
        steps.push_back(
            {QStringLiteral("INSERT INTO unit_tests (kind, name, unit, station, first_at, pass_at)"
                            " SELECT '%1', %2, unit, station, MIN(started),"
                            " MIN(CASE WHEN result = 'pass' THEN started END) FROM results"
                            " WHERE unit <> '' AND result IN ('pass', 'fail')"
                            " GROUP BY %3unit, station")
                 .arg(kind, rowName, rowBy),
             1.5});
        // The units' counts from their first tests and passes: per station,
        // and over every station with each unit's earliest.
        const char* firstPass = "SUM(CASE WHEN pass_at = first_at THEN 1 ELSE 0 END)";
        steps.push_back(
            {QStringLiteral("INSERT INTO summary_units (kind, name, whole, station, units, passed,"
                            " first_pass) SELECT kind, name, 0, station, COUNT(*), COUNT(pass_at),"
                            " %2 FROM unit_tests WHERE kind = '%1' GROUP BY kind, name, station")
                 .arg(kind, QLatin1String(firstPass)),
             1});
        steps.push_back(
            {QStringLiteral("INSERT INTO summary_units (kind, name, whole, station, units, passed,"
                            " first_pass) SELECT kind, name, 1, '', COUNT(*), COUNT(pass_at), %2"
                            " FROM (SELECT kind, name, unit, MIN(first_at) AS first_at,"
                            " MIN(pass_at) AS pass_at FROM unit_tests WHERE kind = '%1'"
                            " GROUP BY kind, name, unit) AS u GROUP BY kind, name")
                 .arg(kind, QLatin1String(firstPass)),
             1});
    }
    steps.push_back({QStringLiteral("DROP TABLE build_groups"), 0});
    steps.push_back({QStringLiteral("DROP TABLE build_values"), 0});

    double all = 0, done = 0;
    for (const auto& step : steps) all += step.second;
    QElapsedTimer clock;
    clock.start();
    qint64 shown = 0;
    for (const auto& [sql, weight] : steps) {
        if (!exec(sql)) return false;
        q.finish();
        done += weight;
        // Every few seconds: how far, and the time left at the pace so far.
        const qint64 ms = clock.elapsed();
        if (tell && done < all && ms - shown >= 2000) {
            shown = ms;
            progress(QStringLiteral("summaries: %1 % (%2 s, about %3 s left)")
                         .arg(int(100 * done / all))
                         .arg(ms / 1000)
                         .arg(qRound64(ms / 1000.0 * (all - done) / done)));
        }
    }
    if (tell) progress(QStringLiteral("summaries built in %1 s").arg(clock.elapsed() / 1000));
    return true;
}

}  // namespace results
