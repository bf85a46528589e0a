// Real receiver captures, cut into the bursts the receiver sent each second.
//
// A capture is a text file of NMEA lines as a receiver sent them, with "#"
// lines of annotation added by whoever recorded it and, in gpsd's regression
// logs, lines of gpsd's own JSON reports ({"class":...).  Many captures were
// stored with LF line ends although the receiver sent CR LF.  A burst is the
// lines from one GGA sentence up to the next; a GGA of another talker with
// the same time (GPGGA and GLGGA of one epoch) stays in the same burst.
// Lines before the first GGA sentence (a start-up banner) open the first
// burst.
//
// A capture with binary packets between its sentences (bytes outside
// printable ASCII) is sent byte for byte: its lines keep their own line ends,
// since a packet's bytes may hold a line feed, and only lines of text are
// taken as comments or JSON.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gpssim {

// The bursts of a capture's text: "#" lines, gpsd's JSON lines and empty
// lines skipped, every line ending in CR LF.  Bytes inside lines (NUL, broken
// sentences) are kept as they are.
std::vector<std::string> captureBursts(std::string_view text);

// Reads the file at path and cuts it as captureBursts does.  False, with
// error set, when the file cannot be read or holds no line to send.
bool loadCapture(const std::string& path, std::vector<std::string>& bursts, std::string& error);

}  // namespace gpssim
