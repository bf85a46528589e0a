// What a receiver family says of itself when it restarts, as its published
// protocol has it.  Read from one checked sentence body ("PMTK010,001").
//
// - MediaTek: $PMTK010,001 (the start-up notice) and $PMTK011,MTKGPS (the
//   system message sent with it) come only after a start; $PMTK001,cmd,3
//   acknowledges the start command cmd as done.
// - Airoha: $PAIR001,cmd,0 acknowledges the start command cmd as done.
// - u-blox: the $--TXT start-up banner ("u-blox ag - www.u-blox.com"); SiRF:
//   the $PSRFTXT banner with the software version.  Receivers also repeat
//   such banners while they run (when polled, or when a host reopens the
//   port), so a banner is only a hint: it proves a restart only together
//   with the next GGA having no fix.
// - Quectel LG, CASIC: their restart commands get no answer and their
//   start-up output has nothing of its own.
#pragma once

#include <optional>
#include <string_view>

#include "gpslink/resetcommand.h"

namespace station {

enum class RestartSign {
    None,
    StartedUp,     // a start-up message: the receiver restarted
    Acknowledged,  // the start command acknowledged as done
    Banner,        // a start-up banner: a restart if the next GGA has no fix
};

// The sign in one sentence body of a receiver of the family, after command
// (the start command as sent: "$PMTK103*30\r\n") went out.
RestartSign restartSign(std::optional<gpslink::ReceiverFamily> family, std::string_view body,
                        std::string_view command);

}  // namespace station
