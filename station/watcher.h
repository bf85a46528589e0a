// What the station measures, read from the receiver's NMEA stream.
//
// The link frames sentences leniently and checks no checksum: it only has to
// find GGA times.  A verdict needs more and must not be fooled by line noise,
// so the watcher frames the same characters again on its own terms: a
// sentence runs from "$" to "*" and two hex digits, holds no line end or
// second "$", is at most 82 characters long as NMEA 0183 allows, and counts
// only when its checksum is right.  Of those it decodes GGA (time, fix
// quality, satellites used, HDOP) and GSV (signal-to-noise per satellite),
// from any talker.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace station {

// A decoded GGA sentence.
struct Gga {
    std::optional<int> timeMs;  // time of day; empty when the time field is empty
    int quality = 0;            // 0 no fix, 1 GPS, 2 differential, ... 8 simulation
    std::optional<int> satellites;
    std::optional<double> hdop;
};
// A GGA body ("GPGGA,..."), or nothing when a field is malformed or missing.
std::optional<Gga> parseGga(std::string_view body);

// One GSV sentence: sentence `number` of `total` in its talker's group.
struct GsvPart {
    std::string talker;  // "GP", "GL", "GA", "BD", "GB", "GN", ...
    int total = 0;
    int number = 0;
    std::vector<int> snr;  // of the satellites in this sentence that have a value
};
std::optional<GsvPart> parseGsv(std::string_view body);

// The sky as the latest complete GSV groups show it.
struct Sky {
    int withSnr = 0;                 // satellites with a signal-to-noise value above 0
    std::optional<int> max;          // highest value, dB-Hz
    std::optional<double> meanTop4;  // mean of the four highest (fewer if fewer)
    std::vector<int> cn0;            // each satellite's value above 0, highest first
};

class Watcher {
public:
    // Called for every GGA sentence that passed, as it completes.
    std::function<void(const Gga&)> onGga;

    void feed(std::string_view bytes);
    // Forgets an unfinished sentence (the line was reopened).
    void resetFraming() { pending_.clear(); }

    Sky sky() const;

private:
    void sentence(std::string_view text);
    void gsv(const GsvPart& part);

    std::string pending_;  // an unfinished sentence from its "$"
    struct Group {
        int total = 0;
        int next = 1;  // the sentence number that continues the group
        std::vector<int> snr;
    };
    std::map<std::string, Group> building_;             // per talker
    std::map<std::string, std::vector<int>> complete_;  // per talker, latest complete group
};

}  // namespace station
