// The cold-start run against the receiver.
//
// Link holds the link state and every handler that acts on it, named after
// the control event that runs it.  Each handler runs to completion on the UI
// thread; they cooperate only through the state, the view and the enabled
// flags of the four timers.  Nothing here reads a clock: the owner delivers
// timer ticks and serial notifications, which keeps a whole run scriptable.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "gpslink/linkstate.h"
#include "gpslink/nmeascanner.h"
#include "gpslink/serialport.h"
#include "gpslink/ticktimer.h"
#include "gpslink/view.h"

namespace gpslink {

// SiRF NMEA input message 101, navigation initialisation: zero position,
// clock, time of week and week, 12 channels, reset configuration 4 (cold).
inline constexpr std::string_view kColdStartSentence = "$PSRF101,0,0,0,0,0,0,12,4*10\r\n";

// What the link reports, as the status box tells it to a person.
enum class LinkEvent {
    PortRefused,       // a step of the connect was refused; the port is as it was
    PortOpened,        // every step of the connect got through
    ClockStarting,     // "Please waiting......": a GGA time in the receiver's first ten seconds
    TimeCounted,       // "UTC Time :...": a usable GGA time before the command (count: how many)
    CommandSent,       // the start command went out with the fifth
    CommandSeconds,    // "Cold Starting...... n(Sec)" (count: n)
    Confirmed,         // "Cold Start OK!": the first GGA time after the command
    NoData,            // "Can't connect!": nothing at all arrived within three seconds
    BaudMismatch,      // "Baud Rate not match!": characters, but no GGA time
    NoConfirmation,    // "Cold Start fail!(1)": no GGA time within 30 seconds of the command
    ConfirmationLate,  // "Cold Start fail!": the confirmation took over 30 seconds
    ReceiverOff,       // "GPS be shuted down.": silent after the confirmation
    Stalled,           // silent for six seconds before any confirmation: back to idle
};

struct LinkReport {
    LinkEvent event;
    int count = 0;  // TimeCounted: GGA times counted; CommandSeconds: seconds
};

// What the link asks of the program around it.
struct LinkHooks {
    // Saves the port and baud texts of a connection that got through.
    std::function<void(const std::string& port, const std::string& baud)> WriteSettingsFile;
    // Closes the main window and ends the program.
    std::function<void()> unload;
    // Each phase and outcome as it happens, beside the texts the view shows.
    std::function<void(const LinkReport&)> report;
};

class Link {
public:
    Link(View& view, SerialPort& port, LinkHooks hooks = {});
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // The four timers; Timer_PF runs from creation.
    TickTimer Timer1;          // the connect step
    TickTimer Timer_PF{true};  // confirmation time-out, stall check
    TickTimer Timer_Start;     // cold-start seconds, ticks for the baud-rate test
    TickTimer Timer;           // no-data check

    LinkState& state() { return state_; }
    const LinkState& state() const { return state_; }

    // Start-up values of the state and the idle, not-connected display.
    void setStartUpValues();

    // "Cold Start On/Off": arms a run when the status box is empty, stops
    // the run otherwise.
    void Cmd_Start_1_Click();
    // "Exit".
    void Com_Exit_Click();

    // Timer ticks.
    void Timer1_Timer();
    void Timer_Start_Timer();
    void Timer_PF_Timer();
    void Timer_Timer();

    // The serial notification.
    void MSComm1_OnComm();

    // Returns the state, the status box and the colours to idle.
    void ResetState();

    // What goes out with the fifth accepted GGA sentence; the SiRF cold
    // start unless another is set.
    void setStartCommand(std::string command) { startCommand_ = std::move(command); }
    const std::string& startCommand() const { return startCommand_; }
    // Listening only: the fifth GGA time sends nothing and every later one is
    // counted as the ones before it, for as long as the port is open.  Off
    // unless set; the window never sets it.
    void setListenOnly(bool listenOnly) { listenOnly_ = listenOnly; }
    bool listenOnly() const { return listenOnly_; }
    // Sends the start command now and awaits its confirmation, as the fifth
    // GGA time does; the window never calls it.  Not from within a receive
    // event: the sentences still to be examined in it came before.
    void sendStartCommand();
    // The port's device is its own, set by path: the connect step does not
    // give it the port selector's number.  Off unless set; the window never
    // sets it.
    void setDeviceFixed(bool fixed) { deviceFixed_ = fixed; }

private:
    void ApplyPortSettings();
    void examine(std::string_view sentence);
    void examineGga(std::string_view sentence);
    void baudRateTest();
    void report(LinkEvent event, int count = 0) {
        if (hooks_.report) hooks_.report({event, count});
    }

    View& view_;
    SerialPort& port_;
    LinkHooks hooks_;
    LinkState state_;
    NmeaScanner scanner_;
    bool coldStartSent_ = false;  // during one receive event
    std::string startCommand_{kColdStartSentence};
    bool listenOnly_ = false;
    bool deviceFixed_ = false;
};

}  // namespace gpslink
