// The antenna test: the active antenna's supervisor as the receiver reports
// it through a cycle (frontend.h reads each family's form).  No clock and no
// port: the run hands it each state it reads, with the time.
//
// The state recorded is the first open or short seen, since a fixture that
// switches a load may put the antenna right again; else the latest state
// seen, so that a supervisor still initialising at power-up (unknown) and
// then ok is ok.  Every change is kept with its time from the cycle's start.
// Open and short fail the unit; unknown, or no state at all, fails it only
// when the plan requires supervision.
#pragma once

#include <QJsonArray>
#include <QtGlobal>
#include <optional>
#include <vector>

#include "station/frontend.h"
#include "station/result.h"

namespace station {

class AntennaTest {
public:
    // Times are counted from startMs.
    void start(qint64 startMs);
    void seen(AntennaState state, qint64 nowMs);

    // What the cycle records; nothing before any state was seen.
    std::optional<AntennaState> state() const;
    // [{"at_s": 0.8, "state": "ok"}, {"at_s": 20.1, "state": "open"}]
    QJsonArray changes() const;
    Reason judge(bool requireSupervision) const;

private:
    struct Change {
        qint64 atMs;
        AntennaState state;
    };
    qint64 startMs_ = 0;
    std::vector<Change> changes_;
};

}  // namespace station
