// Reading the ports in fewer wake-ups.
//
// A receiver sends its sentences in a burst once a second, and the burst
// reaches the port in pieces: a USB adapter hands on what it has every few
// milliseconds, a UART whenever its FIFO fills, a slow line a few characters
// at a time.  Read as they come, every piece wakes the station once.  So a
// port whose read stopped inside a sentence, where the rest of it is on its
// way, is held for a moment (kHoldMs) and what came meanwhile is read in one
// go.  One timer releases every held port together, so while bursts arrive
// the held ports are read on one beat.
//
// - A read that ends on a line end may have ended the burst: the port is not
//   held after it, as a hold would then find nothing and cost a wake-up of
//   its own.  Nor is it held when more has come while the read was handled
//   (a fast line's burst, handed on in two pieces at once): the event loop
//   reads that without sleeping.
// - The station takes its times when a GGA sentence is read (the reset's
//   confirmation, the fix), so the port is not held while a GGA is
//   unfinished either; its rest is read as it comes, and those stamps are
//   never late.  Any other sentence is read at most kHoldMs after it came.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/qtserialport.h"

namespace station {

// Whether one port is to be held, from what its reads brought.
class ReadPacing {
public:
    // After a read of these characters: whether to hold the port now.
    bool holdAfter(std::string_view read);
    // The line starts again (reopened, input discarded).
    void reset() { head_.clear(); }

private:
    std::string head_;  // the start of the unfinished line, up to its sentence's address
};

class InputPacer : public QObject {
public:
    static constexpr int kHoldMs = 40;

    // The one for every port of this process, made on first use.
    static InputPacer& shared();

    explicit InputPacer(QObject* parent = nullptr);

    // Holds the port until the next release of all held ports, at most
    // kHoldMs from now.
    void hold(gpslink::QtSerialPort& port);

private:
    void release();

    QTimer release_;
    std::vector<QPointer<gpslink::QtSerialPort>> held_;
};

}  // namespace station
