// A unit's run without a port or a clock: the run's clock that moves only
// when the test says, and a port that keeps what was written to the unit.
#pragma once

#include <string>
#include <string_view>

#include "station/runtest.h"

namespace station::testing {

class ManualClock : public RunClock {
public:
    qint64 nowMs() const override { return ms_; }
    qint64 nowNs() const override { return ms_ * 1000000; }
    void set(qint64 ms) { ms_ = ms; }

private:
    qint64 ms_ = 0;
};

class MemoryPort : public RunPort {
public:
    std::string written;  // every byte written to the unit, in order
    int holds = 0;        // times the start command was held back

    void write(std::string_view bytes) override { written += bytes; }
    void holdCommand() override { ++holds; }
};

}  // namespace station::testing
