#include "results/lookup.h"

#include <QJsonObject>
#include <QSqlQuery>
#include <algorithm>

#include "results/limitrows.h"
#include "results/query.h"
#include "vocabulary/reasons.h"

namespace results {

namespace {

const char kColumns[] =
    "id, unit, station, port, lot, study, started, ended, result, reason, status, cycle, "
    "signal_sv";

ResultRow rowOf(const QSqlQuery& q) {
    ResultRow r;
    QString* texts[] = {&r.id,      &r.unit,  &r.station, &r.port,   &r.lot,   &r.study,
                        &r.started, &r.ended, &r.result,  &r.reason, &r.status};
    int i = 0;
    for (QString* t : texts) *t = q.value(i++).toString();
    if (!q.isNull(i)) r.cycle = q.value(i).toLongLong();
    r.sv = q.value(++i).toString();
    return r;
}

// Runs sql with values and reads every row.
std::optional<QList<ResultRow>> rows(const QSqlDatabase& db, const QString& sql,
                                     const QVariantList& values, QString* error) {
    QSqlQuery q(db);
    if (!run(q, sql, Where{QString(), values}, error)) return std::nullopt;
    QList<ResultRow> out;
    while (q.next()) out << rowOf(q);
    if (!drained(q, error)) return std::nullopt;
    return out;
}

// "2026-12-07T08:00:00.000Z, cycle 2, fail", for a list of a unit's results.
QString briefly(const ResultRow& r) {
    QString text = r.started.isEmpty() ? QStringLiteral("no start") : r.started;
    if (r.cycle) text += QStringLiteral(", cycle %1").arg(*r.cycle);
    return text + QStringLiteral(", ") + r.result;
}

QString listed(const QList<ResultRow>& rs, bool ids) {
    QStringList items;
    for (const ResultRow& r : rs.mid(0, 5))
        items << (ids ? r.id + QStringLiteral(" (") + briefly(r) + ')' : briefly(r));
    if (rs.size() > 5) items << QStringLiteral("%1 more").arg(rs.size() - 5);
    return items.join(QStringLiteral("; "));
}

QString seconds(qint64 ms) {
    return QString::number(double(ms) / 1000.0, 'f', 1);
}

}  // namespace

namespace {

std::optional<Lookup> find(const QSqlDatabase& db, const QString& key, const Pick& pick,
                           bool serials, QString* error) {
    Lookup found;
    const QString select = QStringLiteral("SELECT %1 FROM results WHERE ").arg(kColumns);
    const auto exact = rows(db, select + QStringLiteral("id = ?"), {key}, error);
    if (!exact) return std::nullopt;
    if (!exact->isEmpty()) {
        if (pick.any())
            found.mistake = QStringLiteral(
                                "\"%1\" is a result's id; --cycle and --started pick among a "
                                "unit's results")
                                .arg(key);
        else
            found.row = exact->front();
        return found;
    }
    if (serials) {
        const auto all = rows(
            db, select + QStringLiteral("unit = ? ORDER BY started DESC, seq DESC"), {key}, error);
        if (!all) return std::nullopt;
        if (!all->isEmpty()) {
            QList<ResultRow> picked;
            for (const ResultRow& r : *all)
                if ((!pick.cycle || r.cycle == pick.cycle) && r.started.startsWith(pick.started))
                    picked << r;
            if (picked.isEmpty()) {
                found.mistake = QStringLiteral("unit %1 has no result of that %2; its results: %3")
                                    .arg(key,
                                         pick.cycle && !pick.started.isEmpty()
                                             ? QStringLiteral("cycle and start")
                                         : pick.cycle ? QStringLiteral("cycle")
                                                      : QStringLiteral("start"),
                                         listed(*all, false));
                return found;
            }
            found.row = picked.front();
            if (picked.size() > 1)
                found.note = QStringLiteral(
                                 "unit %1 has %2 such results; this is the latest (%3), "
                                 "--cycle N or --started TIME names another")
                                 .arg(key)
                                 .arg(picked.size())
                                 .arg(briefly(picked.front()));
            return found;
        }
        if (pick.any()) {
            found.mistake =
                QStringLiteral("no unit has the serial \"%1\" (--cycle and --started go with one)")
                    .arg(key);
            return found;
        }
    }
    const QString nowhere =
        serials ? QStringLiteral(
                      "no result has the id \"%1\" (nor an id beginning so), and no "
                      "unit has that serial")
                : QStringLiteral("no result has the id \"%1\" (nor an id beginning so)");
    if (key.size() < kShortestIdPrefix) {
        found.mistake =
            nowhere.arg(key) +
            QStringLiteral(" (an id's beginning is at least %1 characters)").arg(kShortestIdPrefix);
        return found;
    }
    // SQLite compares text as bytes, so the ids that begin with the key lie in
    // one range of the id's index; a server's collation may order them apart.
    QString begins = QStringLiteral("substr(id, 1, ?) = ?");
    QVariantList values{int(key.size()), key};
    QString after = key;
    if (db.driverName() == QLatin1String("QSQLITE") && after.back().unicode() < 0x7f) {
        after.back() = QChar(after.back().unicode() + 1);
        begins += QStringLiteral(" AND id >= ? AND id < ?");
        values << key << after;
    }
    const auto begun =
        rows(db, select + begins + QStringLiteral(" ORDER BY started, seq LIMIT 6"), values, error);
    if (!begun) return std::nullopt;
    if (begun->isEmpty())
        found.mistake = nowhere.arg(key);
    else if (begun->size() > 1)
        found.mistake = QStringLiteral("%1 ids begin with \"%2\"; give more of the one meant: %3")
                            .arg(begun->size() > 5 ? QStringLiteral("more than 5")
                                                   : QString::number(begun->size()),
                                 key, listed(begun->mid(0, 5), true));
    else
        found.row = begun->front();
    return found;
}

}  // namespace

std::optional<Lookup> findResult(const QSqlDatabase& db, const QString& key, const Pick& pick,
                                 bool serials, QString* error) {
    auto found = find(db, key, pick, serials, error);
    if (!found || !found->row) return found;
    const auto limits = limitResultsOf(db, {found->row->id}, error);
    if (!limits) return std::nullopt;
    found->row->limits = limits->value(found->row->id);
    return found;
}

QStringList failedLimitWords(const ResultRow& row) {
    QStringList out;
    for (const LimitResult& l : row.limits)
        if (l.outcome == LimitOutcome::Fail) out << limitResultWords(l, row.sv);
    return out;
}

std::optional<QList<FailedUnit>> failedUnits(const QSqlDatabase& db, const Filter& filter,
                                             QString* error) {
    const Where w = where(filter);
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT %1 FROM results WHERE %2 AND %3 ORDER BY unit, started, seq")
                 .arg(QLatin1String(kColumns), w.sql, testsAUnit()),
             w, error))
        return std::nullopt;
    const QString fail = codeOf(Outcome::Fail);
    QList<FailedUnit> out;
    FailedUnit unit;
    bool open = false;
    const auto close = [&] {
        if (open && unit.latest.result == fail) out << unit;
        open = false;
    };
    while (q.next()) {
        const ResultRow r = rowOf(q);
        if (!open || r.unit.isEmpty() || r.unit != unit.latest.unit) {
            close();
            unit = FailedUnit{};
            open = true;
        }
        unit.latest = r;
        unit.failures += r.result == fail;
    }
    close();
    if (!drained(q, error)) return std::nullopt;
    QStringList ids;
    for (const FailedUnit& u : out) ids << u.latest.id;
    const auto limits = limitResultsOf(db, ids, error);
    if (!limits) return std::nullopt;
    for (FailedUnit& u : out) u.latest.limits = limits->value(u.latest.id);
    std::stable_sort(out.begin(), out.end(), [](const FailedUnit& a, const FailedUnit& b) {
        return a.latest.started < b.latest.started;
    });
    return out;
}

QJsonArray failedUnitsJson(const QList<FailedUnit>& units) {
    QJsonArray out;
    for (const FailedUnit& u : units) {
        QJsonObject unit{{"unit", u.latest.unit}, {"station", u.latest.station},
                         {"port", u.latest.port}, {"reason", u.latest.reason},
                         {"id", u.latest.id},     {"started", u.latest.started},
                         {"failures", u.failures}};
        // As in the result's own JSON; a result kept without them has none.
        if (!u.latest.limits.empty())
            unit.insert(QLatin1String("limit_results"), limitResultsJson(u.latest.limits));
        out.append(unit);
    }
    return out;
}

void printFailedUnits(const QList<FailedUnit>& units, QTextStream& out, int most) {
    out << "\nFailed units (their latest test failed): " << units.size() << '\n';
    for (const FailedUnit& u : units.mid(0, most)) {
        out << QStringLiteral("  %1 %2 %3 %4 %5  %6")
                   .arg(u.latest.unit.isEmpty() ? QStringLiteral("(none)") : u.latest.unit, -16)
                   .arg(u.latest.station, -10)
                   .arg(u.latest.port, -16)
                   .arg(u.latest.reason, -22)
                   .arg(u.latest.started, u.latest.id);
        if (u.failures > 1) out << QStringLiteral("  (%1 failures)").arg(u.failures);
        out << '\n';
        // Each limit it failed, the reason's first.
        for (const QString& words : failedLimitWords(u.latest)) out << "    " << words << '\n';
    }
    if (units.size() > most)
        out << QStringLiteral("  ... and %1 more (--json lists every one)\n")
                   .arg(units.size() - most);
}

QString evidenceHeading(const ResultRow& row, const std::vector<evidence::Chunk>& chunks) {
    QString out;
    out += QStringLiteral("Unit %1").arg(row.unit.isEmpty() ? QStringLiteral("(no serial)")
                                                            : row.unit);
    if (row.cycle) out += QStringLiteral(", cycle %1").arg(*row.cycle);
    if (!row.lot.isEmpty()) out += QStringLiteral(", lot ") + row.lot;
    if (!row.study.isEmpty()) out += QStringLiteral(", study ") + row.study;
    out += QStringLiteral("\nSlot %1 of station %2\n")
               .arg(row.port.isEmpty() ? QStringLiteral("(none)") : row.port,
                    row.station.isEmpty() ? QStringLiteral("(none)") : row.station);
    out += QStringLiteral("Verdict %1, %2: %3\n")
               .arg(row.result, row.reason, QString(row.status).replace('\n', QLatin1String("; ")));
    for (const LimitResult& l : row.limits)
        out += QStringLiteral("Limit %1: %2\n").arg(codeOf(l.outcome), limitResultWords(l, row.sv));
    const auto started = storedMs(row.started), ended = storedMs(row.ended);
    out += QStringLiteral("Started %1, ended %2").arg(row.started, row.ended);
    if (started && ended) out += QStringLiteral(" (%1 s)").arg(seconds(*ended - *started));
    qint64 bytes[2] = {0, 0}, count[2] = {0, 0};
    for (const evidence::Chunk& c : chunks)
        if (c.kind != evidence::Kind::Note) {
            const bool sent = c.kind == evidence::Kind::Sent;
            bytes[sent] += c.bytes.size();
            ++count[sent];
        }
    out += QStringLiteral("\nReceived %1 bytes in %2 reads; sent %3 bytes in %4 writes\n")
               .arg(bytes[0])
               .arg(count[0])
               .arg(bytes[1])
               .arg(count[1]);
    const std::vector<evidence::Silence> quiet = evidence::silences(chunks);
    for (const evidence::Silence& s : quiet)
        out += QStringLiteral("Silence: %1, from %2 s %3\n")
                   .arg(evidence::silenceWords(s), seconds(s.fromMs),
                        s.toEnd ? QStringLiteral("to the end")
                                : QStringLiteral("to %1 s").arg(seconds(s.toMs)));
    if (quiet.empty())
        out += QStringLiteral("No silence of %1 s or more\n").arg(seconds(evidence::kSilenceMs));
    out += QStringLiteral(
               "Result %1\nTimes are since the port opened; < from the receiver, > to it, "
               "# the station's note, ~ a silence.\n\n")
               .arg(row.id);
    return out;
}

}  // namespace results
