// The station's watcher on any bytes a receiver or line noise can give, cut
// into chunks where the input says.  Rules: no crash, no sanitizer report;
// every GGA handed on has values in range; the sky's figures agree with each
// other; feeding the same bytes in one piece gives the same GGAs; the field
// reader, on every sentence that passed, gives the body back field by field
// and reads every field as null, a value in its range, or malformed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/nmea.h"
#include "station/watcher.h"

namespace {

struct Seen {
    std::vector<station::Gga> ggas;
};

void check(const station::Gga& gga) {
    if (gga.timeMs && (*gga.timeMs < 0 || *gga.timeMs > 86401000)) std::abort();
    if (gga.quality < 0 || gga.quality > 8) std::abort();
    if (gga.satellites && (*gga.satellites < 0 || *gga.satellites > 99)) std::abort();
    if (gga.hdop && !(*gga.hdop >= 0)) std::abort();
}

void checkSky(const station::Sky& sky) {
    if (sky.withSnr < 0) std::abort();
    if ((sky.withSnr == 0) != !sky.max) std::abort();
    if (sky.max && (*sky.max < 1 || *sky.max > 99)) std::abort();
    if (sky.meanTop4 && (*sky.meanTop4 < 1 || *sky.meanTop4 > *sky.max)) std::abort();
}

void checkFields(std::string_view body) {
    const gpslink::NmeaFields f(body);
    if (f.size() == 0 || f.size() > gpslink::NmeaFields::kMaxFields + 1) std::abort();
    std::string joined;
    for (const std::string_view field : f) joined += std::string(field) + ",";
    joined.pop_back();
    if (f.overlong() ? body.substr(0, joined.size() + 1) != joined + "," : joined != body)
        std::abort();
    for (std::size_t i = 0; i <= f.size(); ++i) {
        const std::string_view rest = f.from(i);
        if (!rest.empty() &&
            (rest.substr(0, f[i].size()) != f[i] || body.substr(body.size() - rest.size()) != rest))
            std::abort();
        std::optional<int> n, ms, hex;
        std::optional<double> d;
        if (f.number(i, n, 9) && n && (*n < 0 || *n > 999999999)) std::abort();
        if (f.time(i, ms) && ms && (*ms < 0 || *ms > 86400999)) std::abort();
        if (f.hex(i, hex) && hex && (*hex < 0 || *hex > 15)) std::abort();
        if (f.decimal(i, d) && d && !(*d >= 0 && *d < 1e8)) std::abort();
        if (f[i].empty() && (!f.number(i, n) || n || !f.time(i, ms) || ms)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Chunk lengths come from the input's first byte, so the framing is cut
    // at places the fuzzer chooses.
    const std::size_t step = size ? (data[0] % 97) + 1 : 1;

    std::vector<station::Gga> chunked, whole;
    station::Watcher a;
    a.onGga = [&](const station::Gga& gga) {
        check(gga);
        chunked.push_back(gga);
    };
    a.onSentence = checkFields;
    for (std::size_t at = 0; at < size; at += step) a.feed(input.substr(at, step));
    checkSky(a.sky());

    station::Watcher b;
    b.onGga = [&](const station::Gga& gga) { whole.push_back(gga); };
    b.feed(input);
    if (chunked.size() != whole.size()) std::abort();
    for (std::size_t i = 0; i < whole.size(); ++i)
        if (chunked[i].timeMs != whole[i].timeMs || chunked[i].quality != whole[i].quality)
            std::abort();
    return 0;
}
