// The station's CPU per port beside gpsd's, on the same feed, in one run.
//
//   versus_gpsd [--ports 4] [--seconds 40] [--warmup 10] [--baud 115200]
//               [--no-fix-epochs 3] [--cli PATH] [--gpsd PATH | --no-gpsd] [--no-db]
//               [--tmpfs-lock] [--send-after ready|time]
//
// This process plays 2 x N receivers at once, each on the master side of its
// own pseudo-terminal, all paced alike: one burst of GGA, GSA, three GSV and
// RMC a second, at 115,200 baud unless --baud says otherwise, written in
// 10 ms steps (see stationload.h).  The station (gps-coldstart-cli --quiet
// with endless cycles) reads the first N, gpsd (gpsd -N -n -b: in the
// foreground, polling without a client, read-only) the other N.  The
// station's receivers answer its cold-start sentence as a receiver does (a
// second of silence, a restarted clock, then a fix), so that it keeps
// cycling, and each has a twin on gpsd's side that does the same at the same
// moment: both programs read the same characters at the same times.  One
// gpsd takes at most four devices, so there is one for every four ports.
// gpsd is looked for on the PATH and in /usr/sbin; without it the station is
// measured alone.
//
// For each program, from the end of the warm-up to the end: the run time of
// every one of its threads (the sum of /proc/PID/task/*/schedstat, in
// nanoseconds), utime + stime of the process (/proc/PID/stat, in clock
// ticks), and the context switches of every thread (its wake-ups); each per
// port, and the station's run time per port over gpsd's.  The station
// stores its results in a fresh SQLite file in a temporary folder, or
// nowhere with --no-db.  QSerialPort takes a lock file in /run/lock at
// every open of a port, and syncs it to disk: with --tmpfs-lock (as root)
// the run gets a private tmpfs there, as Debian mounts it, whatever this
// machine has.  The report names the file systems of both.
//
// Exit status: 0 when the run was sound (both programs ran to the end, no
// character was lost on any line, every cycle of the station passed), 1
// otherwise, 2 for a usage mistake.
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/stationload.h"
#include "gpslink/link.h"
#include "gpslink/serialport.h"
#include "testkit/ptypair.h"

namespace coldstart::bench {
namespace {

constexpr int kStepMs = 10;      // the receivers' pacing step
constexpr int kGpsdDevices = 4;  // the most devices one gpsd takes

struct Options {
    int ports = 4;
    int seconds = 40;
    int warmup = 10;
    int baud = 115200;
    int noFixEpochs = 3;  // after a command
    bool db = true;
    bool tmpfsLock = false;
    QString sendAfter;  // the station's --send-after; empty: its default
    QString cli;
    QString gpsd;  // empty: none
};

// One receiver and its side of the line.
struct Line {
    gpslink::testing::Pty pty;
    std::unique_ptr<LoadReceiver> receiver;
    std::unique_ptr<QSocketNotifier> notifier;  // the station's lines: its commands
    Line* twin = nullptr;                       // the same receiver on gpsd's side
    std::string heard;                          // what the station sent, not yet matched
    int commands = 0;
    long long written = 0, lost = 0;
};

std::optional<std::string> readProc(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll().toStdString();
}

// The number after "field:" in the text of /proc/PID/task/TID/status.
long long statusCount(std::string_view status, std::string_view field) {
    const std::size_t at = status.find("\n" + std::string(field) + ":");
    if (at == std::string_view::npos) return 0;
    long long value = 0;
    for (std::size_t i = status.find_first_not_of(" \t", at + field.size() + 2);
         i < status.size() && status[i] >= '0' && status[i] <= '9'; ++i)
        value = value * 10 + (status[i] - '0');
    return value;
}

// What a process has used so far.
struct Usage {
    bool ok = false;
    long long runNs = 0;  // every thread's time on a CPU
    long long ticks = 0;  // utime + stime
    long long switches = 0;
    int threads = 0;
    std::map<QString, long long> byThread;  // run time by the thread's name

    Usage& operator+=(const Usage& other) {
        ok = ok && other.ok;
        runNs += other.runNs;
        ticks += other.ticks;
        switches += other.switches;
        threads += other.threads;
        for (const auto& [name, ns] : other.byThread) byThread[name] += ns;
        return *this;
    }
};

Usage usageOf(qint64 pid) {
    Usage usage;
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    const auto stat = readProc(proc + QLatin1String("/stat"));
    if (!stat) return usage;
    const auto ticks = cpuTicksFromStat(*stat);
    if (!ticks) return usage;
    usage.ticks = *ticks;
    for (const QString& task :
         QDir(proc + QLatin1String("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString dir = proc + QLatin1String("/task/") + task;
        long long ns = 0;
        // schedstat: time on a CPU (ns), time waiting to run (ns), time slices.
        if (const auto sched = readProc(dir + QLatin1String("/schedstat")))
            for (const char c : *sched) {
                if (c < '0' || c > '9') break;
                ns = ns * 10 + (c - '0');
            }
        usage.runNs += ns;
        if (const auto comm = readProc(dir + QLatin1String("/comm")))
            usage.byThread[QString::fromStdString(*comm).trimmed()] += ns;
        if (const auto status = readProc(dir + QLatin1String("/status")))
            usage.switches += statusCount(*status, "voluntary_ctxt_switches") +
                              statusCount(*status, "nonvoluntary_ctxt_switches");
        ++usage.threads;
    }
    usage.ok = true;
    return usage;
}

// "tmpfs", "ext4" or the magic number of the file system that holds path.
QString fileSystemOf(const QString& path) {
    struct statfs info {};
    if (::statfs(QFile::encodeName(path).constData(), &info) != 0) return QStringLiteral("?");
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0x01021994:
            return QStringLiteral("tmpfs");
        case 0xEF53:
            return QStringLiteral("ext4");
        default:
            return QStringLiteral("file system 0x%1").arg(ulong(info.f_type), 0, 16);
    }
}

// This process and its children get their own view of the mounts, with a
// tmpfs on /run/lock.
bool mountTmpfsLock() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run/lock", "tmpfs", 0, "size=1m,mode=1777") != 0) {
        std::perror("versus_gpsd: --tmpfs-lock");
        return false;
    }
    return true;
}

// A TCP port nobody listens on now, for gpsd's own.
int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (s >= 0) ::close(s);
    return port;
}

class Versus {
public:
    explicit Versus(Options options) : options_(std::move(options)) {}

    bool start() {
        if (!folder_.isValid()) {
            std::fprintf(stderr, "versus_gpsd: no temporary folder\n");
            return false;
        }
        clock_.start();
        // Both sides get the same seconds at the same moments: receiver i of
        // the station and receiver i of gpsd start their bursts together.
        std::mt19937 random(1);
        std::uniform_int_distribution<std::int64_t> phase(0, LoadReceiver::kSecondNs - 1);
        std::vector<std::int64_t> firsts;
        for (int i = 0; i < options_.ports; ++i) firsts.push_back(kStartNs + phase(random));

        QStringList station{"--quiet",   "--json", "--cycles",
                            "100000",    "--baud", QString::number(options_.baud),
                            "--station", "bench"};
        if (options_.db)
            station << "--db" << folder_.filePath(QStringLiteral("results.sqlite"));
        else
            station << "--no-db";
        if (!options_.sendAfter.isEmpty()) station << "--send-after" << options_.sendAfter;
        QStringList gpsdPaths;
        const int sides = options_.gpsd.isEmpty() ? 1 : 2;
        for (int side = 0; side < sides; ++side) {
            for (int i = 0; i < options_.ports; ++i) {
                auto line = std::make_unique<Line>();
                if (!line->pty.ok()) {
                    std::fprintf(stderr, "versus_gpsd: no pseudo-terminal\n");
                    return false;
                }
                line->receiver = std::make_unique<LoadReceiver>(
                    Pace::Realistic, firsts[std::size_t(i)], 1000L * i, options_.noFixEpochs,
                    options_.baud / 10.0);
                const QString path = QString::fromStdString(line->pty.slavePath());
                if (side == 0) {
                    line->notifier = std::make_unique<QSocketNotifier>(line->pty.masterFd(),
                                                                       QSocketNotifier::Read);
                    Line* l = line.get();
                    QObject::connect(line->notifier.get(), &QSocketNotifier::activated,
                                     [this, l] { hear(*l); });
                    station << path;
                } else {
                    gpsdPaths << path;
                }
                if (side == 1) stationLines_[std::size_t(i)]->twin = line.get();
                (side == 0 ? stationLines_ : gpsdLines_).push_back(std::move(line));
            }
        }

        station_.setProgram(options_.cli);
        station_.setArguments(station);
        station_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&station_, &QProcess::readyReadStandardOutput, [this] { readResults(); });
        if (!launch(station_, "the station")) return false;
        // gpsd in the foreground, polling its devices without a client,
        // opening them read-only; its own port and control socket.
        for (int first = 0; first < gpsdPaths.size(); first += kGpsdDevices) {
            auto& gpsd = gpsd_.emplace_back(std::make_unique<QProcess>());
            const QString n = QString::number(first / kGpsdDevices);
            gpsd->setProgram(options_.gpsd);
            gpsd->setArguments(QStringList{"-N", "-n", "-b", "-S", QString::number(freePort()),
                                           "-F", folder_.filePath("gpsd" + n + ".sock")} +
                               gpsdPaths.mid(first, kGpsdDevices));
            gpsd->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            gpsd->setStandardOutputFile(QProcess::nullDevice());
            if (!launch(*gpsd, "gpsd")) return false;
        }

        pacer_.setTimerType(Qt::PreciseTimer);
        pacer_.setInterval(kStepMs);
        QObject::connect(&pacer_, &QTimer::timeout, [this] { step(); });
        pacer_.start();
        QTimer::singleShot(options_.warmup * 1000, [this] {
            stationFrom_ = usageOf(station_.processId());
            gpsdFrom_ = gpsdUsage();
            fromS_ = seconds();
        });
        QTimer::singleShot(options_.seconds * 1000, [this] {
            stationTo_ = usageOf(station_.processId());
            gpsdTo_ = gpsdUsage();
            toS_ = seconds();
            QCoreApplication::exit(0);
        });
        return true;
    }

    int finish() {
        pacer_.stop();
        stopping_ = true;
        std::vector<QProcess*> processes{&station_};
        for (auto& gpsd : gpsd_) processes.push_back(gpsd.get());
        for (QProcess* process : processes) {
            if (process->state() == QProcess::NotRunning) continue;
            process->terminate();
            if (!process->waitForFinished(20000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        readResults();
        return report();
    }

private:
    static constexpr std::int64_t kStartNs = 500000000;  // the first bursts, at the earliest

    double seconds() const { return double(clock_.nsecsElapsed()) / 1e9; }

    Usage gpsdUsage() const {
        Usage sum;
        sum.ok = !gpsd_.empty();
        for (const auto& gpsd : gpsd_) sum += usageOf(gpsd->processId());
        return sum;
    }

    bool launch(QProcess& process, const char* what) {
        QObject::connect(
            &process, &QProcess::finished, [this, what](int code, QProcess::ExitStatus) {
                if (stopping_) return;
                std::fprintf(stderr, "versus_gpsd: %s ended early (exit status %d)\n", what, code);
                endedEarly_ = true;
                QCoreApplication::exit(1);
            });
        process.start();
        if (process.waitForStarted(10000)) return true;
        std::fprintf(stderr, "versus_gpsd: cannot start %s (%s): %s\n", what,
                     qPrintable(process.program()), qPrintable(process.errorString()));
        return false;
    }

    void step() {
        const std::int64_t now = clock_.nsecsElapsed();
        for (auto* lines : {&stationLines_, &gpsdLines_}) {
            for (auto& line : *lines) {
                for (;;) {
                    const std::string_view chunk = line->receiver->due(now);
                    if (chunk.empty()) break;
                    const ssize_t n = ::write(line->pty.masterFd(), chunk.data(), chunk.size());
                    const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
                    line->written += static_cast<long long>(written);
                    line->lost += static_cast<long long>(chunk.size() - written);
                    line->receiver->commit(chunk.size(), written);
                }
            }
        }
    }

    // The station's line: a cold-start sentence restarts the receiver.
    void hear(Line& line) {
        char buf[512];
        for (ssize_t n; (n = ::read(line.pty.masterFd(), buf, sizeof buf)) > 0;)
            line.heard.append(buf, std::size_t(n));
        const std::string_view sentence = gpslink::kColdStartSentence;
        for (std::size_t at; (at = line.heard.find(sentence)) != std::string::npos;) {
            ++line.commands;
            const std::int64_t now = clock_.nsecsElapsed();
            line.receiver->command(now);
            if (line.twin) line.twin->receiver->command(now);
            line.heard.erase(0, at + sentence.size());
        }
        if (line.heard.size() > 4096) line.heard.erase(0, line.heard.size() - 64);
    }

    void readResults() {
        while (station_.canReadLine()) {
            const QJsonObject result = QJsonDocument::fromJson(station_.readLine()).object();
            if (!result.contains(QLatin1String("result"))) continue;  // a unit's summary
            ++results_[result.value(QLatin1String("result")).toString() + QLatin1Char('/') +
                       result.value(QLatin1String("reason")).toString()];
        }
    }

    // Prints one program's figures; its run time per port in ns a second, or -1.
    double printUsage(const char* name, const Usage& from, const Usage& to,
                      const std::vector<std::unique_ptr<Line>>& lines) const {
        long long written = 0, lost = 0;
        for (const auto& line : lines) {
            written += line->written;
            lost += line->lost;
        }
        const double runS = toS_ > 0 ? toS_ : seconds();
        std::printf("%s: %zu ports, %.0f characters a second per port, %lld lost\n", name,
                    lines.size(), double(written) / runS / double(lines.size()), lost);
        if (!from.ok || !to.ok) {
            std::printf("%s: CPU not measured\n", name);
            return -1;
        }
        const double windowS = toS_ - fromS_;
        const double ports = double(lines.size());
        const double runNs = double(to.runNs - from.runNs);
        const double ticksS = double(to.ticks - from.ticks) / double(sysconf(_SC_CLK_TCK));
        std::printf(
            "%s: run time of %d threads %.3f s in %.1f s = %.3f %% of one core, %.4f %% per "
            "port; utime + stime %.2f s; %.1f context switches a second per port\n",
            name, to.threads, runNs / 1e9, windowS, 100 * runNs / 1e9 / windowS,
            100 * runNs / 1e9 / windowS / ports, ticksS,
            double(to.switches - from.switches) / windowS / ports);
        if (to.byThread.size() > 1) {
            std::printf("%s: by thread,", name);
            for (const auto& [thread, ns] : to.byThread) {
                const auto before = from.byThread.find(thread);
                const long long was = before == from.byThread.end() ? 0 : before->second;
                std::printf(" %s %.4f %%", qPrintable(thread),
                            100 * double(ns - was) / 1e9 / windowS / ports);
            }
            std::printf(" per port\n");
        }
        return runNs / windowS / ports;
    }

    int report() {
        std::printf(
            "\n%d ports each, %d s (CPU from %d s on), one burst a second at %d baud; station "
            "%s; lock files on %s\n",
            options_.ports, options_.seconds, options_.warmup, options_.baud,
            options_.db ? qPrintable("storing in SQLite on " + fileSystemOf(folder_.path()))
                        : "with --no-db",
            qPrintable(fileSystemOf(QStringLiteral("/run/lock"))));
        bool sound = !endedEarly_ && toS_ > 0;
        int commands = 0;
        for (const auto& line : stationLines_) {
            commands += line->commands;
            if (line->commands == 0 || line->lost > 0) sound = false;
        }
        for (const auto& line : gpsdLines_)
            if (line->lost > 0) sound = false;
        std::printf("station: %d cold starts; cycles reported:", commands);
        for (const auto& [kind, count] : results_) {
            std::printf(" %s %d", qPrintable(kind), count);
            if (!kind.startsWith(QLatin1String("pass/")) &&
                kind != QLatin1String("interrupted/interrupted"))
                sound = false;
        }
        std::printf("\n");
        const double station = printUsage("station", stationFrom_, stationTo_, stationLines_);
        if (options_.gpsd.isEmpty()) {
            std::printf(
                "gpsd: not run (not installed, or --no-gpsd); the station alone was measured\n");
        } else {
            const double gpsd = printUsage("gpsd", gpsdFrom_, gpsdTo_, gpsdLines_);
            if (station >= 0 && gpsd > 0)
                std::printf("station / gpsd, run time per port: %.2f\n", station / gpsd);
            else
                sound = false;
        }
        std::printf("run: %s\n", sound ? "sound" : "NOT SOUND");
        return sound ? 0 : 1;
    }

    Options options_;
    QTemporaryDir folder_;
    QElapsedTimer clock_;
    std::vector<std::unique_ptr<Line>> stationLines_, gpsdLines_;
    QProcess station_;
    std::vector<std::unique_ptr<QProcess>> gpsd_;  // one for every four ports
    QTimer pacer_;
    bool stopping_ = false, endedEarly_ = false;
    std::map<QString, int> results_;
    Usage stationFrom_, stationTo_, gpsdFrom_, gpsdTo_;
    double fromS_ = 0, toS_ = 0;
};

std::optional<Options> parse(const QStringList& arguments, QString* error) {
    QCommandLineParser parser;
    parser.setApplicationDescription("The station's CPU per port beside gpsd's, on the same feed.");
    parser.addHelpOption();
    parser.addOptions({
        {"ports", "Receivers for each program (1 to 64, default 4).", "N", "4"},
        {"seconds", "Length of the run (default 40).", "S", "40"},
        {"warmup", "Seconds before the CPU is measured (default 10).", "S", "10"},
        {"baud", "The lines' rate, 4800 to 921600 (default 115200).", "BAUD", "115200"},
        {"no-fix-epochs", "Bursts without a fix after a cold start (default 3).", "N", "3"},
        {"cli", "The station program to run.", "PATH", QStringLiteral(COLDSTART_CLI)},
        {"gpsd", "gpsd to run beside it (default: gpsd on the PATH or in /usr/sbin).", "PATH"},
        {"no-gpsd", "Measure the station alone."},
        {"no-db", "Run the station with --no-db."},
        {"tmpfs-lock", "A private tmpfs on /run/lock for this run (needs root)."},
        {"send-after", "The station's --send-after (ready or time; default its own).", "WHEN"},
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
    if (!ok || options.ports < 1 || options.ports > 64) {
        *error = "--ports: \"" + parser.value("ports") + "\" is not a whole number from 1 to 64";
        return std::nullopt;
    }
    options.seconds = parser.value("seconds").toInt(&ok);
    if (!ok || options.seconds < 2 || options.seconds > 86400) {
        *error =
            "--seconds: \"" + parser.value("seconds") + "\" is not a whole number from 2 to 86400";
        return std::nullopt;
    }
    options.warmup = parser.value("warmup").toInt(&ok);
    if (!ok || options.warmup < 1 || options.warmup >= options.seconds) {
        *error = "--warmup: \"" + parser.value("warmup") +
                 "\" is not a whole number from 1 to under --seconds";
        return std::nullopt;
    }
    options.baud = parser.value("baud").toInt(&ok);
    if (!ok || options.baud < 4800 ||
        gpslink::baudRateOf(parser.value("baud").toStdString() + ",n,8,1") != options.baud) {
        *error = "--baud: \"" + parser.value("baud") +
                 "\" is not a rate from 4800 to 921600 that the station takes";
        return std::nullopt;
    }
    options.noFixEpochs = parser.value("no-fix-epochs").toInt(&ok);
    if (!ok || options.noFixEpochs < 0 || options.noFixEpochs > 100000) {
        *error = "--no-fix-epochs: \"" + parser.value("no-fix-epochs") +
                 "\" is not a whole number from 0 to 100000";
        return std::nullopt;
    }
    options.db = !parser.isSet("no-db");
    options.tmpfsLock = parser.isSet("tmpfs-lock");
    options.sendAfter = parser.value("send-after");
    if (!options.sendAfter.isEmpty() && options.sendAfter != QLatin1String("ready") &&
        options.sendAfter != QLatin1String("time")) {
        *error = "--send-after: \"" + options.sendAfter + "\" is not ready or time";
        return std::nullopt;
    }
    options.cli = parser.value("cli");
    if (parser.isSet("no-gpsd")) return options;
    options.gpsd = parser.isSet("gpsd")
                       ? parser.value("gpsd")
                       : QStandardPaths::findExecutable(
                             QStringLiteral("gpsd"),
                             {QStringLiteral("/usr/local/sbin"), QStringLiteral("/usr/sbin"),
                              QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin")});
    return options;
}

}  // namespace
}  // namespace coldstart::bench

int main(int argc, char** argv) {
    using namespace coldstart::bench;
    QCoreApplication app(argc, argv);
    QString error;
    const auto options = parse(app.arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "versus_gpsd: %s\n", qPrintable(error));
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (options->tmpfsLock && !mountTmpfsLock()) return 1;
    Versus run(*options);
    if (!run.start()) return 1;
    const int loop = app.exec();
    const int result = run.finish();
    return loop != 0 ? 1 : result;
}
