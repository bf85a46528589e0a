// "Set.txt": the port and baud rate of the last connection, one line in the
// working directory, e.g. "COM 1,9600" CR LF.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr char kSettingsFileName[] = "Set.txt";

struct SettingsTexts {
    std::string port;
    std::string baud;
    bool operator==(const SettingsTexts& other) const {
        return port == other.port && baud == other.baud;
    }
};

inline const SettingsTexts kDefaultSettings{"COM 1", "9600"};

// The first two fields of the file's text.  Leading spaces are skipped; an
// unquoted field ends at a comma or a line end and loses its trailing
// spaces; a quoted field runs to the next double quote; whatever follows the
// second field is not read.  Empty when there are fewer than two fields.
std::optional<SettingsTexts> parseSettings(std::string_view text);

// Makes a read-only "Set.txt" writable again, so that the next connection can
// replace it.  Does nothing when there is no such file.
void normaliseSettingsFileAttributes();

// Reads "Set.txt" from the current working directory.  Empty when the file
// cannot be opened or read, or holds fewer than two fields.
std::optional<SettingsTexts> readSettingsFile();

// Replaces "Set.txt" with the port text, ",", the baud text and CR LF.  The
// new contents go to a newly created "Set.txt.tmp.<pid>.<6 letters>" with
// the old file's permission bits, renamed over "Set.txt" once complete, so a
// kill mid-write never leaves a truncated file.  A temporary file that a
// killed writer left is removed by the next write.  Where the directory
// allows no new file, the file is rewritten in place.  False when it could
// not be written; the old file is then as it was.
bool WriteSettingsFile(const std::string& port, const std::string& baud);
