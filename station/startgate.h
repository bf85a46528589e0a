// What the run has heard that the start rule (startrule.h) decides by, for
// one unit: the unit's latest GGA while it was got to know, the connect
// step, and a checked sentence since it.  No clock and no port: the run
// tells it what came and asks it what to do.
//
// - The latest GGA heard while the unit was got to know (on the rate it is
//   then listened at) is kept, with its text; another rate forgets it.
// - When the link starts on the port still open, a rule that takes it
//   hands it to the link and the fix test as their first: the command need
//   not wait for the unit's next second.  It is taken once, and counts as a
//   checked sentence heard on the link's port.
// - A checked sentence counts once the link's connect step opened the port.
#pragma once

#include <QtGlobal>
#include <optional>
#include <string>

#include "station/startrule.h"
#include "station/watcher.h"

namespace station {

class StartGate {
public:
    struct HeardGga {
        Gga gga;
        qint64 atNs = 0;   // on the run's steady clock
        std::string line;  // as sent, checksum and line end included
    };

    explicit StartGate(const StartRule& rule) : rule_(rule) {}

    // A new cycle, or the unit got to know again: nothing heard on the link's port.
    void beginCycle() { portOpened_ = sinceOpen_ = false; }

    // While the unit is got to know: its GGA's text, then the GGA as read.
    void heardGgaLine(std::string line) { ggaLine_ = std::move(line); }
    void heardGga(const Gga& gga, qint64 atNs);
    // The line listened to at another rate: what came before counts no more.
    void relistened() { heard_.reset(); }
    // The link starts; its port still open or not.  The GGA it takes as its
    // first, if the rule takes one; nothing is kept either way.
    std::optional<HeardGga> linkStarts(bool portOpen);

    // The link's connect step opened the port.
    void portOpened() { portOpened_ = true; }
    bool opened() const { return portOpened_; }
    // A checked sentence on the port.
    void sentence() {
        if (portOpened_) sinceOpen_ = true;
    }
    // A checked sentence since the connect step.
    bool heardSinceOpen() const { return sinceOpen_; }
    // The command goes now, the family's identity queries out or not.
    bool commandNow(bool queriesOut) const { return rule_.commandNow({sinceOpen_, queriesOut}); }

private:
    const StartRule& rule_;
    std::optional<HeardGga> heard_;
    std::string ggaLine_;
    bool portOpened_ = false;
    bool sinceOpen_ = false;
};

}  // namespace station
