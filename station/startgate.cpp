#include "station/startgate.h"

#include <utility>

namespace station {

void StartGate::heardGga(const Gga& gga, qint64 atNs) {
    heard_ = HeardGga{gga, atNs, std::exchange(ggaLine_, {})};
}

std::optional<StartGate::HeardGga> StartGate::linkStarts(bool portOpen) {
    auto heard = std::exchange(heard_, std::nullopt);
    if (!rule_.takesHeardGga() || !heard || heard->line.empty() || !portOpen) return std::nullopt;
    sinceOpen_ = true;
    return heard;
}

}  // namespace station
