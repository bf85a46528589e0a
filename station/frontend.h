// What a receiver says of its RF front end: the active antenna's supervisor
// and, where the family reports them, the front end's figures.  One row per
// family's published form:
//
//   ublox   $--TXT,..,ANTSTATUS=OK|OPEN|SHORT|INIT|DONTKNOW  (text output)
//           UBX-MON-HW (0A 09): noisePerMS (offset 16), agcCnt (18),
//             aStatus (20: 0 INIT, 1 DONTKNOW, 2 OK, 3 SHORT, 4 OPEN),
//             jamInd (45)
//           UBX-MON-RF (0A 38): per RF block of 24 bytes from offset 4,
//             antStatus (2, as aStatus), noisePerMS (12), agcCnt (14),
//             jamInd (16); the first block is the antenna's
//   casic   $--TXT,..,ANTENNA OK|OPEN|SHORT
//   mtk     $PGTOP,11,n (GlobalTop and other MediaTek modules' antenna
//           advisor: 1 active antenna shorted, 2 internal antenna in use,
//           i.e. no active antenna, 3 active antenna in use)
//
// SiRF, Airoha and Quectel LG receivers publish no antenna state in their
// output; neither SiRF NMEA nor the others publish the front end's figures.
// INIT and DONTKNOW say that the supervisor does not know: unknown.
#pragma once

#include <optional>
#include <string_view>

#include "gpslink/resetcommand.h"
#include "results/calibration.h"
#include "station/frames.h"

namespace station {

enum class AntennaState { Ok, Open, Short, Unknown };

// "ok", "open", "short", "unknown": the result's words.
std::string_view nameOf(AntennaState state);

struct FrontEnd {
    std::optional<AntennaState> antenna;
    // AGC count (0 to 8191), noise level per millisecond, CW jamming
    // indicator (0 to 255), by their measures.
    results::FrontEndFigures figures;
};

// Whether the family reports its antenna's state: ublox, casic and mtk.
bool reportsAntenna(gpslink::ReceiverFamily family);
// Whether the family reports its front end's figures: ublox.
bool reportsFigures(gpslink::ReceiverFamily family);

// The antenna's state from a sentence's body ("GPTXT,01,01,02,ANTSTATUS=OK",
// "PGTOP,11,3"); empty when the sentence does not say it.
std::optional<AntennaState> antennaFromSentence(std::string_view body);
// The front end from a packet; empty when the packet does not report it.
std::optional<FrontEnd> frontEndFromPacket(const Packet& packet);

}  // namespace station
