// The ports a station tests, as named on a command line:
//
//     PORT[@[BAUD][,FAMILY[,START]]][=UNIT]
//
// PORT is a device path ("/dev/ttyUSB0", "/dev/serial/by-id/...") or a port
// name as the window has it ("COM 3", "COM3", "com3"), mapped to a device by
// the same table.  BAUD is one of the line rates the link knows; FAMILY and
// START name the receiver family and the start type for this port alone
// ("/dev/ttyUSB0@115200,ublox,hot", "COM3@,mtk").  UNIT, the unit's serial
// number, is free text up to the end of the argument.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace station {

struct PortArg {
    QString port;    // "COM 3" for a port name, else the path as given
    QString device;  // the device opened
    int baud = 0;
    QString unit;
    QString family;  // empty: the run's
    QString start;   // empty: the run's
};

// The rate of a BAUD text, or nothing when the link has no such rate.
std::optional<int> lineRate(const QString& text);

// One argument; nothing, with error set to a message naming the mistake.
std::optional<PortArg> parsePortArg(const QString& argument, int defaultBaud, QString* error);

// Every argument, refusing a device named twice (under any name).
std::optional<std::vector<PortArg>> parsePortArgs(const QStringList& arguments, int defaultBaud,
                                                  QString* error);

}  // namespace station
