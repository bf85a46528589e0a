// Test doubles for driving the link as a script: a view that records what was
// shown, a serial port whose input the test feeds, and a bench that delivers
// ticks and chunks the way the window would.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gpslink/link.h"
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

// The link with its view and port, and the clock in the test's hands.
struct Bench {
    FakeView view;
    FakeSerialPort port;
    std::vector<std::pair<std::string, std::string>> saved;  // settings writes
    std::vector<LinkReport> reports;
    Link link{
        view, port,
        LinkHooks{[this](const std::string& p, const std::string& b) { saved.emplace_back(p, b); },
                  nullptr, [this](const LinkReport& r) { reports.push_back(r); }}};

    Bench() {
        port.setOnComm([this] { link.MSComm1_OnComm(); });
        link.setStartUpValues();
    }

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

// A GGA sentence at the given time, as a SiRF receiver without a fix sends it.
inline std::string gga(std::string_view time, std::string_view talker = "GP") {
    return "$" + std::string(talker) + "GGA," + std::string(time) +
           ",0000.0000,N,00000.0000,E,0,00,50.0,0.0,M,0.0,M,0.0,0000*70\r\n";
}

}  // namespace gpslink::testing
