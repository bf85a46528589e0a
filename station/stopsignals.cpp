#include "station/stopsignals.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace station {

namespace {

int signalPipe[2] = {-1, -1};

// Only an async-signal-safe write here; the work happens on the event loop.
// The write never blocks: with a byte already waiting, another adds nothing.
// errno is the interrupted code's, so it is given back as it was.
void handle(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

bool onStopSignals(std::initializer_list<int> stopSignals, std::function<void()> onStop,
                   QString* error) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        *error = QStringLiteral("cannot catch stop signals: socketpair: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onStop = std::move(onStop)] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        onStop();
    });
    struct sigaction action {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : stopSignals) {
        if (::sigaction(number, &action, nullptr) != 0) {
            *error = QStringLiteral("cannot catch signal %1: %2")
                         .arg(number)
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

}  // namespace station
