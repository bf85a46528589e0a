#include "app/settingsfile.h"

#include <QFile>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace {

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Reads one field from text at pos and moves pos past its separator.
std::optional<std::string> nextField(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (pos >= text.size()) return std::nullopt;  // nothing left to read

    std::string field;
    if (text[pos] == '"') {
        const std::size_t close = text.find('"', pos + 1);
        const std::size_t end = close == std::string_view::npos ? text.size() : close;
        field.assign(text.substr(pos + 1, end - pos - 1));
        pos = end == text.size() ? end : end + 1;
        while (pos < text.size() && text[pos] != ',' && !isLineEnd(text[pos])) ++pos;
    } else {
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] != ',' && !isLineEnd(text[pos])) ++pos;
        field.assign(text.substr(start, pos - start));
        while (!field.empty() && field.back() == ' ') field.pop_back();
    }
    // The separator: a comma, or one line end (CR LF, LF or CR).
    if (pos < text.size()) {
        if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
        ++pos;
    }
    return field;
}

}  // namespace

std::optional<SettingsTexts> parseSettings(std::string_view text) {
    std::size_t pos = 0;
    std::optional<std::string> port = nextField(text, pos);
    if (!port) return std::nullopt;
    std::optional<std::string> baud = nextField(text, pos);
    if (!baud) return std::nullopt;
    return SettingsTexts{*port, *baud};
}

void normaliseSettingsFileAttributes() {
#ifdef Q_OS_WIN
    SetFileAttributesA(kSettingsFileName, FILE_ATTRIBUTE_ARCHIVE);
#else
    QFile file(QString::fromLatin1(kSettingsFileName));
    if (file.exists()) file.setPermissions(file.permissions() | QFileDevice::WriteOwner);
#endif
}

std::optional<SettingsTexts> readSettingsFile() {
    QFile file(QString::fromLatin1(kSettingsFileName));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) return std::nullopt;
    return parseSettings(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

bool WriteSettingsFile(const std::string& port, const std::string& baud) {
    const std::string line = port + "," + baud + "\r\n";
#ifndef Q_OS_WIN
    // The new contents go to a file of a fixed name that is then renamed over
    // the old one.  A kill or power loss leaves either file whole, and at
    // most this one leftover, which the next write reuses.
    static constexpr char kNewFileName[] = "Set.txt.new";
    const int fd = ::open(kNewFileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const bool written =
            ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
            ::fsync(fd) == 0;
        const bool closed = ::close(fd) == 0;
        if (written && closed && std::rename(kNewFileName, kSettingsFileName) == 0) return true;
        ::unlink(kNewFileName);
    }
#endif
    QSaveFile file(QString::fromLatin1(kSettingsFileName));
    // A directory that allows no new files can still have its file rewritten.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(line.data(), static_cast<qint64>(line.size())) !=
        static_cast<qint64>(line.size())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
