// The results database's schema: its steps, each applied once and in order
// (results::Database::migrate), and the statements of each step in the
// engine's own types.  Decisions and the tables: docs/RESULTS.md.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "results/target.h"

namespace results {

// A migration step: statements with {SERIAL}, {INT}, {REAL}, {BOOL}, {BLOB}
// and {WITHOUT_ROWID} in place of the engine's own words.
struct Migration {
    int version;
    std::vector<std::string> statements;
};

// Every step, oldest first.
const std::vector<Migration>& migrations();

// A step's statement in the engine's own words.
QString engineSql(const std::string& statement, Target::Engine engine);

// The schema version this program writes.
int latestSchemaVersion();

}  // namespace results
