// A production lot's results as the station stores them, made up: units on a
// fixture's slots over some days, with cold-start TTFFs, C/N0, HDOP and
// satellites drawn from plausible distributions, one slot with a weak
// antenna, the failures a line sees, and a retest of every unit that did not
// pass, marked as one.  For trying and testing the report without a line; the same seed gives
// the same results.
#pragma once

#include <QDate>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <cstdint>

namespace gpssim {

struct LotOptions {
    QStringList lots{QStringLiteral("WO-1001")};
    int unitsPerLot = 300;
    QString station = QStringLiteral("line-1");
    int slotCount = 8;  // ports /dev/ttyUSB0 .. slotCount - 1
    int weakSlot = 5;   // its C/N0 is 4.5 dB-Hz low; -1 for none
    QDate firstDay{2026, 12, 7};
    int days = 3;  // the lots' tests are spread over these days
    std::uint64_t seed = 1;
};

// Every test of every unit, oldest first, each with an id made from its lot,
// serial and test number (so storing a lot twice stores it once).
QList<QJsonObject> simulatedLot(const LotOptions& options);

}  // namespace gpssim
