// Doubles for driving the link as a script: a view that records what was
// shown, a serial port whose input the caller feeds, a bench that delivers
// ticks and chunks the way the window would, and the range rules of the link
// state that every run keeps.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "gpslink/link.h"
#include "gpslink/nmeascanner.h"
#include "gpslink/serialport.h"
#include "gpslink/view.h"

namespace gpslink::testing {

class FakeView : public View {
public:
    std::string status, label, port = "COM 1", baud = "9600";
    Colour statusColour = colour::ButtonFace, startColour = colour::ButtonFace;
    Colour selectorColour = colour::WindowBackground;
    bool frameEnabled = true;
    std::vector<std::string> statusHistory;  // every text written, in order

    std::string statusText() const override { return status; }
    void setStatusText(std::string_view text) override {
        status = text;
        statusHistory.push_back(status);
    }
    void setStatusColour(Colour c) override { statusColour = c; }
    void setLabelCaption(std::string_view caption) override { label = caption; }
    void setStartButtonColour(Colour c) override { startColour = c; }
    std::string portText() const override { return port; }
    std::string baudText() const override { return baud; }
    void setSelectorColours(Colour c) override { selectorColour = c; }
    void setFrameEnabled(bool enabled) override { frameEnabled = enabled; }
};

class FakeSerialPort : public SerialPort {
public:
    int number = 0;
    std::string lineSettings = "9600,n,8,1";
    bool open = false;
    bool refuseOpen = false;         // as for a missing or busy device
    std::string waiting;             // received, not yet read
    std::string written;             // everything output
    std::vector<std::string> calls;  // the operations, in order

    bool setCommPort(int n) override {
        calls.push_back("CommPort=" + std::to_string(n));
        if (open || n < 1 || n > 101) return false;
        number = n;
        return true;
    }
    bool setSettings(std::string_view s) override {
        calls.push_back("Settings=" + std::string(s));
        if (baudRateOf(s) == 0) return false;
        lineSettings = s;
        return true;
    }
    std::string settings() const override { return lineSettings; }
    bool setPortOpen(bool o) override {
        calls.push_back(o ? "open" : "close");
        if (o && (open || refuseOpen)) return false;
        open = o;
        return true;
    }
    bool portOpen() const override { return open; }
    void discardInput() override {
        calls.push_back("discard");
        waiting.clear();
    }
    std::string input() override { return std::exchange(waiting, std::string()); }
    void output(std::string_view text) override { written.append(text); }

    // Characters arrive: raised as one receive notification.
    void receive(std::string_view chunk) {
        waiting.append(chunk);
        raiseOnComm(comEvReceive);
    }
    void raise(int event) { raiseOnComm(event); }
};

// A view that keeps only the latest texts, for long runs: the recording
// view's history would grow without end.
class QuietView : public FakeView {
public:
    void setStatusText(std::string_view text) override { status.assign(text.data(), text.size()); }
};

// The link with its view and port, and the clock in the caller's hands.  The
// quiet bench, for benchmarks and fuzzing, keeps no record that grows with
// the run: no status history, no settings writes, no reports, and the port's
// operations are dropped at every connect and stop.
template <bool kQuiet>
struct BasicBench {
    std::conditional_t<kQuiet, QuietView, FakeView> view;
    FakeSerialPort port;
    std::vector<std::pair<std::string, std::string>> saved;  // settings writes
    std::vector<LinkReport> reports;
    Link link{view, port,
              kQuiet ? LinkHooks{}
                     : LinkHooks{[this](const std::string& p, const std::string& b) {
                                     saved.emplace_back(p, b);
                                 },
                                 nullptr, [this](const LinkReport& r) { reports.push_back(r); }}};

    BasicBench() {
        port.setOnComm([this] { link.MSComm1_OnComm(); });
        link.setStartUpValues();
    }
    BasicBench(const BasicBench&) = delete;
    BasicBench& operator=(const BasicBench&) = delete;

    // One second: every enabled timer ticks once, in the window's order; a
    // timer that an earlier tick turned off does not tick.
    void second() {
        if (link.Timer1.enabled()) link.Timer1_Timer();
        if (link.Timer_PF.enabled()) link.Timer_PF_Timer();
        if (link.Timer_Start.enabled()) link.Timer_Start_Timer();
        if (link.Timer.enabled()) link.Timer_Timer();
    }
    void seconds(int n) {
        for (int i = 0; i < n; ++i) second();
    }
    // Press "Cold Start On/Off" and let the connect step run.
    void connect() {
        link.Cmd_Start_1_Click();
        link.Timer1_Timer();
        if (kQuiet) port.calls.clear();
    }
    // "Cold Start On/Off" during a run.
    void stop() {
        if (!view.status.empty()) link.Cmd_Start_1_Click();
        if (kQuiet) port.calls.clear();
    }
    void receive(std::string_view chunk) { port.receive(chunk); }
    int coldStartsSent() const {
        int n = 0;
        for (auto at = port.written.find(kColdStartSentence); at != std::string::npos;
             at = port.written.find(kColdStartSentence, at + 1))
            ++n;
        return n;
    }
    const LinkState& state() const { return link.state(); }
    // The events reported so far, in order.
    std::vector<LinkEvent> events() const {
        std::vector<LinkEvent> list;
        for (const LinkReport& r : reports) list.push_back(r.event);
        return list;
    }
};
using Bench = BasicBench<false>;
using QuietBench = BasicBench<true>;

// A GGA sentence at the given time, as a SiRF receiver without a fix sends it.
inline std::string gga(std::string_view time, std::string_view talker = "GP") {
    return "$" + std::string(talker) + "GGA," + std::string(time) +
           ",0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000*70\r\n";
}

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

}  // namespace gpslink::testing
