// The configuration a unit leaves the line with, and the test that writes
// it, saves it, restarts the unit and reads every item back.  No clock and no
// port: the run hands it what the receiver sends and writes what it asks for.
//
// A configuration is a JSON file: its name and, per family, items in the
// family's published form:
//
//   {"name": "L3-out-v1",
//    "ublox": [{"key": "0x30210001", "value": 200}],
//    "mtk": ["PMTK220,200", "PMTK314,0,1,0,1,1,5,0,0,0,0,0,0,0,0,0,0,0,0,0"]}
//
//   ublox  key and value items: each written with UBX-CFG-VALSET (06 8A) to
//          the RAM, BBR and Flash layers at once (the Flash layer is the
//          save), acknowledged UBX-ACK-ACK (05 01) or refused UBX-ACK-NAK
//          (05 00).  The unit is then restarted with a controlled software
//          reset (UBX-CFG-RST resetMode 01, a hot start), which rebuilds the
//          running configuration from BBR and Flash: the restart the station
//          uses for starts (resetMode 02, the GNSS part alone) keeps the RAM
//          layer, so what was written would read back whether it was saved or
//          not.  Every item is read back with UBX-CFG-VALGET (06 8B) from the
//          RAM layer, the values the unit now runs with, then from the Flash
//          layer, what a unit without a backup battery keeps once switched
//          off.  A value's size comes from bits 28 to 30 of its key.
//   mtk    $PMTK220 (fix interval) and $PMTK314 (the 19 output rates), each
//          acknowledged $PMTK001,<type>,3 (anything else is a refusal); read
//          back with $PMTK400 ($PMTK500) and $PMTK414 ($PMTK514).  No save
//          command is published: the settings live in the backup domain.
//          $PMTK251 (the line rate) has no published query, so it cannot be
//          read back.
//
// Other families publish no read-back of their settings (CASIC's $PCAS
// commands are not even acknowledged): a plan that would configure one is
// refused before anything is opened.
//
// Each item is sent once its predecessor is acknowledged; a refusal, or no
// acknowledgement within kAnswerMs, is config-rejected naming the item.
// Then the unit is restarted (u-blox as above, MediaTek with its hot start)
// and, once it talks again, every item is read back in turn and compared: the
// first that differs (or is not answered, or is missing from the layer asked)
// is config-mismatch.  What the unit runs with, one line per item
// ("0x30210001=200", "PMTK500,200,0,0,0,0"), is hashed for the result.
#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gpslink/resetcommand.h"
#include "station/frames.h"
#include "station/result.h"

namespace station {

struct ConfigItem {
    std::uint32_t key = 0;    // ublox
    std::uint64_t value = 0;  // ublox
    std::string body;         // NMEA families: the command without "$" and checksum

    // "0x30210001", "PMTK220".
    std::string name() const;
};

struct Configuration {
    QString name;
    std::map<gpslink::ReceiverFamily, std::vector<ConfigItem>> items;
};

// Reads a configuration file; nothing, with error naming the file and the
// mistake.
std::optional<Configuration> readConfiguration(const QString& path, QString* error);
// Why a unit of the family cannot take the configuration; empty when it can.
QString configRefusal(const Configuration& configuration, gpslink::ReceiverFamily family);

// The bytes of each form, as published.
std::string valsetFrame(const ConfigItem& item);  // to RAM, BBR and Flash
// The u-blox configuration layers a read-back asks (UBX-CFG-VALGET's layer).
enum class UbxLayer : std::uint8_t { Ram = 0, Flash = 2 };

std::string valgetFrame(const ConfigItem& item, UbxLayer layer);
// UBX-CFG-RST, a hot start by a controlled software reset: the processor
// restarts and builds its running configuration from what was saved.
std::string ubloxSoftwareReset();
std::string mtkQuery(const ConfigItem& item);  // $PMTK400 or $PMTK414

class ConfigTest {
public:
    static constexpr qint64 kAnswerMs = 3000;    // for each acknowledgement and answer
    static constexpr qint64 kSettleMs = 1000;    // after the restart command, before listening
    static constexpr qint64 kRestartMs = 15000;  // for the unit to talk again after it

    ConfigTest(gpslink::ReceiverFamily family, std::vector<ConfigItem> items);

    void start(qint64 nowMs);
    void packet(const Packet& packet, qint64 nowMs);
    void sentence(std::string_view body, qint64 nowMs);
    // A deadline fell due.
    void tick(qint64 nowMs);
    std::optional<qint64> nextDeadlineMs() const;
    // What to write to the unit now.
    std::string takeOutput();

    bool started() const { return step_ != Step::Idle; }
    bool done() const { return step_ == Step::Done; }
    // Ok, ConfigRejected, ConfigMismatch or ReceiverOff once done.
    std::optional<Reason> verdict() const { return verdict_; }
    // What decided a failure: "0x30210001 refused (UBX-ACK-NAK)".
    const QString& note() const { return note_; }
    // Of what was read back, once every item was.
    const QString& sha256() const { return sha256_; }

private:
    enum class Step { Idle, Setting, Restarting, Reading, Done };
    void send(qint64 nowMs);
    void next(qint64 nowMs);
    void readValue(std::string readBack, bool same, const std::string& shown, qint64 nowMs);
    void end(Reason reason, const QString& note);
    QString fromLayer() const;  // " from Flash" while reading what was saved

    gpslink::ReceiverFamily family_;
    std::vector<ConfigItem> items_;
    Step step_ = Step::Idle;
    std::size_t at_ = 0;
    UbxLayer layer_ = UbxLayer::Ram;  // ublox: read back from
    qint64 deadlineMs_ = 0;
    qint64 listenFromMs_ = 0;
    std::string output_;
    std::vector<std::string> readBack_;
    std::optional<Reason> verdict_;
    QString note_, sha256_;
};

}  // namespace station
