#include "station/devicereturn.h"

namespace station {

QString deviceStem(QString name) {
    while (!name.isEmpty() && (name.back().isDigit() || name.back() == '-' || name.back() == '_'))
        name.chop(1);
    return name;
}

std::optional<QString> cameBackAs(const QString& deviceName, const QStringList& atDrop,
                                  const QStringList& now,
                                  const std::function<bool(const QString& entry)>& isDevice) {
    for (const QString& entry : now) {
        if (atDrop.contains(entry) || entry == deviceName) continue;
        if (deviceStem(entry) == deviceStem(deviceName) && isDevice(entry)) return entry;
    }
    return std::nullopt;
}

}  // namespace station
