// What a receiver family says of itself when it restarts, as its published
// protocol has it, read from one checked sentence body ("PMTK010,001") by
// the family's row (families.h): a start-up notice, the start command
// acknowledged, or a start-up banner.  Receivers also repeat banners while
// they run (when polled, or when a host reopens the port), so a banner is
// only a hint: it proves a restart only together with the next GGA having
// no fix.  Some families' restarts say nothing of their own.
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
