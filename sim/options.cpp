#include "sim/options.h"

#include <QDateTime>
#include <QRegularExpression>
#include <algorithm>
#include <iterator>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/capture.h"

namespace gpssim {

namespace {

bool toInt(const QString& text, int low, int high, int& value) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high) return false;
    value = v;
    return true;
}

// A dilution of precision as a receiver reports it: 0.01 to 99.99, at most
// two decimals.
bool readHdop(const QString& text, double& value) {
    const int point = text.indexOf(QLatin1Char('.'));
    if (point >= 0 && text.size() - point - 1 > 2) return false;
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !(v >= 0.01 && v <= 99.99)) return false;
    value = v;
    return true;
}

bool readSnr(const QString& text, std::vector<int>& snr, QString& error) {
    const QStringList items = text.split(QLatin1Char(','));
    if (items.size() > int(ReceiverModel::kMaxInView)) {
        error = QStringLiteral("--snr lists %1 satellites; at most %2 can be in view")
                    .arg(items.size())
                    .arg(ReceiverModel::kMaxInView);
        return false;
    }
    std::vector<int> values;
    for (int i = 0; i < items.size(); ++i) {
        int v = 0;
        if (!toInt(items[i].trimmed(), 0, 99, v)) {
            error = QStringLiteral("--snr item %1 (\"%2\") is not a whole number from 0 to 99")
                        .arg(i + 1)
                        .arg(items[i]);
            return false;
        }
        values.push_back(v);
    }
    snr = std::move(values);
    return true;
}

}  // namespace

void addReceiverOptions(QCommandLineParser& parser) {
    parser.addOptions({
        {"mode",
         "How the receiver behaves: normal; silent (sends nothing); wrong-baud (sends bytes "
         "without any '$', as at another baud rate); ignore (does not obey the cold start); "
         "slow-confirm (silent for --slow-confirm-seconds after the cold start, then restarts); "
         "off-after (switched off --off-after seconds after power-up). Default: normal.",
         "mode"},
        {"off-after", "off-after: seconds of output after power-up (default 30).", "N"},
        {"slow-confirm-seconds",
         "slow-confirm: seconds of silence after the cold start (default 35).", "N"},
        {"slow-confirm-empty-time",
         "slow-confirm: during the wait send bursts whose GGA and RMC time is empty, "
         "instead of nothing, so that the tool sees the cold start run over 30 seconds."},
        {"reset-silence", "Seconds of silence after a cold start (default 1).", "N"},
        {"ttff", "Seconds from power-up or restart to the first fix (default 25).", "N"},
        {"time-known-after",
         "Seconds from power-up or restart until the GGA time is UTC (default 12).", "N"},
        {"start-utc", "UTC when the time first becomes known, hhmmss or now (default 204137).",
         "hhmmss"},
        {"chunking",
         "How each burst is cut into writes: burst, sentence, byte or random (default burst). "
         "Writes only stay apart on the line with --baud.",
         "how"},
        {"seed", "Seed for random chunking and wrong-baud noise (default 1).", "N"},
        {"rate", "Epochs per second, 1 to 10 (default 1).", "HZ"},
        {"baud",
         "Pace the writes as a line at this rate, 10 bits a byte; with --device also the "
         "device's rate (default: no pacing; a device runs at 9600).",
         "N"},
        {"strict-baud",
         "With --baud on a pseudo-terminal: while the tool sets the line to another rate, "
         "the output arrives garbled and commands are not understood."},
        {"family",
         "The receiver's chip family, whose start commands alone it obeys: sirf, mtk, airoha, "
         "quectel-lg, casic or ublox (default sirf).",
         "F"},
        {"warm-ttff", "Seconds without a fix after a warm start; the clock goes on (default 10).",
         "S"},
        {"hot-ttff", "Seconds without a fix after a hot start (default 1).", "S"},
        {"hot-keeps-fix", "A hot start does not lose the fix at all."},
        {"power-file",
         "The receiver's supply switch: FILE holding \"off\" switches it off (silent until "
         "it holds anything else); read every 100 ms.",
         "FILE"},
        {"stuck-relay",
         "(with --power-file) The fixture's relay does not switch: the receiver stays powered "
         "whatever FILE holds."},
        {"backup-supply",
         "A backup supply keeps the time while the supply is off: a power-up is a warm start "
         "(--warm-ttff). Without it a power-up is a cold start."},
        {"link",
         "Make PATH a symbolic link to the pseudo-terminal (as udev names a USB receiver) and "
         "print PATH instead of the pseudo-terminal; removed when the receiver stops.",
         "PATH"},
        {"usb-drop",
         "With --link: on every start command obeyed the USB port goes away (the pseudo-terminal "
         "closes, the link is removed) and after --usb-away seconds comes back behind the same "
         "link (same), behind PATH-1, PATH-2, ... (other), or never (never).",
         "same|other|never"},
        {"usb-away", "--usb-drop: seconds the USB port is away (default 2).", "S"},
        {"fix-quality", "GGA fix quality once there is a fix, 1 to 8 (default 1).", "N"},
        {"sats",
         "GGA satellites used once there is a fix, 0 to 99 (default: the tracked satellites, "
         "at most 12).",
         "N"},
        {"hdop", "GGA and GSA HDOP once there is a fix, 0.01 to 99.99 (default 0.9).", "X"},
        {"snr",
         "C/N0 in dB-Hz of each satellite in view, comma-separated, 0 to 99; 0: in view, not "
         "tracked (e.g. 45,44,42,40,38,0). GSV describes as many satellites (1 to 32), GSA "
         "lists the tracked ones. Default: 12 in view, 8 tracked at 38 to 44.",
         "LIST"},
        {"generator",
         "Generator mode: the sky is this one satellite (GPS, GLONASS, Galileo or BeiDou), "
         "as a signal generator plays it, tracked once the time is known, e.g. GPS:1. "
         "Or tcp://HOST[:PORT]: the level of the SCPI signal generator there (port 5025 "
         "unless given), asked each second, feeds the antenna port: the sky's C/N0 is the "
         "level - path loss + 174 - noise figure, a cold start fixes only at or above the "
         "acquisition threshold, a fix is lost below the tracking threshold; the output off "
         "or the generator unreachable: no signal.",
         "SYS:PRN|URL"},
        {"path-loss",
         "--generator URL: dB from the generator's output to the antenna port "
         "(default 0).",
         "DB"},
        {"noise-figure", "--generator URL: the front end's noise figure (default 2).", "DB"},
        {"acquisition-threshold",
         "--generator URL: the weakest level at the antenna port a cold start fixes at "
         "(default -147).",
         "DBM"},
        {"tracking-threshold",
         "--generator URL: the weakest level at the antenna port a fix is held at "
         "(default -160).",
         "DBM"},
        {"generator-cn0", "--generator: its C/N0 at the generator's power (default 45).", "DBHZ"},
        {"slot-loss", "--generator: the slot's path loss, subtracted (default 0).", "DB"},
        {"unit-offset", "--generator: the unit's own reading above the truth (default 0).", "DB"},
        {"generator-noise",
         "--generator: each second's reading varies evenly within +-DB (default 0.5).", "DB"},
        {"generator-drift",
         "--generator: the reading falls by DB at each power-up after the start, a slot's RF "
         "path wearing (default 0).",
         "DB"},
        {"replay",
         "Send the bursts of this capture file instead, one per epoch ('#' lines and gpsd's "
         "JSON lines skipped, CR LF restored; a capture with binary packets is sent byte for "
         "byte); a cold start starts it again from the top.",
         "FILE"},
        {"dual-band",
         "Each tracked satellite on L1 and L5: one GSV group per signal, with NMEA 4.10 signal "
         "IDs 1 and 8."},
        {"second-gga", "A GLGGA of the same time after each GPGGA."},
        {"long-sentences",
         "A high-precision GGA of 87 characters and a proprietary $PSIMX of 110 each second."},
        {"binary",
         "After each second's sentences a binary packet with '$' bytes in it: ubx, casic, sirf "
         "or rtcm3.",
         "KIND"},
        {"sirf-binary",
         "(sirf) Start in SiRF binary mode: a binary packet each second, no NMEA, until SiRF "
         "binary message 129 switches to NMEA."},
        {"no-identity", "Answer no identity query (every other query is never answered)."},
        {"firmware", "The firmware the receiver names in its identity answers.", "TEXT"},
        {"hardware", "The hardware the receiver names in its identity answers.", "TEXT"},
        {"unique-id", "The unique ID the receiver names (ublox: ten hex digits).", "TEXT"},
        {"antenna",
         "The active antenna's state from power-up: ok, open, short or unknown, then changes "
         "at seconds after power-up, e.g. ok,open@20. Sent each second in the family's form "
         "(ublox, casic and mtk; the others publish none).",
         "STATES"},
        {"agc", "(ublox) AGC count in UBX-MON-HW and MON-RF, 0 to 8191 (default 2800).", "N"},
        {"noise-level",
         "(ublox) Noise level per ms in UBX-MON-HW and MON-RF, 0 to 65535 (default 90).", "N"},
        {"jamming", "(ublox) CW jamming indicator, 0 to 255 (default 5).", "N"},
        {"front-end-noise",
         "(ublox) Each second's AGC, noise and jamming figures vary evenly within +-N "
         "(default 0), from --seed.",
         "N"},
        {"ubx-monitors",
         "(ublox) Send UBX-MON-HW and UBX-MON-RF each second from power-up, as with "
         "CFG-MSGOUT-UBX_MON_HW_UART1 and _RF_UART1 at 1 (polls are always answered)."},
        {"refuse-config",
         "Configuration items the receiver refuses to set, comma-separated: ublox key names "
         "or IDs (CFG-RATE-MEAS, 0x30210001), mtk PMTK220, PMTK251, PMTK314, casic PCAS02, "
         "PCAS03.",
         "ITEMS"},
        {"lose-unsaved",
         "Every start command obeyed rebuilds the configuration from what was saved (ublox: "
         "BBR and Flash layers, even for a GNSS-only reset; casic: flash; mtk: the defaults), "
         "as some receivers do."},
        {"failing-memory",
         "Saves are acknowledged and keep nothing (ublox: BBR and Flash layers; casic: flash), "
         "as with a worn flash: a processor reset (ublox resetMode 0, 1, 4), a power cycle or, "
         "with --lose-unsaved, any start returns the defaults."},
    });
}

QStringList receiverOptionNames() {
    return {"mode",
            "family",
            "warm-ttff",
            "hot-ttff",
            "hot-keeps-fix",
            "power-file",
            "stuck-relay",
            "backup-supply",
            "link",
            "usb-drop",
            "usb-away",
            "off-after",
            "slow-confirm-seconds",
            "slow-confirm-empty-time",
            "reset-silence",
            "ttff",
            "time-known-after",
            "start-utc",
            "chunking",
            "seed",
            "rate",
            "baud",
            "strict-baud",
            "fix-quality",
            "sats",
            "hdop",
            "snr",
            "replay",
            "generator",
            "generator-cn0",
            "slot-loss",
            "unit-offset",
            "generator-noise",
            "generator-drift",
            "path-loss",
            "noise-figure",
            "acquisition-threshold",
            "tracking-threshold",
            "dual-band",
            "second-gga",
            "long-sentences",
            "binary",
            "sirf-binary",
            "no-identity",
            "firmware",
            "hardware",
            "unique-id",
            "antenna",
            "agc",
            "noise-level",
            "jamming",
            "front-end-noise",
            "ubx-monitors",
            "refuse-config",
            "lose-unsaved",
            "failing-memory"};
}

// --generator tcp://HOST[:PORT] and the RF input's settings beside it.
static bool readRfInput(const QCommandLineParser& p, ReceiverConfig& c, DriverOptions& line,
                        QString& error) {
    if (!parseGeneratorUrl(p.value("generator"), line.generatorHost, line.generatorPort)) {
        error = QStringLiteral("--generator takes tcp://HOST[:PORT], e.g. tcp://127.0.0.1:5025");
        return false;
    }
    RfInput rf;
    for (auto [name, value, low, high] :
         {std::tuple{"path-loss", &rf.pathLoss, 0.0, 100.0},
          std::tuple{"noise-figure", &rf.noiseFigure, 0.0, 20.0},
          std::tuple{"acquisition-threshold", &rf.acquisitionDbm, -180.0, -100.0},
          std::tuple{"tracking-threshold", &rf.trackingDbm, -180.0, -100.0}}) {
        if (!p.isSet(name)) continue;
        bool ok = false;
        *value = p.value(name).toDouble(&ok);  // C conventions whatever the locale
        if (!ok || *value < low || *value > high) {
            error =
                QStringLiteral("--%1 takes a number from %2 to %3").arg(name).arg(low).arg(high);
            return false;
        }
    }
    if (rf.trackingDbm > rf.acquisitionDbm) {
        error = QStringLiteral(
            "--tracking-threshold is above --acquisition-threshold: a fix is held at least as "
            "far down as it is had");
        return false;
    }
    c.rf = rf;
    return true;
}

// --generator SYS:PRN and the settings beside it.
static bool readGenerator(const QCommandLineParser& p, ReceiverConfig& c, QString& error) {
    static const std::pair<const char*, const char*> talkers[] = {
        {"GPS", "GP"}, {"GLONASS", "GL"}, {"Galileo", "GA"}, {"BeiDou", "GB"}};
    Generator g;
    const QStringList sv = p.value("generator").split(':');
    bool ok = sv.size() == 2;
    g.prn = ok ? sv[1].toInt(&ok) : 0;
    ok = ok && g.prn >= 1 && g.prn <= 99;
    g.talker.clear();
    for (const auto& [system, talker] : talkers)
        if (ok && sv[0].compare(QLatin1String(system), Qt::CaseInsensitive) == 0) g.talker = talker;
    if (g.talker.empty()) {
        error = QStringLiteral(
            "--generator takes SYS:PRN (GPS, GLONASS, Galileo or BeiDou; PRN "
            "1 to 99), e.g. GPS:1");
        return false;
    }
    for (auto [name, value, low, high] : {std::tuple{"generator-cn0", &g.cn0, 1.0, 99.0},
                                          std::tuple{"slot-loss", &g.loss, -40.0, 40.0},
                                          std::tuple{"unit-offset", &g.offset, -40.0, 40.0},
                                          std::tuple{"generator-noise", &g.noise, 0.0, 10.0},
                                          std::tuple{"generator-drift", &g.drift, -10.0, 10.0}}) {
        if (!p.isSet(name)) continue;
        *value = p.value(name).toDouble(&ok);  // C conventions whatever the locale
        if (!ok || *value < low || *value > high) {
            error =
                QStringLiteral("--%1 takes a number from %2 to %3").arg(name).arg(low).arg(high);
            return false;
        }
    }
    c.generator = g;
    return true;
}

// The antenna, the front end's figures and the configuration; after --family.
static bool readFrontEndOptions(const QCommandLineParser& p, ReceiverConfig& c, QString& error) {
    using gpslink::ReceiverFamily;
    const QString family = QString::fromLatin1(gpslink::nameOf(c.family).data());
    if (p.isSet("antenna")) {
        std::string why;
        c.antenna = antennaScheduleFrom(p.value("antenna").toStdString(), why);
        if (c.antenna.empty()) {
            error = QStringLiteral("--antenna: %1").arg(QString::fromStdString(why));
            return false;
        }
        if (!saysAntenna(c.family)) {
            error = QStringLiteral(
                        "--antenna: a %1 receiver publishes no antenna state (ublox, casic and "
                        "mtk do)")
                        .arg(family);
            return false;
        }
    }
    const bool ublox = c.family == ReceiverFamily::Ublox;
    for (auto [name, value, high] : {std::tuple{"agc", &c.frontEnd.agc, 8191},
                                     std::tuple{"noise-level", &c.frontEnd.noise, 65535},
                                     std::tuple{"jamming", &c.frontEnd.jamming, 255},
                                     std::tuple{"front-end-noise", &c.frontEnd.spread, 8191}}) {
        if (!p.isSet(name)) continue;
        if (!ublox) {
            error = QStringLiteral(
                        "--%1 is for a ublox receiver, the one family here that reports its "
                        "front end's figures")
                        .arg(QLatin1String(name));
            return false;
        }
        if (!toInt(p.value(name), 0, high, *value)) {
            error = QStringLiteral("--%1 takes a whole number from 0 to %2")
                        .arg(QLatin1String(name))
                        .arg(high);
            return false;
        }
    }
    c.ubxMonitors = p.isSet("ubx-monitors");
    if (c.ubxMonitors && !ublox) {
        error = QStringLiteral("--ubx-monitors is for a ublox receiver");
        return false;
    }
    c.loseUnsaved = p.isSet("lose-unsaved");
    c.failingMemory = p.isSet("failing-memory");
    if ((c.loseUnsaved || c.failingMemory || p.isSet("refuse-config")) &&
        !ConfigStore::keepsItems(c.family)) {
        error = QStringLiteral(
                    "--%1: a %2 receiver has no configuration items here (ublox, mtk and casic "
                    "have)")
                    .arg(c.loseUnsaved     ? QStringLiteral("lose-unsaved")
                         : c.failingMemory ? QStringLiteral("failing-memory")
                                           : QStringLiteral("refuse-config"),
                         family);
        return false;
    }
    if (p.isSet("refuse-config")) {
        for (const QString& item : p.value("refuse-config").split(QLatin1Char(','))) {
            const auto name = ConfigStore::itemNamed(c.family, item.trimmed().toStdString());
            if (!name) {
                error = QStringLiteral("--refuse-config: %1 is not an item of a %2 receiver (%3)")
                            .arg(item, family,
                                 QString::fromStdString(ConfigStore::itemNames(c.family)));
                return false;
            }
            c.refusedItems.emplace_back(*name);
        }
    }
    return true;
}

bool readReceiverOptions(const QCommandLineParser& p, ReceiverConfig& c, DriverOptions& line,
                         QString& error) {
    constexpr int kLongest = 24 * 3600;
    auto number = [&](const char* name, int low, int high, int& value) {
        if (!p.isSet(name)) return true;
        if (toInt(p.value(name), low, high, value)) return true;
        error = QStringLiteral("--%1 takes a whole number from %2 to %3")
                    .arg(QLatin1String(name))
                    .arg(low)
                    .arg(high);
        return false;
    };
    if (p.isSet("mode")) {
        const auto mode = behaviourFromName(p.value("mode").toStdString());
        if (!mode) {
            error = QStringLiteral("unknown --mode %1").arg(p.value("mode"));
            return false;
        }
        c.behaviour = *mode;
        const bool slow = c.behaviour == Behaviour::SlowConfirm;
        if ((p.isSet("off-after") && c.behaviour != Behaviour::OffAfter) ||
            ((p.isSet("slow-confirm-seconds") || p.isSet("slow-confirm-empty-time")) && !slow)) {
            error = QStringLiteral("that option does not belong to --mode %1").arg(p.value("mode"));
            return false;
        }
    } else if (p.isSet("off-after") &&
               (p.isSet("slow-confirm-seconds") || p.isSet("slow-confirm-empty-time"))) {
        error = QStringLiteral("--off-after and --slow-confirm-... belong to different modes");
        return false;
    } else if (p.isSet("off-after")) {
        c.behaviour = Behaviour::OffAfter;
    } else if (p.isSet("slow-confirm-seconds") || p.isSet("slow-confirm-empty-time")) {
        c.behaviour = Behaviour::SlowConfirm;
    }
    c.slowConfirmEmptyTime = p.isSet("slow-confirm-empty-time");
    if (p.isSet("chunking")) {
        const auto chunking = chunkingFromName(p.value("chunking").toStdString());
        if (!chunking) {
            error = QStringLiteral("unknown --chunking %1").arg(p.value("chunking"));
            return false;
        }
        c.chunking = *chunking;
    }
    if (!number("off-after", 0, kLongest, c.offAfterSeconds) ||
        !number("slow-confirm-seconds", 0, kLongest, c.slowConfirmSeconds) ||
        !number("reset-silence", 0, kLongest, c.resetSilenceSeconds) ||
        !number("ttff", 0, kLongest, c.timeToFirstFixSeconds) ||
        !number("time-known-after", 0, kLongest, c.timeKnownAfterSeconds) ||
        !number("rate", 1, 10, c.rateHz) || !number("baud", 0, 921600, line.baud) ||
        !number("fix-quality", 1, 8, c.fixQuality))
        return false;
    if (p.isSet("sats")) {
        int used = 0;
        if (!number("sats", 0, 99, used)) return false;
        c.satellitesUsed = used;
    }
    if (p.isSet("hdop") && !readHdop(p.value("hdop"), c.hdop)) {
        error = QStringLiteral(
            "--hdop takes a number from 0.01 to 99.99 with at most two "
            "decimals, e.g. 0.9");
        return false;
    }
    if (p.isSet("snr") && !readSnr(p.value("snr"), c.snr, error)) return false;
    const bool scpi = p.value("generator").startsWith(QLatin1String("tcp:"));
    if (p.isSet("generator") &&
        !(scpi ? readRfInput(p, c, line, error) : readGenerator(p, c, error)))
        return false;
    for (const char* name :
         {"path-loss", "noise-figure", "acquisition-threshold", "tracking-threshold"}) {
        if (p.isSet(name) && !c.rf) {
            error = QStringLiteral("--%1 is for --generator tcp://HOST[:PORT]").arg(name);
            return false;
        }
    }
    if (p.isSet("family")) {
        const std::string name = p.value("family").toStdString();
        const auto family = std::find(std::begin(kModelledFamilies), std::end(kModelledFamilies),
                                      gpslink::ReceiverFamily(name));
        if (family == std::end(kModelledFamilies)) {
            error = QStringLiteral(
                        "unknown --family %1 (sirf, mtk, airoha, quectel-lg, casic or "
                        "ublox)")
                        .arg(p.value("family"));
            return false;
        }
        c.family = *family;
    }
    if (!number("warm-ttff", 0, kLongest, c.warmTtffSeconds) ||
        !number("hot-ttff", 0, kLongest, c.hotTtffSeconds))
        return false;
    c.hotKeepsFix = p.isSet("hot-keeps-fix");
    if (c.hotKeepsFix && p.isSet("hot-ttff")) {
        error = QStringLiteral("--hot-keeps-fix and --hot-ttff contradict each other");
        return false;
    }
    line.powerFile = p.value("power-file");
    if (p.isSet("power-file") && line.powerFile.isEmpty()) {
        error = QStringLiteral("--power-file takes a path");
        return false;
    }
    line.stuckRelay = p.isSet("stuck-relay");
    if (line.stuckRelay && line.powerFile.isEmpty()) {
        error = QStringLiteral("--stuck-relay needs --power-file");
        return false;
    }
    c.backupSupply = p.isSet("backup-supply");
    line.link = p.value("link");
    if (p.isSet("link") && line.link.isEmpty()) {
        error = QStringLiteral("--link takes a path");
        return false;
    }
    if (p.isSet("usb-drop")) {
        const auto drop = usbDropFromName(p.value("usb-drop").toStdString());
        if (!drop || *drop == UsbDrop::Off) {
            error = QStringLiteral("unknown --usb-drop %1 (same, other or never)")
                        .arg(p.value("usb-drop"));
            return false;
        }
        if (line.link.isEmpty()) {
            error = QStringLiteral("--usb-drop needs --link PATH");
            return false;
        }
        line.usbDrop = *drop;
    }
    int away = 2;
    if (!number("usb-away", 0, kLongest, away)) return false;
    if (p.isSet("usb-away") && line.usbDrop == UsbDrop::Off) {
        error = QStringLiteral("--usb-away needs --usb-drop");
        return false;
    }
    line.usbAwayMs = away * 1000;
    if (p.isSet("seed")) {
        bool ok = false;
        c.seed = p.value("seed").toULongLong(&ok);
        if (!ok) {
            error = QStringLiteral("--seed takes a whole number");
            return false;
        }
    }
    if (p.isSet("start-utc")) {
        const QString text = p.value("start-utc");
        if (text == QLatin1String("now")) {
            c.startUtc = QDateTime::currentDateTimeUtc();
        } else {
            const QTime time = QTime::fromString(text, QStringLiteral("HHmmss"));
            if (!time.isValid()) {
                error = QStringLiteral("--start-utc takes hhmmss or \"now\"");
                return false;
            }
            c.startUtc.setTime(time);
        }
    }
    if (p.isSet("replay")) {
        std::string why;
        if (!loadCapture(p.value("replay").toStdString(), c.replay, why)) {
            error = QString::fromStdString(why);
            return false;
        }
    }
    c.dualBand = p.isSet("dual-band");
    c.secondGga = p.isSet("second-gga");
    c.longSentences = p.isSet("long-sentences");
    if (p.isSet("binary")) {
        const auto binary = binaryFromName(p.value("binary").toStdString());
        if (!binary) {
            error = QStringLiteral("unknown --binary %1 (ubx, casic, sirf or rtcm3)")
                        .arg(p.value("binary"));
            return false;
        }
        c.binary = *binary;
    }
    c.sirfBinary = p.isSet("sirf-binary");
    if (c.sirfBinary && c.family != gpslink::ReceiverFamily::Sirf) {
        error = QStringLiteral("--sirf-binary is for a sirf receiver");
        return false;
    }
    c.answersIdentity = !p.isSet("no-identity");
    c.firmware = p.value("firmware").toStdString();
    c.hardware = p.value("hardware").toStdString();
    c.uniqueId = p.value("unique-id").toStdString();
    if (c.family == gpslink::ReceiverFamily::Ublox && p.isSet("unique-id") &&
        !QRegularExpression(QStringLiteral("^[0-9a-fA-F]{10}$"))
             .match(p.value("unique-id"))
             .hasMatch()) {
        error = QStringLiteral("--unique-id of a ublox receiver is ten hex digits");
        return false;
    }
    if (!readFrontEndOptions(p, c, error)) return false;
    if (p.isSet("strict-baud") && line.baud == 0) {
        error = QStringLiteral("--strict-baud needs --baud");
        return false;
    }
    line.strictBaud = p.isSet("strict-baud");
    line.intervalMs = 1000 / c.rateHz;
    return true;
}

}  // namespace gpssim
