#include "station/testtypes.h"

#include <algorithm>
#include <cstdlib>

namespace station {

// Every row file's row, as the build gathers them (testtyperows.cpp.in).
std::vector<TestTypeRow> rowsOfTheTestFiles();

const std::vector<TestTypeRow>& testTypes() {
    static const std::vector<TestTypeRow> table = [] {
        std::vector<TestTypeRow> rows = rowsOfTheTestFiles();
        std::sort(rows.begin(), rows.end(),
                  [](const TestTypeRow& a, const TestTypeRow& b) { return a.order < b.order; });
        return rows;
    }();
    return table;
}

const TestTypeRow* testTypeNamed(const QString& name) {
    for (const TestTypeRow& row : testTypes())
        if (name == QLatin1String(row.name)) return &row;
    return nullptr;
}

const TestTypeRow& testTypeOf(results::Test test) {
    for (const TestTypeRow& row : testTypes())
        if (row.measures == test) return row;
    std::abort();  // a measure's test without its row
}

double ownNumber(const PlanSettings& plan, const char* key) {
    return setting(key).number(plan).value_or(0);
}

}  // namespace station
