// The reset commands against their published forms, byte for byte, and the
// family and start-type names.
#include <gtest/gtest.h>
#include <string>

#include "gpslink/link.h"
#include "gpslink/resetcommand.h"

namespace gpslink {
namespace {

// "B5 62 06" as bytes.
std::string hexBytes(const std::string& text) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < text.size(); at += 3)
        bytes += static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
    return bytes;
}

TEST(ResetCommand, MatchesThePublishedForms) {
    using F = ReceiverFamily;
    using S = StartType;
    const struct {
        F family;
        const char* cold;
        const char* warm;
        const char* hot;
        const char* factory;  // "" when the family has none
    } table[] = {
        {F::Sirf, "$PSRF101,0,0,0,0,0,0,12,4*10", "$PSRF101,0,0,0,0,0,0,12,2*16",
         "$PSRF101,0,0,0,0,0,0,12,1*15", ""},
        {F::Mtk, "$PMTK103*30", "$PMTK102*31", "$PMTK101*32", "$PMTK104*37"},
        {F::Airoha, "$PAIR006*3C", "$PAIR005*3F", "$PAIR004*3E", "$PAIR007*3D"},
        {F::QuectelLg, "$PQTMCOLD*1C", "$PQTMWARM*11", "$PQTMHOT*4B", ""},
        {F::Casic, "$PCAS10,2*1E", "$PCAS10,1*1D", "$PCAS10,0*1C", ""},
        {F::Ublox, "B5 62 06 04 04 00 FF FF 02 00 0E 61", "B5 62 06 04 04 00 01 00 02 00 11 6C",
         "B5 62 06 04 04 00 00 00 02 00 10 68", ""},
    };
    for (const auto& row : table) {
        const std::pair<S, std::string> expected[] = {
            {S::Cold, row.cold}, {S::Warm, row.warm}, {S::Hot, row.hot}, {S::Factory, row.factory}};
        for (const auto& [type, published] : expected) {
            SCOPED_TRACE(std::string(nameOf(row.family)) + " " + std::string(nameOf(type)));
            const std::string bytes = published.empty()        ? ""
                                      : row.family == F::Ublox ? hexBytes(published)
                                                               : published + "\r\n";
            EXPECT_EQ(resetCommand(row.family, type), bytes);
        }
    }
    EXPECT_EQ(resetCommand(F::Sirf, S::Cold), kColdStartSentence) << "what the window sends";
}

// The names as the command line takes them; that each is read back to its
// family or start type is proven by the station run of every family.
TEST(ResetCommand, NamesAreExactAndCaseSensitive) {
    std::string names;
    for (ReceiverFamily f : kReceiverFamilies) names += std::string(nameOf(f)) + " ";
    for (StartType t : kStartTypes) names += std::string(nameOf(t)) + " ";
    EXPECT_EQ(names, "sirf mtk airoha quectel-lg casic ublox cold warm hot factory ");
    for (const char* unknown : {"", "SiRF", "quectel_lg", "ublox ", "u-blox", "Cold", " hot"})
        EXPECT_FALSE(receiverFamilyFromName(unknown) || startTypeFromName(unknown)) << unknown;
}

}  // namespace
}  // namespace gpslink
