// What the station says of a unit, in its own words: where a run is, and
// what a cycle came to with the measured value against its limit.  The
// window's texts ("Cold Start OK!", "Please select another Com Port.") are
// its own rule and its own advice; the station measures on, and says so.
#pragma once

#include <QString>
#include <optional>

#include "station/result.h"
#include "station/watcher.h"

namespace station {

// Where a cycle stands.
struct Stage {
    enum class Step {
        Preparing,
        Opening,
        WaitingForTime,      // the window's rule: five GGA times before the command
        WaitingForReceiver,  // the station's own: until the receiver is there
        ResetSent,
        ResetSeen,
        Acquiring,
        Measuring,
        Observing,
        Configuring
    } step;
    int timesCounted = 0;  // usable GGA times before the command, of 5
    QString start;         // cold, warm, hot or factory
    qint64 sinceCommandMs = 0;
    Sky sky;  // as the latest complete GSV groups show it
    // Measuring: the satellite, its readings so far of how many, the latest,
    // and the time since it was first seen (or since the measurement began).
    QString sv;
    int samples = 0, of = 0;
    std::optional<int> last;
    qint64 sinceMs = 0;
    QString antenna;  // Observing: the antenna's state so far, if any
    QString config;   // Configuring: the configuration's name
};
// "getting to know the receiver", "opening", "waiting for time (3 of 5)",
// "waiting for the receiver",
// "cold reset sent", "reset seen",
// "acquiring: 12 s, 8 satellites seen, best C/N0 44 dB-Hz",
// "waiting for GPS:1: 4 s", "measuring GPS:1: 3 of 10 s, 42 dB-Hz",
// "listening: 2 s, antenna ok", "writing configuration L3-out-v1".
QString stageWords(const Stage& stage);

// Why a plan qualified by a gauge study cannot run without a database.
QString studyWithoutDatabase(const QString& study);

// What a cycle came to, for its `status`: the measured value against the
// limit that failed it ("TTFF 22.0 s > 15 s", "C/N0 28.5 < 30 dB-Hz"), the
// TTFF of a pass, or what to do about a fault; with a signal test, its mean
// after that ("GPS:1 C/N0 42.30 dB-Hz", "GPS:1 C/N0 38.10 < 40 dB-Hz").  problem: why the port
// could not be opened, for port-unavailable. note: what the run saw beside (a device that went
// away, the rate the receiver talks at), added to the words or, where it says it all, in their
// place.
QString outcomeWords(const CycleResult& result, int confirmTimeoutS, int fixTimeoutS,
                     const QString& problem = {}, const QString& note = {});

// Why a device cannot be opened as a serial line, in words a technician can
// act on: "no such device", "not a serial device", "permission denied ...",
// "busy ...".  serialError: what the serial library said.
QString portProblem(const QString& device, const QString& serialError);

}  // namespace station
