#include "sim/configstore.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "gpslink/nmea.h"
#include "gpslink/resetcommand.h"

namespace gpssim {
namespace {

using F = gpslink::ReceiverFamily;

bool rateValid(std::uint64_t ms) {
    return ms >= 25;  // CFG-RATE-MEAS: 25 ms at the shortest
}
bool baudValid(std::uint64_t rate) {
    return rate > 0;
}
bool dynModelValid(std::uint64_t model) {
    return model == 0 || (model >= 2 && model <= 12);  // 1 is no model
}
bool booleanValid(std::uint64_t value) {
    return value <= 1;
}

// The items, with the values they start from.  u-blox's from its interface
// descriptions (key IDs, types, the value ranges); the initial values are
// this simulator's.  The NMEA families' as their commands' fields.
constexpr ConfigItemRow kItems[] = {
    {F::Ublox, "CFG-RATE-MEAS", 0x30210001, {}, 1000, rateValid},                  // U2, ms
    {F::Ublox, "CFG-UART1-BAUDRATE", 0x40520001, {}, 38400, baudValid},            // U4
    {F::Ublox, "CFG-MSGOUT-NMEA_ID_GGA_UART1", 0x209100bb, {}, 1, nullptr},        // U1
    {F::Ublox, "CFG-NAVSPG-DYNMODEL", 0x20110021, {}, 0, dynModelValid},           // E1
    {F::Ublox, "CFG-HW-ANT_CFG_VOLTCTRL", 0x10a3002e, {}, 1, booleanValid},        // L
    {F::Ublox, "CFG-MSGOUT-UBX_MON_HW_UART1", kMsgoutMonHwUart1, {}, 0, nullptr},  // U1
    {F::Ublox, "CFG-MSGOUT-UBX_MON_RF_UART1", kMsgoutMonRfUart1, {}, 0, nullptr},  // U1
    {F::Mtk, "PMTK220", 0, "1000", 0, nullptr},                                    // ms
    {F::Mtk, "PMTK251", 0, "0", 0, nullptr},                                       // 0: default
    {F::Mtk, "PMTK314", 0, "0,1,0,1,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0", 0, nullptr},   // GLL, RMC, ...
    {F::Casic, "PCAS02", 0, "1000", 0, nullptr},                                   // ms
    {F::Casic, "PCAS03", 0, "1,0,1,1,1,0,0,1", 0, nullptr},                        // GGA, GLL, ...
};

std::string littleEndian(std::uint64_t value, std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += char((value >> (8 * i)) & 0xFF);
    return bytes;
}

std::uint64_t valueOf(std::string_view bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) value = value << 8 | std::uint8_t(bytes[i]);
    return value;
}

std::uint32_t u4(std::string_view bytes, std::size_t at) {
    return std::uint32_t(valueOf(bytes.substr(at, 4)));
}

std::string hexKey(std::uint32_t key) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", key);
    return text;
}

std::optional<long> numberOf(std::string_view text) {
    long value = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || fault != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string ack(bool done, std::uint8_t messageClass, std::uint8_t id) {
    return gpslink::ubxFrame(0x05, done ? 0x01 : 0x00, std::string{char(messageClass), char(id)});
}

}  // namespace

ConfigStore::ConfigStore(gpslink::ReceiverFamily family, Settings settings)
    : family_(family), settings_(std::move(settings)) {
    for (const ConfigItemRow& row : kItems) {
        if (row.family != family) continue;
        const bool monitor = row.key == kMsgoutMonHwUart1 || row.key == kMsgoutMonRfUart1;
        Item item{&row, std::string(row.initial), {}, {}, {}, false};
        if (family == F::Ublox)
            item.initial = littleEndian(settings_.ubxMonitors && monitor ? 1 : row.initialValue,
                                        gpslink::ubxValueSize(row.key));
        item.running = item.initial;
        for (const std::string& name : settings_.refused)
            if (itemNamed(family, name) == row.name) item.refused = true;
        items_.push_back(item);
    }
}

bool ConfigStore::keepsItems(gpslink::ReceiverFamily family) {
    return family == F::Ublox || family == F::Mtk || family == F::Casic;
}

std::optional<std::string_view> ConfigStore::itemNamed(gpslink::ReceiverFamily family,
                                                       std::string_view name) {
    for (const ConfigItemRow& row : kItems)
        if (row.family == family &&
            (row.name == name || (family == F::Ublox && hexKey(row.key) == name)))
            return row.name;
    return std::nullopt;
}

std::string ConfigStore::itemNames(gpslink::ReceiverFamily family) {
    std::string names;
    for (const ConfigItemRow& row : kItems)
        if (row.family == family) names += (names.empty() ? "" : ", ") + std::string(row.name);
    return names;
}

ConfigStore::Item* ConfigStore::find(std::uint32_t key) {
    for (Item& item : items_)
        if (item.row->key == key) return &item;
    return nullptr;
}

ConfigStore::Item* ConfigStore::find(std::string_view name) {
    for (Item& item : items_)
        if (item.row->name == name) return &item;
    return nullptr;
}

std::optional<ConfigStore::Outcome> ConfigStore::ubx(std::string_view frame) {
    if (family_ != F::Ublox || frame.size() < 8 || std::uint8_t(frame[2]) != 0x06)
        return std::nullopt;
    const std::string_view payload = frame.substr(6, frame.size() - 8);
    if (std::uint8_t(frame[3]) == 0x8A) return ubxSet(payload);
    if (std::uint8_t(frame[3]) == 0x8B) return ubxGet(payload);
    return std::nullopt;
}

// UBX-CFG-VALSET: version (0, or 1 with a transaction field), layers (bit 0
// RAM, 1 BBR, 2 Flash), two bytes, then keys and values.  Transactions are
// not played: a version 1 message other than transactionless is refused.
ConfigStore::Outcome ConfigStore::ubxSet(std::string_view p) {
    const auto refuse = [](std::string why) {
        return Outcome{ack(false, 0x06, 0x8A), "UBX-CFG-VALSET refused: " + why};
    };
    if (p.size() < 4) return refuse("payload of " + std::to_string(p.size()) + " bytes");
    const int version = std::uint8_t(p[0]), layers = std::uint8_t(p[1]) & 0x07;
    if (version > 1 || (version == 1 && (std::uint8_t(p[2]) & 0x03) != 0))
        return refuse("version " + std::to_string(version) + " with a transaction");
    if (layers == 0) return refuse("no layer to set");
    std::vector<std::pair<Item*, std::string>> changes;
    std::string what;
    for (std::size_t at = 4; at < p.size();) {
        if (p.size() - at < 4) return refuse("a key cut short");
        const std::uint32_t key = u4(p, at);
        Item* item = find(key);
        const std::size_t size = gpslink::ubxValueSize(key);
        if (!item || size == 0) return refuse("unknown key " + hexKey(key));
        if (p.size() - at - 4 < size) return refuse("the value of " + hexKey(key) + " cut short");
        const std::string value(p.substr(at + 4, size));
        const std::string name(item->row->name);
        if (item->refused) return refuse(name + " (this receiver refuses it)");
        if ((layers & 0x01) && item->row->valid && !item->row->valid(valueOf(value)))
            return refuse(name + " " + std::to_string(valueOf(value)) + " is not valid");
        if (changes.size() == 64) return refuse("more than 64 items");
        changes.emplace_back(item, value);
        what += " " + name + "=" + std::to_string(valueOf(value));
        at += 4 + size;
    }
    for (auto& [item, value] : changes) {
        if (layers & 0x01) item->running = value;
        if (settings_.failingMemory) continue;
        if (layers & 0x02) item->bbr = value;
        if (layers & 0x04) item->flash = value;
    }
    const std::string in = std::string(layers & 0x01 ? " RAM" : "") +
                           (layers & 0x02 ? " BBR" : "") + (layers & 0x04 ? " Flash" : "");
    return Outcome{ack(true, 0x06, 0x8A), "UBX-CFG-VALSET in" + in + ":" + what};
}

// UBX-CFG-VALGET poll: version 0, layer (0 RAM, 1 BBR, 2 Flash, 7 Default),
// position (items to skip), up to 64 keys; a key whose item part is ffff asks
// for its whole group, one whose group part is fff for every item.  The
// answer: version 1, the layer, the position, keys and values (an item not
// stored in the layer asked is left out), then UBX-ACK-ACK.
ConfigStore::Outcome ConfigStore::ubxGet(std::string_view p) {
    const auto refuse = [](std::string why) {
        return Outcome{ack(false, 0x06, 0x8B), "UBX-CFG-VALGET refused: " + why};
    };
    if (p.size() < 4 || (p.size() - 4) % 4 != 0 || p[0] != 0)
        return refuse("not a version 0 poll of keys");
    const int layer = std::uint8_t(p[1]);
    if (layer != 0 && layer != 1 && layer != 2 && layer != 7)
        return refuse("layer " + std::to_string(layer));
    if ((p.size() - 4) / 4 > 64) return refuse("more than 64 keys");
    const std::size_t position = std::size_t(valueOf(p.substr(2, 2)));
    std::vector<const Item*> asked;
    for (std::size_t at = 4; at < p.size(); at += 4) {
        const std::uint32_t key = u4(p, at);
        const bool all = ((key >> 16) & 0xFFF) == 0xFFF, group = (key & 0xFFFF) == 0xFFFF;
        const std::size_t before = asked.size();
        for (const Item& item : items_)
            if (item.row->key == key || all ||
                (group && ((item.row->key >> 16) & 0xFF) == ((key >> 16) & 0xFF)))
                asked.push_back(&item);
        if (asked.size() == before) return refuse("unknown key " + hexKey(key));
    }
    std::string reply{char(1), char(layer), p[2], p[3]};
    std::size_t skipped = 0, given = 0;
    for (const Item* item : asked) {
        const std::optional<std::string> value = layer == 0   ? std::optional(item->running)
                                                 : layer == 1 ? item->bbr
                                                 : layer == 2 ? item->flash
                                                              : std::optional(item->initial);
        if (!value) continue;
        if (skipped < position) {
            ++skipped;
            continue;
        }
        if (given++ == 64) break;
        reply += littleEndian(item->row->key, 4) + *value;
    }
    return Outcome{gpslink::ubxFrame(0x06, 0x8B, reply) + ack(true, 0x06, 0x8B),
                   "UBX-CFG-VALGET of layer " + std::to_string(layer) + ": " +
                       std::to_string(given) + " items"};
}

std::optional<ConfigStore::Outcome> ConfigStore::nmea(std::string_view body) {
    if (family_ == F::Mtk) return mtk(body);
    if (family_ == F::Casic) return casic(body);
    return std::nullopt;
}

std::optional<ConfigStore::Outcome> ConfigStore::mtk(std::string_view body) {
    const gpslink::NmeaFields f(body);
    const std::string_view type = f[0].substr(std::min<std::size_t>(4, f[0].size()));
    if (f[0].substr(0, 4) != "PMTK" || type.size() != 3 || !numberOf(type)) return std::nullopt;
    const std::string name(f[0]);
    const auto acknowledged = [&](int flag, std::string what) {
        return Outcome{
            gpslink::nmeaCommand("PMTK001," + std::string(type) + "," + std::to_string(flag)),
            name + ": " + what + ", acknowledged with flag " + std::to_string(flag)};
    };
    if (type == "400" || type == "414") {  // queries
        if (f.size() != 1) return acknowledged(0, "not a query");
        const bool interval = type == "400";
        const std::string reply = interval ? "PMTK500," + runningText("PMTK220") + ",0,0,0,0"
                                           : "PMTK514," + runningText("PMTK314");
        return Outcome{gpslink::nmeaCommand(reply), name + " answered " + reply};
    }
    Item* item = find(name);
    if (!item) return acknowledged(1, "not supported");
    std::string value = std::string(f.from(1));
    bool valid = false;
    if (type == "220") {
        const auto ms = f.size() == 2 ? numberOf(f[1]) : std::nullopt;
        if (f.size() != 2) return acknowledged(0, "not one field");
        valid = ms && *ms >= 100 && *ms <= 10000;
    } else if (type == "251") {
        const auto rate = f.size() == 2 ? numberOf(f[1]) : std::nullopt;
        if (f.size() != 2) return acknowledged(0, "not one field");
        constexpr long kRates[] = {0, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
        valid = rate && std::find(std::begin(kRates), std::end(kRates), *rate) != std::end(kRates);
    } else {  // 314: 19 rates of 0 to 5, or -1 for the defaults
        if (f.size() == 2 && f[1] == "-1") {
            value = item->initial;
            valid = true;
        } else if (f.size() != 20) {
            return acknowledged(0, "not 19 rates");
        } else {
            valid = std::all_of(f.begin() + 1, f.end(), [](std::string_view v) {
                const auto rate = numberOf(v);
                return rate && *rate >= 0 && *rate <= 5;
            });
        }
    }
    if (!valid) return acknowledged(2, "value not taken");
    if (item->refused) return acknowledged(2, "refused by this receiver");
    item->running = value;
    return acknowledged(3, "set to " + value);
}

std::optional<ConfigStore::Outcome> ConfigStore::casic(std::string_view body) {
    const gpslink::NmeaFields f(body);
    const std::string name(f[0]);
    if (name == "PCAS00") {
        if (f.size() != 1) return Outcome{{}, "PCAS00 with fields: not acted on"};
        if (!settings_.failingMemory)
            for (Item& item : items_) item.flash = item.running;
        return Outcome{{}, "PCAS00: configuration saved to flash (no answer published)"};
    }
    Item* item = find(name);
    if (!item) return std::nullopt;
    bool valid = false;
    if (name == "PCAS02") {
        const auto ms = f.size() == 2 ? numberOf(f[1]) : std::nullopt;
        valid = ms && (*ms == 1000 || *ms == 500 || *ms == 250 || *ms == 200 || *ms == 100);
    } else {  // PCAS03: the rates of GGA, GLL, GSA, GSV, RMC, VTG, ZDA, ANT and later ones
        valid = f.size() >= 9 && f.size() <= 19 &&
                std::all_of(f.begin() + 1, f.end(), [](std::string_view v) {
                    return v.empty() || (v.size() == 1 && v[0] >= '0' && v[0] <= '9');
                });
    }
    const std::string value = std::string(f.from(1));
    if (!valid) return Outcome{{}, name + "," + value + ": value not taken (no answer published)"};
    if (item->refused)
        return Outcome{{}, name + ": refused by this receiver (no answer published)"};
    item->running = value;
    return Outcome{{}, name + " set to " + value + " (no answer published)"};
}

void ConfigStore::restarted() {
    if (settings_.loseUnsaved) processorReset();
}

// BBR over Flash over the defaults (CASIC keeps no BBR layer: flash alone).
void ConfigStore::processorReset() {
    for (Item& item : items_) item.running = item.bbr.value_or(item.flash.value_or(item.initial));
}

void ConfigStore::factoryReset() {
    for (Item& item : items_) {
        item.running = item.initial;
        item.bbr.reset();
        item.flash.reset();
    }
}

void ConfigStore::powerCycled(bool backupSupply) {
    if (!backupSupply)
        for (Item& item : items_) item.bbr.reset();
    processorReset();
}

std::uint64_t ConfigStore::running(std::uint32_t key) const {
    for (const Item& item : items_)
        if (item.row->key == key) return valueOf(item.running);
    return 0;
}

std::string ConfigStore::runningText(std::string_view name) const {
    for (const Item& item : items_)
        if (item.row->name == name) return item.running;
    return {};
}

}  // namespace gpssim
