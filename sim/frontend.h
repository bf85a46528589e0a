// The simulated receiver's RF front end: its active antenna's supervisor and,
// for u-blox, the front end's figures, in each family's published form.
//
//   ublox   $GNTXT,01,01,02,ANTSTATUS=OK|OPEN|SHORT|DONTKNOW each second;
//           UBX-MON-HW (0A 09, 60 bytes) and UBX-MON-RF (0A 38, a header of
//           4 bytes and a block of 24 per RF band) with the antenna's state,
//           AGC count, noise level and CW jamming indicator
//   casic   $GPTXT,01,01,01,ANTENNA OK|OPEN|SHORT each second
//   mtk     $PGTOP,11,n each second: 3 active antenna in use, 2 internal
//           antenna in use (no active antenna: open), 1 antenna shorted
//
// SiRF, Airoha and Quectel LG receivers publish no antenna state; a state
// the family's form cannot say (unknown, for CASIC and MediaTek) is not sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/resetcommand.h"
#include "sim/rng.h"

namespace gpssim {

enum class Antenna { Ok, Open, Short, Unknown };

// "ok", "open", "short", "unknown".
std::string_view nameOf(Antenna state);

// The antenna's state from a moment after power-up on.
struct AntennaChange {
    std::int64_t fromMs;
    Antenna state;
};

// "ok", "ok,open@20", "open@5,ok@30": states in time order, each from its
// second after power-up (the first from power-up when it has none).  Empty,
// with error set, for a text not of that form.
std::vector<AntennaChange> antennaScheduleFrom(std::string_view text, std::string& error);

// The state at sinceMs after power-up; Unknown before the first change.
Antenna antennaAt(const std::vector<AntennaChange>& schedule, std::int64_t sinceMs);

// The family's sentence (with CR LF) saying the state; empty when the family
// has no form for it.
std::string antennaSentence(gpslink::ReceiverFamily family, Antenna state);

// Whether the family publishes its antenna's state at all.
bool saysAntenna(gpslink::ReceiverFamily family);

// A u-blox front end's figures as set for the slot, and the spread of each
// second's readings around them.
struct FrontEndFigures {
    int agc = 2800;   // AGC count, 0 to 8191
    int noise = 90;   // noise level per millisecond, 0 to 65535
    int jamming = 5;  // CW jamming indicator, 0 to 255
    int spread = 0;   // each reading varies evenly within +-spread
};

// One second's readings.
struct FrontEndReading {
    int agc, noise, jamming;
};

// The figures read with this second's noise, each within its range.
FrontEndReading readFrontEnd(const FrontEndFigures& figures, Rng& rng);

// The payloads of UBX-MON-HW and UBX-MON-RF (one block per reading).
std::string monHwPayload(const FrontEndReading& reading, Antenna antenna);
std::string monRfPayload(const std::vector<FrontEndReading>& blocks, Antenna antenna);

}  // namespace gpssim
