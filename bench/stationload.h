// The receivers of the station load benchmark, and what it reads of the
// station's process in /proc.
//
// A LoadReceiver is the character stream of one receiver on a 115,200-baud
// line (or one of another rate), driven by the caller's steady clock: it says which characters the
// line has carried by a given moment, in bursts of GGA, GSA, three GSV and
// RMC.  Realistic receivers send one burst a second; saturated ones send the
// next burst as soon as the last one is out, so the line never rests.  A
// cold-start command makes the receiver fall silent for a second, then count
// its clock up from 00:00:00 without a fix for a few epochs, then report a fix
// with the time of day again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench/nmeastream.h"

namespace coldstart::bench {

enum class Pace {
    Realistic,  // one burst a second
    Saturated,  // bursts back to back
};

class LoadReceiver {
public:
    static constexpr std::int64_t kSecondNs = 1000000000;
    static constexpr double kCharsPerSecond = 11520;           // 115,200 baud, 10 bits a character
    static constexpr std::int64_t kSilenceNs = kSecondNs;      // after a command
    static constexpr std::int64_t kMaxLagNs = kSecondNs / 10;  // a caller late by more loses it

    // firstEpochNs: when the first burst starts; firstSecond: its time of day
    // in seconds; noFixEpochs: epochs without a fix after a command;
    // charsPerSecond: the line's pace (a tenth of its baud rate).
    LoadReceiver(Pace pace, std::int64_t firstEpochNs, long firstSecond, int noFixEpochs = 3,
                 double charsPerSecond = kCharsPerSecond)
        : pace_(pace),
          noFixEpochs_(noFixEpochs),
          charsPerSecond_(charsPerSecond),
          second_(firstSecond),
          epochNs_(firstEpochNs),
          lineNs_(firstEpochNs) {}

    // The characters the line carries by nowNs that have not been taken yet,
    // up to the end of the current burst.  Empty when nothing is due.
    std::string_view due(std::int64_t nowNs) {
        if (pending_.empty()) {
            if (nowNs < epochNs_) return {};
            loadBurst();
        }
        lineNs_ = std::max(lineNs_, nowNs - kMaxLagNs);
        if (nowNs <= lineNs_) return {};
        const auto chars = static_cast<std::size_t>(static_cast<double>(nowNs - lineNs_) *
                                                    charsPerSecond_ / double(kSecondNs));
        return std::string_view(pending_).substr(0, std::min(chars, pending_.size()));
    }

    // What a commit carried of the burst's GGA sentence.
    struct Sent {
        bool ggaBegins = false;  // its "$" reached the far end
        bool ggaEnds = false;    // its last checksum character reached the far end
        bool timeOfDay = false;  // its time is one the link counts (00:00:10 or later)
    };

    // The first `offered` characters of due() went out on the line, of which
    // only the first `written` reached the far end (the rest were lost, as on
    // a UART nobody reads).
    Sent commit(std::size_t offered, std::size_t written) {
        Sent sent;
        sent.timeOfDay = timeOfDay_;
        if (ggaBegins_ && offered > 0) {
            sent.ggaBegins = written > 0;
            ggaBegins_ = false;
        }
        sent.ggaEnds = ggaEnd_ != std::string::npos && ggaEnd_ < written;
        if (ggaEnd_ != std::string::npos)
            ggaEnd_ = ggaEnd_ < offered ? std::string::npos : ggaEnd_ - offered;
        pending_.erase(0, offered);
        lineNs_ += static_cast<std::int64_t>(static_cast<double>(offered) * double(kSecondNs) /
                                             charsPerSecond_);
        if (pending_.empty()) {
            if (pace_ == Pace::Saturated)
                epochNs_ = lineNs_;
            else
                lineNs_ = epochNs_;
        }
        return sent;
    }

    // The receiver took a command at nowNs: what it had not sent is dropped,
    // and its restarted clock begins after the silence.
    void command(std::int64_t nowNs) {
        pending_.clear();
        ggaEnd_ = std::string::npos;
        ggaBegins_ = false;
        sinceRestart_ = noFixEpochs_ > 0 ? 0 : -1;
        epochNs_ = lineNs_ = nowNs + kSilenceNs;
    }

    // Epochs sent since the last command, or -1 once it has a fix again.
    int sinceRestart() const { return sinceRestart_; }

private:
    void loadBurst() {
        std::string text;
        timeOfDay_ = sinceRestart_ < 0;
        if (!timeOfDay_) {
            // Its own GGA without a fix in place of the burst's one.
            const std::string fixed = burst(sinceRestart_, Clock::Starting);
            text = nmeaSentence("GPGGA," + timeField(sinceRestart_, Clock::Starting) +
                                ",,,,,0,00,,,M,,M,,") +
                   fixed.substr(fixed.find('\n') + 1);
            if (++sinceRestart_ >= noFixEpochs_) sinceRestart_ = -1;
        } else {
            // The time of day stays clear of the first ten seconds of a day.
            text = burst(36000 + second_ % 40000, Clock::Known);
            ++second_;
        }
        ggaBegins_ = true;  // the GGA sentence comes first
        ggaEnd_ = text.find('*') + 2;
        pending_ = std::move(text);
        lineNs_ = std::max(lineNs_, epochNs_);
        if (pace_ == Pace::Realistic) epochNs_ += kSecondNs;
    }

    Pace pace_;
    int noFixEpochs_;
    double charsPerSecond_;
    long second_;
    int sinceRestart_ = -1;
    std::int64_t epochNs_;                    // when the next burst may start
    std::int64_t lineNs_;                     // when the line has carried everything taken so far
    std::string pending_;                     // the rest of the current burst
    bool timeOfDay_ = true;                   // the current burst's time is the time of day
    bool ggaBegins_ = false;                  // the GGA's "$" is still to go out
    std::size_t ggaEnd_ = std::string::npos;  // in pending_
};

// utime + stime in clock ticks from the text of /proc/PID/stat.
inline std::optional<long long> cpuTicksFromStat(std::string_view stat) {
    // The command name in parentheses may hold blanks and parentheses.
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    // The fields after the name, from field 3 (state); utime is 14, stime 15.
    std::vector<std::string_view> fields;
    for (std::size_t at = close + 1; at < stat.size();) {
        at = stat.find_first_not_of(" \n", at);
        if (at == std::string_view::npos) break;
        const std::size_t end = std::min(stat.find_first_of(" \n", at), stat.size());
        fields.push_back(stat.substr(at, end - at));
        at = end;
    }
    if (fields.size() < 13) return std::nullopt;
    long long sum = 0;
    for (const std::string_view text : {fields[11], fields[12]}) {
        long long value = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        sum += value;
    }
    return sum;
}

// A field in kB ("VmRSS", "RssAnon", "RssFile") from the text of
// /proc/PID/status.
inline std::optional<long> statusKb(std::string_view status, std::string_view field) {
    const std::string key = "\n" + std::string(field) + ":";
    const std::size_t at = status.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t pos = status.find_first_not_of(" \t", at + key.size());
    if (pos == std::string_view::npos || status[pos] < '0' || status[pos] > '9')
        return std::nullopt;
    long kb = 0;
    for (; pos < status.size() && status[pos] >= '0' && status[pos] <= '9'; ++pos)
        kb = kb * 10 + (status[pos] - '0');
    if (status.substr(pos, 3) != " kB") return std::nullopt;
    return kb;
}

// One sample of the station's process, as written to the soak CSV.
struct ProcSample {
    double atS = 0;                    // since the benchmark began
    long rss = 0, anon = 0, file = 0;  // kB: VmRSS, RssAnon, RssFile
    long fds = 0;                      // entries in /proc/PID/fd
    // Of them the serial ports' own: the device and QSerialPort's lock file
    // (LCK..NAME) of each port open; -1 when not known.
    long portFds = -1;
    long otherFds() const { return portFds < 0 ? fds : fds - portFds; }
};

inline constexpr const char* kSampleCsvHeader =
    "elapsed_s,utc,vmrss_kb,rss_anon_kb,rss_file_kb,fds,cold_starts,results,station_cpu_s,"
    "db_kb,port_fds";

// The samples of a soak CSV (header above, one row a sample; rows that do
// not parse, the header among them, are skipped).
inline std::vector<ProcSample> samplesFromCsv(std::istream& in) {
    std::vector<ProcSample> samples;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::stringstream row(line);
        for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
        if (cells.size() < 6) continue;
        const auto number = [](const std::string& text, double* value) {
            char* end = nullptr;
            *value = std::strtod(text.c_str(), &end);
            return !text.empty() && end == text.c_str() + text.size();
        };
        double at, rss, anon, file, fds;
        if (!number(cells[0], &at) || !number(cells[2], &rss) || !number(cells[3], &anon) ||
            !number(cells[4], &file) || !number(cells[5], &fds))
            continue;
        double ports = -1;
        if (cells.size() > 10 && !number(cells[10], &ports)) ports = -1;
        samples.push_back({at, long(rss), long(anon), long(file), long(fds), long(ports)});
    }
    return samples;
}

// How the station's memory and descriptors moved from a moment on: the
// first sample at or after fromS against the last, and the spread of all
// samples from the first on.  The ports' descriptors come and go with the
// cycles; the others are those that must stay put.
struct Growth {
    ProcSample from, last;
    long rssLow = 0, rssHigh = 0, fdsLow = 0, fdsHigh = 0, otherLow = 0, otherHigh = 0;
    int samples = 0;
};

inline std::optional<Growth> growthFrom(const std::vector<ProcSample>& samples, double fromS) {
    const auto first = std::find_if(samples.begin(), samples.end(),
                                    [&](const ProcSample& s) { return s.atS >= fromS; });
    if (first == samples.end()) return std::nullopt;
    Growth g;
    g.from = *first;
    g.last = samples.back();
    g.rssLow = g.rssHigh = first->rss;
    g.fdsLow = g.fdsHigh = first->fds;
    g.otherLow = g.otherHigh = first->otherFds();
    for (auto s = first; s != samples.end(); ++s) {
        g.rssLow = std::min(g.rssLow, s->rss);
        g.rssHigh = std::max(g.rssHigh, s->rss);
        g.fdsLow = std::min(g.fdsLow, s->fds);
        g.fdsHigh = std::max(g.fdsHigh, s->fds);
        g.otherLow = std::min(g.otherLow, s->otherFds());
        g.otherHigh = std::max(g.otherHigh, s->otherFds());
        ++g.samples;
    }
    return g;
}

}  // namespace coldstart::bench
