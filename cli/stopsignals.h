// SIGINT and SIGTERM as an event on Qt's event loop, so that a station can
// end its cycles, close its ports and print its results before it exits.
#pragma once

#include <functional>

namespace cli {

// Calls onStop on the event loop at each SIGINT or SIGTERM.  Once per process.
void onStopSignals(std::function<void()> onStop);

}  // namespace cli
