#include "gpslink/linkdriver.h"

namespace gpslink {

LinkDriver::LinkDriver(SerialPort& port, LinkHooks hooks) : link_(view_, port, std::move(hooks)) {
    link_.setDeviceFixed(true);
    view_.shown = [this] {
        if (onShown) onShown();
    };
}

void LinkDriver::QuietView::setStatusText(std::string_view text) {
    if (text == status) return;
    status.assign(text.data(), text.size());
    if (shown) shown();
}

void LinkDriver::QuietView::setLabelCaption(std::string_view caption) {
    if (caption == label) return;
    label.assign(caption.data(), caption.size());
    if (shown) shown();
}

void LinkDriver::startWatching() {
    link_.setStartUpValues();
    link_.Timer_PF.setEnabled(true);
    link_.Cmd_Start_1_Click();  // the status is empty: the connect step is armed
}

void LinkDriver::connectNow() {
    if (link_.Timer1.enabled()) link_.Timer1_Timer();
}

void LinkDriver::sendStartCommand() {
    if (stage() == Stage::Watching && link_.state().Timer1Ticks > 0) link_.sendStartCommand();
}

void LinkDriver::stop() {
    if (!view_.status.empty()) link_.Cmd_Start_1_Click();
}

void LinkDriver::startNextCycle() {
    stop();
    link_.setStartUpValues();
    link_.Cmd_Start_1_Click();
}

void LinkDriver::pauseSupervision() {
    for (TickTimer* t : {&link_.Timer1, &link_.Timer_PF, &link_.Timer_Start, &link_.Timer})
        t->setEnabled(false);
}

LinkDriver::Stage LinkDriver::stage() const {
    switch (link_.state().Mode) {
        case 1:
            return Stage::Commanded;
        case 2:
            return Stage::Confirmed;
        default:
            return Stage::Watching;
    }
}

int LinkDriver::timesCounted() const {
    return stage() == Stage::Watching ? link_.state().Counters[2] : 5;
}

}  // namespace gpslink
