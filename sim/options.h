// The simulated receiver's command-line options, shared by gps-receiver-sim
// and the demo.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include "sim/receivermodel.h"
#include "sim/simdriver.h"

namespace gpssim {

// Adds --mode, --off-after, --slow-confirm-seconds, --slow-confirm-empty-time,
// --reset-silence, --ttff, --time-known-after, --start-utc, --chunking, --seed,
// --rate, --baud, --strict-baud, --family, --warm-ttff, --hot-ttff,
// --hot-keeps-fix, --link, --usb-drop, --usb-away, --fix-quality, --sats,
// --hdop, --snr, --replay, the generator's, the real receivers' habits and
// identity, --antenna, --agc, --noise-level, --jamming, --front-end-noise,
// --ubx-monitors, --refuse-config and --lose-unsaved.
void addReceiverOptions(QCommandLineParser& parser);

// The names addReceiverOptions adds.
QStringList receiverOptionNames();

// Fills the receiver and line settings from a parsed command line.  False,
// with error set, for a value out of range or options that contradict each
// other.
bool readReceiverOptions(const QCommandLineParser& parser, ReceiverConfig& config,
                         DriverOptions& line, QString& error);

}  // namespace gpssim
