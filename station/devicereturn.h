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

namespace station {

// The name a device family shares: "ttyUSB" of "ttyUSB3", "gps" of "gps-1".
QString deviceStem(QString name);

// The entry it came back as; nothing: not (yet) back elsewhere.
std::optional<QString> cameBackAs(const QString& deviceName, const QStringList& atDrop,
                                  const QStringList& now,
                                  const std::function<bool(const QString& entry)>& isDevice);

}  // namespace station
