// Time from the receiver's last character of the fifth GGA sentence to the
// first character of the cold-start sentence coming back, through the real
// serial port class on a pseudo-terminal and the Qt event loop.
//
//   latency [runs=200]
//
// Each run: "Cold Start On/Off" and the connect step open the port on the
// pseudo-terminal's slave side; the receiver thread writes four one-second
// bursts and the fifth GGA sentence up to its last checksum character, waits
// until the link holds that unfinished sentence, takes the time, writes the
// last character and waits in poll() for the answer on the master side.  A
// second press closes the port.  The main thread only runs the event loop.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/nmeastream.h"
#include "gpslink/link.h"
#include "gpslink/qtserialport.h"
#include "results/statistics.h"
#include "testkit/fakes.h"
#include "testkit/ptypair.h"

namespace coldstart::bench {

using gpslink::testing::brokenRangeRule;
using gpslink::testing::QuietBench;
using gpslink::testing::QuietView;
namespace {

using SteadyClock = std::chrono::steady_clock;

// Runs fn on the main thread and waits for it.
template <typename Fn>
void onMainThread(Fn fn) {
    QMetaObject::invokeMethod(qApp, fn, Qt::BlockingQueuedConnection);
}

int measure(int runs, const gpslink::testing::Pty& pty, gpslink::Link& link,
            gpslink::QtSerialPort& port, QuietView& view) {
    std::vector<double> micros;
    const std::string fifth = ggaSentence(36004, Clock::Known);
    const std::size_t lastChecksumChar = fifth.find('*') + 2;
    const std::string head = fifth.substr(0, lastChecksumChar);
    const std::string last = fifth.substr(lastChecksumChar, 1);
    const std::string lineEnd = fifth.substr(lastChecksumChar + 1);

    for (int run = 0; run < runs; ++run) {
        bool open = false;
        onMainThread([&] {
            link.Cmd_Start_1_Click();  // arms the connect step
            link.Timer1_Timer();       // the connect step opens the port
            open = port.portOpen();
        });
        if (!open) {
            std::fprintf(stderr, "run %d: the port did not open\n", run);
            return 1;
        }
        std::string sent;
        for (long s = 0; s < 4; ++s) sent += burst(36000 + s, Clock::Known);
        sent += head;
        if (!pty.send(sent)) {
            std::fprintf(stderr, "run %d: write failed\n", run);
            return 1;
        }
        // Wait until the link has taken in everything up to the last character.
        bool ready = false;
        const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
        while (!ready && SteadyClock::now() < deadline) {
            onMainThread(
                [&] { ready = link.state().Counters[2] == 4 && link.state().RxBuffer == head; });
            if (!ready) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!ready || !pty.receive().empty()) {
            std::fprintf(stderr, "run %d: the link did not take the stream in as expected\n", run);
            return 1;
        }
        // Let the event loop fall back to waiting, as it does between bursts.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));

        const auto t0 = SteadyClock::now();
        pty.send(last);
        std::string answer;
        pollfd fd{pty.masterFd(), POLLIN, 0};
        SteadyClock::time_point t1;
        while (answer.empty()) {
            if (::poll(&fd, 1, 5000) <= 0) {
                std::fprintf(stderr, "run %d: no answer within 5 s\n", run);
                return 1;
            }
            char c[64];
            const ssize_t n = ::read(pty.masterFd(), c, sizeof c);
            t1 = SteadyClock::now();
            if (n > 0) answer.assign(c, static_cast<std::size_t>(n));
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        pty.send(lineEnd);
        // The rest of the cold-start sentence.
        const std::string whole(gpslink::kColdStartSentence);
        const auto until = SteadyClock::now() + std::chrono::seconds(5);
        while (answer.size() < whole.size() && SteadyClock::now() < until) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            answer += pty.receive();
        }
        if (answer != whole) {
            std::fprintf(stderr, "run %d: answer was \"%s\"\n", run, answer.c_str());
            return 1;
        }
        bool closed = false;
        onMainThread([&] {
            link.Cmd_Start_1_Click();  // the status box holds the time: this stops the run
            closed = !port.portOpen() && view.status.empty();
        });
        if (!closed) {
            std::fprintf(stderr, "run %d: the stop did not close the port\n", run);
            return 1;
        }
    }

    double sum = 0;
    std::sort(micros.begin(), micros.end());
    for (double m : micros) sum += m;
    std::printf("runs %zu\n", micros.size());
    std::printf(
        "median %.1f us, p90 %.1f us, p99 %.1f us, min %.1f us, max %.1f us, mean %.1f us\n",
        results::median(micros), results::nearestRank(micros, 90), results::nearestRank(micros, 99),
        micros.front(), micros.back(), sum / static_cast<double>(micros.size()));
    return 0;
}

}  // namespace
}  // namespace coldstart::bench

int main(int argc, char** argv) {
    using namespace coldstart::bench;
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs < 1) {
        std::fprintf(stderr, "usage: latency [runs]\n");
        return 2;
    }
    gpslink::testing::Pty pty;
    if (!pty.ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    QuietView view;
    gpslink::QtSerialPort port;
    port.setDeviceOverride(QString::fromStdString(pty.slavePath()));
    gpslink::Link link(view, port);
    port.setOnComm([&link] { link.MSComm1_OnComm(); });
    link.setStartUpValues();
    view.baud = "921600";

    int result = 0;
    std::thread receiver([&] {
        result = measure(runs, pty, link, port, view);
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    app.exec();
    receiver.join();
    return result;
}
