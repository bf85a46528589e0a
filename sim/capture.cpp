#include "sim/capture.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace gpssim {
namespace {

// The time field of a line that starts a GGA sentence of any two-letter
// talker; nothing for other lines.
bool ggaTime(std::string_view line, std::string_view& time) {
    if (line.size() < 7 || line[0] != '$' || line.substr(3, 3) != "GGA" || line[6] != ',')
        return false;
    const std::string_view rest = line.substr(7);
    time = rest.substr(0, rest.find(','));
    return true;
}

}  // namespace

std::vector<std::string> captureBursts(std::string_view text) {
    const bool binary = std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return (b < 0x20 && c != '\r' && c != '\n' && c != '\t') || b > 0x7E;
    });
    const auto printable = [](std::string_view line) {
        return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
    };
    std::vector<std::string> bursts;
    std::string current;
    std::string currentTime;
    bool currentHasGga = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        const std::string_view asSent = text.substr(at, std::min(end + 1, text.size()) - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // Comments, and gpsd's own JSON reports: not receiver output.
        const bool note =
            !line.empty() && (line.front() == '#' || line.substr(0, 9) == "{\"class\":");
        if (binary) {
            if (note && printable(line)) continue;
        } else if (line.empty() || note) {
            continue;
        }

        std::string_view time;
        if (ggaTime(line, time)) {
            const bool sameEpoch = currentHasGga && !time.empty() && time == currentTime;
            if (currentHasGga && !sameEpoch) {
                bursts.push_back(std::move(current));
                current.clear();
            }
            currentHasGga = true;
            currentTime = time;
        }
        if (binary) {
            current.append(asSent);
        } else {
            current.append(line);
            current.append("\r\n");
        }
    }
    if (!current.empty()) bursts.push_back(std::move(current));
    return bursts;
}

bool loadCapture(const std::string& path, std::vector<std::string>& bursts, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read " + path;
        return false;
    }
    bursts = captureBursts(text);
    if (bursts.empty()) {
        error = path + " holds no line to send";
        return false;
    }
    return true;
}

}  // namespace gpssim
