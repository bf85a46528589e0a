#include "sim/capture.h"

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
    std::vector<std::string> bursts;
    std::string current;
    std::string currentTime;
    bool currentHasGga = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        // gpsd's regression logs may hold its own JSON reports: not receiver output.
        if (line.substr(0, 9) == "{\"class\":") continue;

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
        current.append(line);
        current.append("\r\n");
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
