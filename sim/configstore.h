// The simulated receiver's configuration items and the commands that set,
// save and read them, as each family publishes them.  Without a clock and
// without a line: the model hands it the commands and writes its answers.
//
//   ublox   UBX-CFG-VALSET (06 8A) sets items in the RAM, BBR and Flash
//           layers, answered UBX-ACK-ACK (05 01) or, for an unknown key, a
//           refused or invalid value or no layer, UBX-ACK-NAK (05 00) with
//           nothing applied; UBX-CFG-VALGET (06 8B) reads one layer (RAM,
//           BBR, Flash or Default), answered with the items' keys and values,
//           then UBX-ACK-ACK.  The running values are the RAM layer's.
//   mtk     $PMTK220 (fix interval), $PMTK251 (baud rate) and $PMTK314 (NMEA
//           output), each acknowledged $PMTK001,<type>,<flag> (3 done, 2
//           valid but failed, 1 unsupported type, 0 invalid packet); $PMTK400
//           answered $PMTK500,<interval>,0,0,0,0 and $PMTK414 $PMTK514 with
//           the 19 output rates.  Settings live in the backup domain: a start
//           keeps them, $PMTK104 and a power cycle return them to defaults.
//   casic   $PCAS02 (fix interval) and $PCAS03 (NMEA output) set items for
//           this power-up, $PCAS00 saves them to flash.  None is answered:
//           no acknowledgement and no read-back of them is published.
//
// SiRF, Airoha and Quectel LG receivers keep no items here.
//
// What a restart keeps follows the makers' documents.  u-blox (ZED-F9P
// Interface Description UBX-18010854, 6.3 "Configuration layers" and 6.6
// "Reset behaviour"): the running configuration is the RAM layer, built when
// the processor comes out of reset from the Default layer with the Flash
// layer over it and the BBR layer over that; UBX-CFG-RST resetMode 0x00
// (hardware reset), 0x01 (controlled software reset) and 0x04 (hardware
// reset after shutdown) reset the processor, 0x02 (GNSS only) and 0x08/0x09
// (GNSS stop, start) do not, so RAM stays.  BBR lives as long as the main or
// the backup supply.  CASIC (its multimode satellite navigation receiver
// protocol, V4.2, $PCAS00 and $PCAS10): $PCAS00 saves to flash, the
// starts keep the running values, a power-up loads what flash holds; its
// binary CFG-CFG save and CFG-RST reset modes are not played here.  Receivers
// whose every start rebuilds the configuration from what was saved exist too
// (Settings::loseUnsaved).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/resetcommand.h"

namespace gpssim {

// One item as its family publishes it.
struct ConfigItemRow {
    gpslink::ReceiverFamily family;
    std::string_view name;               // CFG-RATE-MEAS, PMTK220, PCAS02
    std::uint32_t key;                   // u-blox: the key ID; others 0
    std::string_view initial;            // NMEA families: the fields as sent; u-blox: empty
    std::uint64_t initialValue;          // u-blox: the Default layer's value
    bool (*valid)(std::uint64_t value);  // u-blox; null: any value
};

// u-blox keys the simulator shows its output by.
inline constexpr std::uint32_t kMsgoutMonHwUart1 = 0x209101b5;
inline constexpr std::uint32_t kMsgoutMonRfUart1 = 0x2091035a;

class ConfigStore {
public:
    struct Settings {
        std::vector<std::string> refused;  // item names (u-blox: also key IDs as 0x...)
        bool loseUnsaved = false;          // a start rebuilds the running values from the saved
        bool ubxMonitors = false;          // MON-HW and MON-RF out on UART1 by default
        bool failingMemory = false;        // saves acknowledged, nothing kept (BBR, Flash, flash)
    };

    ConfigStore(gpslink::ReceiverFamily family, Settings settings);

    // Whether the family keeps configuration items here.
    static bool keepsItems(gpslink::ReceiverFamily family);
    // The family's item of that name (u-blox: or key ID, 0x...), as published.
    static std::optional<std::string_view> itemNamed(gpslink::ReceiverFamily family,
                                                     std::string_view name);
    // The family's items' names, comma-separated.
    static std::string itemNames(gpslink::ReceiverFamily family);

    struct Outcome {
        std::string reply;  // bytes the receiver answers with, often none
        std::string what;   // for the log
    };
    // A whole UBX frame with a right checksum; nothing when it is no
    // configuration message.
    std::optional<Outcome> ubx(std::string_view frame);
    // A sentence's body (without "$" and checksum); nothing when it is no
    // configuration command.
    std::optional<Outcome> nmea(std::string_view body);

    // A start that keeps the processor running (u-blox GNSS only, GNSS stop
    // and start; the NMEA families' start commands): the running values
    // stay, unless the receiver loses what was not saved.
    void restarted();
    // The processor reset: the running values rebuilt from what was saved.
    void processorReset();
    void factoryReset();  // a start that clears the configuration too
    // Switched off and on: the BBR layer kept only with a backup supply, the
    // running values rebuilt from what was saved.
    void powerCycled(bool backupSupply = false);

    // u-blox: the running (RAM layer) value of a key, 0 when unknown.
    std::uint64_t running(std::uint32_t key) const;
    // NMEA families: the running fields of an item as its read-back gives them.
    std::string runningText(std::string_view name) const;

private:
    struct Item {
        const ConfigItemRow* row;
        std::string initial;  // u-blox: the value's bytes (the Default layer); else the fields
        std::string running;
        std::optional<std::string> bbr, flash;
        bool refused = false;
    };
    Item* find(std::uint32_t key);
    Item* find(std::string_view name);
    Outcome ubxSet(std::string_view payload);
    Outcome ubxGet(std::string_view payload);
    std::optional<Outcome> mtk(std::string_view body);
    std::optional<Outcome> casic(std::string_view body);

    gpslink::ReceiverFamily family_;
    Settings settings_;
    std::vector<Item> items_;
};

}  // namespace gpssim
