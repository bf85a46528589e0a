#include "station/configtest.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include "gpslink/nmea.h"
#include "gpslink/resetcommand.h"
#include "station/families.h"

namespace station {

namespace {

using gpslink::ReceiverFamily;

void putLe(std::string& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

std::uint64_t getLe(std::string_view in, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value |= std::uint64_t(std::uint8_t(in[at + i])) << (8 * i);
    return value;
}

// The MediaTek items that can be read back, with their query and its answer.
struct MtkItem {
    std::string_view type, query, answer;
    std::size_t values;  // fields after the type
};
constexpr MtkItem kMtkItems[] = {
    {"PMTK220", "PMTK400", "PMTK500", 1},
    {"PMTK314", "PMTK414", "PMTK514", 19},
};

const MtkItem* mtkItem(std::string_view body) {
    for (const MtkItem& item : kMtkItems)
        if (gpslink::NmeaFields(body).address() == item.type) return &item;
    return nullptr;
}

bool wholeNumber(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// An item of the file, or why it is not one.
std::optional<ConfigItem> itemOf(ReceiverFamily family, const QJsonValue& value, QString* why) {
    ConfigItem item;
    if (family == ReceiverFamily::Ublox) {
        const QJsonObject o = value.toObject();
        bool ok = false;
        const QString keyText = o.value("key").toString();
        item.key = keyText.startsWith(QLatin1String("0x")) ? keyText.mid(2).toUInt(&ok, 16) : 0;
        if (!value.isObject() || !ok || gpslink::ubxValueSize(item.key) == 0 || o.size() != 2 ||
            !o.value("value").isDouble()) {
            *why = QStringLiteral(
                "a u-blox item is {\"key\": \"0x30210001\", \"value\": 200}: a key ID whose bits "
                "28 to 30 give a size, and a whole number");
            return std::nullopt;
        }
        const double v = o.value("value").toDouble();
        const int bits = int(gpslink::ubxValueSize(item.key)) * 8;
        const double top = bits == 64 ? 18446744073709551615.0 : double((1ULL << bits) - 1);
        if (v < 0 || v != double(std::uint64_t(v)) || v > top ||
            (((item.key >> 28) & 7) == 1 && v > 1)) {
            *why = QStringLiteral("the value of %1 does not fit its size").arg(keyText);
            return std::nullopt;
        }
        item.value = std::uint64_t(v);
        return item;
    }
    const QString body = value.toString();
    const bool printable = !body.isEmpty() && body.size() < 80 &&
                           !body.contains(QRegularExpression(QStringLiteral("[^ -~]|[$*]")));
    if (!value.isString() || !printable || !body.front().isLetter()) {
        *why = QStringLiteral(
            "an item is a command as published, without \"$\" and checksum: \"PMTK220,200\"");
        return std::nullopt;
    }
    item.body = body.toStdString();
    return item;
}

}  // namespace

std::string ConfigItem::name() const {
    if (!body.empty()) return std::string(gpslink::NmeaFields(body).address());
    return QStringLiteral("0x%1").arg(key, 8, 16, QLatin1Char('0')).toStdString();
}

std::optional<Configuration> readConfiguration(const QString& path, QString* error) {
    const auto fail = [&](const QString& why) {
        *error = QStringLiteral("configuration %1: %2").arg(path, why);
        return std::nullopt;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return fail(file.errorString());
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parsed);
    if (!document.isObject())
        return fail(QStringLiteral("not a JSON object (%1 at byte %2)")
                        .arg(parsed.error ? parsed.errorString() : QStringLiteral("no object"))
                        .arg(parsed.offset));
    const QJsonObject o = document.object();
    Configuration configuration;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key() == QLatin1String("name")) {
            configuration.name = it.value().toString();
            if (configuration.name.isEmpty()) return fail(QStringLiteral("\"name\" is not a name"));
            continue;
        }
        const auto family = familyNamed(it.key().toStdString());
        if (!family)
            return fail(
                QStringLiteral("\"%1\" is neither \"name\" nor a receiver family").arg(it.key()));
        if (!it.value().isArray() || it.value().toArray().isEmpty())
            return fail(QStringLiteral("\"%1\" is not a list of items").arg(it.key()));
        for (const QJsonValue& value : it.value().toArray()) {
            QString why;
            const auto item = itemOf(*family, value, &why);
            if (!item) return fail(QStringLiteral("\"%1\": %2").arg(it.key(), why));
            configuration.items[*family].push_back(*item);
        }
    }
    if (configuration.name.isEmpty()) return fail(QStringLiteral("it has no \"name\""));
    return configuration;
}

QString configRefusal(const Configuration& configuration, ReceiverFamily family) {
    const QString name = QLatin1String(gpslink::nameOf(family).data());
    if (!familyRow(family).readsBackSettings) {
        QStringList readBack;
        for (const FamilyRow& row : familyTable())
            if (row.readsBackSettings)
                readBack << QLatin1String(gpslink::nameOf(row.family).data());
        return QStringLiteral(
                   "a %1 receiver's settings cannot be read back (no query of them is "
                   "published): the config test is for %2 receivers")
            .arg(name, readBack.join(QStringLiteral(" and ")));
    }
    const auto items = configuration.items.find(family);
    if (items == configuration.items.end())
        return QStringLiteral("configuration %1 has no items for a %2 receiver")
            .arg(configuration.name, name);
    if (family == ReceiverFamily::Mtk)
        for (const ConfigItem& item : items->second) {
            const MtkItem* known = mtkItem(item.body);
            const gpslink::NmeaFields f(item.body);
            if (!known)
                return QStringLiteral(
                           "%1 cannot be read back (no query of it is published): a mtk "
                           "configuration takes PMTK220 and PMTK314")
                    .arg(QString::fromStdString(item.name()));
            for (std::size_t i = 1; i < f.size(); ++i)
                if (!wholeNumber(f[i]) || f.size() != known->values + 1)
                    return QStringLiteral("%1 needs %2 whole numbers to be compared when read back")
                        .arg(QString::fromStdString(item.name()))
                        .arg(known->values);
        }
    return {};
}

std::string valsetFrame(const ConfigItem& item) {
    std::string payload{0x00, 0x07, 0x00, 0x00};  // version 0; RAM, BBR and Flash
    putLe(payload, item.key, 4);
    putLe(payload, item.value, gpslink::ubxValueSize(item.key));
    return gpslink::ubxFrame(0x06, 0x8A, payload);
}

std::string valgetFrame(const ConfigItem& item, UbxLayer layer) {
    std::string payload{0x00, char(layer), 0x00, 0x00};  // version 0, the layer, position 0
    putLe(payload, item.key, 4);
    return gpslink::ubxFrame(0x06, 0x8B, payload);
}

std::string ubloxSoftwareReset() {
    // navBbrMask 0000 (a hot start: nothing cleared), resetMode 01, reserved.
    return gpslink::ubxFrame(0x06, 0x04, std::string{0x00, 0x00, 0x01, 0x00});
}

std::string mtkQuery(const ConfigItem& item) {
    const MtkItem* known = mtkItem(item.body);
    return known ? gpslink::nmeaCommand(known->query) : std::string();
}

ConfigTest::ConfigTest(ReceiverFamily family, std::vector<ConfigItem> items)
    : family_(family), items_(std::move(items)) {}

void ConfigTest::start(qint64 nowMs) {
    if (step_ != Step::Idle) return;
    step_ = Step::Setting;
    at_ = 0;
    if (items_.empty()) return end(Reason::ConfigRejected, QStringLiteral("no items"));
    send(nowMs);
}

void ConfigTest::send(qint64 nowMs) {
    const ConfigItem& item = items_[at_];
    const bool ubx = family_ == ReceiverFamily::Ublox;
    if (step_ == Step::Setting)
        output_ += ubx ? valsetFrame(item) : gpslink::nmeaCommand(item.body);
    else
        output_ += ubx ? valgetFrame(item, layer_) : mtkQuery(item);
    deadlineMs_ = nowMs + kAnswerMs;
}

// The item at hand is through: the next one, the restart, or the end.
void ConfigTest::next(qint64 nowMs) {
    if (++at_ < items_.size()) return send(nowMs);
    if (step_ == Step::Setting) {
        step_ = Step::Restarting;
        output_ += family_ == ReceiverFamily::Ublox
                       ? ubloxSoftwareReset()
                       : startCommand(family_, gpslink::StartType::Hot);
        listenFromMs_ = nowMs + kSettleMs;
        deadlineMs_ = nowMs + kRestartMs;
        return;
    }
    if (family_ == ReceiverFamily::Ublox && layer_ == UbxLayer::Ram) {  // then what was saved
        layer_ = UbxLayer::Flash;
        at_ = 0;
        return send(nowMs);
    }
    QByteArray all;
    for (const std::string& line : readBack_) all += QByteArray::fromStdString(line) + '\n';
    sha256_ =
        QString::fromLatin1(QCryptographicHash::hash(all, QCryptographicHash::Sha256).toHex());
    end(Reason::Ok, {});
}

void ConfigTest::end(Reason reason, const QString& note) {
    step_ = Step::Done;
    verdict_ = reason;
    note_ = note;
}

void ConfigTest::readValue(std::string readBack, bool same, const std::string& shown,
                           qint64 nowMs) {
    const bool saved = layer_ == UbxLayer::Flash;
    if (!saved) readBack_.push_back(std::move(readBack));
    if (!same)
        return end(
            Reason::ConfigMismatch,
            (saved ? QStringLiteral("%1 saved as %2") : QStringLiteral("%1 reads back %2"))
                .arg(QString::fromStdString(items_[at_].name()), QString::fromStdString(shown)));
    next(nowMs);
}

QString ConfigTest::fromLayer() const {
    return layer_ == UbxLayer::Flash ? QStringLiteral(" from Flash") : QString();
}

void ConfigTest::packet(const Packet& packet, qint64 nowMs) {
    if (family_ != ReceiverFamily::Ublox || packet.kind != PacketKind::Ubx) return;
    const std::string_view p = packet.payload();
    const int cls = packet.messageClass(), id = packet.messageId();
    if (step_ == Step::Restarting && nowMs >= listenFromMs_) {
        step_ = Step::Reading;
        at_ = 0;
        return send(nowMs);
    }
    const ConfigItem& item =
        step_ == Step::Setting || step_ == Step::Reading ? items_[at_] : items_.front();
    const int about = step_ == Step::Setting ? 0x8A : 0x8B;  // the message acknowledged
    const bool ackOf = p.size() >= 2 && std::uint8_t(p[0]) == 0x06 && std::uint8_t(p[1]) == about;
    if (step_ == Step::Setting && cls == 0x05 && ackOf) {
        if (id == 0x01) return next(nowMs);
        if (id == 0x00)
            return end(Reason::ConfigRejected, QStringLiteral("%1 refused (UBX-ACK-NAK)")
                                                   .arg(QString::fromStdString(item.name())));
    }
    if (step_ != Step::Reading) return;
    if (cls == 0x05 && id == 0x00 && ackOf)
        return end(Reason::ConfigMismatch,
                   QStringLiteral("%1 not read back%2 (UBX-ACK-NAK)")
                       .arg(QString::fromStdString(item.name()), fromLayer()));
    // The answer to this poll: version 1, the layer asked, then keys and values.
    if (cls != 0x06 || id != 0x8B || p.size() < 4 || std::uint8_t(p[0]) != 0x01 ||
        std::uint8_t(p[1]) != std::uint8_t(layer_))
        return;
    const int size = int(gpslink::ubxValueSize(item.key));
    if (p.size() < std::size_t(8 + size) || std::uint32_t(getLe(p, 4, 4)) != item.key)
        return end(
            Reason::ConfigMismatch,
            QStringLiteral("%1 not %2")
                .arg(QString::fromStdString(item.name()),
                     layer_ == UbxLayer::Flash ? QStringLiteral("saved (not in the Flash layer)")
                                               : QStringLiteral("in the RAM layer")));
    const std::uint64_t value = getLe(p, 8, size);
    readValue(item.name() + "=" + std::to_string(value), value == item.value,
              std::to_string(value) + ", not " + std::to_string(item.value), nowMs);
}

void ConfigTest::sentence(std::string_view body, qint64 nowMs) {
    if (step_ == Step::Restarting && nowMs >= listenFromMs_) {
        step_ = Step::Reading;
        at_ = 0;
        return send(nowMs);
    }
    if (family_ != ReceiverFamily::Mtk || (step_ != Step::Setting && step_ != Step::Reading))
        return;
    const ConfigItem& item = items_[at_];
    const MtkItem* known = mtkItem(item.body);
    const gpslink::NmeaFields f(body);
    if (step_ == Step::Setting) {
        if (f.size() != 3 || f[0] != "PMTK001" || "PMTK" + std::string(f[1]) != item.name()) return;
        if (f[2] == "3") return next(nowMs);
        return end(Reason::ConfigRejected, QStringLiteral("%1 refused ($PMTK001,%2,%3)")
                                               .arg(QString::fromStdString(item.name()),
                                                    QLatin1String(f[1].data(), f[1].size()),
                                                    QLatin1String(f[2].data(), f[2].size())));
    }
    if (!known || f[0] != known->answer || f.size() < known->values + 1) return;
    const gpslink::NmeaFields wanted(item.body);
    std::string got, asked;
    bool same = true;
    for (std::size_t i = 1; i <= known->values; ++i) {
        same = same && f[i] == wanted[i];
        got += (i > 1 ? "," : "") + std::string(f[i]);
        asked += (i > 1 ? "," : "") + std::string(wanted[i]);
    }
    readValue(std::string(body), same, got + ", not " + asked, nowMs);
}

void ConfigTest::tick(qint64 nowMs) {
    const auto due = nextDeadlineMs();
    if (!due || nowMs < *due) return;
    // Past the last item while the unit restarts.
    const QString item =
        at_ < items_.size() ? QString::fromStdString(items_[at_].name()) : QString();
    switch (step_) {
        case Step::Setting:
            return end(Reason::ConfigRejected, QStringLiteral("%1: no acknowledgement within %2 s")
                                                   .arg(item)
                                                   .arg(kAnswerMs / 1000));
        case Step::Restarting:
            return end(Reason::ReceiverOff, QStringLiteral("silent after its restart"));
        case Step::Reading:
            return end(Reason::ConfigMismatch, QStringLiteral("%1 not read back%2 within %3 s")
                                                   .arg(item, fromLayer())
                                                   .arg(kAnswerMs / 1000));
        default:
            return;
    }
}

std::optional<qint64> ConfigTest::nextDeadlineMs() const {
    if (step_ == Step::Idle || step_ == Step::Done) return std::nullopt;
    return deadlineMs_;
}

std::string ConfigTest::takeOutput() {
    std::string out;
    out.swap(output_);
    return out;
}

}  // namespace station
