// Fuzzing the link: the input is read as a script of steps on the link with
// the fake port and view, and every step is followed by a check of the rules
// a run must keep, whatever the receiver sends and whatever the technician
// does.
//
// Script: one opcode byte per step, low three bits:
//   0  receive a chunk: a length byte, then that many characters
//   1  receive a long chunk: a length byte times 32, then the characters
//   2  one second: every enabled timer ticks, in the window's order; the
//      opcode 0xFA is a long wait instead: the next byte times 160 seconds,
//      at most 41,000 seconds in all per input (a run left standing for
//      hours; the environment variable LINK_FUZZ_WAIT_BUDGET sets another
//      limit, 0 turns long waits into single seconds, which is faster)
//   3  one tick of one timer (next byte: Timer1, Timer_PF, Timer_Start, Timer),
//      delivered only while it is enabled
//   4  "Cold Start On/Off"
//   5  "Cold Start On/Off" and, while Timer1 is enabled, its tick
//   6  receive a well-formed sentence (next bytes: kind, time digits, where
//      to cut it into two receive events)
//   7  the line and the selectors (next byte): another notification kind,
//      the port refusing to open or not, another port or baud text
// Characters arrive only while the port is open, as with a real port.
//
// After every step:
//   - RxBuffer holds at most the scanner's limit plus the last chunk, and
//     nothing but an unfinished sentence from its "$";
//   - Counters[3] is 0..1000, StartTicks 0..9, Mode 0..2, no counter negative;
//   - the port is written nothing but the cold-start sentence, at most once
//     per run (a run ends at a stop and begins at a connect step), and only
//     by a receive event that moves Mode from 0 to 1;
//   - Mode moves forward one phase at a time, and back to 0 only by a stop or
//     the stall check, together with the rest of the run's state;
//   - Counters[2] agrees with Mode: at most 4 in Mode 0, 5 in Mode 1, above
//     10 in Mode 2;
//   - Counters[9] (no-data ticks) never passes 3, where its report stops Timer.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gpslink/link.h"
#include "testkit/fakes.h"

namespace {

using gpslink::testing::QuietBench;

class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::string_view take(std::size_t n) {
        n = std::min(n, size_ - pos_);
        const std::string_view piece(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return piece;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

[[noreturn]] void broken(const char* step, const std::string& what) {
    std::fprintf(stderr, "RULE BROKEN after %s: %s\n", step, what.c_str());
    std::abort();
}

// A sentence of a kind the link looks at, with the time taken from the script.
std::string sentence(Script& in) {
    const std::uint8_t kind = in.byte();
    std::string time;
    for (int i = 0; i < 6; ++i) time += static_cast<char>('0' + in.byte() % 10);
    time += ".000";
    std::string body;
    switch (kind % 8) {
        case 0:
        case 1:
            body = "GPGGA," + time + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
            break;
        case 2:
            body = "GNGGA,00000" + time.substr(5, 1) + ".000,,,,,0,00,,,M,,M,,";
            break;
        case 3:
            body = "GPGGA,,,,,,0,00,,,M,,M,,";
            break;
        case 4:
            body = "GPGSA,A,3,04,05,09,12,,,,,,,,,2.5,1.3,2.1";
            break;
        case 5:
            body = "GPRMC," + time + ",A,4807.038,N,01131.000,E,0.0,0.0,061226,,,A";
            break;
        case 6:
            body = "GPGSV,3,1,12,04,40,083,46,05,17,308,41,09,07,344,39,12,22,228,45";
            break;
        default:
            body = "PSRF101,0,0,0,0,0,0,12,4";
            break;
    }
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    static constexpr char kHex[] = "0123456789ABCDEF";
    return "$" + body + "*" + kHex[(sum >> 4) & 15] + kHex[sum & 15] + "\r\n";
}

constexpr std::uint8_t kLongWait = 0xFA;

const char* const kPortTexts[] = {"COM 1", "COM 33", "COM 101", "COM 0", "COM 102", "COM", ""};
const char* const kBaudTexts[] = {"9600", "4800", "921600", "1234", ""};

// What a timer tick reads and writes.
struct Snapshot {
    std::array<gpslink::Int16, 10> counters;
    gpslink::Int16 timer1Ticks, startTicks, coldStartSeconds, mode;
    bool anyReceived;
    unsigned timers;

    explicit Snapshot(const QuietBench& rig)
        : counters(rig.state().Counters),
          timer1Ticks(rig.state().Timer1Ticks),
          startTicks(rig.state().StartTicks),
          coldStartSeconds(rig.state().ColdStartSeconds),
          mode(rig.state().Mode),
          anyReceived(rig.state().AnyReceived),
          timers(rig.link.Timer1.enabled() | rig.link.Timer_PF.enabled() << 1 |
                 rig.link.Timer_Start.enabled() << 2 | rig.link.Timer.enabled() << 3) {}
    bool operator==(const Snapshot& o) const {
        return counters == o.counters && timer1Ticks == o.timer1Ticks &&
               startTicks == o.startTicks && coldStartSeconds == o.coldStartSeconds &&
               mode == o.mode && anyReceived == o.anyReceived && timers == o.timers;
    }
};

struct Checker {
    QuietBench& rig;
    int coldStartsThisRun = 0;

    // What the state was before the step.
    int mode = 0;
    std::size_t written = 0;
    bool statusEmpty = true;
    gpslink::Int16 timer1Ticks = 0;

    void before() {
        mode = rig.state().Mode;
        written = rig.port.written.size();
        statusEmpty = rig.view.status.empty();
        timer1Ticks = rig.state().Timer1Ticks;
    }

    // kind: what the step was, for the rules that depend on it.
    enum Kind { Receive, Tick, TickPf, Tick1, Press, Other };

    void after(const char* step, Kind kind, std::size_t lastChunk) {
        const gpslink::LinkState& s = rig.state();
        const std::string range = gpslink::testing::brokenRangeRule(s, lastChunk);
        if (!range.empty()) broken(step, range);

        // RxBuffer: nothing, or one unfinished sentence.
        if (!s.RxBuffer.empty()) {
            if (s.RxBuffer[0] != '$') broken(step, "RxBuffer does not begin with $");
            const std::size_t star = s.RxBuffer.find('*', 1);
            if (star != std::string::npos && star + 2 < s.RxBuffer.size())
                broken(step, "RxBuffer holds a complete sentence");
        }

        // Runs begin at a connect step and end at a stop.
        const bool stopped = kind == Press && !statusEmpty;
        const bool connected =
            timer1Ticks == 0 && s.Timer1Ticks != 0;  // only a connect step does this
        if (stopped || connected) coldStartsThisRun = 0;

        // What went out on the port.
        const std::string_view out = std::string_view(rig.port.written).substr(written);
        if (!out.empty()) {
            if (out != gpslink::kColdStartSentence)
                broken(step, "the port was written \"" + std::string(out) + "\"");
            if (kind != Receive) broken(step, "cold start sent outside a receive event");
            if (mode != 0 || s.Mode != 1) broken(step, "cold start sent without Mode 0 -> 1");
            if (++coldStartsThisRun > 1) broken(step, "a second cold start in one run");
        }

        // Mode.
        if (s.Mode > mode) {
            if (kind != Receive) broken(step, "Mode moved forward outside a receive event");
            if (s.Mode != mode + 1) broken(step, "Mode skipped a phase");
            if (s.Mode == 1 && out.empty()) broken(step, "Mode 1 without the cold start");
        } else if (s.Mode < mode) {
            if (!stopped && kind != TickPf) broken(step, "Mode went back outside a stop or stall");
            if (s.Mode != 0) broken(step, "Mode went back but not to 0");
            if (s.Counters[1] != 0 || s.Counters[2] != 0 || s.ColdStartSeconds != 0 ||
                s.StartTicks != 0 || !rig.view.status.empty())
                broken(step, "Mode back to 0 without the rest of the run's state");
        }
        const gpslink::Int16 ggas = s.Counters[2];
        if ((s.Mode == 0 && ggas > 4) || (s.Mode == 1 && ggas != 5) || (s.Mode == 2 && ggas <= 10))
            broken(step,
                   "Counters[2] is " + std::to_string(ggas) + " in Mode " + std::to_string(s.Mode));
        if (s.Counters[9] > 3) broken(step, "Counters[9] passed 3");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script in(data, size);
    QuietBench rig;
    Checker check{rig};
    static const long kWaitBudget = [] {
        const char* budget = std::getenv("LINK_FUZZ_WAIT_BUDGET");
        return budget != nullptr ? std::atol(budget) : 41000L;
    }();
    long waitBudget = kWaitBudget;  // seconds of long waits left for this input
    check.before();
    check.after("start-up", Checker::Other, 0);

    while (!in.done()) {
        const std::uint8_t op = in.byte();
        check.before();
        switch (op & 7) {
            case 0:
            case 1: {
                const std::size_t length = (op & 7) == 0 ? in.byte() : in.byte() * 32u;
                const std::string_view chunk = in.take(length);
                if (rig.port.open) rig.receive(chunk);
                check.after("receive", Checker::Receive, chunk.size());
                break;
            }
            case 2: {
                gpslink::Link& l = rig.link;
                if (op == kLongWait && kWaitBudget > 0) {
                    const long seconds = std::min(in.byte() * 160L, waitBudget);
                    waitBudget -= seconds;
                    for (long t = 1; t <= seconds; ++t) {
                        const Snapshot before(rig);
                        rig.second();
                        if (t % 256 == 0) {
                            const std::string range =
                                gpslink::testing::brokenRangeRule(rig.state(), 0);
                            if (!range.empty()) broken("a long wait", range);
                        }
                        // Ticks depend on nothing but this: once a second
                        // changes none of it, no later one will.
                        if (before == Snapshot(rig)) break;
                    }
                    check.after("a long wait", Checker::TickPf, 0);
                    break;
                }
                // The timers one at a time, so that each tick is checked on its own.
                if (l.Timer1.enabled()) {
                    l.Timer1_Timer();
                    check.after("second: Timer1", Checker::Tick1, 0);
                    check.before();
                }
                if (l.Timer_PF.enabled()) {
                    l.Timer_PF_Timer();
                    check.after("second: Timer_PF", Checker::TickPf, 0);
                    check.before();
                }
                if (l.Timer_Start.enabled()) {
                    l.Timer_Start_Timer();
                    check.after("second: Timer_Start", Checker::Tick, 0);
                    check.before();
                }
                if (l.Timer.enabled()) {
                    l.Timer_Timer();
                    check.after("second: Timer", Checker::Tick, 0);
                }
                break;
            }
            case 3: {
                gpslink::Link& l = rig.link;
                switch (in.byte() % 4) {
                    case 0:
                        if (l.Timer1.enabled()) l.Timer1_Timer();
                        check.after("Timer1", Checker::Tick1, 0);
                        break;
                    case 1:
                        if (l.Timer_PF.enabled()) l.Timer_PF_Timer();
                        check.after("Timer_PF", Checker::TickPf, 0);
                        break;
                    case 2:
                        if (l.Timer_Start.enabled()) l.Timer_Start_Timer();
                        check.after("Timer_Start", Checker::Tick, 0);
                        break;
                    default:
                        if (l.Timer.enabled()) l.Timer_Timer();
                        check.after("Timer", Checker::Tick, 0);
                        break;
                }
                break;
            }
            case 4:
                rig.link.Cmd_Start_1_Click();
                rig.port.calls.clear();
                check.after("press", Checker::Press, 0);
                break;
            case 5:
                rig.link.Cmd_Start_1_Click();
                rig.port.calls.clear();
                check.after("press", Checker::Press, 0);
                if (rig.link.Timer1.enabled()) {
                    check.before();
                    rig.link.Timer1_Timer();
                    rig.port.calls.clear();
                    check.after("Timer1", Checker::Tick1, 0);
                }
                break;
            case 6: {
                const std::string text = sentence(in);
                const std::size_t cut = in.byte() % (text.size() + 1);
                if (rig.port.open) rig.receive(std::string_view(text).substr(0, cut));
                check.after("receive sentence", Checker::Receive, cut);
                check.before();
                if (rig.port.open) rig.receive(std::string_view(text).substr(cut));
                check.after("receive sentence", Checker::Receive, text.size() - cut);
                break;
            }
            default: {
                const std::uint8_t what = in.byte();
                switch (what % 4) {
                    case 0: {
                        static constexpr int kEvents[] = {
                            gpslink::comEvSend,     gpslink::comEvCTS,           gpslink::comEvDSR,
                            gpslink::comEvCD,       gpslink::comEvRing,          gpslink::comEvEOF,
                            gpslink::comEventError, gpslink::comEventError + 12, 0};
                        if (rig.port.open) rig.port.raise(kEvents[(what / 4) % 9]);
                        break;
                    }
                    case 1:
                        rig.port.refuseOpen = !rig.port.refuseOpen;
                        break;
                    case 2:
                        rig.view.port = kPortTexts[(what / 4) % 7];
                        break;
                    default:
                        rig.view.baud = kBaudTexts[(what / 4) % 5];
                        break;
                }
                check.after("line or selectors", Checker::Other, 0);
                break;
            }
        }
    }
    return 0;
}
