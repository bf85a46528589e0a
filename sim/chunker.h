// How a burst is cut into the pieces written to the line, each piece one
// write.  A receiver's UART and the USB or serial driver behind it deliver a
// second's output in pieces of every size; the tool must frame sentences
// across them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/rng.h"

namespace gpssim {

enum class Chunking {
    Burst,     // the whole burst in one piece
    Sentence,  // one piece per line, CR LF included
    Byte,      // one piece per byte
    Random,    // pieces of 1 to kMaxRandomPiece bytes, cut by the seeded generator
};

inline constexpr std::size_t kMaxRandomPiece = 48;

std::optional<Chunking> chunkingFromName(std::string_view name);
std::string_view nameOf(Chunking chunking);

class Chunker {
public:
    Chunker(Chunking chunking, std::uint64_t seed);

    // The pieces of burst, in order; joined they give burst back.  Nothing
    // for an empty burst.
    std::vector<std::string> split(std::string_view burst);

private:
    Chunking chunking_;
    Rng rng_;
};

}  // namespace gpssim
