#include "station/identity.h"

#include <QRegularExpression>
#include <algorithm>

#include "gpslink/resetcommand.h"

namespace station {

namespace {

using F = gpslink::ReceiverFamily;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Printable text up to the first NUL or other control character, trimmed.
std::string text(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (c < 0x20 || c > 0x7E) break;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    while (!out.empty() && out.front() == ' ') out.erase(0, 1);
    return out;
}

std::string hex(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

void keep(std::string& item, std::string value) {
    if (item.empty() && !value.empty()) item = std::move(value);
}

}  // namespace

std::optional<IdentityFault> checkIdentity(const Identity& who, bool requireIdentity,
                                           const QString& expectFirmware) {
    const QString firmware = QString::fromStdString(who.firmware);
    const bool expect = !expectFirmware.isEmpty();
    if ((requireIdentity && !who.known()) || (expect && firmware.isEmpty()))
        return IdentityFault{results::Reason::IdentityUnknown,
                             QStringLiteral("the receiver did not say who it is")};
    if (expect && !QRegularExpression(expectFirmware).match(firmware).hasMatch())
        return IdentityFault{
            results::Reason::WrongFirmware,
            QStringLiteral("firmware %1 does not match %2").arg(firmware, expectFirmware)};
    return std::nullopt;
}

std::vector<std::string> identityQueries(gpslink::ReceiverFamily family, bool sirfBinary) {
    switch (family) {
        case F::Sirf:
            // Binary message 132, poll software version (its sub-ID 0).
            if (sirfBinary) return {sirfFrame(std::string("\x84\x00", 2))};
            return {gpslink::nmeaCommand("PSRF125")};
        case F::Mtk:
            return {gpslink::nmeaCommand("PMTK605")};
        case F::Airoha:
            return {gpslink::nmeaCommand("PAIR020")};
        case F::QuectelLg:
            return {gpslink::nmeaCommand("PQTMVERNO"), gpslink::nmeaCommand("PQTMUNIQID")};
        case F::Casic:
            return {gpslink::nmeaCommand("PCAS06,0"), gpslink::nmeaCommand("PCAS06,1")};
        case F::Ublox:
            // Polls: a message of the class and id with no payload.
            return {gpslink::ubxFrame(0x0A, 0x04, {}), gpslink::ubxFrame(0x27, 0x03, {})};
    }
    return {};
}

std::string sirfToNmea(int baud) {
    // Mode 2 (debug messages unchanged), then rate and checksum flag for GGA,
    // GLL, GSA, GSV, RMC, VTG, MSS, EPE and ZDA, two unused bytes, the rate.
    std::string payload(
        "\x81\x02\x01\x01\x00\x01\x01\x01\x05\x01\x01\x01\x00\x01\x00\x01\x00"
        "\x01\x00\x01\x00\x01",
        22);
    payload += static_cast<char>((baud >> 8) & 0xFF);
    payload += static_cast<char>(baud & 0xFF);
    return sirfFrame(payload);
}

void IdentityReader::show(gpslink::ReceiverFamily family) {
    if (!family_) family_ = family;
}

void IdentityReader::sentence(std::string_view body) {
    // Only proprietary sentences and texts say who a receiver is.
    const gpslink::NmeaFields f(body);
    if (!startsWith(body, "P") && f.formatter() != "TXT") return;
    const std::string_view address = f.address();
    if (startsWith(address, "PMTK")) {
        show(F::Mtk);
        if (address == "PMTK705" && f.size() >= 2) {
            keep(identity_.firmware, text(f[1]));
            if (f.size() >= 4) keep(identity_.hardware, text(f[3]));
        }
    } else if (startsWith(address, "PQTM")) {
        show(F::QuectelLg);
        if (address == "PQTMVERNO" && f.size() >= 2 && f[1] != "ERROR")
            keep(identity_.firmware, text(f[1]));
        if (address == "PQTMUNIQID" && f.size() >= 4 && f[1] == "OK")
            keep(identity_.uniqueId, text(f[3]));
    } else if (startsWith(address, "PAIR")) {
        show(F::Airoha);
        if (address == "PAIR020" && f.size() >= 2) keep(identity_.firmware, text(f[1]));
    } else if (startsWith(address, "PSRF")) {
        show(F::Sirf);
        // The answer to $PSRF125, and the start-up banner "$PSRFTXT,Version ...".
        if (address == "PSRF195" && f.size() >= 2) keep(identity_.firmware, text(f[1]));
        const std::size_t version = body.find("Version");
        if (startsWith(address, "PSRFTXT") && version != std::string_view::npos)
            keep(identity_.firmware, text(body.substr(version + 7)));
    } else if (startsWith(address, "PCAS")) {
        show(F::Casic);
    } else if (startsWith(address, "PUBX")) {
        show(F::Ublox);
    } else if (f.formatter() == "TXT" && f.size() >= 5) {
        // Text: total, number, severity, then the text (which may hold commas).
        const std::string_view message = f.from(4);
        if (message.find("u-blox") != std::string_view::npos || startsWith(message, "ANTSTATUS="))
            show(F::Ublox);
        if (startsWith(message, "ANTENNA ")) show(F::Casic);  // OK, OPEN, SHORT
        if (startsWith(message, "SW=")) {                     // the answers to $PCAS06
            show(F::Casic);
            keep(identity_.firmware, text(message.substr(3)));
        } else if (startsWith(message, "HW=")) {
            show(F::Casic);
            keep(identity_.hardware, text(f[4].substr(3)));
            keep(identity_.uniqueId, text(f.from(5)));
        }
    }
}

void IdentityReader::packet(const Packet& packet) {
    const std::string_view payload = packet.payload();
    switch (packet.kind) {
        case PacketKind::Ubx:
            show(F::Ublox);
            if (packet.messageClass() == 0x0A && packet.messageId() == 0x04 &&
                payload.size() >= 40) {
                // MON-VER: software (30 characters), hardware (10), then
                // extensions of 30 each, some "FWVER=..." and "MOD=...".
                std::string firmware = text(payload.substr(0, 30));
                std::string hardware = text(payload.substr(30, 10));
                for (std::size_t at = 40; at + 30 <= payload.size(); at += 30) {
                    const std::string extension = text(payload.substr(at, 30));
                    if (startsWith(extension, "FWVER=")) firmware = extension.substr(6);
                    if (startsWith(extension, "MOD=")) hardware = extension.substr(4);
                }
                keep(identity_.firmware, firmware);
                keep(identity_.hardware, hardware);
            }
            if (packet.messageClass() == 0x27 && packet.messageId() == 0x03 &&
                payload.size() >= 9)  // SEC-UNIQID: version, three reserved, the ID
                keep(identity_.uniqueId, hex(payload.substr(4)));
            break;
        case PacketKind::Casic:
            show(F::Casic);
            break;
        case PacketKind::Sirf:
            show(F::Sirf);
            // Message 6, the software version: the text, or in later
            // receivers two lengths, then the version and the customer's.
            if (packet.messageClass() == 6 && payload.size() >= 2) {
                const auto first = static_cast<unsigned char>(payload[0]);
                if (first < 0x20 && payload.size() >= 2 + std::size_t(first))
                    keep(identity_.firmware, text(payload.substr(2, first)));
                else
                    keep(identity_.firmware, text(payload));
            }
            break;
        case PacketKind::Rtcm3:
            break;  // corrections, from any maker's receiver
    }
}

bool IdentityReader::complete(gpslink::ReceiverFamily family) const {
    const Identity& i = identity_;
    switch (family) {
        case F::Sirf:
        case F::Airoha:
            return !i.firmware.empty();
        case F::Mtk:
        case F::Casic:
            return !i.firmware.empty() && !i.hardware.empty();
        case F::QuectelLg:
            return !i.firmware.empty() && !i.uniqueId.empty();
        case F::Ublox:
            return !i.firmware.empty() && !i.hardware.empty() && !i.uniqueId.empty();
    }
    return true;
}

}  // namespace station
