#include "sim/chunker.h"

#include <algorithm>
#include <array>
#include <utility>

namespace gpssim {
namespace {

constexpr std::array<std::pair<Chunking, std::string_view>, 4> kNames = {{
    {Chunking::Burst, "burst"},
    {Chunking::Sentence, "sentence"},
    {Chunking::Byte, "byte"},
    {Chunking::Random, "random"},
}};

}  // namespace

std::optional<Chunking> chunkingFromName(std::string_view name) {
    for (const auto& [value, text] : kNames)
        if (text == name) return value;
    return std::nullopt;
}

std::string_view nameOf(Chunking chunking) {
    for (const auto& [value, text] : kNames)
        if (value == chunking) return text;
    return {};
}

// The piece generator gets its own stream so that the cut does not change
// what the receiver says.
Chunker::Chunker(Chunking chunking, std::uint64_t seed)
    : chunking_(chunking), rng_(seed ^ 0x43485550ULL) {}

std::vector<std::string> Chunker::split(std::string_view burst) {
    std::vector<std::string> pieces;
    std::size_t at = 0;
    while (at < burst.size()) {
        std::size_t length = burst.size() - at;
        switch (chunking_) {
            case Chunking::Burst:
                break;
            case Chunking::Sentence: {
                const std::size_t lf = burst.find('\n', at);
                if (lf != std::string_view::npos) length = lf + 1 - at;
                break;
            }
            case Chunking::Byte:
                length = 1;
                break;
            case Chunking::Random:
                length = std::min<std::size_t>(length, 1 + rng_.below(kMaxRandomPiece));
                break;
        }
        pieces.emplace_back(burst.substr(at, length));
        at += length;
    }
    return pieces;
}

}  // namespace gpssim
