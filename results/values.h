// The values the report's figures are computed from, as the database gives
// them (results/summaries.h reads them; results/measures.h computes on them).
#pragma once

#include <QMap>
#include <QString>

#include "results/statistics.h"

namespace results {

// A measure's values over the selection (each distinct value as stored,
// ascending, with how many results had it): every result with a value,
// whatever its verdict, and those of the passing results.
struct Values {
    Distribution all, passed;
};

// One slot's values of one C/N0 column (signal_cn0_mean or cn0_mean4) as
// count and sum.
struct SlotSum {
    QString station, port, column;
    qint64 count = 0;
    double sum = 0;
};

// How many selected results carry each value of each limit, and how many
// results there are.
struct LimitCounts {
    QMap<QString, QMap<double, qint64>> byKey;
    qint64 results = 0;
};

}  // namespace results
