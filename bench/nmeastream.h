// Synthetic receiver output for the benchmarks and measuring tools: one
// second of a SiRF receiver with a fix is a burst of GGA, GSA, three GSV and
// RMC sentences, each with a valid checksum and CR LF.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/nmea.h"

namespace coldstart::bench {

// "$", the body, "*", the checksum in upper-case hexadecimal, CR LF.
inline std::string nmeaSentence(std::string_view body) {
    return gpslink::nmeaCommand(body);
}

// How the receiver's clock reads.
enum class Clock {
    Known,     // the time of day: counted towards the cold start
    Starting,  // 00:00:00 to 00:00:09, which is never counted before the cold start
    Unknown,   // an empty time field, which nothing counts and nothing confirms
};

// The GGA time field for a second of the run, "hhmmss.sss".
inline std::string timeField(long second, Clock clock) {
    char text[16];
    switch (clock) {
        case Clock::Known: {
            const long s = second % 86400;
            std::snprintf(text, sizeof text, "%02ld%02ld%02ld.000", s / 3600, s / 60 % 60, s % 60);
            return text;
        }
        case Clock::Starting:
            std::snprintf(text, sizeof text, "00000%ld.000", second % 10);
            return text;
        case Clock::Unknown:
            break;
    }
    return {};
}

inline std::string ggaSentence(long second, Clock clock) {
    if (clock == Clock::Unknown) return nmeaSentence("GPGGA,,,,,,0,00,,,M,,M,,");
    return nmeaSentence("GPGGA," + timeField(second, clock) +
                        ",4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,0000");
}

// One second of output: GGA, GSA, GSV x3, RMC (about 420 characters).
inline std::string burst(long second, Clock clock) {
    std::string rmcTime = timeField(second, clock == Clock::Unknown ? Clock::Known : clock);
    return ggaSentence(second, clock) +
           nmeaSentence("GPGSA,A,3,04,05,09,12,24,25,29,31,,,,,1.8,0.9,1.5") +
           nmeaSentence("GPGSV,3,1,12,04,40,083,46,05,17,308,41,09,07,344,39,12,22,228,45") +
           nmeaSentence("GPGSV,3,2,12,24,64,136,47,25,11,038,33,29,33,191,44,31,75,274,48") +
           nmeaSentence("GPGSV,3,3,12,02,05,165,,10,02,312,,14,08,097,30,26,03,125,") +
           nmeaSentence("GPRMC," + rmcTime + ",A,4807.0380,N,01131.0000,E,0.02,31.66,061226,,,A");
}

// count bursts, the first for second first.
inline std::string bursts(long first, long count, Clock clock) {
    std::string text;
    for (long s = first; s < first + count; ++s) text += burst(s, clock);
    return text;
}

// Characters at a wrong baud rate, as far as framing cares: every byte value
// but "*", with a "$" now and then, so that sentences start and never end.
inline std::string lineNoise(std::size_t size) {
    std::string text(size, '\0');
    unsigned x = 2463534242u;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        char c = static_cast<char>(x & 0xFF);
        if (c == '*') c = '$';
        text[i] = c;
    }
    return text;
}

// A stream handed out in chunks of one size, round and round.  The stream is
// padded with line ends to a whole number of chunks, so that every round
// cuts it at the same places.
class ChunkRing {
public:
    ChunkRing(std::string stream, std::size_t chunk) : chunk_(chunk) {
        if (stream.size() % chunk != 0) stream.append(chunk - stream.size() % chunk, '\n');
        data_ = std::move(stream);
    }

    std::string_view next() {
        const std::string_view piece(data_.data() + pos_, chunk_);
        pos_ += chunk_;
        if (pos_ == data_.size()) pos_ = 0;
        return piece;
    }

    // Index of the chunk next() hands out next, and how many there are.
    std::size_t index() const { return pos_ / chunk_; }
    std::size_t chunks() const { return data_.size() / chunk_; }
    std::size_t chunkSize() const { return chunk_; }
    const std::string& data() const { return data_; }

    // For each chunk, how many GGA sentences it completes (their second
    // checksum character lies in it).
    std::vector<int> ggaCompletions() const {
        std::vector<int> count(chunks(), 0);
        for (std::size_t at = data_.find("GGA,"); at != std::string::npos;
             at = data_.find("GGA,", at + 1)) {
            const std::size_t star = data_.find('*', at);
            if (star == std::string::npos || star + 2 >= data_.size()) break;
            ++count[(star + 2) / chunk_];
        }
        return count;
    }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t pos_ = 0;
};

}  // namespace coldstart::bench
