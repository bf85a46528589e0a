// The link on the test doubles, set up for long runs: the view keeps only the
// latest texts (the tests' view also records every status text, which would
// grow without end), and the port's record of operations is dropped at every
// connect and stop.
#pragma once

#include <string>
#include <string_view>

#include "gpslink/link.h"
#include "gpslink/nmeascanner.h"
#include "tests/support/fakes.h"

namespace coldstart::bench {

class QuietView : public gpslink::testing::FakeView {
public:
    void setStatusText(std::string_view text) override { status.assign(text.data(), text.size()); }
};

struct Rig {
    QuietView view;
    gpslink::testing::FakeSerialPort port;
    gpslink::Link link{view, port};

    Rig() {
        port.setOnComm([this] { link.MSComm1_OnComm(); });
        link.setStartUpValues();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // One second: every enabled timer ticks once, in the window's order.
    void second() {
        if (link.Timer1.enabled()) link.Timer1_Timer();
        if (link.Timer_PF.enabled()) link.Timer_PF_Timer();
        if (link.Timer_Start.enabled()) link.Timer_Start_Timer();
        if (link.Timer.enabled()) link.Timer_Timer();
    }

    // "Cold Start On/Off" on an idle window, and the connect step.
    void connect() {
        link.Cmd_Start_1_Click();
        link.Timer1_Timer();
        port.calls.clear();
    }

    // "Cold Start On/Off" during a run.
    void stop() {
        if (!view.status.empty()) link.Cmd_Start_1_Click();
        port.calls.clear();
    }

    void receive(std::string_view chunk) { port.receive(chunk); }

    int coldStartsSent() const {
        int n = 0;
        const std::string_view sentence = gpslink::kColdStartSentence;
        for (std::size_t at = port.written.find(sentence); at != std::string::npos;
             at = port.written.find(sentence, at + 1))
            ++n;
        return n;
    }

    const gpslink::LinkState& state() const { return link.state(); }
};

// The first range rule the link state breaks, or nothing.  lastChunk is the
// size of the latest receive chunk: the buffer may hold at most an
// unfinished sentence of the scanner's limit plus what came since.
inline std::string brokenRangeRule(const gpslink::LinkState& s, std::size_t lastChunk) {
    if (s.RxBuffer.size() > gpslink::NmeaScanner::kMaxPending + lastChunk)
        return "RxBuffer holds " + std::to_string(s.RxBuffer.size()) + " characters";
    for (std::size_t i = 0; i < s.Counters.size(); ++i)
        if (s.Counters[i] < 0)
            return "Counters[" + std::to_string(i) + "] is " + std::to_string(s.Counters[i]);
    if (s.Counters[3] > 1000) return "Counters[3] is " + std::to_string(s.Counters[3]);
    if (s.StartTicks < 0 || s.StartTicks > 9)
        return "StartTicks is " + std::to_string(s.StartTicks);
    if (s.Mode < 0 || s.Mode > 2) return "Mode is " + std::to_string(s.Mode);
    if (s.ColdStartSeconds < 0) return "ColdStartSeconds is " + std::to_string(s.ColdStartSeconds);
    if (s.Timer1Ticks < 0) return "Timer1Ticks is " + std::to_string(s.Timer1Ticks);
    if (!s.Sentence.empty()) return "Sentence is not empty between events";
    return {};
}

}  // namespace coldstart::bench
