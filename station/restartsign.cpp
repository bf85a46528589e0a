#include "station/restartsign.h"

namespace station {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The command's number after its address: "103" of "$PMTK103*30", "006" of "$PAIR006*3C".
std::string_view commandNumber(std::string_view command, std::string_view address) {
    if (!startsWith(command, "$") || !startsWith(command.substr(1), address)) return {};
    command.remove_prefix(1 + address.size());
    return command.substr(0, command.find_first_of(",*"));
}

// "PMTK001,103,3": the acknowledgement of command number with the given flag.
bool acknowledges(std::string_view body, std::string_view address, std::string_view number,
                  std::string_view flag) {
    if (number.empty() || !startsWith(body, address)) return false;
    body.remove_prefix(address.size());
    if (!startsWith(body, number) || body.substr(number.size(), 1) != ",") return false;
    return body.substr(number.size() + 1) == flag;
}

bool containsNoCase(std::string_view text, std::string_view word) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < word.size() && lower(text[at + i]) == word[i]) ++i;
        if (i == word.size()) return true;
    }
    return false;
}

}  // namespace

RestartSign restartSign(std::optional<gpslink::ReceiverFamily> family, std::string_view body,
                        std::string_view command) {
    using gpslink::ReceiverFamily;
    if (!family) return RestartSign::None;
    switch (*family) {
        case ReceiverFamily::Mtk:
            if (body == "PMTK010,001" || body == "PMTK011,MTKGPS") return RestartSign::StartedUp;
            if (acknowledges(body, "PMTK001,", commandNumber(command, "PMTK"), "3"))
                return RestartSign::Acknowledged;
            return RestartSign::None;
        case ReceiverFamily::Airoha:
            if (acknowledges(body, "PAIR001,", commandNumber(command, "PAIR"), "0"))
                return RestartSign::Acknowledged;
            return RestartSign::None;
        case ReceiverFamily::Ublox:
            // $GPTXT,01,01,02,u-blox ag - www.u-blox.com (any talker)
            if (body.size() > 5 && body.substr(2, 4) == "TXT," && containsNoCase(body, "u-blox ag"))
                return RestartSign::Banner;
            return RestartSign::None;
        case ReceiverFamily::Sirf:
            // $PSRFTXTVersion GSW3.2.2..., $PSRFTXT,Version:GSW3...
            if (startsWith(body, "PSRFTXT") && containsNoCase(body, "version"))
                return RestartSign::Banner;
            return RestartSign::None;
        case ReceiverFamily::QuectelLg:
        case ReceiverFamily::Casic:
            return RestartSign::None;
    }
    return RestartSign::None;
}

}  // namespace station
