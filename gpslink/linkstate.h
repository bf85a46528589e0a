// The variables the handlers share: one record, alive as long as the window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gpslink {

using Int16 = std::int16_t;

// Adds one, holding at the top of the 16-bit range instead of overflowing.
inline void countUp(Int16& counter) {
    if (counter < INT16_MAX) ++counter;
}

struct LinkState {
    // Ticks of Timer1 since the last reset; only 0 versus not 0 matters.
    Int16 Timer1Ticks = 0;

    // Ticks of Timer_Start since start-up or the last reset, held at 9.
    Int16 StartTicks = 0;

    // Element 0: a GGA with a time was examined since the last reset, which
    // the baud-rate test reads.  The other elements are only ever cleared.
    std::array<bool, 9> SentenceSeen{};

    // 1  Timer_PF ticks while awaiting confirmation (30 is the time-out)
    // 2  accepted GGA sentences (5 sends the cold start; 10 on confirmation)
    // 3  receive events, 0..1000 and round again
    // 7  element 3 as seen by the previous stall check
    // 8  stall checks in a row that saw no receive event
    // 9  no-data ticks in a row
    // 0, 4, 5, 6 have no meaning and are only ever cleared.
    std::array<Int16, 10> Counters{};

    // Received characters not yet examined: at most an unfinished sentence
    // from its "$".
    std::string RxBuffer;

    // The sentence being examined; empty between sentences.
    std::string Sentence;

    // Seconds since the cold-start sentence went out.
    Int16 ColdStartSeconds = 0;

    // 0 watching, 1 cold start sent and awaiting confirmation, 2 confirmed.
    Int16 Mode = 0;

    // Whether any character has been received since start-up.  Never cleared.
    bool AnyReceived = false;
};

}  // namespace gpslink
