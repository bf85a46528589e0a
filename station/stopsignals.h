// Stop signals as an event on Qt's event loop, so that a station can end its
// cycles, close its ports and keep its results before it exits.
#pragma once

#include <QString>
#include <functional>
#include <initializer_list>

namespace station {

// Calls onStop on the event loop at each of the signals (SIGINT, SIGTERM,
// SIGHUP, ...).  Once per process.  False, with error set, when the signals
// cannot be caught.
bool onStopSignals(std::initializer_list<int> stopSignals, std::function<void()> onStop,
                   QString* error);

}  // namespace station
