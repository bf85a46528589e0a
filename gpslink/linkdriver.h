// The link as a program other than the window drives it.
//
// The window drives its link through its form: a start button that arms a
// run when the status box is empty and stops it otherwise, four named timers,
// a port and a baud selector whose texts the link reads.  The station wants
// only what the link decides (when the receiver's time is usable, when the
// start command goes out, what the line came to) and calls it by what it
// means: start watching, start the next cycle, pause the supervision.  It
// gives the link a rate, not the texts of selectors, and reads the link's
// state by name.  The link decides exactly as it does for the window; only
// the calls around it are named here.
#pragma once

#include <functional>
#include <string>

#include "gpslink/link.h"
#include "gpslink/serialport.h"
#include "gpslink/view.h"

namespace gpslink {

class LinkDriver {
public:
    // The port's device is the port's own (a QtSerialPort with its device
    // set by path): the link gives it no port number.
    explicit LinkDriver(SerialPort& port, LinkHooks hooks = {});
    LinkDriver(const LinkDriver&) = delete;
    LinkDriver& operator=(const LinkDriver&) = delete;

    // For the clock that delivers the link's ticks and notifications.
    Link& link() { return link_; }

    // Called when the link's status text or label changes.
    std::function<void()> onShown;

    // The line's rate for the next start; 0 leaves the port's settings as
    // they are.
    void setRate(int baud) { view_.baud = baud > 0 ? std::to_string(baud) : std::string(); }
    void setStartCommand(std::string command) { link_.setStartCommand(std::move(command)); }
    const std::string& startCommand() const { return link_.startCommand(); }
    // Counts GGA times but sends nothing (see Link::setListenOnly).
    void setListenOnly(bool listenOnly) { link_.setListenOnly(listenOnly); }

    // The state and the texts as a fresh link has them.
    void reset() { link_.setStartUpValues(); }
    // A fresh link, its stall check running, opens the port within a second
    // and counts GGA times towards the command.
    void startWatching();
    // The connect step at once, not at the connect timer's tick.
    void connectNow();
    // The start command now, as the fifth GGA time sends it (see
    // Link::sendStartCommand); nothing unless the link is watching.
    void sendStartCommand();
    // Closes the port and returns the state to idle.
    void stop();
    // Stops, and starts again as a fresh link does: an unfinished sentence of
    // the last cycle would swallow the next cycle's first GGA.
    void startNextCycle();
    // Rests every timer of the link: what it reported last stands, and it
    // reports nothing more on its own until it is started again.
    void pauseSupervision();

    // Where the link stands.
    enum class Stage {
        Watching,   // counting GGA times; no command out
        Commanded,  // the command is out; no GGA time since
        Confirmed,  // a GGA time came after the command
    };
    Stage stage() const;
    // Usable GGA times counted before the command (the command goes with the fifth).
    int timesCounted() const;
    const std::string& statusText() const { return view_.status; }
    const std::string& label() const { return view_.label; }

private:
    // The texts the link shows, kept; colours and selectors have no meaning here.
    struct QuietView : View {
        std::string status, label, baud;
        std::function<void()> shown;

        std::string statusText() const override { return status; }
        void setStatusText(std::string_view text) override;
        void setStatusColour(Colour) override {}
        void setLabelCaption(std::string_view caption) override;
        void setStartButtonColour(Colour) override {}
        std::string portText() const override { return {}; }
        std::string baudText() const override { return baud; }
        void setSelectorColours(Colour) override {}
        void setFrameEnabled(bool) override {}
    };

    QuietView view_;
    Link link_;
};

}  // namespace gpslink
