// Framing sentences out of receive chunks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpslink/nmeascanner.h"

namespace gpslink {
namespace {

struct Framed {
    std::vector<std::string> sentences;
    std::string kept;  // the buffer after the last chunk
};

Framed frame(const std::vector<std::string>& chunks) {
    NmeaScanner scanner;
    Framed out;
    for (const std::string& chunk : chunks) {
        out.kept += chunk;
        scanner.scan(out.kept, [&](std::string_view s) {
            out.sentences.emplace_back(s);
            return true;
        });
    }
    return out;
}

// The same text cut anywhere into three chunks frames the same sentences
// and keeps the same rest.
TEST(Framing, FramesEachSentenceOnceWhereverTheChunksAreCut) {
    const struct {
        std::string stream;
        std::vector<std::string> sentences;
        std::string kept;
    } rows[] = {
        // The checksum is any two characters; it is not checked.
        {"$GPGGA,1*ZZ", {"$GPGGA,1*ZZ"}, ""},
        {"$GPGGA,1\r\n$GPGLL,2*41\r\n", {"$GPGGA,1\r\n$GPGLL,2*41"}, ""},  // CR LF ends nothing
        // Scanning resumes right after the "*": a "$" among the two checksum
        // characters starts the next sentence.
        {"$A*$B*12", {"$A*$B", "$B*12"}, ""},
        {"\xff\x80 garbage\r\nmore", {}, ""},
        {"xx$GPVTG*11yy$GPGSA,A*05\r\n", {"$GPVTG*11", "$GPGSA,A*05"}, ""},
        {"$GPGSV*11\r\n$GPGGA,1,2", {"$GPGSV*11"}, "$GPGGA,1,2"},
        {std::string("$G\0P*12", 7), {std::string("$G\0P*12", 7)}, ""},  // NUL is a character
    };
    for (const auto& row : rows) {
        const std::string& s = row.stream;
        for (std::size_t a = 0; a <= s.size(); ++a) {
            for (std::size_t b = a; b <= s.size(); ++b) {
                const Framed f = frame({s.substr(0, a), s.substr(a, b - a), s.substr(b)});
                ASSERT_EQ(f.sentences, row.sentences) << s << " cut at " << a << " and " << b;
                ASSERT_EQ(f.kept, row.kept) << s << " cut at " << a << " and " << b;
            }
        }
    }
}

TEST(Framing, OverlongUnfinishedSentenceIsDroppedUpToNextDollar) {
    NmeaScanner scanner;
    std::string buffer = "$" + std::string(NmeaScanner::kMaxPending - 1, 'x');
    auto none = [](std::string_view) {
        ADD_FAILURE() << "nothing is complete";
        return true;
    };
    scanner.scan(buffer, none);
    EXPECT_EQ(buffer.size(), NmeaScanner::kMaxPending) << "at the limit it is kept";

    buffer += "y$GPGGA,1";
    scanner.scan(buffer, none);
    EXPECT_EQ(buffer, "$GPGGA,1");

    buffer += std::string(NmeaScanner::kMaxPending - buffer.size() + 1, 'z');
    scanner.scan(buffer, none);
    EXPECT_EQ(buffer, "") << "one past the limit, no later $: everything goes";

    std::vector<std::string> seen;
    buffer += "*12$GPVTG*34";
    scanner.scan(buffer, [&](std::string_view s) {
        seen.emplace_back(s);
        return true;
    });
    EXPECT_EQ(seen, std::vector<std::string>{"$GPVTG*34"})
        << "the dropped sentence never completes";
}

}  // namespace
}  // namespace gpslink
