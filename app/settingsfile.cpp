#include "app/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

#ifndef Q_OS_WIN
namespace {

// Temporary files of this writer: the prefix, the writer's process id, a dot
// and kUniqueLength letters or digits.
constexpr char kTempPrefix[] = "Set.txt.tmp.";
constexpr int kUniqueLength = 6;

// The process id in a name of this writer's pattern, or 0 for another name.
pid_t writerOf(const QString& name) {
    const QString rest = name.mid(int(sizeof kTempPrefix) - 1);
    const int dot = rest.indexOf(QLatin1Char('.'));
    if (!name.startsWith(QLatin1String(kTempPrefix)) || dot < 1 ||
        rest.size() - dot - 1 != kUniqueLength)
        return 0;
    for (const QChar c : rest.mid(dot + 1))
        if (!(c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))) return 0;
    bool ok = false;
    const long pid = rest.left(dot).toLong(&ok);
    return ok && pid > 0 ? pid_t(pid) : 0;
}

// Removes the temporary files that killed writers left in the working
// directory: regular files of this writer's pattern whose process is gone.
void removeLeftovers() {
    const QStringList names = QDir::current().entryList(
        {QLatin1String(kTempPrefix) + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const pid_t pid = writerOf(name);
        if (pid == 0) continue;
        // Another process of that id may still be writing it.
        if (pid != ::getpid() && (::kill(pid, 0) == 0 || errno != ESRCH)) continue;
        const QByteArray path = QFile::encodeName(name);
        struct stat st {};
        if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.constData());
    }
}

// Creates a new temporary file of this writer's pattern, never opening an
// existing name (a file or a link); its descriptor and name, or -1.
int createTempFile(std::string& name, mode_t mode) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = kTempPrefix + std::to_string(::getpid()) + ".";
        for (int i = 0; i < kUniqueLength; ++i)
            name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)];
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes the line to a new temporary file with the old file's permission
// bits and renames it over "Set.txt".  A kill leaves the old or the new
// file whole, and at most the temporary file beside it.
bool replaceByRename(const std::string& line) {
    removeLeftovers();
    struct stat old {};
    const bool hadFile = ::stat(kSettingsFileName, &old) == 0 && S_ISREG(old.st_mode);
    std::string name;
    const int fd = createTempFile(name, 0666);
    if (fd < 0) return false;
    const bool written =
        (!hadFile || ::fchmod(fd, old.st_mode & 07777) == 0) &&
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
        ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (written && closed && std::rename(name.c_str(), kSettingsFileName) == 0) return true;
    ::unlink(name.c_str());
    return false;
}

}  // namespace
#endif

bool WriteSettingsFile(const std::string& port, const std::string& baud) {
    const std::string line = port + "," + baud + "\r\n";
#ifndef Q_OS_WIN
    if (replaceByRename(line)) return true;
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
