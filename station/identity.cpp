#include "station/identity.h"

#include <QRegularExpression>
#include <algorithm>

#include "gpslink/nmea.h"
#include "station/families.h"

namespace station {

namespace {

void keep(Identity& identity, const Identity& said) {
    const auto item = [](std::string& known, const std::string& value) {
        if (known.empty() && !value.empty()) known = value;
    };
    item(identity.firmware, said.firmware);
    item(identity.hardware, said.hardware);
    item(identity.uniqueId, said.uniqueId);
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
    return familyRow(family).identityQueries(sirfBinary);
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
    if (body.substr(0, 1) != "P" && (body.size() < 5 || body.substr(2, 3) != "TXT")) return;
    const gpslink::NmeaFields f(body);
    for (const FamilyRow& row : familyTable()) {
        Identity said;
        if (!row.sentence(f, said)) continue;
        show(row.family);
        keep(identity_, said);
    }
}

void IdentityReader::packet(const Packet& packet) {
    for (const FamilyRow& row : familyTable()) {
        if (row.packets != packet.kind) continue;
        show(row.family);
        Identity said;
        if (row.packet) row.packet(packet, said);
        keep(identity_, said);
    }
}

bool IdentityReader::complete(gpslink::ReceiverFamily family) const {
    const FamilyRow& row = familyRow(family);
    const Identity& i = identity_;
    return (!row.answersFirmware || !i.firmware.empty()) &&
           (!row.answersHardware || !i.hardware.empty()) &&
           (!row.answersUniqueId || !i.uniqueId.empty());
}

}  // namespace station
