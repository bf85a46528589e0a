#include "sim/nmea.h"

#include "gpslink/resetcommand.h"

namespace gpssim {

std::string nmeaSentence(std::string_view body) {
    return gpslink::nmeaCommand(body);
}

bool nmeaChecksumValid(std::string_view line) {
    return gpslink::nmeaCheckedBody(line).has_value();
}

}  // namespace gpssim
