// Reading the ports in fewer wake-ups.
//
// A receiver sends its sentences in a burst once a second, and the burst
// reaches the port in pieces: a USB adapter hands on what it has every few
// milliseconds, a UART whenever its FIFO fills, a slow line a few characters
// at a time.  Read as they come, every piece wakes the station once.  So a
// port whose read stopped inside a sentence (anything but a line end last),
// where the rest of it is on its way, is held for a moment (kHoldMs) and what
// came meanwhile is read in one go.  A read that ends on a line end may have
// ended the burst, so the port is not held after it: a hold would find
// nothing and cost a wake-up of its own.  One timer releases every held port
// together, so while bursts arrive the held ports are read on one beat.
//
// Times are stamped when the characters are read, so a stamp is at most
// kHoldMs late, against receivers that report whole seconds; the first piece
// of a burst, on a quiet port, is read at once.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <string_view>
#include <vector>

#include "gpslink/qtserialport.h"

namespace station {

class InputPacer : public QObject {
public:
    static constexpr int kHoldMs = 40;

    // Whether a port is to be held after a read of these characters.
    static bool holdAfter(std::string_view read) { return !read.empty() && read.back() != '\n'; }

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
