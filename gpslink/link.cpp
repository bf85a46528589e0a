#include "gpslink/link.h"

#include <string>

namespace gpslink {

namespace {

// A decimal number from the front of text: digits only, anything else ends
// it, no digits give 0.
int leadingNumber(std::string_view text) {
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The port number from a port selector text such as "COM 12": at most three
// characters from the fifth on, leading blanks skipped.
int portNumberOf(std::string_view portText) {
    std::string_view digits = mid(portText, 5, 3);
    while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
    return leadingNumber(digits);
}

}  // namespace

Link::Link(View& view, SerialPort& port, LinkHooks hooks)
    : view_(view), port_(port), hooks_(std::move(hooks)) {}

void Link::setStartUpValues() {
    state_.RxBuffer.clear();
    state_.Sentence.clear();
    scanner_.reset();
    for (int i = 0; i <= 7; ++i) {
        state_.SentenceSeen[i] = false;
        state_.Counters[i] = 0;
    }
    view_.setStatusText("");
    view_.setLabelCaption("Not connected!");
    state_.Counters[8] = 0;
    state_.Counters[9] = 0;
    state_.Timer1Ticks = 0;
    state_.StartTicks = 0;
}

// ---------------------------------------------------------------------------
// Connect, stop and exit

void Link::Cmd_Start_1_Click() {
    if (view_.statusText().empty()) {
        Timer1.setEnabled(true);
        return;
    }
    if (port_.portOpen()) {
        port_.discardInput();
        state_.Sentence.clear();
        port_.setPortOpen(false);
    }
    Timer_Start.setEnabled(false);
    Timer.setEnabled(false);
    Timer_PF.setEnabled(false);
    ResetState();
    view_.setStartButtonColour(colour::ButtonFace);
    view_.setStatusColour(colour::ButtonFace);
    view_.setStatusText("");
    view_.setLabelCaption("");
    view_.setFrameEnabled(true);
    view_.setSelectorColours(colour::WindowBackground);
}

void Link::Timer1_Timer() {
    if (state_.Timer1Ticks == 0) {
        ApplyPortSettings();
        view_.setStartButtonColour(colour::Grey);
        view_.setSelectorColours(colour::ButtonFace);
        view_.setFrameEnabled(false);
        view_.setLabelCaption("Connecting.....");
        Timer.setEnabled(true);
        Timer_PF.setEnabled(true);
        Timer1.setEnabled(false);
    }
    countUp(state_.Timer1Ticks);
}

// Ends quietly at the first step the port refuses; saves the selection only
// when every step got through.
void Link::ApplyPortSettings() {
    if (!deviceFixed_ && !port_.setCommPort(portNumberOf(view_.portText())))
        return report(LinkEvent::PortRefused);

    const std::string baud = view_.baudText();
    for (std::string_view settings : kLineSettings) {
        if (settings.substr(0, settings.find(',')) == baud) {
            if (!port_.setSettings(settings)) return report(LinkEvent::PortRefused);
            break;
        }
    }

    if (!port_.setPortOpen(true) || !port_.setPortOpen(false) || !port_.setPortOpen(true))
        return report(LinkEvent::PortRefused);
    port_.discardInput();
    report(LinkEvent::PortOpened);

    if (hooks_.WriteSettingsFile) hooks_.WriteSettingsFile(view_.portText(), view_.baudText());
}

void Link::ResetState() {
    Timer_Start.setEnabled(false);
    for (int i = 0; i <= 7; ++i) state_.SentenceSeen[i] = false;
    state_.StartTicks = 0;
    state_.Timer1Ticks = 0;
    state_.Counters[0] = 0;
    state_.Counters[1] = 0;
    state_.Counters[2] = 0;
    state_.Mode = 0;
    state_.ColdStartSeconds = 0;
    state_.Counters[7] = 0;
    state_.Counters[8] = 0;
    state_.Counters[9] = 0;
    view_.setStatusText("");
    view_.setStatusColour(colour::ButtonFace);
    view_.setStartButtonColour(colour::ButtonFace);
    view_.setSelectorColours(colour::WindowBackground);
}

void Link::Com_Exit_Click() {
    if (hooks_.unload) hooks_.unload();
}

// ---------------------------------------------------------------------------
// Receive handling

void Link::MSComm1_OnComm() {
    if (port_.commEvent() != comEvReceive) return;

    if (!Timer_Start.enabled()) Timer_Start.setEnabled(true);
    Int16& events = state_.Counters[3];
    events = events > 999 ? 0 : static_cast<Int16>(events + 1);
    const std::string received = port_.input();
    if (!received.empty()) state_.AnyReceived = true;
    state_.RxBuffer += received;
    state_.Counters[9] = 0;

    // The sentences after the one that sent the cold start came in before
    // it went out, so none of them can answer it: they are passed over.
    coldStartSent_ = false;
    scanner_.scan(state_.RxBuffer, [this](std::string_view sentence) {
        examine(sentence);
        return !coldStartSent_;
    });

    baudRateTest();
}

void Link::examine(std::string_view text) {
    state_.Sentence.assign(text.data(), text.size());
    const std::string_view sentence = state_.Sentence;
    // Positions 4-6 hold the formatter after any two-letter talker; of the
    // sentences only GGA (fix data) matters here.
    if (mid(sentence, 4, 3) == "GGA") examineGga(sentence);
    state_.Sentence.clear();
}

// $--GGA,hhmmss.sss,...: the UTC time starts right after the comma at 7.
void Link::examineGga(std::string_view sentence) {
    if (mid(sentence, 8, 1) == ",") return;  // empty time field
    state_.SentenceSeen[0] = true;

    const std::string_view hh = mid(sentence, 8, 2);
    const std::string_view mm = mid(sentence, 10, 2);
    const std::string_view ss = mid(sentence, 12, 2);
    const int hours = leadingNumber(hh);
    const int minutes = leadingNumber(mm);
    const int seconds = leadingNumber(ss);

    // A receiver that has just started counts its clock up from zero before
    // it knows the time: not a time to count.
    if (hours == 0 && minutes == 0 && seconds < 10 && state_.Mode == 0) {
        view_.setStatusText("Please waiting......");
        report(LinkEvent::ClockStarting);
        return;
    }

    if (state_.Mode == 0) {
        std::string text = "UTC Time :";
        text.append(hh).append(":").append(mm).append(":").append(ss).append("\r\n");
        view_.setStatusText(text);
    } else {
        const bool first = state_.Mode == 1;
        if (first) {  // the first time after the cold start: confirmed
            state_.Mode = 2;
            state_.Counters[2] = 10;
        }
        view_.setStatusColour(colour::Green);
        view_.setStatusText(
            "Cold Start OK!\r\nPlease stop the program then shut down the GPS now!");
        if (first) report(LinkEvent::Confirmed);
    }
    view_.setLabelCaption("Connected!");

    countUp(state_.Counters[2]);
    if (state_.Mode == 0) report(LinkEvent::TimeCounted, state_.Counters[2]);
    if (state_.Counters[2] == 5 && !listenOnly_) sendStartCommand();
}

void Link::sendStartCommand() {
    port_.output(startCommand_);
    view_.setStatusColour(colour::ButtonFace);
    state_.Counters[1] = 0;
    state_.Mode = 1;
    state_.ColdStartSeconds = 0;
    coldStartSent_ = true;
    report(LinkEvent::CommandSent);
}

// Characters keep coming but none of them made a GGA sentence with a time
// in the fourth to sixth second: the line runs at another rate.
void Link::baudRateTest() {
    if (state_.StartTicks > 3 && state_.StartTicks < 7 && !state_.SentenceSeen[0]) {
        Timer_Start.setEnabled(false);
        Timer_PF.setEnabled(true);
        view_.setStatusColour(colour::Red);
        view_.setStatusText("Baud Rate not match!");
        report(LinkEvent::BaudMismatch);
    }
}

// ---------------------------------------------------------------------------
// Supervision

void Link::Timer_Start_Timer() {
    if (state_.StartTicks < 9) ++state_.StartTicks;
    if (state_.Mode == 1) {
        countUp(state_.ColdStartSeconds);
        // The blank is where a negative number would carry its sign.
        view_.setStatusText("Cold Starting...... " + std::to_string(state_.ColdStartSeconds) +
                            "(Sec)");
        report(LinkEvent::CommandSeconds, state_.ColdStartSeconds);
    }
    if (state_.ColdStartSeconds > 30) {
        view_.setStatusText("Cold Start fail!");
        report(LinkEvent::ConfirmationLate);
    }
}

void Link::Timer_PF_Timer() {
    Int16* const c = state_.Counters.data();
    if (state_.Mode == 1) {  // awaiting confirmation
        countUp(c[1]);
        if (c[1] == 30) {
            view_.setStatusColour(colour::Red);
            view_.setStatusText("Cold Start fail!(1)\r\nGPS no respond.");
            view_.setLabelCaption("Not connected!");
            Timer.setEnabled(false);
            Timer_Start.setEnabled(false);
            report(LinkEvent::NoConfirmation);
        }
        return;
    }

    // Stall check: has any receive event come since the last tick?
    if (c[3] != c[7]) {
        c[7] = c[3];
        c[8] = 0;
        return;
    }
    countUp(c[8]);
    if (c[8] > 5) {
        const bool confirmed = state_.Mode == 2;
        if (confirmed) {
            view_.setStatusText("GPS be shuted down.");
        } else {
            ResetState();
        }
        Timer.setEnabled(false);
        Timer_PF.setEnabled(false);
        Timer_Start.setEnabled(false);
        report(confirmed ? LinkEvent::ReceiverOff : LinkEvent::Stalled);
    }
}

void Link::Timer_Timer() {
    Int16& silentTicks = state_.Counters[9];
    if (!state_.AnyReceived) {
        countUp(silentTicks);
        view_.setStatusText(std::to_string(silentTicks));
    }
    if (silentTicks == 3) {
        view_.setStatusText(view_.portText() + "  error!\r\nPlease select another Com Port.");
        view_.setLabelCaption("Can't connect!");
        Timer.setEnabled(false);
        Timer_PF.setEnabled(false);
        Timer_Start.setEnabled(false);
        report(LinkEvent::NoData);
    }
}

}  // namespace gpslink
