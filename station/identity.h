// Who a receiver is: its family, firmware, hardware and unique ID, from what
// it says by itself and from its answers to each family's published queries.
//
// Every query here only asks: none changes a setting, the protocol or the
// rate, so the station may send any family's queries to a receiver whose
// family it does not know yet.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/resetcommand.h"
#include "station/frames.h"
#include "vocabulary/reasons.h"

namespace station {

struct Identity {
    std::string firmware, hardware, uniqueId;  // empty when not known

    bool known() const { return !firmware.empty() || !hardware.empty() || !uniqueId.empty(); }
};

// Who the unit said it is, held to the plan: a unit that must say who it is
// (requireIdentity, or a firmware expected) and did not is identity-unknown;
// firmware that does not match the regular expression expected is
// wrong-firmware.  The reason with the words for it, or nothing: it passes.
struct IdentityFault {
    results::Reason reason;
    QString note;
};
std::optional<IdentityFault> checkIdentity(const Identity& who, bool requireIdentity,
                                           const QString& expectFirmware);

// The queries that ask a receiver of the family who it is, as the bytes
// written, checksums computed (the family's row, families/<name>.cpp).
std::vector<std::string> identityQueries(gpslink::ReceiverFamily family, bool sirfBinary = false);

// SiRF binary message 129: back to NMEA at this rate, GGA, GSA and RMC each
// second and GSV every fifth, checksums on.
std::string sirfToNmea(int baud);

// Reads a receiver's sentences and packets for what they say about it.
class IdentityReader {
public:
    // A sentence's body ("PMTK705,...") or a packet.
    void sentence(std::string_view body);
    void packet(const Packet& packet);

    const Identity& identity() const { return identity_; }
    // The family the receiver showed itself to be, by its own proprietary
    // sentences, text banners, binary packets or answers; empty while unknown.
    std::optional<gpslink::ReceiverFamily> family() const { return family_; }
    // Whether every item the family's answers give has come.
    bool complete(gpslink::ReceiverFamily family) const;

private:
    void show(gpslink::ReceiverFamily family);

    Identity identity_;
    std::optional<gpslink::ReceiverFamily> family_;
};

}  // namespace station
