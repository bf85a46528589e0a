// A receiver on a pseudo-terminal: streams one-second bursts with the time of
// day at a given rate, and collects what the program sends back.
//
//   ptyfeed --seconds=S [--rate=92160] [--link=/dev/ttyUSB31] [--status=FILE]
//
// Prints "slave PATH" once the pair is open.  With --link, a symbolic link of
// that name is made to the slave side (the program maps its port numbers to
// fixed device names) and removed at the end; an existing file of that name
// is never touched.  Writing is paced in 10 ms steps; characters that do not
// fit because the slave side is not being read are dropped, as a UART would.
// With --status, FILE holds "<characters fed> <steps cut short>" and is
// rewritten at every step, so that a script can take the rate over a window.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "bench/nmeastream.h"
#include "gpslink/link.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) {
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace coldstart::bench;
    double seconds = 30;
    long rate = 92160;
    std::string linkPath;
    std::string statusPath;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.rfind("--seconds=", 0) == 0) {
            seconds = std::atof(argv[i] + 10);
        } else if (arg.rfind("--rate=", 0) == 0) {
            rate = std::atol(argv[i] + 7);
        } else if (arg.rfind("--link=", 0) == 0) {
            linkPath = argv[i] + 7;
        } else if (arg.rfind("--status=", 0) == 0) {
            statusPath = argv[i] + 9;
        } else {
            std::fprintf(stderr,
                         "usage: ptyfeed --seconds=S [--rate=CHARS_PER_S] [--link=PATH] "
                         "[--status=FILE]\n");
            return 2;
        }
    }

    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0) {
            std::fprintf(stderr, "%s exists; not replacing it\n", linkPath.c_str());
            return 1;
        }
        if (symlink(name, linkPath.c_str()) != 0) {
            std::perror("symlink");
            return 1;
        }
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::printf("slave %s\n", name);
    std::fflush(stdout);

    const std::string stream = bursts(36000, 20000, Clock::Known);
    std::size_t pos = 0;
    long fed = 0, stalls = 0;
    std::string received;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    const int status =
        statusPath.empty() ? -1 : ::open(statusPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    double quota = 0;  // characters due in this step
    for (auto tick = start; tick < end && !stopRequested;) {
        tick += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(tick);
        quota += static_cast<double>(rate) / 100.0;
        long left = static_cast<long>(quota);
        quota -= static_cast<double>(left);
        while (left > 0) {
            const std::size_t n =
                std::min<std::size_t>(static_cast<std::size_t>(left), stream.size() - pos);
            const ssize_t w = ::write(master, stream.data() + pos, n);
            if (w <= 0) {  // the line is full: the rest of this step is lost, as on a UART
                ++stalls;
                break;
            }
            fed += w;
            left -= w;
            pos = (pos + static_cast<std::size_t>(w)) % stream.size();
        }
        char buf[4096];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) received.append(buf, n);
        if (status >= 0) {
            const int len = std::snprintf(buf, sizeof buf, "%ld %ld\n", fed, stalls);
            if (::pwrite(status, buf, static_cast<std::size_t>(len), 0) == len)
                ::ftruncate(status, len);
        }
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!linkPath.empty()) unlink(linkPath.c_str());

    int coldStarts = 0;
    const std::string_view sentence = gpslink::kColdStartSentence;
    for (std::size_t at = received.find(sentence); at != std::string::npos;
         at = received.find(sentence, at + 1))
        ++coldStarts;
    std::printf(
        "fed %ld characters in %.1f s (%.0f characters/s), %ld steps cut short; "
        "received %zu characters back, %d cold-start sentences\n",
        fed, elapsed, static_cast<double>(fed) / elapsed, stalls, received.size(), coldStarts);
    if (status >= 0) ::close(status);
    ::close(master);
    ::close(slave);
    return 0;
}
