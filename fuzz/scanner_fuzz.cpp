// Fuzzing the NMEA framing: the input is cut into chunks, the chunks go
// through NmeaScanner one at a time as receive events would bring them, and
// the sentences it hands out are compared with those of a plain reference
// that looks at the whole stream at once, character by character.
//
// Input: a length byte, then that many characters, repeated.  A length byte
// below 0xF0 is the length itself; 0xF0 to 0xFF stand for 512 to 8192
// characters, so that unfinished sentences can outgrow the scanner's limit.
//
// The two must agree for any chunking as long as no unfinished sentence is
// longer than NmeaScanner::kMaxPending when a chunk ends (the scanner then
// drops it up to the next "$"); from the first chunk where one is, only the
// sentences completed up to that chunk are compared.  After every scan the
// kept buffer must be empty or a single unfinished sentence within the limit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/nmeascanner.h"

namespace {

using gpslink::NmeaScanner;

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "MISMATCH: %s\n", what.c_str());
    std::abort();
}

struct Sentence {
    std::size_t start;  // index of the "$"
    std::size_t end;    // one past the second checksum character
};

// The framing rule over the whole stream: from each "$", the first "*" that
// has two more characters after it ends the sentence, and the search for the
// next "$" resumes right after that "*".  pending is the start of the
// unfinished sentence at the end, or npos.
std::vector<Sentence> reference(const std::string& stream, std::size_t& pending) {
    std::vector<Sentence> found;
    const std::size_t n = stream.size();
    pending = std::string::npos;
    for (std::size_t i = 0; i < n; ++i) {
        if (stream[i] != '$') continue;
        std::size_t j = i + 1;
        while (j < n && !(stream[j] == '*' && n - j >= 3)) ++j;
        if (j >= n) {
            pending = i;
            break;
        }
        found.push_back({i, j + 3});
        i = j;  // the loop's step goes on right after the "*"
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string_view> chunks;
    std::string stream;
    for (std::size_t pos = 0; pos < size;) {
        const std::uint8_t b = data[pos++];
        std::size_t length = b < 0xF0 ? b : (b - 0xF0 + 1) * 512u;
        length = std::min(length, size - pos);
        chunks.emplace_back(reinterpret_cast<const char*>(data + pos), length);
        stream.append(chunks.back());
        pos += length;
    }

    std::size_t pending = std::string::npos;
    const std::vector<Sentence> expected = reference(stream, pending);

    // Feed the chunks; stop after the first one that leaves an unfinished
    // sentence longer than the limit.
    NmeaScanner scanner;
    std::string buffer;
    std::vector<std::string> got;
    std::size_t fed = 0;   // characters of the stream fed so far
    std::size_t next = 0;  // the first expected sentence not completed yet
    bool cutShort = false;
    for (std::string_view chunk : chunks) {
        buffer.append(chunk);
        fed += chunk.size();
        scanner.scan(buffer, [&](std::string_view s) {
            got.emplace_back(s);
            return true;
        });
        if (buffer.size() > NmeaScanner::kMaxPending)
            broken("kept " + std::to_string(buffer.size()) + " characters");
        if (!buffer.empty()) {
            if (buffer[0] != '$') broken("kept text does not begin with $");
            const std::size_t star = buffer.find('*', 1);
            if (star != std::string::npos && star + 2 < buffer.size())
                broken("kept text holds a complete sentence");
        }

        // Where the reference has its unfinished sentence at this point.
        while (next < expected.size() && expected[next].end <= fed) ++next;
        std::size_t open = std::string::npos;
        if (next < expected.size() && expected[next].start < fed) {
            open = expected[next].start;
        } else if (next == expected.size() && pending != std::string::npos && pending < fed) {
            open = pending;
        }
        if (open != std::string::npos && fed - open > NmeaScanner::kMaxPending) {
            cutShort = true;
            break;
        }
        // The scanner keeps exactly the reference's unfinished sentence.
        const std::string_view kept = open == std::string::npos
                                          ? std::string_view()
                                          : std::string_view(stream).substr(open, fed - open);
        if (buffer != kept)
            broken("after " + std::to_string(fed) + " characters kept " +
                   std::to_string(buffer.size()) + " characters, expected " +
                   std::to_string(kept.size()));
    }

    if (got.size() != next)
        broken("scanner found " + std::to_string(got.size()) + " sentences, reference " +
               std::to_string(next) + (cutShort ? " (cut short)" : ""));
    for (std::size_t k = 0; k < next; ++k) {
        const std::string_view want =
            std::string_view(stream).substr(expected[k].start, expected[k].end - expected[k].start);
        if (got[k] != want) broken("sentence " + std::to_string(k) + " differs");
    }
    return 0;
}
