// When a unit's start goes out: one object per rule, chosen from the plan
// (its sendAfter and its start type), so that what a rule means is said in
// one place.  No clock and no port: the run asks it, with what it knows.
//
//   time    the window's rule: the link sends the command itself with the
//           fifth GGA with a usable time (see gpslink/link.h); the link's
//           connect step waits for its timer.
//   ready   the station's own: the command goes as soon as the receiver is
//           known to be there, a checked sentence heard on the link's port
//           and its family's identity queries out (their answers are read
//           while it acquires).  A line with checked sentences and no GGA
//           time is at the right rate (a receiver that does not know the
//           time yet), and any checked GGA after the command answers it.
//   power   a power start: switching the slot's supply on is the start and
//           nothing is sent; any checked GGA after it answers it.
//
// Without a fix test the link only listens, whatever the rule.
#pragma once

#include <memory>

#include "station/settings.h"

namespace station {

class StartRule {
public:
    virtual ~StartRule() = default;

    // What the run knows when it asks whether the command may go.
    struct Heard {
        bool sinceOpen = false;   // a checked sentence since the link opened the port
        bool queriesOut = false;  // the family is known and its identity queries are out
    };

    // The link sends the command itself, with its fifth GGA time.
    virtual bool linkSends() const { return false; }
    // The link's connect step at once, not at its timer's tick.
    virtual bool connectsAtOnce() const { return true; }
    // The run sends the command now.
    virtual bool commandNow(const Heard& /*heard*/) const { return false; }
    // Characters but no GGA time at the rate: right when checked sentences came.
    virtual bool rateHeardRight(bool /*heardSinceOpen*/) const { return false; }
    // Any checked GGA after the command, with a time or not, is its answer.
    virtual bool anyGgaAnswers() const { return true; }
    // The unit's last GGA heard while it was got to know (on the device the
    // link then opens) stands for the link's first: the command need not
    // wait for the unit's next second.
    virtual bool takesHeardGga() const { return false; }
    // Shown while the command waits: the receiver, not five GGA times.
    virtual bool waitsForReceiver() const = 0;
};

// The plan's rule.
std::unique_ptr<StartRule> startRuleOf(const PlanSettings& plan);

}  // namespace station
