#include "station/devicereturn.h"

#include <QDir>
#include <QFileInfo>

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

bool DeviceAway::lost(bool commanded, bool fixed, QStringList entries) {
    if (!commanded || fixed) {
        note_ = QStringLiteral("the device went away");
        return false;
    }
    // Many USB receivers re-enumerate while they reset.
    atDrop_ = std::move(entries);
    note_ = QStringLiteral("the device went away during the reset; waiting for it");
    return true;
}

DeviceAway::Seen DeviceAway::seen(bool backAtPath, const QStringList& entries,
                                  const std::function<bool(const QString& entry)>& isDevice) {
    if (backAtPath) {
        note_.clear();
        return Seen::Back;
    }
    const QFileInfo device(device_);
    const auto entry = cameBackAs(device.fileName(), atDrop_, entries, isDevice);
    if (!entry) return Seen::Away;
    note_ = QStringLiteral("the receiver came back as %1, not at %2")
                .arg(device.dir().filePath(*entry), device_);
    return Seen::Elsewhere;
}

}  // namespace station
