// The station under load: many receivers on pseudo-terminals at once, and
// the real gps-coldstart-cli cold-starting them over and over.
//
//   station_load [--ports 64] [--mode realistic|saturated] [--seconds 120]
//                [--warmup 20] [--no-fix-epochs N] [--cli PATH]
//                [--cycles N] [--hold-save MS] [--evidence on|off]
//                [--csv PATH] [--sample-every S] [--data DIR]
//   station_load --summarize PATH
//
// This process plays every receiver on the master side of its own
// pseudo-terminal (paced at 115,200 baud, see stationload.h) and runs the
// station as a child process on the slave paths, cycling without end, its
// results in a temporary data folder of its own.  It measures:
//
// - the child's CPU (utime + stime from /proc/PID/stat) from the end of the
//   warm-up to the end, as a share of one core;
// - the child's VmRSS every ten seconds, split into anonymous memory and
//   mapped files: after the first minute, at the end, and the highest;
// - the reaction on every port, as two bounds.  The station counts GGA
//   sentences with a time of day from the moment it discards its input after
//   opening the port (the master side runs in packet mode, so this side sees
//   that moment) and answers the fifth.  Upper bound: from the write that
//   carried the last checksum character of the fifth such GGA sentence begun
//   after the discard to the read that brought the "$" of the cold-start
//   sentence back; it is too long when the station missed one of them.
//   Lower bound: from the latest GGA sentence written before that read; it
//   is too short when the station took longer than one burst.  Where this
//   side had counted exactly five, the two are the same.
//
// With --csv the station's VmRSS, RssAnon, RssFile and open descriptors
// (/proc/PID/fd), the cold starts and results so far, its CPU and the size of
// its results database are appended to PATH every --sample-every seconds
// (default 60), one flushed row each, and the end says how they moved after
// the first hour.  --summarize prints the same from such a file, for a run
// that was stopped before its end.  For a day on the line:
//
//   nohup station_load --ports 64 --seconds 86400 --warmup 60 --csv out/soak.csv
//         --data out/soak-data > out/soak.log 2>&1 &      (one line)
//
// The results go to DIR/gps-coldstart/results.sqlite with --data, else to a
// temporary folder removed at the end.
//
// With --cycles the station runs that many cycles per unit and the run ends
// when it has ended (--seconds is then a limit).  With --hold-save the
// station is this program's own child instead of gps-coldstart-cli: the
// same station code (cli::runStation) with every save held MS milliseconds
// (0: a free store), a timer on its event loop that records how late each of its ticks lands, and
// each unit's TTFFs unrounded; this side then also measures each TTFF from
// the read that brought the command to the write that completed the first
// GGA with a fix after it, and reports by how much the station's TTFFs
// exceed those.
//
// --evidence off runs the station without keeping each unit's bytes (on, the
// station's default, keeps them); the end gives each cycle's time from its
// start to its verdict as the station reported them, to set one against the
// other.
//
// Exit status: 0 when the run was sound (the station ran to the end, every
// port got the cold-start sentence and nothing else, no cycle failed),
// 1 otherwise, 2 for a usage mistake.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "bench/stationload.h"
#include "cli/run.h"
#include "gpslink/link.h"
#include "results/statistics.h"
#include "station/identity.h"
#include "station/result.h"
#include "station/station.h"
#include "testkit/ptypair.h"

namespace coldstart::bench {
namespace {

constexpr int kStepMs = 10;  // the receivers' pacing step
constexpr int kRssEveryS = 10;
constexpr int kProgressEveryS = 60;

struct Options {
    int ports = 64;
    Pace pace = Pace::Realistic;
    int seconds = 120;
    int warmup = 20;
    int noFixEpochs = 3;  // after a command
    QString cli;
    int cycles = 0;                 // per unit; 0: without end, until --seconds
    std::optional<int> holdSaveMs;  // the station as this program's child, each save held
    QString csv;                    // the samples, appended
    int sampleEveryS = 60;
    QString data;  // the station's data folder; empty: a temporary one
    bool evidence = true;
};

// One receiver and its side of the line.
struct Port {
    gpslink::testing::Pty pty;
    std::unique_ptr<LoadReceiver> receiver;
    std::unique_ptr<QSocketNotifier> notifier;
    std::int64_t lastGgaNs = -1;  // when the latest GGA sentence was completed
    // Since the station last discarded its input: whether it has, whether the
    // GGA under way began after that and carries a time the link counts, how
    // many such GGA sentences were completed, and when the fifth was.
    bool discarded = false;
    bool ggaCounts = false;
    int counted = 0;
    std::int64_t fifthNs = -1;
    std::string answer;          // the station's current sentence, from its "$"
    std::int64_t answerNs = -1;  // when its "$" came
    int commands = 0;
    int otherText = 0;  // sentences that were neither the cold start nor the identity query
    long long written = 0, lost = 0;
    std::int64_t commandNs = -1;       // when the latest command was read, until its fix
    std::vector<double> receiverTtff;  // seconds, by cycle: command read to fix written
};

std::optional<std::string> readProc(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll().toStdString();
}

// Open descriptors of a process, the entries of /proc/PID/fd, and of them
// those of its serial ports: a pseudo-terminal or a serial port's lock file.
std::optional<std::pair<long, long>> openFds(qint64 pid) {
    const QByteArray path = QStringLiteral("/proc/%1/fd").arg(pid).toLocal8Bit();
    DIR* dir = ::opendir(path.constData());
    if (!dir) return std::nullopt;
    long count = 0, ports = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        ++count;
        char target[256] = {};
        const QByteArray link = path + '/' + entry->d_name;
        if (::readlink(link.constData(), target, sizeof target - 1) > 0 &&
            (std::strncmp(target, "/dev/pts/", 9) == 0 || std::strstr(target, "/LCK..")))
            ++ports;
    }
    ::closedir(dir);
    return std::pair{count, ports};
}

// How the samples moved from fromS on, one line.
void printGrowth(const std::vector<ProcSample>& samples, double fromS, const char* what) {
    const auto g = growthFrom(samples, fromS);
    if (!g || g->samples < 2) {
        std::printf("%s: the run did not last past %.0f s\n", what, fromS);
        return;
    }
    std::printf(
        "%s (%.0f s to %.0f s, %d samples): VmRSS %ld -> %ld kB (%+ld), lowest %ld, highest "
        "%ld; anonymous %ld -> %ld kB (%+ld), files %+ld kB; open descriptors %ld -> %ld, from "
        "%ld to %ld; other than the ports' %ld -> %ld (%+ld), from %ld to %ld\n",
        what, g->from.atS, g->last.atS, g->samples, g->from.rss, g->last.rss,
        g->last.rss - g->from.rss, g->rssLow, g->rssHigh, g->from.anon, g->last.anon,
        g->last.anon - g->from.anon, g->last.file - g->from.file, g->from.fds, g->last.fds,
        g->fdsLow, g->fdsHigh, g->from.otherFds(), g->last.otherFds(),
        g->last.otherFds() - g->from.otherFds(), g->otherLow, g->otherHigh);
}

class LoadRun {
public:
    explicit LoadRun(Options options) : options_(std::move(options)) {}

    bool start() {
        clock_.start();
        std::mt19937 random(1);
        std::uniform_int_distribution<std::int64_t> phase(0, LoadReceiver::kSecondNs - 1);
        QStringList arguments{"--quiet", "--json", "--cycles",
                              QString::number(options_.cycles > 0 ? options_.cycles : 100000),
                              "--baud", "115200", "--station", "bench",
                              // The reaction measured is to the fifth GGA time: the window's rule.
                              "--send-after", "time", "--evidence",
                              options_.evidence ? "on" : "off"};
        for (int i = 0; i < options_.ports; ++i) {
            auto port = std::make_unique<Port>();
            if (!port->pty.ok()) {
                std::fprintf(stderr, "station_load: no pseudo-terminal for port %d\n", i + 1);
                return false;
            }
            // Realistic receivers start their seconds at scattered moments.
            const std::int64_t first =
                kStartNs + (options_.pace == Pace::Realistic ? phase(random) : 0);
            port->receiver = std::make_unique<LoadReceiver>(options_.pace, first, 1000L * i,
                                                            options_.noFixEpochs);
            port->notifier =
                std::make_unique<QSocketNotifier>(port->pty.masterFd(), QSocketNotifier::Read);
            int one = 1;  // packet mode: the station's discarding of its input is reported
            if (::ioctl(port->pty.masterFd(), TIOCPKT, &one) != 0) {
                std::perror("station_load: TIOCPKT");
                return false;
            }
            Port* p = port.get();
            QObject::connect(port->notifier.get(), &QSocketNotifier::activated,
                             [this, p] { onReadable(*p); });
            arguments << QString::fromStdString(port->pty.slavePath());
            ports_.push_back(std::move(port));
        }

        if (options_.holdSaveMs) {
            arguments =
                QStringList{"--as-station", QString::number(*options_.holdSaveMs)} + arguments;
            child_.setProgram(QCoreApplication::applicationFilePath());
        } else {
            child_.setProgram(options_.cli);
        }
        child_.setArguments(arguments);
        // Results in a folder of the run's own, never in the user's database.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"),
                           options_.data.isEmpty() ? data_.path() : options_.data);
        child_.setProcessEnvironment(environment);
        child_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&child_, &QProcess::readyReadStandardOutput, [this] { readResults(); });
        QObject::connect(&child_, &QProcess::finished, [this](int code, QProcess::ExitStatus) {
            childExit_ = code;
            if (!stopping_ && options_.cycles > 0) {  // the station's own end
                QCoreApplication::exit(0);
            } else if (!stopping_) {
                std::fprintf(stderr, "station_load: the station ended early (exit status %d)\n",
                             code);
                QCoreApplication::exit(1);
            }
        });
        child_.start();
        if (!child_.waitForStarted(10000)) {
            std::fprintf(stderr, "station_load: cannot start %s: %s\n",
                         qPrintable(child_.program()), qPrintable(child_.errorString()));
            return false;
        }
        pid_ = child_.processId();
        if (!options_.csv.isEmpty()) {
            csv_.setFileName(options_.csv);
            if (!csv_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
                std::fprintf(stderr, "station_load: cannot write %s: %s\n",
                             qPrintable(options_.csv), qPrintable(csv_.errorString()));
                return false;
            }
            if (csv_.size() == 0) csv_.write(QByteArray(kSampleCsvHeader) + '\n');
            csv_.flush();
        }

        pacer_.setTimerType(Qt::PreciseTimer);
        pacer_.setInterval(kStepMs);
        QObject::connect(&pacer_, &QTimer::timeout, [this] { step(); });
        pacer_.start();
        sampler_.setInterval(1000);
        QObject::connect(&sampler_, &QTimer::timeout, [this] { sample(); });
        sampler_.start();
        return true;
    }

    int finish() {
        pacer_.stop();
        sampler_.stop();
        stopping_ = true;
        if (child_.state() != QProcess::NotRunning) {
            child_.terminate();  // SIGTERM: the station ends its runs and reports
            if (!child_.waitForFinished(20000)) {
                child_.kill();
                child_.waitForFinished(5000);
                std::fprintf(stderr, "station_load: the station did not end on SIGTERM\n");
            }
        }
        readResults();
        return report();
    }

private:
    static constexpr std::int64_t kStartNs =
        500000000;  // the receivers' first burst, at the earliest

    std::int64_t nowNs() const { return clock_.nsecsElapsed(); }

    void step() {
        for (auto& port : ports_) {
            for (;;) {
                const std::string_view chunk = port->receiver->due(nowNs());
                if (chunk.empty()) break;
                const ssize_t n = ::write(port->pty.masterFd(), chunk.data(), chunk.size());
                const std::int64_t at = nowNs();
                const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
                port->written += static_cast<long long>(written);
                port->lost += static_cast<long long>(chunk.size() - written);
                const LoadReceiver::Sent sent = port->receiver->commit(chunk.size(), written);
                if (sent.ggaBegins) port->ggaCounts = port->discarded && sent.timeOfDay;
                if (sent.ggaEnds && sent.timeOfDay && port->commandNs >= 0) {
                    port->receiverTtff.push_back(double(at - port->commandNs) / 1e9);
                    port->commandNs = -1;
                }
                if (sent.ggaEnds) {
                    port->lastGgaNs = at;
                    if (port->ggaCounts) {
                        ++port->counted;
                        if (port->counted == 5) port->fifthNs = at;
                    }
                }
            }
        }
    }

    // In packet mode every read brings either data after a 0 byte or a
    // status byte.
    void onReadable(Port& port) {
        char buf[512];
        for (ssize_t n; (n = ::read(port.pty.masterFd(), buf, sizeof buf)) > 0;) {
            const std::int64_t at = nowNs();
            if (buf[0] != TIOCPKT_DATA) {
                if (buf[0] & TIOCPKT_FLUSHREAD) {
                    port.discarded = true;
                    port.ggaCounts = false;
                    port.counted = 0;
                    port.fifthNs = -1;
                }
                continue;
            }
            for (ssize_t i = 1; i < n; ++i) {
                const char c = buf[i];
                if (port.answer.empty()) {
                    if (c != '$') continue;
                    port.answerNs = at;
                }
                port.answer += c;
                if (c == '\n' || port.answer.size() > 200) sentence(port, at);
            }
        }
    }

    void answerBegun(Port& port, std::int64_t at) {
        if (port.fifthNs >= 0) {
            reactionsUs_.push_back(double(at - port.fifthNs) / 1e3);
            if (port.counted > 5) ++ambiguous_;
        } else
            ++unattributed_;
        if (port.lastGgaNs >= 0) latestGgaUs_.push_back(double(at - port.lastGgaNs) / 1e3);
    }

    void sentence(Port& port, std::int64_t at) {
        static const std::vector<std::string> asked =
            station::identityQueries(gpslink::ReceiverFamily::Sirf);
        if (port.answer == gpslink::kColdStartSentence) {
            answerBegun(port, port.answerNs);
            ++port.commands;
            port.commandNs = at;
            port.receiver->command(at);
            port.lastGgaNs = -1;
            port.discarded = port.ggaCounts = false;
            port.counted = 0;
            port.fifthNs = -1;
        } else if (std::find(asked.begin(), asked.end(), port.answer) == asked.end()) {
            ++port.otherText;  // the identity query on connecting is expected
            std::fprintf(stderr, "station_load: unexpected text from the station: %s\n",
                         port.answer.c_str());
        }
        port.answer.clear();
    }

    void readResults() {
        while (child_.canReadLine()) {
            const QJsonObject result = QJsonDocument::fromJson(child_.readLine()).object();
            if (result.contains(QLatin1String("event_loop"))) station_ = result;  // the child's
            if (!result.contains(QLatin1String("result"))) continue;  // a unit's summary
            ++results_[result.value(QLatin1String("result")).toString() + QLatin1Char('/') +
                       result.value(QLatin1String("reason")).toString()];
            resultsAtS_.push_back(double(nowNs()) / 1e9);
            const auto at = [&](const char* key) {
                return QDateTime::fromString(result.value(QLatin1String(key)).toString(),
                                             Qt::ISODateWithMs);
            };
            if (result.value(QLatin1String("result")).toString() == QLatin1String("pass"))
                cycleMs_.push_back(double(at("started").msecsTo(at("ended"))));
        }
    }

    void sample() {
        const double elapsedS = double(clock_.nsecsElapsed()) / 1e9;
        const int second = static_cast<int>(elapsedS + 0.5);
        if (cpuStartTicks_) endCpuTicks();  // the latest, should the station end on its own
        if (!cpuStartTicks_ && elapsedS >= options_.warmup) {
            if (const auto stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid_))) {
                cpuStartTicks_ = cpuTicksFromStat(*stat);
                cpuStartS_ = elapsedS;
                rusage self{};
                getrusage(RUSAGE_SELF, &self);
                selfStartS_ = cpuSeconds(self);
            }
        }
        if (second % kRssEveryS == 0) {
            if (const auto status = readProc(QStringLiteral("/proc/%1/status").arg(pid_))) {
                const Memory now{statusKb(*status, "VmRSS").value_or(0),
                                 statusKb(*status, "RssAnon").value_or(0),
                                 statusKb(*status, "RssFile").value_or(0)};
                if (second <= 60 || rssAtMinute_.rss == 0) rssAtMinute_ = now;
                rssLast_ = now;
                rssMax_ = std::max(rssMax_, now.rss);
            }
        }
        if (csv_.isOpen() && elapsedS >= nextCsvS_) {
            writeCsvRow(elapsedS);
            nextCsvS_ += options_.sampleEveryS;
        }
        if (second % kProgressEveryS == 0) {
            int commands = 0;
            for (const auto& port : ports_) commands += port->commands;
            std::printf(
                "%5d s: VmRSS %ld kB (anonymous %ld, files %ld), %d cold starts, %zu "
                "reactions\n",
                second, rssLast_.rss, rssLast_.anon, rssLast_.file, commands, reactionsUs_.size());
            std::fflush(stdout);
        }
        if (elapsedS >= options_.seconds) {
            endCpuTicks();
            QCoreApplication::exit(0);
        }
    }

    // One row of the CSV: the station's process now.
    void writeCsvRow(double elapsedS) {
        const auto status = readProc(QStringLiteral("/proc/%1/status").arg(pid_));
        const auto fds = openFds(pid_);
        if (!status || !fds) return;  // the station has ended
        ProcSample s{elapsedS,
                     statusKb(*status, "VmRSS").value_or(0),
                     statusKb(*status, "RssAnon").value_or(0),
                     statusKb(*status, "RssFile").value_or(0),
                     fds->first,
                     fds->second};
        samples_.push_back(s);
        int commands = 0;
        for (const auto& port : ports_) commands += port->commands;
        int stored = 0;
        for (const auto& [kind, count] : results_) stored += count;
        double cpuS = -1;
        if (const auto stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid_)))
            if (const auto ticks = cpuTicksFromStat(*stat))
                cpuS = double(*ticks) / double(sysconf(_SC_CLK_TCK));
        const QString db = (options_.data.isEmpty() ? data_.path() : options_.data) +
                           QStringLiteral("/gps-coldstart/results.sqlite");
        const qint64 dbBytes = QFileInfo(db).size() + QFileInfo(db + QStringLiteral("-wal")).size();
        csv_.write(QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9,%10,%11\n")
                       .arg(elapsedS, 0, 'f', 1)
                       .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate))
                       .arg(s.rss)
                       .arg(s.anon)
                       .arg(s.file)
                       .arg(s.fds)
                       .arg(commands)
                       .arg(stored)
                       .arg(cpuS, 0, 'f', 2)
                       .arg(dbBytes / 1024)
                       .arg(s.portFds)
                       .toUtf8());
        csv_.flush();
    }

    void endCpuTicks() {
        if (!cpuStartTicks_) return;
        if (const auto stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid_))) {
            cpuEndTicks_ = cpuTicksFromStat(*stat);
            cpuEndS_ = double(clock_.nsecsElapsed()) / 1e9;
            rusage self{};
            getrusage(RUSAGE_SELF, &self);
            selfEndS_ = cpuSeconds(self);
        }
    }

    static void printReactions(const char* what, std::vector<double> us) {
        std::sort(us.begin(), us.end());
        if (us.empty()) {
            std::printf("%s: none measured\n", what);
            return;
        }
        const auto over2ms = std::count_if(us.begin(), us.end(), [](double v) { return v > 2000; });
        std::printf(
            "%s (%zu): median %.0f us, p95 %.0f us, p99 %.0f us, max %.0f us; over 2 ms: "
            "%td\n",
            what, us.size(), results::median(us), results::nearestRank(us, 95),
            results::nearestRank(us, 99), us.back(), over2ms);
    }

    static double cpuSeconds(const rusage& r) {
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    }

    int report() {
        const bool saturated = options_.pace == Pace::Saturated;
        std::printf(
            "\n%d ports, %s, %d s (CPU from %d s on), %d bursts without a fix after "
            "each cold start\n",
            options_.ports, saturated ? "saturated" : "realistic", options_.seconds,
            options_.warmup, options_.noFixEpochs);
        // Without end the station is stopped with SIGTERM; with cycles it ends by itself.
        bool sound = childExit_ == (options_.cycles > 0 ? station::kOk : station::kInterrupted);
        int commands = 0, fewest = -1, most = 0, other = 0;
        long long written = 0, lost = 0;
        for (const auto& port : ports_) {
            commands += port->commands;
            fewest = fewest < 0 ? port->commands : std::min(fewest, port->commands);
            most = std::max(most, port->commands);
            other += port->otherText;
            written += port->written;
            lost += port->lost;
        }
        if (fewest <= 0 || other > 0) sound = false;
        if (options_.cycles > 0 && (fewest != options_.cycles || most != options_.cycles))
            sound = false;
        const double runS = double(clock_.nsecsElapsed()) / 1e9;
        std::printf("line: %lld characters written (%.0f a second per port), %lld lost\n", written,
                    double(written) / runS / options_.ports, lost);
        std::printf("cold starts: %d (per port %d to %d), other text from the station: %d\n",
                    commands, fewest, most, other);
        std::printf("cycles reported:");
        for (const auto& [kind, count] : results_) {
            std::printf(" %s %d", qPrintable(kind), count);
            if (!kind.startsWith(QLatin1String("pass/")) &&
                kind != QLatin1String("interrupted/interrupted"))
                sound = false;
        }
        std::printf("\nstation exit status: %d\n", childExit_);

        if (reactionsUs_.empty()) sound = false;
        printReactions("reaction, upper bound (from the fifth GGA)", reactionsUs_);
        printReactions("reaction, lower bound (from the latest GGA)", latestGgaUs_);
        std::printf(
            "commands after more than five GGA sentences: %d (the bounds differ); "
            "before five: %d (no upper bound)\n",
            ambiguous_, unattributed_);
        if (cpuStartTicks_ && cpuEndTicks_) {
            const double cpuS = double(*cpuEndTicks_ - *cpuStartTicks_) / sysconf(_SC_CLK_TCK);
            const double windowS = cpuEndS_ - cpuStartS_;
            std::printf("station CPU: %.2f s in %.1f s = %.2f %% of one core\n", cpuS, windowS,
                        100 * cpuS / windowS);
            std::printf("this process's CPU: %.2f s = %.2f %% of one core\n",
                        selfEndS_ - selfStartS_, 100 * (selfEndS_ - selfStartS_) / windowS);
        } else {
            std::printf("station CPU: not measured (the station did not run past the warm-up)\n");
        }
        std::printf(
            "station VmRSS: %ld kB after the first minute, %ld kB at the end (%+ld kB), "
            "highest %ld kB; of it anonymous %ld -> %ld kB (%+ld), files %ld -> %ld kB "
            "(%+ld)\n",
            rssAtMinute_.rss, rssLast_.rss, rssLast_.rss - rssAtMinute_.rss, rssMax_,
            rssAtMinute_.anon, rssLast_.anon, rssLast_.anon - rssAtMinute_.anon, rssAtMinute_.file,
            rssLast_.file, rssLast_.file - rssAtMinute_.file);
        if (!samples_.empty()) {
            printGrowth(samples_, 60, "after the first minute");
            printGrowth(samples_, 3600, "after the first hour");
        }
        std::printf("evidence: %s\n", options_.evidence ? "kept" : "off");
        printOver("cycle time, start to verdict, passed cycles", cycleMs_);
        if (options_.holdSaveMs) reportHeldStore(&sound);
        std::printf("run: %s\n", sound ? "sound" : "NOT SOUND");
        return sound ? 0 : 1;
    }

    static void printOver(const char* what, std::vector<double> ms) {
        std::sort(ms.begin(), ms.end());
        if (ms.empty()) {
            std::printf("%s: none measured\n", what);
            return;
        }
        std::printf("%s (%zu): median %.2f ms, p95 %.2f ms, min %.2f ms, max %.2f ms\n", what,
                    ms.size(), results::median(ms), results::nearestRank(ms, 95), ms.front(),
                    ms.back());
    }

    // The station run as this program's child: its TTFFs against the
    // receivers' own, and how late its event loop's ticks landed.
    void reportHeldStore(bool* sound) {
        std::printf("store: every save held %d ms\n", *options_.holdSaveMs);
        if (resultsAtS_.size() > 1)
            std::printf(
                "results printed: %zu, from %.1f s to %.1f s, one every %.2f s\n",
                resultsAtS_.size(), resultsAtS_.front(), resultsAtS_.back(),
                (resultsAtS_.back() - resultsAtS_.front()) / double(resultsAtS_.size() - 1));
        const QJsonObject ttffs = station_.value(QLatin1String("station_ttff_s")).toObject();
        std::vector<double> every, later;  // ms over the receiver's TTFF
        int unmatched = 0;
        for (const auto& port : ports_) {
            const QJsonArray byCycle =
                ttffs.value(QString::fromStdString(port->pty.slavePath())).toArray();
            for (int c = 0; c < byCycle.size(); ++c) {
                if (!byCycle[c].isDouble()) continue;  // a cycle without a fix
                if (std::size_t(c) >= port->receiverTtff.size()) {
                    ++unmatched;
                    continue;
                }
                const double over =
                    (byCycle[c].toDouble() - port->receiverTtff[std::size_t(c)]) * 1e3;
                every.push_back(over);
                if (c > 0) later.push_back(over);
            }
        }
        printOver("TTFF over the receiver's, every cycle", every);
        printOver("TTFF over the receiver's, second cycle on", later);
        if (unmatched) std::printf("TTFFs without the receiver's own: %d\n", unmatched);
        const QJsonObject loop = station_.value(QLatin1String("event_loop")).toObject();
        std::printf("station event loop: %d ticks of %d ms\n",
                    loop.value(QLatin1String("ticks")).toInt(),
                    loop.value(QLatin1String("tick_ms")).toInt());
        for (const char* part : {"late", "late_not_waiting_for_cpu"}) {
            const QJsonObject f = loop.value(QLatin1String(part)).toObject();
            if (f.isEmpty()) continue;
            std::printf("  %s: median %.2f ms, p99 %.2f ms, longest %.2f ms; over 50 ms: %d\n",
                        part, f.value(QLatin1String("median_ms")).toDouble(),
                        f.value(QLatin1String("p99_ms")).toDouble(),
                        f.value(QLatin1String("longest_ms")).toDouble(),
                        f.value(QLatin1String("over_50ms")).toInt());
        }
        if (every.empty() || unmatched > 0 || loop.isEmpty()) *sound = false;
    }

    Options options_;
    std::vector<double> cycleMs_;     // each passed cycle's, started to ended
    QTemporaryDir data_;              // the station's results
    QJsonObject station_;             // that station's own figures
    std::vector<double> resultsAtS_;  // when each result was printed
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<Port>> ports_;
    QProcess child_;
    qint64 pid_ = 0;
    bool stopping_ = false;
    int childExit_ = -1;
    QTimer pacer_, sampler_;
    std::vector<double> reactionsUs_;  // from the fifth counted GGA
    std::vector<double> latestGgaUs_;  // from the latest GGA written
    int unattributed_ = 0;  // commands that came before this side counted five GGA sentences
    int ambiguous_ = 0;     // commands after more than five GGA sentences were counted here
    std::map<QString, int> results_;
    std::optional<long long> cpuStartTicks_, cpuEndTicks_;
    double cpuStartS_ = 0, cpuEndS_ = 0, selfStartS_ = 0, selfEndS_ = 0;
    struct Memory {
        long rss = 0, anon = 0, file = 0;  // kB: VmRSS, RssAnon, RssFile
    };
    Memory rssAtMinute_, rssLast_;
    long rssMax_ = 0;
    QFile csv_;
    double nextCsvS_ = 0;
    std::vector<ProcSample> samples_;  // as written to the CSV
};

// Options, or a message naming the mistake.
std::optional<Options> parse(const QStringList& arguments, QString* error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Many receivers on pseudo-terminals against gps-coldstart-cli: its CPU, memory and "
        "reaction.");
    parser.addHelpOption();
    parser.addOptions({
        {"ports", "Receivers (1 to 256, default 64).", "N", "64"},
        {"mode", "realistic (a burst a second) or saturated (the line always full).", "MODE",
         "realistic"},
        {"seconds", "Length of the run (default 120).", "S", "120"},
        {"warmup", "Seconds before the CPU is measured (default 20).", "S", "20"},
        {"no-fix-epochs",
         "Bursts without a fix after a cold start (default 3 realistic, 300 saturated).", "N"},
        {"cli", "The station program to run.", "PATH", QStringLiteral(COLDSTART_CLI)},
        {"cycles", "Cycles per unit; the run ends when the station has ended them.", "N"},
        {"hold-save",
         "Run the station as this program's child, each save held MS (0: a free store), and "
         "measure its TTFFs and its event loop.",
         "MS"},
        {"csv",
         "Append the station's VmRSS, RssAnon, RssFile, open descriptors and more to PATH "
         "every --sample-every seconds.",
         "PATH"},
        {"sample-every", "Seconds between the rows of --csv (default 60).", "S", "60"},
        {"data", "The station's data folder (its results database); default a temporary one.",
         "DIR"},
        {"evidence", "Whether the station keeps each unit's bytes: on (its default) or off.",
         "WHEN", "on"},
    });
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::exit(0);
    }
    Options options;
    bool ok = false;
    options.ports = parser.value("ports").toInt(&ok);
    if (!ok || options.ports < 1 || options.ports > 256) {
        *error = "--ports: \"" + parser.value("ports") + "\" is not a whole number from 1 to 256";
        return std::nullopt;
    }
    if (parser.value("mode") == QLatin1String("saturated")) {
        options.pace = Pace::Saturated;
    } else if (parser.value("mode") != QLatin1String("realistic")) {
        *error = "--mode: \"" + parser.value("mode") + "\" is neither realistic nor saturated";
        return std::nullopt;
    }
    options.seconds = parser.value("seconds").toInt(&ok);
    if (!ok || options.seconds < 1 || options.seconds > 86400) {
        *error =
            "--seconds: \"" + parser.value("seconds") + "\" is not a whole number from 1 to 86400";
        return std::nullopt;
    }
    options.warmup = parser.value("warmup").toInt(&ok);
    if (!ok || options.warmup < 0 || options.warmup >= options.seconds) {
        *error = "--warmup: \"" + parser.value("warmup") +
                 "\" is not a whole number from 0 to under --seconds";
        return std::nullopt;
    }
    options.noFixEpochs = options.pace == Pace::Saturated ? 300 : 3;
    if (parser.isSet("no-fix-epochs")) {
        options.noFixEpochs = parser.value("no-fix-epochs").toInt(&ok);
        if (!ok || options.noFixEpochs < 0 || options.noFixEpochs > 100000) {
            *error = "--no-fix-epochs: \"" + parser.value("no-fix-epochs") +
                     "\" is not a whole number from 0 to 100000";
            return std::nullopt;
        }
    }
    options.cli = parser.value("cli");
    if (parser.isSet("cycles")) {
        options.cycles = parser.value("cycles").toInt(&ok);
        if (!ok || options.cycles < 1 || options.cycles > 100000) {
            *error = "--cycles: \"" + parser.value("cycles") +
                     "\" is not a whole number from 1 to 100000";
            return std::nullopt;
        }
    }
    options.csv = parser.value("csv");
    options.sampleEveryS = parser.value("sample-every").toInt(&ok);
    if (!ok || options.sampleEveryS < 1 || options.sampleEveryS > 3600) {
        *error = "--sample-every: \"" + parser.value("sample-every") +
                 "\" is not a whole number of seconds from 1 to 3600";
        return std::nullopt;
    }
    if (parser.isSet("data")) {
        options.data = QDir(parser.value("data")).absolutePath();
        if (!QDir().mkpath(options.data)) {
            *error = "--data: cannot make the folder \"" + parser.value("data") + "\"";
            return std::nullopt;
        }
    }
    if (parser.value("evidence") != QLatin1String("on") &&
        parser.value("evidence") != QLatin1String("off")) {
        *error = "--evidence: \"" + parser.value("evidence") + "\" is neither on nor off";
        return std::nullopt;
    }
    options.evidence = parser.value("evidence") == QLatin1String("on");
    if (parser.isSet("hold-save")) {
        options.holdSaveMs = parser.value("hold-save").toInt(&ok);
        if (!ok || *options.holdSaveMs < 0 || *options.holdSaveMs > 600000) {
            *error = "--hold-save: \"" + parser.value("hold-save") +
                     "\" is not a whole number of milliseconds from 0 to 600000";
            return std::nullopt;
        }
    }
    return options;
}

// How late the ticks of a timer on the event loop land: a tick held up by
// work on the loop's thread lands late by as long as that work took.  On a
// shared machine a tick is also late while the thread waits for a CPU; the
// thread's own time waiting on the run queue (/proc/thread-self/schedstat)
// is taken off for the lateness the program itself is answerable for.
class TickLateness {
public:
    static constexpr int kTickMs = 5;

    TickLateness() : schedstat_(::open("/proc/thread-self/schedstat", O_RDONLY)) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        clock_.start();
        timer_.start();
    }
    ~TickLateness() {
        if (schedstat_ >= 0) ::close(schedstat_);
    }

    QJsonObject figures() {
        if (lateMs_.empty()) return {};
        return {{"ticks", int(lateMs_.size())},
                {"tick_ms", kTickMs},
                {"late", spread(lateMs_)},
                {"late_not_waiting_for_cpu", schedstat_ >= 0 ? spread(ownMs_) : QJsonValue()}};
    }

private:
    void tick() {
        const qint64 now = clock_.nsecsElapsed();
        const qint64 waited = runQueueNs();
        if (lastNs_ >= 0) {
            const double late = std::max(0.0, double(now - lastNs_) / 1e6 - kTickMs);
            lateMs_.push_back(late);
            ownMs_.push_back(std::max(0.0, late - double(waited - lastWaitNs_) / 1e6));
        }
        lastNs_ = now;
        lastWaitNs_ = waited;
    }

    // Nanoseconds this thread has waited on a run queue, the second field.
    qint64 runQueueNs() const {
        char text[96] = {};
        if (schedstat_ < 0 || ::pread(schedstat_, text, sizeof text - 1, 0) <= 0) return 0;
        const char* at = std::strchr(text, ' ');
        return at ? std::strtoll(at + 1, nullptr, 10) : 0;
    }

    static QJsonObject spread(std::vector<double> ms) {
        std::sort(ms.begin(), ms.end());
        return {{"median_ms", results::median(ms)},
                {"p99_ms", results::nearestRank(ms, 99)},
                {"longest_ms", ms.back()},
                {"over_50ms", int(ms.end() - std::upper_bound(ms.begin(), ms.end(), 50.0))}};
    }

    int schedstat_;
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = -1;  // the first tick only sets the pace
    qint64 lastWaitNs_ = 0;
    std::vector<double> lateMs_, ownMs_;
};

// The station as this program's child (--as-station HOLD_MS, then the
// command line's arguments): the command line's own station code, every save
// held HOLD_MS.  After its run, one JSON line: each unit's TTFFs by cycle,
// unrounded, and how late the event loop's ticks landed.
int runAsStation(const QStringList& arguments) {
    bool ok = false;
    results::Store::Options store;
    store.holdEachSaveMs = arguments.value(2).toInt(&ok);
    const cli::Parsed parsed = cli::parseArguments(QStringList{arguments[0]} + arguments.mid(3));
    if (!ok || parsed.action != cli::Parsed::Run) {
        std::fprintf(stderr, "station_load --as-station: %s\n", qPrintable(parsed.text));
        return 2;
    }
    station::Station station(parsed.options.units);
    std::map<QString, QJsonArray> ttffs;  // by port, in cycle order
    QObject::connect(&station, &station::Station::cycleEnded,
                     [&](station::UnitRun*, const station::CycleResult& r) {
                         QJsonArray& cycles = ttffs[r.port];
                         while (cycles.size() < r.cycle - 1) cycles.append(QJsonValue());
                         cycles.append(r.ttffS ? QJsonValue(*r.ttffS) : QJsonValue());
                     });
    TickLateness loop;
    const int status = cli::runStation(station, parsed.options, store);
    QJsonObject byPort;
    for (const auto& [port, cycles] : ttffs) byPort.insert(port, cycles);
    const QJsonObject line{{"station_ttff_s", byPort}, {"event_loop", loop.figures()}};
    std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    return status;
}

}  // namespace
}  // namespace coldstart::bench

int main(int argc, char** argv) {
    using namespace coldstart::bench;
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--as-station"))
        return runAsStation(app.arguments());
    if (app.arguments().value(1) == QLatin1String("--summarize")) {
        std::ifstream in(app.arguments().value(2).toStdString());
        if (app.arguments().size() != 3 || !in) {
            std::fprintf(stderr, "station_load --summarize: give one CSV file to read\n");
            return 2;
        }
        const std::vector<ProcSample> samples = samplesFromCsv(in);
        std::printf("%zu samples\n", samples.size());
        printGrowth(samples, 60, "after the first minute");
        printGrowth(samples, 3600, "after the first hour");
        return samples.empty() ? 1 : 0;
    }
    QString error;
    const auto options = parse(app.arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "station_load: %s\n", qPrintable(error));
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    LoadRun run(*options);
    if (!run.start()) return 1;
    const int loop = app.exec();
    const int result = run.finish();
    return loop != 0 ? 1 : result;
}
