// The demo's command line: how its simulated receiver behaves, or which
// device every port leads to instead.
#pragma once

#include <QString>
#include <QStringList>

#include "sim/receivermodel.h"
#include "sim/simdriver.h"

struct DemoOptions {
    gpssim::ReceiverConfig receiver;
    gpssim::DriverOptions line;
    // Every port opens this device; empty: the built-in simulated receiver.
    QString device;
    bool helpShown = false;
};

// Reads the arguments (the program name first).  False, with error set, for
// an unknown option, a value out of range, or options that contradict each
// other; --help fills error with the usage text and sets helpShown.
bool readDemoOptions(const QStringList& arguments, DemoOptions& options, QString& error);
