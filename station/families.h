// The receiver families the station knows, one row each: its start
// commands, how the family is asked who it is and how its answers read,
// which of its sentences and packets show it, what it says when it restarts,
// how it reports its antenna and front end, and whether its settings can be
// read back.  Each row is written in its own file (families/<name>.cpp, the
// row made by station::rows::<name>()) from the family's published protocol,
// and the build gathers every file there into the table: a new family is its
// file and its tests.  Start commands, names, identity, restart signs, the
// front end, the probe's asking order and the config test's refusal read the
// table.  Still written per family elsewhere: the config test's two
// write-and-read-back protocols (configtest.cpp), the switch from SiRF binary
// (probe.cpp) and the poll of UBX-MON-HW during the signal test.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/nmea.h"
#include "gpslink/resetcommand.h"
#include "station/frames.h"
#include "station/frontend.h"
#include "station/identity.h"
#include "station/restartsign.h"

namespace station {

struct FamilyRow {
    gpslink::ReceiverFamily family{};  // by its name, the one the settings take
    // Where it comes in the order a receiver of unknown family is asked (the
    // lower first): the families whose queries other receivers may also
    // answer come first (a Quectel LG receiver on an Airoha chip answers
    // $PAIR too).  No two rows share a rank.
    int rank = 0;
    // Where it comes in the lists of families the help, the messages and the
    // station window show: sirf, the default, first, a new family last.
    int listed = 0;

    // The bytes that make the receiver start so (an NMEA sentence with its
    // checksum and CR LF, or a binary frame); empty where it has no such
    // start.
    std::string (*start)(gpslink::StartType type) = nullptr;

    // The queries that ask who the receiver is, as the bytes written
    // (binary: in the family's binary protocol, where it has one).  None
    // changes a setting, so any family's may go to a receiver not known yet.
    std::vector<std::string> (*identityQueries)(bool binary) = nullptr;
    // The items its answers give, all awaited before the identity is whole.
    bool answersFirmware = false, answersHardware = false, answersUniqueId = false;
    // Whether a sentence is the family's own (its proprietary address, a
    // text only it sends); what it says of the receiver goes into said.
    bool (*sentence)(const gpslink::NmeaFields& f, Identity& said) = nullptr;
    // Its binary framing, if any, and what its packets say of the receiver.
    std::optional<PacketKind> packets;
    void (*packet)(const Packet& packet, Identity& said) = nullptr;

    // Its own sign of a restart in one sentence's body, after command (the
    // start command as sent) went out; none for a family whose start-up says
    // nothing of its own.  These two see every sentence: they look at the
    // address before reading fields.
    RestartSign (*restartSign)(std::string_view body, std::string_view command) = nullptr;

    // The antenna's state from a sentence's body (none: it publishes none),
    // and the front end from a packet (none: it publishes no figures).
    std::optional<AntennaState> (*antenna)(std::string_view body) = nullptr;
    std::optional<FrontEnd> (*frontEnd)(const Packet& packet) = nullptr;

    // Whether its settings can be read back, so that the config test can
    // prove them (a query of them is published).
    bool readsBackSettings = false;
};

// Every family's row, in the order a receiver of unknown family is asked
// (by rank).
const std::vector<FamilyRow>& familyTable();
// The families in the order they are listed to the user.
std::vector<gpslink::ReceiverFamily> listedFamilies();
// A family's row; the family is one of the table's.
const FamilyRow& familyRow(gpslink::ReceiverFamily family);
// The family of that name, if the table has it (named by its row's text,
// which outlives name).
std::optional<gpslink::ReceiverFamily> familyNamed(std::string_view name);
// The bytes that make a receiver of the family start so; empty when the
// family has no such start.
std::string startCommand(gpslink::ReceiverFamily family, gpslink::StartType type);

// What the rows read with.
namespace families {
bool startsWith(std::string_view text, std::string_view prefix);
bool containsNoCase(std::string_view text, std::string_view lowerCaseWord);
// Printable text up to the first NUL or other control character, trimmed.
std::string text(std::string_view bytes);
// Lower-case hex digits of the bytes.
std::string hex(std::string_view bytes);
// The text of a TXT sentence's body (after total, number and severity; it
// may hold commas); nothing for another sentence.
std::optional<std::string_view> txtMessage(std::string_view body);
// Whether f acknowledges the start command as sent ("$PMTK103*30") with the
// flag: "PMTK001,103,3" for address "PMTK001", prefix "PMTK", flag "3".
bool acknowledges(const gpslink::NmeaFields& f, std::string_view address, std::string_view command,
                  std::string_view prefix, std::string_view flag);
}  // namespace families

}  // namespace station
