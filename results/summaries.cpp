#include "results/summaries.h"
#include "vocabulary/reasons.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <unordered_map>

#include "results/query.h"
#include "results/rowreader.h"
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

// Stored times compared as the database orders them; texts as bytes.
bool before(const QString& a, const QString& b) {
    return a < b;
}
bool before(QByteArrayView a, QByteArrayView b) {
    return a.compare(b) < 0;
}
bool same(QByteArrayView a, QByteArrayView b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), std::size_t(a.size())) == 0;
}
QString textOf(const QString& s) {
    return s;
}
QByteArray textOf(QByteArrayView s) {
    return s.toByteArray();
}

// A unit's first test and first pass in one scope (at one station, or at
// any); what it adds to the units tested, passed and first-pass.  Its times
// as strings, or as a long read's bytes.
template <class Text>
struct UnitStateOf {
    bool tested = false;
    Text first, pass;  // pass: null without one
    template <class Started>
    void add(const Started& started, bool passed) {
        if (!tested || before(started, first)) first = textOf(started);
        if (passed && (pass.isNull() || before(started, pass))) pass = textOf(started);
        tested = true;
    }
    void merge(const UnitStateOf& o) {
        if (!o.tested) return;
        add(o.first, false);
        if (!o.pass.isNull()) add(o.pass, true);
    }
    Tally::Units counts() const {
        if (!tested) return {};
        return {1, pass.isNull() ? 0 : 1, !pass.isNull() && pass == first ? 1 : 0};
    }
};
using UnitState = UnitStateOf<QString>;

void addUnits(Tally::Units& to, const Tally::Units& u, int sign = 1) {
    to.tested += sign * u.tested;
    to.passed += sign * u.passed;
    to.firstPass += sign * u.firstPass;
}

using Counts = std::map<double, qint64>;

// A stored row's part in its slot's resets: a pass whose command went out,
// its reset proven or not (a row that never said counts as not proven).
QString resetPassSql() {
    return resultIs(Outcome::Pass) + QLatin1String(" AND cold_start_sent");
}
const char kResetUnprovenSql[] = "CASE WHEN reset_verified THEN 0 ELSE 1 END";

constexpr int kMeasureColumns = int(kMeasureCount);

// The two C/N0 columns a slot's mean may be of, in summaryMeasures().
constexpr int kSlotMeasures[] = {int(Measure::SkyCn0), int(Measure::SignalCn0)};

// A statement of the summaries' upkeep with its values bound in order (not
// run(), which is a report's read).
bool execute(QSqlQuery& q, const QString& sql, const QVariantList& values, QString* error) {
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        *error = q.lastError().text();
        return false;
    }
    for (const QVariant& v : values) q.addBindValue(v);
    if (q.exec()) return true;
    *error = QStringLiteral("%1 (in: %2)").arg(q.lastError().text(), sql.left(80));
    return false;
}

// The rows of a scope as a condition over the results, with its values.  A
// day's rows are found through the index on started: its first moment up to
// the next day's, each with the day's own text.
Where rowsOf(const std::pair<QString, QString>& scope) {
    const QString& name = scope.second;
    if (scope.first == QLatin1String("lot"))
        return {QStringLiteral("lot = ? AND study = ''"), {name}};
    if (scope.first == QLatin1String("day")) {
        if (name.isEmpty()) return {QStringLiteral("started = '' AND study = ''"), {}};
        const QDate date = QDate::fromString(name, Qt::ISODate);
        const QString next = date.isValid() && name.size() == 10
                                 ? date.addDays(1).toString(Qt::ISODate)
                                 : name + QChar(0xffff);
        return {QStringLiteral("started >= ? AND started < ? AND substr(started, 1, 10) = ?"
                               " AND study = ''"),
                {name, next, name}};
    }
    return {QStringLiteral("study = ''"), {}};
}

// A range of started that holds a scope's rows, as a condition.
Where spanOf(const std::pair<QString, QString>& scope) {
    if (scope.first == QLatin1String("lot"))
        return {QStringLiteral("started >= (SELECT MIN(started) FROM results WHERE lot = ?)"
                               " AND started <= (SELECT MAX(started) FROM results WHERE lot = ?)"),
                {scope.second, scope.second}};
    if (scope.first == QLatin1String("day")) {
        const Where rows = rowsOf(scope);
        if (rows.values.size() == 3)
            return {QStringLiteral("started >= ? AND started < ?"), rows.values.mid(0, 2)};
        return rows;
    }
    return {QStringLiteral("1 = 1"), {}};
}

// Whether a scope's summaries hold every row of it: built, or without a row
// stored before the summaries were kept.
std::optional<bool> isWhole(const QSqlDatabase& db, const std::pair<QString, QString>& scope,
                            QString* error) {
    QSqlQuery q(db);
    if (!execute(q, QStringLiteral("SELECT 1 FROM summary_scopes WHERE kind = ? AND name = ?"),
                 {scope.first, scope.second}, error))
        return std::nullopt;
    if (q.next()) return true;
    if (!drained(q, error) ||
        !execute(q, QStringLiteral("SELECT seq FROM summary_start"), {}, error))
        return std::nullopt;
    const qint64 start = q.next() ? q.value(0).toLongLong() : 0;
    if (!drained(q, error)) return std::nullopt;
    if (start == 0) return true;
    Where w = rowsOf(scope);
    w.values << start;
    if (!execute(q,
                 QStringLiteral("SELECT 1 FROM results WHERE %1 AND seq <= ? LIMIT 1").arg(w.sql),
                 w.values, error))
        return std::nullopt;
    if (q.next()) return false;
    if (!drained(q, error)) return std::nullopt;
    return true;
}

// A build's exclusive lock, a save's shared one (ScopeCheck).
constexpr int kBuildLock = 7460014;

// Tells how far a long build has come, every few seconds.
class BuildProgress {
public:
    BuildProgress(const std::function<void(const QString&)>& tell, qint64 total)
        : tell_(total > 250000 ? tell : nullptr), total_(total) {
        clock_.start();
    }
    explicit operator bool() const { return bool(tell_); }
    void say(const QString& text) const {
        if (tell_) tell_(text);
    }
    // done of the total rows read, out of passes passes over them.
    void at(qint64 done, int pass, int passes) {
        const qint64 ms = clock_.elapsed();
        if (!tell_ || ms - shown_ < 2000) return;
        shown_ = ms;
        const double part = (pass + double(done) / double(total_)) / passes;
        tell_(QStringLiteral("summaries: %1 % (%2 s, about %3 s left)")
                  .arg(int(100 * part))
                  .arg(ms / 1000)
                  .arg(qRound64(ms / 1000.0 * (1 - part) / std::max(part, 0.01))));
    }
    qint64 seconds() const { return clock_.elapsed() / 1000; }

private:
    std::function<void(const QString&)> tell_;
    qint64 total_;
    QElapsedTimer clock_;
    qint64 shown_ = 0;
};

// A slot's figures in every result's summaries.
struct SlotFigures {
    qint64 resets = 0, unproven = 0;
    qint64 n[std::size(kSlotMeasures)] = {};
    double sum[std::size(kSlotMeasures)] = {};
    Pace pace;
    // The last result with a stored start and end, in the order of start
    // then of storing; out of that order, the pace is counted again from
    // the slot's rows in order.
    qint64 lastStarted = 0, lastEnded = 0;
    bool timed = false, disordered = false;
    // Adds a result with a stored start and end; false when it came before
    // the last one.
    bool addTimed(qint64 started, qint64 ended) {
        if (timed && started < lastStarted) return false;
        Pace p{1, std::max<qint64>(ended - started, 0), 0, 0};
        if (timed) p.add(gapOf(started - lastEnded));
        pace.add(p);
        timed = true;
        lastStarted = started;
        lastEnded = ended;
        return true;
    }
};

// A few keys (stations, a station's ports, outcomes, limits) found by their
// bytes, so that a row makes no string of its own: linear, as a store has a
// handful of each.
template <class T>
class ByText {
public:
    T& operator[](QByteArrayView key) {
        for (auto& [k, v] : items_)
            if (same(k, key)) return v;
        items_.emplace_back(key.toByteArray(), T{});
        return items_.back().second;
    }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }

private:
    std::deque<std::pair<QByteArray, T>> items_;  // stable: a reference outlives an insert
};

struct StationFigures {
    ByText<ByText<qint64>> outcomes;  // by result, reason
    ByText<qint64> limits;
    ByText<SlotFigures> ports;  // by port
    // By measure, passed; hashed, as a row looks up one value per measure
    // (0.0 and -0.0 are one value, as in an ordered map).
    std::unordered_map<double, qint64> values[kMeasureColumns][2];
};

QString fromUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

// For a read of every row on a SQLite connection: the file mapped into
// memory and a larger page cache, this connection's only and while it
// lasts.  The reads by unit go to the table's pages in no order, and the
// default cache (2 MB) would read most of them again from the file.
class WideReads {
public:
    explicit WideReads(const QSqlDatabase& db) : db_(db) {
        if (db.driverName() != QLatin1String("QSQLITE")) return;
        for (const auto& [pragma, wide] : kPragmas) {
            QSqlQuery q(db_);
            if (!q.exec(QStringLiteral("PRAGMA %1").arg(QLatin1String(pragma))) || !q.next())
                continue;
            kept_.push_back({pragma, q.value(0).toLongLong()});
            q.finish();
            q.exec(QStringLiteral("PRAGMA %1 = %2").arg(QLatin1String(pragma)).arg(wide));
        }
    }
    ~WideReads() {
        for (const auto& [pragma, value] : kept_)
            QSqlQuery(db_).exec(
                QStringLiteral("PRAGMA %1 = %2").arg(QLatin1String(pragma)).arg(value));
    }
    WideReads(const WideReads&) = delete;
    WideReads& operator=(const WideReads&) = delete;

private:
    // cache_size in KiB when negative; mmap_size in bytes, bounded by the
    // library's own limit.
    static constexpr std::pair<const char*, qint64> kPragmas[] = {{"cache_size", -262144},
                                                                  {"mmap_size", qint64(1) << 40}};
    QSqlDatabase db_;
    std::vector<std::pair<const char*, qint64>> kept_;
};

// Each unit's first test and first pass, at each station and at any, from
// the rows by unit; read counts the rows read so far.
struct UnitCounts {
    ByText<Tally::Units> stations;
    Tally::Units whole;
};
bool countUnits(RowReader& rows, std::atomic<qint64>& read, UnitCounts& counts, QString* error) {
    if (!rows.exec(QStringLiteral("SELECT unit, station, started, CASE WHEN %1 THEN 1 ELSE 0 END"
                                  " FROM results WHERE study = '' AND unit <> '' AND %2"
                                  " ORDER BY unit")
                       .arg(resultIs(Outcome::Pass), testsAUnit()),
                   error))
        return false;
    QByteArray unit;
    UnitStateOf<QByteArray> any;
    ByText<UnitStateOf<QByteArray>> at;  // the unit's, by station
    auto unitDone = [&] {
        if (!any.tested) return;
        addUnits(counts.whole, any.counts());
        for (auto& [station, state] : at) {
            addUnits(counts.stations[station], state.counts());
            state = {};
        }
        any = {};
    };
    qint64 n = 0;
    while (rows.next()) {
        if (!same(rows.text(0), unit)) {
            unitDone();
            unit = rows.text(0).toByteArray();
        }
        const QByteArrayView started = rows.text(2);
        const bool pass = rows.integer(3);
        any.add(started, pass);
        at[rows.text(1)].add(started, pass);
        if (++n % 65536 == 0) read = n;
    }
    unitDone();
    read = n;
    return rows.finish(error);
}

// Every result's summaries, the scope ("all", ""), from two reads of the
// rows instead of a grouping pass per summary: the rows in the order they
// were stored (the table itself) give the outcomes, the limits, the resets,
// each slot's C/N0 and pace and each measure's values; the rows by unit (the
// (unit, started) index) give the units.  Counted as the scope's statements
// in buildScope() count them, with the same conditions, each written once in
// SQL and read as a column.  Ten million rows make no string each: their
// texts are compared as bytes (RowReader).
bool buildEveryResult(const QSqlDatabase& db, const std::function<void(const QString&)>& progress,
                      QString* error) {
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    const WideReads wide(db);
    QSqlQuery q(db);
    if (!execute(q, QStringLiteral("SELECT MAX(seq) FROM results"), {}, error)) return false;
    const qint64 total = q.next() ? q.value(0).toLongLong() : 0;
    q.finish();
    BuildProgress told(progress, total);
    told.say(QStringLiteral("building the report's summaries of every result from %1 stored"
                            " results, once")
                 .arg(total));

    // Bits of the flags' column.
    enum : int { kPassed = 1, kResetPass = 2, kUnproven = 4 };
    const QString startedForm = storedForm(QStringLiteral("started")),
                  endedForm = storedForm(QStringLiteral("ended"));
    const QString timed =
        QStringLiteral("CASE WHEN %1 AND %2 THEN 1 ELSE 0 END").arg(startedForm, endedForm);
    const QString startedMs = storedMsSql(QStringLiteral("started"), pg),
                  endedMs = storedMsSql(QStringLiteral("ended"), pg);
    // A result with a stored start and end is one whose start in ms is not
    // NULL (0 when the database cannot read it); each form tested once.
    const QString columns =
        QStringLiteral(
            "CASE WHEN %1 THEN 1 ELSE 0 END + CASE WHEN %2 THEN 2 ELSE 0 END + 4 * %3,"
            " CASE WHEN %4 AND %5 THEN COALESCE(%6, 0) END,"
            " CASE WHEN %5 THEN COALESCE(%7, 0) END")
            .arg(resultIs(Outcome::Pass), resetPassSql(), QLatin1String(kResetUnprovenSql),
                 startedForm, endedForm, startedMs, endedMs);
    // The units' read on a connection of its own beside the first, where
    // there can be one: the two reads take about as long each, and the
    // machine has more than one core.
    UnitCounts unitCounts;
    std::atomic<qint64> unitRows{0};
    QString unitsError;
    std::future<bool> unitsRead;
    if (auto own = RowReader::ownConnection(db))
        unitsRead = std::async(std::launch::async, [&, reader = std::shared_ptr(std::move(own))] {
            return countUnits(*reader, unitRows, unitCounts, &unitsError);
        });
    // Waits for the units' read, if it runs, before an early return.
    auto unitsDone = [&] { return !unitsRead.valid() || unitsRead.get(); };
    RowReader rows(db);
    if (!rows.exec(QStringLiteral("SELECT station, port, result, reason, COALESCE(limits, ''), %1,"
                                  " %2 FROM results WHERE study = '' ORDER BY seq")
                       .arg(columns, summaryMeasures().join(QStringLiteral(", "))),
                   error)) {
        unitsDone();
        return false;
    }
    constexpr int kFirstMeasure = 8;
    ByText<StationFigures> stations;
    qint64 read = 0;
    while (rows.next()) {
        StationFigures& st = stations[rows.text(0)];
        SlotFigures& slot = st.ports[rows.text(1)];
        ++st.outcomes[rows.text(2)][rows.text(3)];
        ++st.limits[rows.text(4)];
        const int flags = int(rows.integer(5));
        if (flags & kResetPass) {
            ++slot.resets;
            slot.unproven += flags & kUnproven ? 1 : 0;
        }
        if (!rows.isNull(6) && !slot.disordered && !slot.addTimed(rows.integer(6), rows.integer(7)))
            slot.disordered = true;
        const int passed = flags & kPassed ? 1 : 0;
        for (int m = 0; m < kMeasureColumns; ++m)
            if (!rows.isNull(kFirstMeasure + m))
                ++st.values[m][passed][rows.real(kFirstMeasure + m)];
        for (std::size_t i = 0; i < std::size(kSlotMeasures); ++i)
            if (!rows.isNull(kFirstMeasure + kSlotMeasures[i])) {
                ++slot.n[i];
                slot.sum[i] += rows.real(kFirstMeasure + kSlotMeasures[i]);
            }
        if (++read % 65536 == 0) told.at(read + unitRows, 0, 2);
    }
    if (!rows.finish(error)) {
        unitsDone();
        return false;
    }
    if (unitsRead.valid()) {
        while (unitsRead.wait_for(std::chrono::milliseconds(250)) != std::future_status::ready)
            told.at(read + unitRows, 0, 2);
        if (!unitsRead.get()) {
            *error = unitsError;
            return false;
        }
    } else if (!countUnits(rows, unitRows, unitCounts, error)) {
        return false;
    }
    // A slot with a result stored after a later-started one (a spool moved
    // in): its pace from its rows in order.
    for (auto& [station, st] : stations)
        for (auto& [port, slot] : st.ports) {
            if (!slot.disordered) continue;
            if (!execute(q,
                         QStringLiteral("SELECT %1, %2 FROM results WHERE station = ? AND port = ?"
                                        " AND study = '' AND %3 = 1 ORDER BY started, seq")
                             .arg(startedMs, endedMs, timed),
                         {fromUtf8(station), fromUtf8(port)}, error))
                return false;
            SlotFigures again;
            while (q.next()) again.addTimed(q.value(0).toLongLong(), q.value(1).toLongLong());
            if (!drained(q, error)) return false;
            slot.pace = again.pace;
        }

    // The summaries' rows.
    const QVariant kind = QStringLiteral("all"), name = QString(QLatin1String(""));
    auto put = [&](const QString& sql, const QVariantList& row) {
        return execute(q, sql, QVariantList{kind, name} + row, error);
    };
    for (const auto& [stationBytes, st] : stations) {
        const QString station = fromUtf8(stationBytes);
        for (const auto& [result, reasons] : st.outcomes)
            for (const auto& [reason, n] : reasons)
                if (!put(QStringLiteral("INSERT INTO summary_outcomes (kind, name, station, result,"
                                        " reason, n) VALUES (?, ?, ?, ?, ?, ?)"),
                         {station, fromUtf8(result), fromUtf8(reason), n}))
                    return false;
        for (const auto& [limits, n] : st.limits)
            if (!put(QStringLiteral("INSERT INTO summary_limits (kind, name, station, limits, n)"
                                    " VALUES (?, ?, ?, ?, ?)"),
                     {station, fromUtf8(limits), n}))
                return false;
        for (const auto& [portBytes, slot] : st.ports) {
            const QString port = fromUtf8(portBytes);
            if (slot.resets > 0 &&
                !put(QStringLiteral("INSERT INTO summary_resets (kind, name, station, port,"
                                    " passed, unproven) VALUES (?, ?, ?, ?, ?, ?)"),
                     {station, port, slot.resets, slot.unproven}))
                return false;
            for (std::size_t i = 0; i < std::size(kSlotMeasures); ++i)
                if (slot.n[i] > 0 &&
                    !put(QStringLiteral("INSERT INTO summary_slots (kind, name, station, port,"
                                        " measure, n, cn0_sum) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                         {station, port, summaryMeasures()[kSlotMeasures[i]], slot.n[i],
                          slot.sum[i]}))
                    return false;
            const Pace& p = slot.pace;
            if (p.results > 0 &&
                !put(QStringLiteral("INSERT INTO summary_pace (kind, name, station, port,"
                                    " results, test_ms, gaps, gap_ms)"
                                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
                     {station, port, p.results, p.testMs, p.gaps, p.gapMs}))
                return false;
        }
        for (int m = 0; m < kMeasureColumns; ++m)
            for (int passed = 0; passed < 2; ++passed)
                for (const auto& [value, n] : st.values[m][passed])
                    if (!put(QStringLiteral("INSERT INTO summary_values (kind, name, station,"
                                            " measure, passed, value, n)"
                                            " VALUES (?, ?, ?, ?, ?, ?, ?)"),
                             {station, summaryMeasures()[m], passed, value, n}))
                        return false;
    }
    const QString unitRow = QStringLiteral(
        "INSERT INTO summary_units (kind, name, whole, station, units, passed, first_pass)"
        " VALUES (?, ?, ?, ?, ?, ?, ?)");
    for (const auto& [station, u] : unitCounts.stations)
        if (!put(unitRow, {0, fromUtf8(station), u.tested, u.passed, u.firstPass})) return false;
    const Tally::Units& units = unitCounts.whole;
    if (!put(unitRow,
             {1, QString(QLatin1String("")), units.tested, units.passed, units.firstPass}) ||
        !put(QStringLiteral("INSERT INTO summary_scopes (kind, name) VALUES (?, ?)"), {}))
        return false;
    told.say(QStringLiteral("summaries built in %1 s").arg(told.seconds()));
    return true;
}

// One scope's summaries from its rows, in the caller's transaction: a lot's
// or a day's, a few thousand rows found through their index, by a grouping
// statement per summary; every result's by buildEveryResult().
bool buildScope(const QSqlDatabase& db, const std::pair<QString, QString>& scope,
                const std::function<void(const QString&)>& progress, QString* error) {
    if (scope.first == QLatin1String("all")) return buildEveryResult(db, progress, error);
    const Where rows = rowsOf(scope);
    const QString head = QStringLiteral("CAST(? AS TEXT), CAST(? AS TEXT)");
    const QString passed =
        QStringLiteral("CASE WHEN %1 THEN 1 ELSE 0 END").arg(resultIs(Outcome::Pass));
    QStringList steps{
        QStringLiteral("INSERT INTO summary_outcomes (kind, name, station, result, reason, n)"
                       " SELECT %1, station, result, reason, COUNT(*) FROM results WHERE %2"
                       " GROUP BY station, result, reason"),
        QStringLiteral("INSERT INTO summary_limits (kind, name, station, limits, n)"
                       " SELECT %1, station, COALESCE(limits, ''), COUNT(*) FROM results"
                       " WHERE %2 GROUP BY station, COALESCE(limits, '')"),
        QStringLiteral("INSERT INTO summary_resets (kind, name, station, port, passed, unproven)"
                       " SELECT %1, station, port, COUNT(*), SUM(%3) FROM results"
                       " WHERE %2 AND %4 GROUP BY station, port")
            .arg(QStringLiteral("%1"), QStringLiteral("%2"), QLatin1String(kResetUnprovenSql),
                 resetPassSql())};
    for (int m : kSlotMeasures)
        steps.push_back(QStringLiteral("INSERT INTO summary_slots (kind, name, station, port,"
                                       " measure, n, cn0_sum) SELECT %1, station, port, '%3',"
                                       " COUNT(*), SUM(%3) FROM results WHERE %2 AND %3 IS NOT"
                                       " NULL GROUP BY station, port")
                            .arg(QStringLiteral("%1"), QStringLiteral("%2"), summaryMeasures()[m]));
    for (const QString& m : summaryMeasures())
        steps.push_back(QStringLiteral("INSERT INTO summary_values (kind, name, station, measure,"
                                       " passed, value, n) SELECT %1, station, '%3', %4, %3,"
                                       " COUNT(*) FROM results WHERE %2 AND %3 IS NOT NULL"
                                       " GROUP BY station, %4, %3")
                            .arg(QStringLiteral("%1"), QStringLiteral("%2"), m, passed));
    // Each unit's first test and first pass, at each station and at any; the
    // units' counts from them.
    const QString units = QStringLiteral(
                              "SELECT unit, %1 MIN(started) AS first_at,"
                              " MIN(CASE WHEN ") +
                          resultIs(Outcome::Pass) +
                          QStringLiteral(
                              " THEN started END) AS pass_at FROM results"
                              " WHERE %2 AND unit <> '' AND ") +
                          testsAUnit() + QStringLiteral(" GROUP BY unit%3");
    const QString counts = QStringLiteral(
        "INSERT INTO summary_units (kind, name, whole, station, units, passed, first_pass)"
        " SELECT %1, %2, %3, COUNT(*), COUNT(pass_at),"
        " SUM(CASE WHEN pass_at = first_at THEN 1 ELSE 0 END) FROM (%4) AS u%5");
    steps.push_back(counts.arg(
        QStringLiteral("%1"), QStringLiteral("0"), QStringLiteral("station"),
        units.arg(QStringLiteral("station,"), QStringLiteral("%2"), QStringLiteral(", station")),
        QStringLiteral(" GROUP BY station")));
    steps.push_back(counts.arg(QStringLiteral("%1"), QStringLiteral("1"), QStringLiteral("''"),
                               units.arg(QString(), QStringLiteral("%2"), QString()), QString()));

    QSqlQuery q(db);
    const QVariantList values = QVariantList{scope.first, scope.second} + rows.values;
    for (const QString& sql : steps) {
        if (!execute(q, sql.arg(head, rows.sql), values, error)) return false;
        q.finish();
    }
    return buildPace(db, scope, rows, spanOf(scope), error) &&
           execute(q, QStringLiteral("INSERT INTO summary_scopes (kind, name) VALUES (?, ?)"),
                   {scope.first, scope.second}, error);
}

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
             QStringLiteral("SELECT station, unit, started, result, reason, port, %1, limits,"
                            " CASE WHEN %3 THEN 1 ELSE 0 END, %4 FROM results WHERE %2")
                 .arg(summaryMeasures().join(QStringLiteral(", ")), w.sql, resetPassSql(),
                      QLatin1String(kResetUnprovenSql)),
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
        if (q.value(7 + kMeasureColumns).toInt())
            t.resets[station][q.value(5).toString()].add(
                {1, q.value(8 + kMeasureColumns).toLongLong()});
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

    if (!run(q,
             QStringLiteral("SELECT station, port, passed, unproven FROM summary_resets WHERE %1")
                 .arg(w.sql),
             w, error))
        return false;
    while (q.next())
        t.resets[q.value(0).toString()][q.value(1).toString()].add(
            {q.value(2).toLongLong(), q.value(3).toLongLong()});
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
    auto scope = source == Source::Summaries ? scopeOf(filter) : std::nullopt;
    // A build that fails (a database opened read-only) leaves the rows to answer.
    if (scope && !Snapshot::active(db)) prepareSummaries(db, filter, {}, &why);
    why.clear();
    const Snapshot moment(db);
    bool ok = moment.begun(&why);
    if (ok && scope) {
        const auto whole = isWhole(db, *scope, &why);
        ok = whole.has_value();
        if (ok && !*whole) scope.reset();
    }
    ok = ok && (scope ? tallySummaries(db, *scope, filter.station, t, &why)
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

struct ScopeCheck::Queries {
    explicit Queries(const QSqlDatabase& db) : db(db), lock(db) {}
    QSqlDatabase db;
    QSqlQuery lock;
    QSet<std::pair<QString, QString>> whole;
};

ScopeCheck::ScopeCheck(const QSqlDatabase& db) : q_(new Queries(db)) {}
ScopeCheck::~ScopeCheck() = default;

bool ScopeCheck::whole(const std::pair<QString, QString>& scope, bool* yes, QString* error) {
    Queries& q = *q_;
    if (q.whole.contains(scope)) return *yes = true;
    auto found = isWhole(q.db, scope, error);
    if (found && !*found && q.db.driverName() == QLatin1String("QPSQL")) {
        // Held to the commit; then looked again, as a build may have ended.
        if (!q.lock.exec(
                QStringLiteral("SELECT pg_advisory_xact_lock_shared(%1, 0)").arg(kBuildLock))) {
            *error = q.lock.lastError().text();
            return false;
        }
        q.lock.finish();
        found = isWhole(q.db, scope, error);
    }
    if (!found) return false;
    if (*found) q.whole.insert(scope);
    *yes = *found;
    return true;
}

// The statements of a save, each over one scope.
struct SummaryWriter::Queries {
    explicit Queries(const QSqlDatabase& db)
        : outcomes(db),
          values(db),
          ports(db),
          limits(db),
          resets(db),
          unitLock(db),
          unitRows(db),
          unitCounts(db) {}
    QSqlQuery outcomes, values, ports, limits, resets, unitLock, unitRows, unitCounts;
    bool ready = false, pg = false;
};

SummaryWriter::SummaryWriter(const QSqlDatabase& db)
    : db_(db), q_(new Queries(db)), scopes_(new ScopeCheck(db)), pace_(new PaceWriter(db)) {}
SummaryWriter::~SummaryWriter() = default;

bool SummaryWriter::add(const SummaryRow& r, QString* error) {
    Queries& q = *q_;
    auto failed = [&](const QSqlQuery& query) {
        *error = query.lastError().text();
        return false;
    };
    if (!q.ready) {
        const std::pair<QSqlQuery*, QString> statements[] = {
            {&q.outcomes,
             QStringLiteral("INSERT INTO summary_outcomes (kind, name, station, result, reason, n)"
                            " VALUES (?, ?, ?, ?, ?, 1) ON CONFLICT (kind, name, station, result,"
                            " reason) DO UPDATE SET n = summary_outcomes.n + 1")},
            {&q.values,
             QStringLiteral("INSERT INTO summary_values (kind, name, station, measure, passed,"
                            " value, n) VALUES (?, ?, ?, ?, ?, ?, 1)"
                            " ON CONFLICT (kind, name, station, measure, passed, value)"
                            " DO UPDATE SET n = summary_values.n + 1")},
            {&q.ports,
             QStringLiteral("INSERT INTO summary_slots (kind, name, station, port, measure, n,"
                            " cn0_sum) VALUES (?, ?, ?, ?, ?, 1, ?)"
                            " ON CONFLICT (kind, name, station, port, measure) DO UPDATE SET"
                            " n = summary_slots.n + 1,"
                            " cn0_sum = summary_slots.cn0_sum + excluded.cn0_sum")},
            {&q.limits, QStringLiteral("INSERT INTO summary_limits (kind, name, station, limits, n)"
                                       " VALUES (?, ?, ?, ?, 1) ON CONFLICT (kind, name, station,"
                                       " limits) DO UPDATE SET n = summary_limits.n + 1")},
            {&q.resets,
             QStringLiteral("INSERT INTO summary_resets (kind, name, station, port, passed,"
                            " unproven) VALUES (?, ?, ?, ?, 1, ?) ON CONFLICT (kind, name,"
                            " station, port) DO UPDATE SET passed = summary_resets.passed + 1,"
                            " unproven = summary_resets.unproven + excluded.unproven")},
            {&q.unitLock, QStringLiteral("SELECT pg_advisory_xact_lock(7460013, hashtext(?))")},
            // The unit's other tests, through the (unit, started) index.
            {&q.unitRows, QStringLiteral("SELECT station, lot, started, result FROM results"
                                         " WHERE unit = ? AND study = '' AND id <> ? AND ") +
                              testsAUnit()},
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
    // The row's scopes whose summaries hold every row of theirs.
    std::vector<std::pair<QString, QString>> scopes;
    for (const auto& scope : scopesOf(r.lot, r.started)) {
        bool whole = false;
        if (!scopes_->whole(scope, &whole, error)) return false;
        if (whole) scopes.push_back(scope);
    }
    // What the scopes share is bound once: a bound value stays from one exec
    // to the next, and each bind costs Qt a placeholder's name.
    auto bindScopes = [&](QSqlQuery& query, const QVariantList& tail) {
        int i = 2;
        query.bindValue(i++, text(r.station));
        for (const QVariant& v : tail) query.bindValue(i++, v);
        for (const auto& [kind, name] : scopes) {
            query.bindValue(0, kind);
            query.bindValue(1, name);
            if (!query.exec()) return false;
        }
        return true;
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
    if (pass && r.startSent && !bindScopes(q.resets, {text(r.port), r.resetVerified ? 0 : 1}))
        return failed(q.resets);
    if (!pace_->add(r, *scopes_, error)) return false;

    if (r.unit.isEmpty() || (!pass && r.result != codeOf(Outcome::Fail))) return true;
    if (scopes.empty()) return true;
    // SQLite writes one transaction at a time; on PostgreSQL two saves of one
    // unit wait for each other, so that each reads the other's test.
    if (q.pg) {
        q.unitLock.bindValue(0, r.unit);
        if (!q.unitLock.exec()) return failed(q.unitLock);
        q.unitLock.finish();
    }
    struct Earlier {
        QString station, lot, started;
        bool pass;
    };
    std::vector<Earlier> earlier;
    q.unitRows.bindValue(0, r.unit);
    q.unitRows.bindValue(1, r.id);
    if (!q.unitRows.exec()) return failed(q.unitRows);
    while (q.unitRows.next())
        earlier.push_back({q.unitRows.value(0).toString(), q.unitRows.value(1).toString(),
                           q.unitRows.value(2).toString(),
                           q.unitRows.value(3).toString() == codeOf(Outcome::Pass)});
    if (q.unitRows.lastError().isValid()) return failed(q.unitRows);
    q.unitRows.finish();
    for (const auto& [kind, name] : scopes) {
        // The unit's state in this scope, at this station and at any, before this test.
        UnitState here, whole;
        for (const Earlier& e : earlier) {
            const auto of = scopesOf(e.lot, e.started);
            if (std::find(of.begin(), of.end(), std::pair{kind, name}) == of.end()) continue;
            whole.add(e.started, e.pass);
            if (e.station == r.station) here.add(e.started, e.pass);
        }
        UnitState hereAfter = here, wholeAfter = whole;
        hereAfter.add(r.started, pass);
        wholeAfter.add(r.started, pass);
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

bool prepareSummaries(const QSqlDatabase& db, const Filter& filter,
                      const std::function<void(const QString&)>& progress, QString* error) {
    const auto scope = scopeOf(filter);
    if (!scope) return true;
    const auto whole = isWhole(db, *scope, error);
    if (!whole || *whole) return whole.has_value();
    // One build at a time; a save that meets the scope waits for it (ScopeCheck).
    const bool pg = db.driverName() == QLatin1String("QPSQL");
    QSqlQuery q(db);
    auto failed = [&](const QSqlQuery& query) {
        if (error->isEmpty()) *error = query.lastError().text();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!q.exec(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"))) return failed(q);
    if (pg && !q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1, 0)").arg(kBuildLock)))
        return failed(q);
    q.finish();
    // Another report may have built it meanwhile.
    const auto still = isWhole(db, *scope, error);
    if (!still) return failed(q);
    if (!*still && !buildScope(db, *scope, progress, error)) return failed(q);
    if (!q.exec(QStringLiteral("COMMIT"))) return failed(q);
    return true;
}

}  // namespace results
