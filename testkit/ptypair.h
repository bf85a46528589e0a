// A pseudo-terminal pair standing in for a receiver on a serial line.
//
// The port under test opens slavePath(); the test plays the receiver at
// masterFd(), which is non-blocking.  The pair starts in raw mode, so no byte
// is echoed or translated before the port sets the line up itself.  A slave
// descriptor stays open for the pair's lifetime, which keeps the line's
// settings between the port's openings and lets the test read them back.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace gpslink::testing {

class Pty {
public:
    Pty() {
        termios raw{};
        cfmakeraw(&raw);
        char name[128] = {};
        // A test without its line stops at once, never reaching for a real port.
        if (openpty(&master_, &slave_, name, &raw, nullptr) != 0)
            throw std::runtime_error("no pseudo-terminal");
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        // A program the test starts opens the line by its path; it must not
        // hold either side open by inheritance (a pulled cable would not show).
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        slavePath_ = name;
    }
    ~Pty() {
        closeMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    int slaveFd() const { return slave_; }

    // The receiver's side goes away, as when the cable is pulled.
    void closeMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Writes all of bytes at the receiver's side.
    bool send(const std::string& bytes) const {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Whatever the port has sent so far, without waiting.
    std::string receive() const {
        std::string bytes;
        char chunk[4096];
        for (ssize_t n; (n = ::read(master_, chunk, sizeof chunk)) > 0;) bytes.append(chunk, n);
        return bytes;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace gpslink::testing
