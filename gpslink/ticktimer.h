// A one-second timer reduced to its enabled flag.
//
// The link decides when each of its timers runs; whoever owns the clock (a
// QTimer in the program, the test itself in the tests) delivers the ticks.
// The owner listens for changes of the flag.  Enabling a timer that is
// already enabled changes nothing, so it does not restart its interval.
#pragma once

#include <functional>
#include <utility>

namespace gpslink {

class TickTimer {
public:
    static constexpr int kIntervalMs = 1000;

    explicit TickTimer(bool enabled = false) : enabled_(enabled) {}
    TickTimer(const TickTimer&) = delete;
    TickTimer& operator=(const TickTimer&) = delete;

    bool enabled() const { return enabled_; }

    void setEnabled(bool enabled) {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        if (onChange_) onChange_(enabled_);
    }

    // Called with the new flag whenever it changes.
    void setOnChange(std::function<void(bool)> onChange) { onChange_ = std::move(onChange); }

private:
    bool enabled_;
    std::function<void(bool)> onChange_;
};

}  // namespace gpslink
