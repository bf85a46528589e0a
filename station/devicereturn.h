// A receiver whose USB device went away during its reset (many re-enumerate
// while they restart) and is not back at its own path: whether it came back
// under another name.  No file system of its own: the run hands it the
// device directory's entries when the device went away and now, and says
// which are character devices.
//
// A new character device of the same family of names ("ttyUSB" of "ttyUSB3",
// "gps" of "gps-1") that was not there when it went is the unit back under
// another name: a receiver switched off, as far as the test is concerned,
// since the station cannot know it is the same one.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>

namespace station {

// The name a device family shares: "ttyUSB" of "ttyUSB3", "gps" of "gps-1".
QString deviceStem(QString name);

// A unit's device that went away, as the run follows it: no file system of
// its own either.
//
// - Before its command was out, or once it had its fix, it is a receiver
//   switched off at once ("the device went away").
// - During its reset it is waited for (the fix test's confirmation limit
//   times it): back at its own path and reopened, the cycle goes on; back
//   under another name (cameBackAs()), the receiver is off.
class DeviceAway {
public:
    enum class Seen { Away, Back, Elsewhere };

    explicit DeviceAway(QString device) : device_(std::move(device)) {}

    // It went away, its directory's entries left; false: the receiver is off now.
    bool lost(bool commanded, bool fixed, QStringList entries);
    // The directory changed: back at its path (and reopened) or not, and
    // what the directory holds now.
    Seen seen(bool backAtPath, const QStringList& entries,
              const std::function<bool(const QString& entry)>& isDevice);
    // What became of the device, in the station's words; empty once back.
    const QString& note() const { return note_; }

private:
    QString device_;
    QStringList atDrop_;
    QString note_;
};

// The entry it came back as; nothing: not (yet) back elsewhere.
std::optional<QString> cameBackAs(const QString& deviceName, const QStringList& atDrop,
                                  const QStringList& now,
                                  const std::function<bool(const QString& entry)>& isDevice);

}  // namespace station
