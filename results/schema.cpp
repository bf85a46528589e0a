#include "results/schema.h"

#include <algorithm>
#include <string>

#include "vocabulary/fields.h"

namespace results {

namespace {

// Steps are never edited once released; a change to the schema is a new
// step.
//
// Up to step 5 every statement is written out.  From step 6 on, the columns
// of the fields whose row names the step (vocabulary/fields.h, "since") are
// added by the step itself, before its own statements: a new field is its
// row alone.
constexpr int kWrittenOut = 5;

std::vector<Migration> writtenSteps() {
    return {
        {1,
         {"CREATE TABLE results ("
          " seq {SERIAL},"
          " id TEXT NOT NULL UNIQUE,"
          " unit TEXT NOT NULL DEFAULT '',"
          " station TEXT NOT NULL DEFAULT '',"
          " lot TEXT NOT NULL DEFAULT '',"
          " operator TEXT NOT NULL DEFAULT '',"
          " cycle {INT},"
          " started TEXT NOT NULL DEFAULT '',"
          " ended TEXT NOT NULL DEFAULT '',"
          " result TEXT NOT NULL DEFAULT '',"
          " reason TEXT NOT NULL DEFAULT '',"
          " status TEXT NOT NULL DEFAULT '',"
          " port TEXT NOT NULL DEFAULT '',"
          " device TEXT NOT NULL DEFAULT '',"
          " baud {INT},"
          " receiver TEXT NOT NULL DEFAULT '',"
          " start TEXT NOT NULL DEFAULT '',"
          " cold_start_sent {BOOL},"
          " confirmed {BOOL},"
          " reset_verified {BOOL},"
          " ttff_s {REAL},"
          " satellites {INT},"
          " hdop {REAL},"
          " cn0_max {REAL},"
          " cn0_mean4 {REAL},"
          " sv_with_snr {INT},"
          " limits TEXT,"
          " version TEXT NOT NULL DEFAULT '',"
          " stored_at TEXT NOT NULL)",
          "CREATE INDEX results_started ON results (started)",
          "CREATE INDEX results_lot ON results (lot, started)",
          // The report's questions, each answered from one index alone.
          "CREATE INDEX results_unit ON results (unit, started)",
          "CREATE INDEX results_station_unit ON results (station, unit, started, result)",
          "CREATE INDEX results_outcome ON results (station, result, reason, ttff_s)",
          "CREATE INDEX results_station_ttff ON results (station, ttff_s)",
          "CREATE INDEX results_ttff ON results (ttff_s)"}},
        // The plan a result was judged under.
        {2,
         {"ALTER TABLE results ADD COLUMN plan TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN plan_sha256 TEXT NOT NULL DEFAULT ''",
          // The unit already had a result in its lot.
          "ALTER TABLE results ADD COLUMN retest {BOOL}"}},
        // Who the unit is, GGA's own count of satellites beside the GSA's, the sky.
        {3,
         {"ALTER TABLE results ADD COLUMN firmware TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN hardware TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN unique_id TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN satellites_gga {INT}",
          "ALTER TABLE results ADD COLUMN sky TEXT"}},
        // The test plan, the signal test's measurement of the generator's
        // satellite, and every slot's calibrations with a golden unit.
        {4,
         {"ALTER TABLE results ADD COLUMN tests TEXT",
          "ALTER TABLE results ADD COLUMN signal_sv TEXT NOT NULL DEFAULT ''",
          "ALTER TABLE results ADD COLUMN signal_samples {INT}",
          "ALTER TABLE results ADD COLUMN signal_cn0_mean {REAL}",
          "ALTER TABLE results ADD COLUMN signal_cn0_sd {REAL}",
          "ALTER TABLE results ADD COLUMN signal_cn0_raw_mean {REAL}",
          "ALTER TABLE results ADD COLUMN signal_offset {REAL}",
          "ALTER TABLE results ADD COLUMN signal_calibration_id {INT}",
          "ALTER TABLE results ADD COLUMN signal_values TEXT",
          "CREATE TABLE calibrations ("
          " id {SERIAL},"
          " time TEXT NOT NULL,"
          " station TEXT NOT NULL DEFAULT '',"
          " port TEXT NOT NULL,"
          " operator TEXT NOT NULL DEFAULT '',"
          " golden TEXT NOT NULL DEFAULT '',"
          " expected {REAL} NOT NULL,"
          " measured {REAL} NOT NULL,"
          // OFFSET is a keyword of SQL: the column is always written quoted.
          " \"offset\" {REAL} NOT NULL)",
          // A slot's latest calibration, and its history for the report.
          "CREATE INDEX calibrations_slot ON calibrations (station, port, time)"}},
        // The report's summaries, kept at each save (results/summaries.h).
        // The indexes that let the report aggregate over the rows give way to
        // one for a station's results in a time range.
        {5,
         {"CREATE TABLE summary_outcomes ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " result TEXT NOT NULL, reason TEXT NOT NULL, n {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, result, reason)){WITHOUT_ROWID}",
          "CREATE TABLE summary_values ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " measure TEXT NOT NULL, passed {INT} NOT NULL, value {REAL} NOT NULL,"
          " n {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, measure, passed, value)){WITHOUT_ROWID}",
          "CREATE TABLE summary_slots ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " port TEXT NOT NULL, measure TEXT NOT NULL, n {INT} NOT NULL,"
          " cn0_sum {REAL} NOT NULL,"
          " PRIMARY KEY (kind, name, station, port, measure)){WITHOUT_ROWID}",
          "CREATE TABLE summary_limits ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " limits TEXT NOT NULL, n {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, limits)){WITHOUT_ROWID}",
          "CREATE TABLE unit_tests ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, unit TEXT NOT NULL, station TEXT NOT NULL,"
          " first_at TEXT NOT NULL, pass_at TEXT,"
          " PRIMARY KEY (kind, name, unit, station)){WITHOUT_ROWID}",
          "CREATE TABLE summary_units ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, whole {INT} NOT NULL, station TEXT NOT NULL,"
          " units {INT} NOT NULL, passed {INT} NOT NULL, first_pass {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, whole, station)){WITHOUT_ROWID}",
          "DROP INDEX IF EXISTS results_station_unit", "DROP INDEX IF EXISTS results_outcome",
          "DROP INDEX IF EXISTS results_station_ttff", "DROP INDEX IF EXISTS results_ttff",
          "CREATE INDEX results_station_started ON results (station, started)"}},
        // Step 6, the end-of-line tests, is only its rows' columns: the
        // results' antenna state and its changes, the configuration the unit
        // left with and the RF front end's figures, and the golden unit's
        // figures beside each calibration's offset.
        // Units per hour and handling time per slot (results/pace.h), kept at
        // each save as the other summaries are.
        {8,
         {"CREATE TABLE summary_pace ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " port TEXT NOT NULL, results {INT} NOT NULL, test_ms {INT} NOT NULL,"
          " gaps {INT} NOT NULL, gap_ms {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, port)){WITHOUT_ROWID}"}},
        // The line's delivery queue (results/delivery.h): one row per result
        // kept while the station delivers, written with the result.
        {9,
         {"CREATE TABLE deliveries ("
          " seq {SERIAL},"
          " result_id TEXT NOT NULL UNIQUE,"
          " station TEXT NOT NULL DEFAULT '',"
          " payload TEXT NOT NULL,"
          " queued_at TEXT NOT NULL,"
          " delivered {BOOL} NOT NULL,"
          " delivered_at TEXT,"
          " attempts {INT} NOT NULL,"
          " last_error TEXT NOT NULL DEFAULT '',"
          " next_at TEXT NOT NULL)",
          "CREATE INDEX deliveries_waiting ON deliveries (station, delivered, seq)"}},
        // The unit's bytes of each test, compressed, in a table of their own
        // so that the results table stays lean; the row's evidence_sha256 and
        // evidence_removed are their rows' step.
        {10,
         {"CREATE TABLE evidence ("
          " result_id TEXT PRIMARY KEY,"
          " stored_at TEXT NOT NULL,"
          " size {INT} NOT NULL,"
          " packed_size {INT} NOT NULL,"
          " bytes {BLOB} NOT NULL)",
          "CREATE INDEX evidence_stored ON evidence (stored_at, result_id)"}},
        // The units the line refused before they started: not results, so
        // out of every figure of the report.
        {11,
         {"CREATE TABLE route_refusals ("
          " id {SERIAL}, time TEXT NOT NULL, station TEXT NOT NULL, port TEXT NOT NULL,"
          " unit TEXT NOT NULL, lot TEXT NOT NULL, operator TEXT NOT NULL, plan TEXT NOT NULL,"
          " reason TEXT NOT NULL)",
          "CREATE INDEX route_refusals_unit ON route_refusals (unit, time)"}},
        // Each scope's summaries built by the first report that needs them
        // (results/summaries.h), none by the migration: summary_start holds
        // the last row stored before the summaries were kept, and a scope
        // with a row up to it is summarized once it is in summary_scopes.  A
        // database that has units per hour (step 8) has every summary and
        // keeps them; any other has them emptied, to be built again.  A save
        // reads a unit's earlier tests from its rows.
        {12,
         {"CREATE TABLE summary_scopes (kind TEXT NOT NULL, name TEXT NOT NULL,"
          " PRIMARY KEY (kind, name)){WITHOUT_ROWID}",
          "CREATE TABLE summary_start (seq {INT} NOT NULL)",
          "INSERT INTO summary_start (seq) SELECT CASE WHEN EXISTS (SELECT 1 FROM summary_pace)"
          " THEN 0 ELSE COALESCE(MAX(seq), 0) END FROM results",
          "DELETE FROM summary_outcomes WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_values WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_slots WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_limits WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_units WHERE (SELECT seq FROM summary_start) > 0",
          "DELETE FROM summary_pace WHERE (SELECT seq FROM summary_start) > 0",
          "DROP TABLE unit_tests"}},
        // Each slot's passes and those whose reset was not proven.  The
        // summaries kept so far have none of them: every scope is built
        // again by the first report that needs it.
        {13,
         {"CREATE TABLE summary_resets ("
          " kind TEXT NOT NULL, name TEXT NOT NULL, station TEXT NOT NULL,"
          " port TEXT NOT NULL, passed {INT} NOT NULL, unproven {INT} NOT NULL,"
          " PRIMARY KEY (kind, name, station, port)){WITHOUT_ROWID}",
          "UPDATE summary_start SET seq = (SELECT COALESCE(MAX(seq), 0) FROM results)",
          "DELETE FROM summary_scopes", "DELETE FROM summary_outcomes",
          "DELETE FROM summary_values", "DELETE FROM summary_slots", "DELETE FROM summary_limits",
          "DELETE FROM summary_units", "DELETE FROM summary_pace"}},
        // Several delivery targets, each with a queue of its own: a row per
        // result and target, and the time of each row's last attempt.  The
        // rows of step 9 keep their order and their attempts, without a
        // target: the station's first target takes them over (results/delivery.h).
        {14,
         {"CREATE TABLE deliveries_by_target ("
          " seq {SERIAL},"
          " target TEXT NOT NULL,"
          " result_id TEXT NOT NULL,"
          " station TEXT NOT NULL DEFAULT '',"
          " payload TEXT NOT NULL,"
          " queued_at TEXT NOT NULL,"
          " delivered {BOOL} NOT NULL,"
          " delivered_at TEXT,"
          " attempts {INT} NOT NULL,"
          " attempted_at TEXT,"
          " last_error TEXT NOT NULL DEFAULT '',"
          " next_at TEXT NOT NULL,"
          " UNIQUE (target, result_id))",
          "INSERT INTO deliveries_by_target (target, result_id, station, payload, queued_at,"
          " delivered, delivered_at, attempts, last_error, next_at)"
          " SELECT '', result_id, station, payload, queued_at, delivered, delivered_at, attempts,"
          " last_error, next_at FROM deliveries ORDER BY seq",
          "DROP TABLE deliveries", "ALTER TABLE deliveries_by_target RENAME TO deliveries",
          "CREATE INDEX deliveries_waiting ON deliveries (station, target, delivered, seq)"}},
        // A gauge study's runs struck out, each with who and why
        // (results/strikes.h): records, as the results are.
        {15,
         {"CREATE TABLE struck_runs ("
          " result_id TEXT PRIMARY KEY,"
          " study TEXT NOT NULL,"
          " struck_at TEXT NOT NULL,"
          " struck_by TEXT NOT NULL,"
          " db_role TEXT NOT NULL DEFAULT '',"
          " why TEXT NOT NULL)",
          "CREATE INDEX struck_runs_study ON struck_runs (study, struck_at)"}},
        // Each limit's result beside its result (results/limitrows.h): a row
        // per measure that had a limit.  Earlier results have none.
        {16,
         {"CREATE TABLE limit_results ("
          " result_id TEXT NOT NULL,"
          " measure TEXT NOT NULL,"
          " value {REAL},"
          " low {REAL},"
          " high {REAL},"
          " result TEXT NOT NULL,"
          " PRIMARY KEY (result_id, measure))"}},
        // The line's control charts (results/spctable.h): each baseline
        // frozen for a slot's or a station's series, a record as the
        // results are, and the alarms the points after it raised, each
        // cleared with who and why.
        {17,
         {"CREATE TABLE spc_baselines ("
          " id {SERIAL},"
          " station TEXT NOT NULL,"
          " port TEXT NOT NULL,"
          " series TEXT NOT NULL,"
          " from_at TEXT NOT NULL,"
          " to_at TEXT NOT NULL,"
          " lots TEXT NOT NULL DEFAULT '',"
          " n {INT} NOT NULL,"
          " center {REAL} NOT NULL,"
          " sigma {REAL} NOT NULL,"
          " moving_range {REAL} NOT NULL,"
          " frozen_at TEXT NOT NULL,"
          " frozen_by TEXT NOT NULL,"
          " why TEXT NOT NULL DEFAULT '')",
          "CREATE INDEX spc_baselines_slot ON spc_baselines (station, port, series, id)",
          "CREATE TABLE alarms ("
          " id {SERIAL},"
          " raised_at TEXT NOT NULL,"
          " station TEXT NOT NULL,"
          " port TEXT NOT NULL,"
          " chart TEXT NOT NULL,"
          " rule TEXT NOT NULL,"
          " value {REAL} NOT NULL,"
          " result_id TEXT NOT NULL DEFAULT '',"
          " calibration_id {INT},"
          " baseline_id {INT} NOT NULL,"
          " cleared_at TEXT,"
          " cleared_by TEXT NOT NULL DEFAULT '',"
          " cleared_why TEXT NOT NULL DEFAULT '')",
          "CREATE INDEX alarms_slot ON alarms (station, port, cleared_at)"}},
        // The results whose evidence the retention removed, which every
        // report counts over its selection: without an index that count read
        // every row of the table.  Only those rows are in it.
        {19,
         {"CREATE INDEX results_evidence_removed ON results (study, station, started)"
          " WHERE evidence_removed <> ''"}},
    };
}

// Whether the field is a golden measure's, whose golden unit's figure each
// calibration keeps too, or the generator's level a calibration was made at.
bool keptByCalibrations(Field field) {
    if (field == Field::LevelDbm) return true;  // the generator's level, with a path loss
    for (const MeasureRow& m : kMeasures)
        if (m.field == field && m.golden) return true;
    return false;
}

// "ALTER TABLE results ADD COLUMN name TYPE" for a field's column.
std::string addedColumn(const FieldRow& row) {
    const char* type = "TEXT";
    switch (row.kind) {
        case FieldKind::Text:
            type = "TEXT NOT NULL DEFAULT ''";
            break;
        case FieldKind::Int:
            type = "{INT}";
            break;
        case FieldKind::Real:
            type = "{REAL}";
            break;
        case FieldKind::Bool:
            type = "{BOOL}";
            break;
        case FieldKind::Json:
            break;
    }
    return std::string("ALTER TABLE results ADD COLUMN ") + row.name + ' ' + type;
}

}  // namespace

const std::vector<Migration>& migrations() {
    static const std::vector<Migration> steps = [] {
        std::vector<Migration> out = writtenSteps();
        for (auto row = std::rbegin(kFields); row != std::rend(kFields); ++row) {
            if (!row->column || row->since <= kWrittenOut) continue;
            auto step = std::find_if(out.begin(), out.end(),
                                     [&](const Migration& m) { return m.version == row->since; });
            if (step == out.end()) step = out.insert(out.end(), Migration{row->since, {}});
            step->statements.insert(step->statements.begin(), addedColumn(*row));
        }
        for (const FieldRow& row : kFields) {
            if (row.since <= kWrittenOut || !keptByCalibrations(row.field)) continue;
            auto step = std::find_if(out.begin(), out.end(),
                                     [&](const Migration& m) { return m.version == row.since; });
            step->statements.push_back(std::string("ALTER TABLE calibrations ADD COLUMN ") +
                                       row.name + " {REAL}");
        }
        std::sort(out.begin(), out.end(),
                  [](const Migration& a, const Migration& b) { return a.version < b.version; });
        return out;
    }();
    return steps;
}

QString engineSql(const std::string& statement, Target::Engine engine) {
    QString sql = QString::fromStdString(statement);
    const bool pg = engine == Target::Engine::Postgres;
    sql.replace(QStringLiteral("{SERIAL}"), pg ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                               : QStringLiteral("INTEGER PRIMARY KEY"));
    sql.replace(QStringLiteral("{INT}"), pg ? QStringLiteral("BIGINT") : QStringLiteral("INTEGER"));
    sql.replace(QStringLiteral("{REAL}"),
                pg ? QStringLiteral("DOUBLE PRECISION") : QStringLiteral("REAL"));
    sql.replace(QStringLiteral("{BOOL}"),
                pg ? QStringLiteral("BOOLEAN") : QStringLiteral("INTEGER"));
    sql.replace(QStringLiteral("{BLOB}"), pg ? QStringLiteral("BYTEA") : QStringLiteral("BLOB"));
    sql.replace(QStringLiteral("{WITHOUT_ROWID}"),
                pg ? QString() : QStringLiteral(" WITHOUT ROWID"));
    return sql;
}

int latestSchemaVersion() {
    return migrations().back().version;
}

}  // namespace results
