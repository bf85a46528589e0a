#include "gpslink/serialport.h"

#include <charconv>

namespace gpslink {

int baudRateOf(std::string_view lineSettings) {
    for (std::string_view known : kLineSettings) {
        if (known == lineSettings) {
            int rate = 0;
            std::from_chars(known.data(), known.data() + known.find(','), rate);
            return rate;
        }
    }
    return 0;
}

}  // namespace gpslink
