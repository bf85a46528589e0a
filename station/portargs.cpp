#include "station/portargs.h"

#include <QFileInfo>
#include <QRegularExpression>

#include "gpslink/qtserialport.h"
#include "gpslink/serialport.h"

namespace station {

std::optional<int> lineRate(const QString& text) {
    const int rate = gpslink::baudRateOf((text + QStringLiteral(",n,8,1")).toStdString());
    if (rate == 0) return std::nullopt;
    return rate;
}

std::optional<PortArg> parsePortArg(const QString& argument, int defaultBaud, QString* error) {
    PortArg port;
    QString rest = argument;
    if (const int equals = rest.indexOf('='); equals >= 0) {
        port.unit = rest.mid(equals + 1);
        rest.truncate(equals);
    }
    port.baud = defaultBaud;
    if (const int at = rest.lastIndexOf('@'); at >= 0) {
        const QStringList parts = rest.mid(at + 1).split(',');
        if (parts.size() > 3) {
            *error = QStringLiteral("%1: more than BAUD,FAMILY,START after \"@\"").arg(argument);
            return std::nullopt;
        }
        if (parts[0] == QLatin1String("auto")) {
            port.baud = 0;  // found by listening
        } else if (!parts[0].isEmpty()) {
            const auto rate = lineRate(parts[0]);
            if (!rate) {
                *error = QStringLiteral("%1: unknown baud rate \"%2\"").arg(argument, parts[0]);
                return std::nullopt;
            }
            port.baud = *rate;
        }
        port.family = parts.value(1);
        port.start = parts.value(2);
        rest.truncate(at);
    }
    static const QRegularExpression comName(QStringLiteral("^com *([0-9]{1,3})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (const auto match = comName.match(rest); match.hasMatch()) {
        const int number = match.captured(1).toInt();
        port.port = QStringLiteral("COM %1").arg(number);
        port.device = gpslink::deviceForPort(number);
        if (port.device.isEmpty()) {
            *error = QStringLiteral("%1: there is no port %2 (COM 1 to COM 101)")
                         .arg(argument, port.port);
            return std::nullopt;
        }
        return port;
    }
    if (!rest.startsWith('/')) {
        *error = QStringLiteral("%1: not a device path or a port name such as COM3").arg(argument);
        return std::nullopt;
    }
    port.port = port.device = rest;
    return port;
}

std::optional<std::vector<PortArg>> parsePortArgs(const QStringList& arguments, int defaultBaud,
                                                  QString* error) {
    std::vector<PortArg> ports;
    QStringList devices;
    for (const QString& argument : arguments) {
        auto port = parsePortArg(argument, defaultBaud, error);
        if (!port) return std::nullopt;
        // A link and its target are one device.
        const QString canonical = QFileInfo(port->device).canonicalFilePath();
        const QString device = canonical.isEmpty() ? port->device : canonical;
        if (devices.contains(device)) {
            *error = QStringLiteral("%1: the port is named twice").arg(argument);
            return std::nullopt;
        }
        devices << device;
        ports.push_back(*port);
    }
    return ports;
}

}  // namespace station
