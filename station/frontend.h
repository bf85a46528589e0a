// What a receiver says of its RF front end: the active antenna's supervisor
// and, where the family reports them, the front end's figures (AGC count,
// noise level, CW jamming indicator).  Each family's published form is read
// by its row (families.h): u-blox in text and in UBX-MON-HW and UBX-MON-RF,
// CASIC in text, MediaTek modules in $PGTOP; the others publish no antenna
// state.  A supervisor that says it does not know gives unknown.
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
