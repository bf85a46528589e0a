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

// What a split at any point cannot show: chunk edges that cut nothing, and
// what the buffer keeps.
TEST(Framing, FramesEachSentenceOnce) {
    const struct {
        std::vector<std::string> chunks;
        std::vector<std::string> sentences;
        std::string kept;
    } rows[] = {
        // The checksum is any two characters; it is not checked.
        {{"$GPGGA,1*ZZ"}, {"$GPGGA,1*ZZ"}, ""},
        {{"$GPGGA,1\r\n$GPGLL,2*41\r\n"}, {"$GPGGA,1\r\n$GPGLL,2*41"}, ""},  // CR LF ends nothing
        // Scanning resumes right after the "*": a "$" among the two checksum
        // characters starts the next sentence.
        {{"$A*$B*12"}, {"$A*$B", "$B*12"}, ""},
        {{"\xff\x80 garbage\r\n", "more"}, {}, ""},
        {{"xx$GPVTG*11yy"}, {"$GPVTG*11"}, ""},
        {{"$GPGSV*11\r\n$GPGG"}, {"$GPGSV*11"}, "$GPGG"},
        {{"$GP", "GGA,", "1,2"}, {}, "$GPGGA,1,2"},
        {{std::string("$G\0P*12", 7)}, {std::string("$G\0P*12", 7)}, ""},  // NUL is a character
    };
    for (const auto& row : rows) {
        const Framed f = frame(row.chunks);
        EXPECT_EQ(f.sentences, row.sentences) << row.chunks[0];
        EXPECT_EQ(f.kept, row.kept) << row.chunks[0];
    }
}

TEST(Framing, EverySplitPointGivesTheSameSentences) {
    const std::string stream =
        "$GPGGA,000416.984,0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000*70\r\n"
        "$GPGSA,A,1,,,,,,,,,,,,,50.0,50.0,50.0*05\r\n"
        "$GPGGA,030130$GPGLL,2638.1728,N,08011.3893,W,030131.000,A,A*41\r\n"
        "$GPRMC,000416.984,V,36000.0000,N,72000.0000,E,0.000000,,260120,,*1C\r\n";
    const Framed whole = frame({stream});
    ASSERT_EQ(whole.sentences.size(), 4u);
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        for (std::size_t b = a; b <= stream.size(); b += 7) {
            const Framed split =
                frame({stream.substr(0, a), stream.substr(a, b - a), stream.substr(b)});
            ASSERT_EQ(split.sentences, whole.sentences) << "split at " << a << " and " << b;
            ASSERT_EQ(split.kept, "");
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
