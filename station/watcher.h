// What the station measures, read from the receiver's NMEA stream.
//
// The link frames sentences leniently and checks no checksum: it only has to
// find GGA times.  A verdict needs more and must not be fooled by line noise,
// so the watcher frames the same characters again on its own terms: a
// sentence runs from "$" to "*" and two hex digits, holds only printable
// characters and no second "$", is at most 128 characters long (receivers
// send more than NMEA 0183's 82: high-precision GGA, proprietary sentences),
// and counts only when its checksum is right.  Of those it decodes GGA (time,
// fix quality, satellites used, HDOP), GSV (C/N0 per satellite and signal)
// and GSA (the satellites used), from any talker.
//
// The receiver's output is taken second by second.  A second begins with a
// GGA whose time, as sent, differs from the last GGA's, and ends with the
// next such GGA: a second GGA of the same time (GPGGA then GAGGA) belongs to
// the same second.  Of each second the watcher keeps the GSV groups that came
// whole in it, every signal of every satellite (a dual-band receiver sends
// one group per signal), and the satellites its GSA sentences list, so
// nothing of an earlier second, or of before a reset, is taken for the sky of
// a fix.  A group with a broken sentence is dropped whole.  A group may pass
// from one talker to the next (GPGSV 1 and 2 of 4, GLGSV 3, GAGSV 4): each
// satellite keeps its own sentence's talker.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace station {

// A decoded GGA sentence.
struct Gga {
    std::optional<int> timeMs;  // time of day; empty when the time field is empty
    std::string time;           // the time field as sent
    int quality = 0;            // 0 no fix, 1 GPS, 2 differential, ... 8 simulation
    std::optional<int> satellites;
    std::optional<double> hdop;
};
// A GGA body ("GPGGA,..."), or nothing when a field is malformed or missing.
std::optional<Gga> parseGga(std::string_view body);
// Fix qualities 1 to 5 are positions the receiver computed from satellites;
// 6 (estimated), 7 (manual input) and 8 (simulation) are not.
inline bool isRealFix(int quality) {
    return quality >= 1 && quality <= 5;
}

// "GPS", "GLONASS", "Galileo", "BeiDou", "QZSS", "NavIC" or "SBAS": the
// system of satellite prn as a sentence of this talker names it, or of an
// NMEA 4.10 system ID (1 to 6) when one is given; empty when unknown.
std::string systemOf(std::string_view talker, int prn, std::optional<int> systemId = {});

// One GSV sentence: sentence `number` of `total` in its talker's group.
struct GsvPart {
    std::string talker;  // "GP", "GL", "GA", "BD", "GB", "GN", ...
    int total = 0;
    int number = 0;
    struct Satellite {
        int prn;
        std::optional<int> cn0;  // empty when not tracked
    };
    std::vector<Satellite> satellites;
    std::string signal;  // the NMEA 4.10 signal ID as sent; empty without one
};
std::optional<GsvPart> parseGsv(std::string_view body);

// One GSA sentence: the satellites used, with the NMEA 4.10 system ID when sent.
struct GsaPart {
    std::string talker;
    std::vector<int> prns;
    std::optional<int> systemId;
};
std::optional<GsaPart> parseGsa(std::string_view body);

struct SkySignal {
    std::string id;  // the NMEA 4.10 signal ID as sent; empty without one
    std::optional<int> cn0;
};
struct SkySatellite {
    std::string system;
    int prn = 0;
    std::optional<int> cn0;            // of its strongest signal
    std::vector<SkySignal> perSignal;  // in the order sent
};

// The sky of a second.
struct Sky {
    int withSnr = 0;                       // satellites with a C/N0 above 0
    std::optional<int> max;                // highest C/N0 of a satellite, dB-Hz
    std::optional<double> meanTop4;        // mean of the four highest (fewer if fewer)
    std::vector<SkySatellite> satellites;  // in the order they were first sent
};

// One second of output, from its first GGA on.
struct Second {
    std::optional<Gga> gga;  // the first GGA of the second
    Sky sky;
    std::optional<int> gsaSatellites;  // satellites its GSA sentences list; empty without GSA
};

class Watcher {
public:
    // Called for every GGA sentence that passed, as it completes; a GGA that
    // begins a second does so after onSecond has been called for the last one.
    std::function<void(const Gga&)> onGga;
    // Called when a second ends: a GGA with another time came.
    std::function<void(const Second&)> onSecond;
    // Called for every sentence that passed, with its body ("GPGGA,...").
    std::function<void(std::string_view)> onSentence;

    void feed(std::string_view bytes);
    // Forgets an unfinished sentence (the line was reopened).
    void resetFraming() { pending_.clear(); }

    // The second under way, as far as it has come.
    Second second() const;
    // The sky of the latest second that ended.
    Sky sky() const { return lastSky_; }

private:
    void sentence(std::string_view text);
    void gga(const Gga& gga);
    void gsv(const GsvPart& part);

    std::string pending_;  // an unfinished sentence from its "$"
    struct Entry {
        GsvPart::Satellite satellite;
        std::string talker, signal;
    };
    struct Group {
        int total = 0;
        int next = 1;  // the sentence number that continues the group
        std::vector<Entry> entries;
    };
    // The second under way.
    std::optional<Gga> first_;
    std::map<std::string, Group> building_;  // per talker that began it
    std::string lastGsvTalker_;              // whose group the last GSV sentence went to
    struct Key {
        std::string system;
        int prn;
        bool operator<(const Key& o) const {
            return system != o.system ? system < o.system : prn < o.prn;
        }
    };
    std::vector<Key> order_;  // satellites as first sent
    std::map<Key, std::vector<SkySignal>> signals_;
    std::set<Key> used_;
    bool anyGsa_ = false;
    Sky lastSky_;
};

}  // namespace station
