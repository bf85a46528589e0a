#include "station/unitrun.h"

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <functional>
#include <limits>

#include "gpslink/link.h"
#include "gpslink/linkclock.h"
#include "gpslink/qtserialport.h"
#include "gpslink/view.h"
#include "station/calibration.h"
#include "station/inputpacer.h"
#include "station/words.h"

namespace station {

namespace {

constexpr qint64 kResetSilenceMs = 2000;    // a silence this long after the command is a reset
constexpr int kRestartedClockMs = 10000;    // a GGA time under 00:00:10: the clock restarted
constexpr qint64 kSkyWaitMs = 1500;         // the fix's second is over by then at any rate
constexpr int kPrepareStepMs = 100;         // while the receiver is got to know, once a run
constexpr qint64 kResetSeenShownMs = 2000;  // "reset seen", then how the acquisition goes
constexpr qint64 kListenMs = 1500;          // at each rate, for a checked sentence or packet
constexpr qint64 kAskMs = 1500;             // for an answer to one family's query
constexpr qint64 kIdentityMs = 3000;        // for the answers to the family's identity queries
constexpr qint64 kSwitchMs = 3000;          // for NMEA after the switch from SiRF binary

// The rates tried when the rate is to be found, commonest first.
constexpr int kSearchOrder[] = {9600, 4800, 115200, 38400, 57600, 19200, 230400, 460800, 921600};

// The file that keeps, per device, the rate that last worked on it.
QString ratesFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/gps-coldstart/baud-rates.json");
}

QJsonObject readRates() {
    QFile file(ratesFile());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// Notes the rate that worked on the device; several stations may share the file.
void keepRate(const QString& device, int rate) {
    const QString path = ratesFile();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) return;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(2000)) return;
    QJsonObject rates = readRates();
    if (rates.value(device).toInt() == rate) return;
    rates.insert(device, rate);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(rates).toJson());
        file.commit();
    }
}

QString lineSettings(int rate) {
    return QStringLiteral("%1,n,8,1").arg(rate);
}

QJsonArray skyJson(const Sky& sky) {
    QJsonArray satellites;
    const auto value = [](const std::optional<int>& v) {
        return v ? QJsonValue(*v) : QJsonValue();
    };
    for (const SkySatellite& s : sky.satellites) {
        QJsonArray perSignal;
        for (const SkySignal& signal : s.perSignal)
            perSignal.append(QJsonObject{
                {"id",
                 signal.id.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(signal.id))},
                {"cn0", value(signal.cn0)}});
        satellites.append(QJsonObject{{"system", QString::fromStdString(s.system)},
                                      {"prn", s.prn},
                                      {"cn0", value(s.cn0)},
                                      {"signals", perSignal}});
    }
    return satellites;
}

}  // namespace

// The link's view, kept as texts.  Every change is reported to the run.
class HeadlessView : public gpslink::View {
public:
    HeadlessView(std::string portText, std::string baudText, std::function<void()> changed)
        : port_(std::move(portText)), baud_(std::move(baudText)), changed_(std::move(changed)) {}

    std::string statusText() const override { return status_; }
    void setStatusText(std::string_view text) override {
        if (text == status_) return;
        status_.assign(text.data(), text.size());
        changed_();
    }
    void setStatusColour(gpslink::Colour) override {}
    void setLabelCaption(std::string_view caption) override {
        if (caption == label_) return;
        label_.assign(caption.data(), caption.size());
        changed_();
    }
    void setStartButtonColour(gpslink::Colour) override {}
    std::string portText() const override { return port_; }
    std::string baudText() const override { return baud_; }
    void setBaudText(std::string text) { baud_ = std::move(text); }
    void setSelectorColours(gpslink::Colour) override {}
    void setFrameEnabled(bool) override {}

private:
    std::string port_, baud_, status_, label_;
    std::function<void()> changed_;
};

// The real port, with the device named rather than numbered, binary packets
// taken out of what it hands on (see frames.h), a tap on what passes through
// it, and its reading paced with every other port's (see inputpacer.h).
class StationPort : public gpslink::QtSerialPort {
public:
    std::function<void(std::string_view)> onRaw;    // every byte, as it came
    std::function<void(std::string_view)> onInput;  // the text handed on
    std::function<void(std::string_view)> onOutput;
    StreamSplitter splitter;

    // The device is fixed by path, whatever number the link derives.
    bool setCommPort(int) override { return !portOpen(); }
    bool setPortOpen(bool open) override {
        const bool done = QtSerialPort::setPortOpen(open);
        if (open) openFailed_ = !done;
        splitter.reset();
        pacing_.reset();
        return done;
    }
    std::string input() override {
        const std::string bytes = QtSerialPort::input();
        if (bytes.empty()) return bytes;
        const bool hold = pacing_.holdAfter(bytes);
        if (onRaw) onRaw(bytes);
        std::string text = splitter.feed(bytes);
        if (onInput && !text.empty()) onInput(text);
        // What has come meanwhile is read at once, without a wake-up of its own.
        if (hold && !deviceHasInput()) InputPacer::shared().hold(*this);
        return text;
    }
    void discardInput() override {
        QtSerialPort::discardInput();
        pacing_.reset();
    }
    void output(std::string_view text) override {
        if (onOutput) onOutput(text);
        QtSerialPort::output(text);
    }
    bool openFailed() const { return openFailed_; }

private:
    bool openFailed_ = false;
    ReadPacing pacing_;
};

UnitRun::UnitRun(UnitConfig config, QObject* parent) : QObject(parent), config_(std::move(config)) {
    steady_.start();
    sinceChange_.start();
    view_ = std::make_unique<HeadlessView>(config_.port.toStdString(), std::to_string(config_.baud),
                                           [this] { onViewChanged(); });
    port_ = std::make_unique<StationPort>();
    port_->setDeviceOverride(config_.device);
    port_->setCloseDeferred(true);  // the connect step's close and reopen keep the device open
    port_->onRaw = [this](std::string_view) {
        lastReceiveMs_ = steady_.elapsed();
        if (phase_ == Phase::Commanded) armSupervisor();  // the silence is timed from here
        prep_.bytes = prep_.anyBytes = true;
    };
    port_->onInput = [this](std::string_view text) { watcher_.feed(text); };
    port_->onOutput = [this](std::string_view text) {
        if (phase_ == Phase::Watching && text == link_->startCommand()) commandQueued_ = true;
    };
    port_->splitter.onPacket = [this](const Packet& packet) {
        prep_.valid = true;
        if (packet.kind == PacketKind::Sirf) ++prep_.sirfPackets;
        identity_.packet(packet);
    };
    connect(port_.get(), &gpslink::QtSerialPort::allWritten, this, &UnitRun::onCommandWritten);
    connect(port_.get(), &gpslink::QtSerialPort::deviceLost, this, &UnitRun::onDeviceLost);
    watcher_.onGga = [this](const Gga& gga) { onGga(gga); };
    watcher_.onSecond = [this](const Second& second) { onSecond(second); };
    watcher_.onSentence = [this](std::string_view body) {
        prep_.valid = prep_.sentence = true;
        identity_.sentence(body);
    };
    if (const auto family = gpslink::receiverFamilyFromName(config_.receiver.toStdString()))
        family_ = *family;

    gpslink::LinkHooks hooks;
    hooks.report = [this](const gpslink::LinkReport& report) { onLinkReport(report); };
    link_ = std::make_unique<gpslink::Link>(*view_, *port_, std::move(hooks));
    if (!config_.command.empty()) link_->setStartCommand(config_.command);
    link_->setStartUpValues();
    // The link's own time-outs need no precision here (the run times what it
    // reports on the steady clock): its ticks come with the input.
    clock_ =
        std::make_unique<gpslink::LinkClock>(*link_, *port_, this, gpslink::Ticking::WithInput);

    supervisor_.setSingleShot(true);
    supervisor_.setTimerType(Qt::PreciseTimer);
    connect(&supervisor_, &QTimer::timeout, this, [this] {
        supervise();
        armSupervisor();
    });
    prepareTimer_.setInterval(kPrepareStepMs);
    connect(&prepareTimer_, &QTimer::timeout, this, &UnitRun::prepareStep);
}

UnitRun::~UnitRun() {
    clock_.reset();
    port_->setPortOpen(false);
}

QString UnitRun::statusText() const {
    if (phase_ == Phase::Idle) return {};
    if (phase_ == Phase::Done || ending_) return outcome_;
    Stage stage;
    stage.timesCounted = timesCounted_;
    stage.start = config_.start;
    stage.sinceCommandMs = sinceCommandMs();
    stage.sky = watcher_.sky();
    switch (phase_) {
        case Phase::Preparing:  // what it does just now says it best
            if (!note_.isEmpty()) return note_;
            stage.step = Stage::Step::Preparing;
            break;
        case Phase::Watching:
            stage.step = portOpened_ ? Stage::Step::WaitingForTime : Stage::Step::Opening;
            break;
        case Phase::Commanded:
            stage.step = Stage::Step::ResetSent;
            break;
        case Phase::Measuring:
            stage.step = Stage::Step::Measuring;
            stage.sv = config_.cn0Sv;
            stage.samples = int(signal_.result.values.size());
            stage.of = config_.cn0Samples;
            if (stage.samples > 0) stage.last = signal_.result.values.back();
            stage.sinceMs = steady_.elapsed() - signal_.sinceMs;
            break;
        default:
            stage.step = sinceChange_.elapsed() < kResetSeenShownMs ? Stage::Step::ResetSeen
                                                                    : Stage::Step::Acquiring;
    }
    const QString words = stageWords(stage);
    return note_.isEmpty() ? words : words + '\n' + note_;
}

void UnitRun::setCalibration(const std::optional<results::Calibration>& latest,
                             const QDateTime& now) {
    if (phase_ == Phase::Idle) applyCalibration(config_, latest, now);
}

void UnitRun::start() {
    if (phase_ != Phase::Idle) return;
    beginCycle();
    if (config_.testsSignal() && !config_.calibrationProblem.isEmpty()) {
        problem_ = config_.calibrationProblem;  // the port is not opened
        endCycle(outcome::kStationFault, QStringLiteral("calibration-needed"));
        return;
    }
    prepare();
}

// ---------------------------------------------------------------------------
// Getting to know the receiver, before the link runs.  The port is the run's
// own meanwhile: its notifications come here, not to the link.

void UnitRun::prepare() {
    setPhase(Phase::Preparing);
    link_->Timer_PF.setEnabled(false);  // the link's stall check waits for the link to run
    port_->setOnComm([this] { onPrepareInput(); });
    if (config_.baud > 0) {
        prep_.rates = {config_.baud};
    } else {
        const int last = readRates().value(config_.device).toInt();
        if (std::find(std::begin(kSearchOrder), std::end(kSearchOrder), last) !=
            std::end(kSearchOrder))
            prep_.rates.push_back(last);
        for (int rate : kSearchOrder)
            if (rate != last) prep_.rates.push_back(rate);
    }
    prep_.step = Preparation::Listen;
    const int first = prep_.rates.front();
    prep_.rates.erase(prep_.rates.begin());
    if (!listenAt(first)) return startLink();  // the link reports the port as it finds it
    prepareTimer_.start();
}

bool UnitRun::listenAt(int rate) {
    if (!port_->setSettings(lineSettings(rate).toStdString())) return false;
    if (!port_->portOpen() && !port_->setPortOpen(true)) return false;
    port_->discardInput();
    port_->splitter.reset();
    watcher_.resetFraming();
    prep_.rate = rate;
    prep_.since = steady_.elapsed();
    prep_.bytes = prep_.valid = prep_.sentence = false;
    prep_.sirfPackets = 0;
    note_ = QStringLiteral("listening at %1 baud").arg(rate);
    emit changed();
    return true;
}

void UnitRun::onPrepareInput() {
    if (port_->commEvent() == gpslink::comEvReceive) port_->input();  // to the watcher and reader
    if (prep_.step == Preparation::Listen || prep_.step == Preparation::Probe) prepareStep();
}

void UnitRun::prepareStep() {
    if (ending_) return;
    using gpslink::ReceiverFamily;
    const qint64 now = steady_.elapsed();
    const qint64 inStep = now - prep_.since;
    switch (prep_.step) {
        case Preparation::Listen:
            if (prep_.valid) {
                keepRate(config_.device, prep_.rate);
                if (!prep_.sentence && prep_.sirfPackets > 0) {  // SiRF binary, not NMEA
                    family_ = ReceiverFamily::Sirf;
                    config_.baud = prep_.rate;
                    config_.receiver = QStringLiteral("sirf");
                    if (!config_.toNmea || prep_.rate > 0xFFFF) {
                        note_ =
                            QStringLiteral("the receiver talks SiRF binary at %1 baud, not NMEA")
                                .arg(prep_.rate);
                        return fail(QStringLiteral("binary-mode"));
                    }
                    // Its identity while it still talks binary, then the switch.
                    for (const std::string& query : identityQueries(ReceiverFamily::Sirf, true))
                        port_->output(query);
                    prep_.step = Preparation::Switch;
                    prep_.since = now;
                    prep_.sentence = false;
                    note_ = QStringLiteral("switching the receiver from SiRF binary to NMEA");
                    emit changed();
                    return;
                }
                config_.baud = prep_.rate;
                prep_.step = Preparation::Family;
                prep_.since = now;
                return prepareStep();
            }
            if (inStep < kListenMs) return;
            if (!prep_.rates.empty()) {
                const int next = prep_.rates.front();
                prep_.rates.erase(prep_.rates.begin());
                if (!listenAt(next)) return startLink();
                return;
            }
            if (config_.baud > 0) return startLink();  // the link reports what it finds
            note_ = prep_.anyBytes ? QStringLiteral("no NMEA sentence or binary packet at any rate")
                                   : QStringLiteral("nothing at any rate");
            return fail(prep_.anyBytes ? QStringLiteral("baud-mismatch")
                                       : QStringLiteral("no-data"));
        case Preparation::Switch:
            if (!prep_.switchSent) {  // the identity first, while it talks binary
                if (!identity_.complete(ReceiverFamily::Sirf) && inStep < kIdentityMs) return;
                port_->output(sirfToNmea(prep_.rate));
                prep_.switchSent = true;
                prep_.sentence = false;
                prep_.since = now;
                return;
            }
            if (prep_.sentence) {
                config_.baud = prep_.rate;
                prep_.step = Preparation::Family;
                prep_.since = now;
                return prepareStep();
            }
            if (inStep < kSwitchMs) return;
            note_ = QStringLiteral("the receiver talks SiRF binary and did not switch to NMEA");
            return fail(QStringLiteral("binary-mode"));
        case Preparation::Family:
            if (family_ || identity_.family()) {
                if (!family_) family_ = identity_.family();
                return startLink();  // its identity is asked once the link has the port
            }
            if (prep_.asking > 0 && inStep < kAskMs) return;
            if (prep_.asking == std::size(kAskingOrder)) {
                note_ = QStringLiteral("the receiver did not say which family it is");
                return fail(QStringLiteral("family-unknown"));
            }
            note_ =
                QStringLiteral("asking whether the receiver is %1")
                    .arg(QString::fromLatin1(gpslink::nameOf(kAskingOrder[prep_.asking]).data()));
            emit changed();
            for (const std::string& query : identityQueries(kAskingOrder[prep_.asking++]))
                port_->output(query);
            prep_.since = now;
            return;
        case Preparation::Ask:  // the link runs meanwhile; its command is seconds away
            if (!identity_.complete(*family_) && inStep < kIdentityMs) return;
            prepareTimer_.stop();
            identityFails();
            return;
        case Preparation::Probe:
            if (prep_.valid) {
                note_ = QStringLiteral("the receiver talks at %1 baud, not %2")
                            .arg(prep_.rate)
                            .arg(config_.baud);
                return fail(QStringLiteral("baud-mismatch"));
            }
            if (inStep < kListenMs) return;
            if (prep_.rates.empty()) {
                note_.clear();
                return fail(QStringLiteral("baud-mismatch"));
            }
            {
                const int next = prep_.rates.front();
                prep_.rates.erase(prep_.rates.begin());
                if (!port_->setSettings(lineSettings(next).toStdString())) return;
                port_->discardInput();
                port_->splitter.reset();
                watcher_.resetFraming();
                prep_.rate = next;
                prep_.since = now;
                prep_.bytes = prep_.valid = prep_.sentence = false;
            }
            return;
    }
}

// The link has opened the port: the receiver is asked who it is, and the
// answers are awaited beside the link's count of GGA times (the command goes
// out with the fifth, seconds after the answers are due).
void UnitRun::askIdentity() {
    if (identityAsked_) return;
    identityAsked_ = true;
    if (!family_) {  // "auto", and the receiver said nothing before the link ran
        note_ = QStringLiteral("the receiver did not say which family it is");
        fail(QStringLiteral("family-unknown"));
        return;
    }
    prep_.step = Preparation::Ask;
    prep_.since = steady_.elapsed();
    if (!identity_.complete(*family_))
        for (const std::string& query : identityQueries(*family_)) port_->output(query);
    prepareTimer_.start();
    if (!config_.testsFix()) startSignal();  // the link has the port and only listens
}

// Holds what the unit said against the plan; true, the cycle failed, when
// it does not pass.
bool UnitRun::identityFails() {
    identityChecked_ = true;
    const Identity& who = identity_.identity();
    const QString firmware = QString::fromStdString(who.firmware);
    const bool expect = !config_.expectFirmware.isEmpty();
    if ((config_.requireIdentity && !who.known()) || (expect && firmware.isEmpty())) {
        note_ = QStringLiteral("the receiver did not say who it is");
        fail(QStringLiteral("identity-unknown"));
        return true;
    }
    if (expect && !QRegularExpression(config_.expectFirmware).match(firmware).hasMatch()) {
        note_ =
            QStringLiteral("firmware %1 does not match %2").arg(firmware, config_.expectFirmware);
        fail(QStringLiteral("wrong-firmware"));
        return true;
    }
    return false;
}

// The link found characters but no GGA time at the rate given: listen at the
// other rates, sending nothing, to say which one the receiver talks at.
void UnitRun::probeRates() {
    for (gpslink::TickTimer* t :
         {&link_->Timer1, &link_->Timer_PF, &link_->Timer_Start, &link_->Timer})
        t->setEnabled(false);  // the link's report stands; its supervision rests
    port_->setOnComm([this] { onPrepareInput(); });
    prep_.rates.clear();
    for (int rate : kSearchOrder)
        if (rate != config_.baud) prep_.rates.push_back(rate);
    prep_.step = Preparation::Probe;
    prep_.since = steady_.elapsed() - kListenMs;  // the rate given was heard out
    prep_.valid = false;
    prepareTimer_.start();
}

void UnitRun::startLink() {
    prepareTimer_.stop();
    port_->setPortOpen(false);
    note_.clear();
    if (family_) {
        config_.receiver = QString::fromLatin1(gpslink::nameOf(*family_).data());
        if (const auto start = gpslink::startTypeFromName(config_.start.toStdString()))
            config_.command = gpslink::resetCommand(*family_, *start);
    }
    if (!config_.command.empty()) link_->setStartCommand(config_.command);
    link_->setListenOnly(!config_.testsFix());
    if (config_.baud > 0) view_->setBaudText(std::to_string(config_.baud));
    clock_->connectPort();
    link_->setStartUpValues();  // as a fresh link, its stall check running
    link_->Timer_PF.setEnabled(true);
    setPhase(Phase::Watching);
    link_->Cmd_Start_1_Click();  // the box is empty: arm the connect step
}

void UnitRun::beginCycle() {
    ++cycle_;
    cycleStarted_ = QDateTime::currentDateTimeUtc();
    confirmed_ = hadFix_ = commandQueued_ = resetVerified_ = ending_ = portOpened_ = false;
    timesCounted_ = 0;
    unrealFix_ = 0;
    note_.clear();
    problem_.clear();
    commandAtMs_.reset();
    ttffS_.reset();
    fix_.reset();
    watcher_.resetFraming();
    signal_ = {};
    signal_.result.sv = config_.cn0Sv;
    signal_.result.offset = config_.offset;
    signal_.result.calibrationId = config_.calibrationId;
    fixVerdict_.reset();
    link_->setListenOnly(!config_.testsFix());
    setPhase(Phase::Watching);
}

void UnitRun::interrupt() {
    interrupted_ = true;
    if (phase_ == Phase::Idle || phase_ == Phase::Done) {
        finish();
        return;
    }
    if (!ending_) endCycle(QStringLiteral("interrupted"), QStringLiteral("interrupted"));
}

void UnitRun::setPhase(Phase phase) {
    if (phase == phase_) return;
    phase_ = phase;
    sinceChange_.restart();
    armSupervisor();
    emit changed();
}

qint64 UnitRun::sinceCommandMs() const {
    return commandAtMs_ ? steady_.elapsed() - *commandAtMs_ : 0;
}

void UnitRun::onViewChanged() {
    emit changed();
}

void UnitRun::onLinkReport(const gpslink::LinkReport& report) {
    if (ending_ || stopping_ || phase_ == Phase::Idle || phase_ == Phase::Preparing ||
        phase_ == Phase::Done || prep_.step == Preparation::Probe)
        return;
    using gpslink::LinkEvent;
    switch (report.event) {
        case LinkEvent::PortOpened:
        case LinkEvent::TimeCounted:  // a receiver not heard before the link ran talks now
            if (report.event == LinkEvent::PortOpened)
                portOpened_ = true;
            else
                timesCounted_ = report.count;
            if (report.event == LinkEvent::TimeCounted || prep_.valid) askIdentity();
            break;
        case LinkEvent::Confirmed:
            confirmed_ = true;
            break;
        case LinkEvent::NoData:
            if (port_->openFailed()) {
                problem_ = portProblem(config_.device, port_->errorText());
                endCycle(QStringLiteral("station-fault"), QStringLiteral("port-unavailable"));
            } else
                fail(QStringLiteral("no-data"));
            break;
        case LinkEvent::BaudMismatch:
            probeRates();  // then fails, saying the rate found if any
            break;
        case LinkEvent::ReceiverOff:  // silent after the confirmation
        case LinkEvent::Stalled:      // characters came, then silence so long that the link gave up
            fail(QStringLiteral("receiver-off"));
            break;
        default:
            break;
    }
}

void UnitRun::onCommandWritten() {
    if (!commandQueued_ || commandAtMs_ || ending_) return;
    commandAtNs_ = steady_.nsecsElapsed();
    commandAtMs_ = commandAtNs_ / 1000000;
    setPhase(Phase::Commanded);
}

void UnitRun::onDeviceLost() {
    if (ending_ || phase_ == Phase::Idle || phase_ == Phase::Done) return;
    if (!commandQueued_ || fix_) {
        note_ = QStringLiteral("the device went away");
        fail(QStringLiteral("receiver-off"));
        return;
    }
    // Many USB receivers re-enumerate while they reset.
    const QFileInfo device(config_.device);
    entriesAtDrop_ = device.dir().entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    away_ = new QFileSystemWatcher({device.absolutePath()}, this);
    connect(away_, &QFileSystemWatcher::directoryChanged, this, &UnitRun::checkReturn);
    note_ = QStringLiteral("the device went away during the reset; waiting for it");
    emit changed();
    checkReturn();
    armSupervisor();  // it may be due back already
}

// The name a device family shares: "ttyUSB" of "ttyUSB3", "gps" of "gps-1".
static QString stemOf(QString name) {
    while (!name.isEmpty() && (name.back().isDigit() || name.back() == '-' || name.back() == '_'))
        name.chop(1);
    return name;
}

static bool isCharacterDevice(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

void UnitRun::checkReturn() {
    if (!away_ || ending_) return;
    const QFileInfo device(config_.device);
    if (isCharacterDevice(config_.device) && port_->setPortOpen(true)) {
        endAway();
        note_.clear();
        watcher_.resetFraming();
        emit changed();
        return;
    }
    const QStringList now =
        device.dir().entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : now) {
        if (entriesAtDrop_.contains(entry) || entry == device.fileName()) continue;
        if (stemOf(entry) != stemOf(device.fileName()) ||
            !isCharacterDevice(device.dir().filePath(entry)))
            continue;
        note_ = QStringLiteral("the receiver came back as %1, not at %2")
                    .arg(device.dir().filePath(entry), config_.device);
        fail(QStringLiteral("receiver-off"));
        return;
    }
}

void UnitRun::endAway() {
    if (!away_) return;
    // Often called from the watcher's own change signal: it goes once that returns.
    away_->disconnect(this);
    away_->deleteLater();
    away_ = nullptr;
}

void UnitRun::onGga(const Gga& gga) {
    if (ending_ || fix_ || phase_ == Phase::Preparing || phase_ == Phase::Measuring) return;
    const bool resetSeenBefore = phase_ == Phase::ResetSeen;
    if (phase_ == Phase::Commanded) {
        const bool lostFix = gga.quality == 0 || !gga.timeMs;
        if ((lostFix && hadFix_) || (gga.timeMs && *gga.timeMs < kRestartedClockMs)) verify();
    }
    if (gga.quality > 0) {
        const bool counts = resetSeenBefore || (phase_ == Phase::Commanded &&
                                                !config_.requireReset && commandAtMs_.has_value());
        if (counts && isRealFix(gga.quality)) {
            ttffS_ = double(steady_.nsecsElapsed() - commandAtNs_) / 1e9;
            fix_ = gga;
            fixAtMs_ = steady_.elapsed();
            armSupervisor();
            emit changed();
        } else if (commandAtMs_ && !isRealFix(gga.quality)) {
            // Estimated (6) may still turn into a real fix; manual input (7)
            // and simulation (8) never do: a unit left in demo mode.
            if (counts) unrealFix_ = gga.quality;  // it would have been the fix
            if (gga.quality >= 7) {
                note_ = QStringLiteral("GGA fix quality %1, not a fix from satellites")
                            .arg(gga.quality);
                fail(QStringLiteral("not-a-real-fix"));
                return;
            }
        }
        hadFix_ = true;
    }
}

// A second ended: when it is the fix's, its sky is whole.
void UnitRun::onSecond(const Second& second) {
    if (ending_) return;
    if (signal_.running) sampleSignal(second);
    if (fix_ && !fixVerdict_ && phase_ != Phase::Measuring && !ending_) decide(second);
}

// ---------------------------------------------------------------------------
// The signal test

void UnitRun::startSignal() {
    if (signal_.started) return;
    signal_.started = signal_.running = true;
    signal_.sinceMs = steady_.elapsed();
    setPhase(Phase::Measuring);
}

void UnitRun::sampleSignal(const Second& second) {
    const auto colon = config_.cn0Sv.indexOf(QLatin1Char(':'));
    const std::string system = config_.cn0Sv.left(colon).toStdString();
    const int prn = config_.cn0Sv.mid(colon + 1).toInt();
    for (const SkySatellite& s : second.sky.satellites) {
        if (s.system != system || s.prn != prn || !s.cn0 || *s.cn0 <= 0) continue;
        std::vector<int>& values = signal_.result.values;
        if (values.empty()) {  // first seen: the time-out counts from here
            signal_.sinceMs = steady_.elapsed();
            armSupervisor();
        }
        values.push_back(*s.cn0);
        emit changed();
        if (int(values.size()) >= config_.cn0Samples) signalDone();
        return;
    }
}

// The readings are in, or the time is up.
void UnitRun::signalDone() {
    signal_.running = false;
    if (!fixVerdict_ && !identityChecked_ && identityFails()) return;  // the signal test alone
    judgeSignal();
    endCycle(signal_.result.result, signal_.result.reason);
}

void UnitRun::judgeSignal() {
    signal_.running = false;
    signal_.judged = true;
    SignalResult& s = signal_.result;
    const auto mean = s.mean();
    const Limits& limits = config_.limits;
    if (int(s.values.size()) < config_.cn0Samples || !mean)
        s.reason = QStringLiteral("signal-not-seen");
    else if (limits.cn0Low && *mean < *limits.cn0Low)
        s.reason = QStringLiteral("signal-low");
    else if (limits.cn0High && *mean > *limits.cn0High)
        s.reason = QStringLiteral("signal-high");
    else
        s.reason = QStringLiteral("ok");
    s.result = s.reason == QLatin1String("ok") ? outcome::kPass : outcome::kFail;
}

void UnitRun::verify() {
    resetVerified_ = true;
    setPhase(Phase::ResetSeen);
}

void UnitRun::supervise() {
    if (ending_) return;
    const qint64 now = steady_.elapsed();
    if (phase_ == Phase::Measuring) {  // not seen, or not for long enough, within the time-out
        if (signal_.running && now - signal_.sinceMs >= qint64(config_.fixTimeoutS) * 1000)
            signalDone();
        return;
    }
    if (fix_) {
        if (now - *fixAtMs_ >= kSkyWaitMs) decide(watcher_.second());
        return;
    }
    if (!commandAtMs_) return;
    if (phase_ == Phase::Commanded &&
        now - std::max(lastReceiveMs_, *commandAtMs_) >= kResetSilenceMs)
        verify();
    const qint64 since = sinceCommandMs();
    if (away_ && since >= qint64(config_.confirmTimeoutS) * 1000) {
        note_ = QStringLiteral("the device did not come back at %1").arg(config_.device);
        fail(QStringLiteral("receiver-off"));
        return;
    }
    if (since >= qint64(config_.confirmTimeoutS) * 1000) {
        if (!confirmed_) {  // not one GGA time since the command
            fail(QStringLiteral("no-confirmation"));
            return;
        }
        if (phase_ == Phase::Commanded && config_.requireReset) {
            fail(QStringLiteral("reset-not-taken"));
            return;
        }
    }
    if (since >= qint64(config_.fixTimeoutS) * 1000) {
        if (unrealFix_)
            note_ = QStringLiteral("GGA fix quality %1, not a fix from satellites").arg(unrealFix_);
        fail(unrealFix_ ? QStringLiteral("not-a-real-fix") : QStringLiteral("no-fix"));
    }
}

// Sets the supervisor for the next moment at which supervise() may have to
// act: the fix's second surely over, two seconds of silence after the command
// (set again at every receive while the reset is awaited), the confirmation
// limit, the fix limit; while the signal is measured, its time-out.  Nothing
// is polled in between.  A moment already past
// that still asks for an action (a device away after the confirmation limit)
// is due at once.
void UnitRun::armSupervisor() {
    if (!ending_ && phase_ == Phase::Measuring && signal_.running) {
        const qint64 next = signal_.sinceMs + qint64(config_.fixTimeoutS) * 1000;
        supervisor_.start(
            int(std::clamp<qint64>(next - steady_.elapsed(), 0, std::numeric_limits<int>::max())));
        return;
    }
    const bool supervised = phase_ == Phase::Commanded || phase_ == Phase::ResetSeen;
    if (ending_ || !supervised || !commandAtMs_) {
        supervisor_.stop();
        return;
    }
    const qint64 now = steady_.elapsed();
    qint64 next = std::numeric_limits<qint64>::max();
    if (fix_) {
        next = *fixAtMs_ + kSkyWaitMs;
    } else {
        const qint64 confirmAt = *commandAtMs_ + qint64(config_.confirmTimeoutS) * 1000;
        if (phase_ == Phase::Commanded)
            next = std::max(lastReceiveMs_, *commandAtMs_) + kResetSilenceMs;
        if (confirmAt > now || away_) next = std::min(next, confirmAt);
        next = std::min(next, *commandAtMs_ + qint64(config_.fixTimeoutS) * 1000);
    }
    supervisor_.start(int(std::clamp<qint64>(next - now, 0, std::numeric_limits<int>::max())));
}

// The fix is in and its second is whole: hold it to the limits.
void UnitRun::decide(const Second& second) {
    atFix_ = second;
    if (!identityChecked_ && identityFails()) return;  // it began talking only later
    const Limits& limits = config_.limits;
    const int satellites = second.gsaSatellites.value_or(fix_->satellites.value_or(0));
    if (limits.maxTtffS && *ttffS_ > *limits.maxTtffS)
        fail(QStringLiteral("ttff-over-limit"));
    else if (limits.minSats && satellites < *limits.minSats)
        fail(QStringLiteral("too-few-satellites"));
    else if (limits.minCn0 && second.sky.meanTop4.value_or(0) < *limits.minCn0)
        fail(QStringLiteral("cn0-under-limit"));
    else
        endCycle(QStringLiteral("pass"), QStringLiteral("ok"));
}

// The fix test's verdicts after which the receiver still talks and its
// signal can be measured.
static bool keepsTalking(const QString& reason) {
    static const QStringList reasons = {"ok",
                                        "ttff-over-limit",
                                        "too-few-satellites",
                                        "cn0-under-limit",
                                        "no-fix",
                                        "not-a-real-fix",
                                        "reset-not-taken",
                                        "wrong-firmware",
                                        "identity-unknown"};
    return reasons.contains(reason);
}

// A verdict: of the fix test, of the signal test, or of the line.
void UnitRun::endCycle(const QString& result, const QString& reason) {
    if (ending_) return;
    if (config_.testsSignal() && !signal_.judged) {
        if (config_.testsFix() && !fixVerdict_ && result != outcome::kInterrupted &&
            keepsTalking(reason)) {
            fixVerdict_.emplace(result, reason);
            link_->setListenOnly(true);  // a command not yet out stays in
            supervisor_.stop();
            startSignal();
            emit changed();
            return;
        }
        if (signal_.started && result != outcome::kInterrupted) judgeSignal();
    }
    // The fix test's failure comes first; a station fault stands whatever it.
    if (fixVerdict_ && fixVerdict_->first != outcome::kPass && result != outcome::kStationFault)
        return closeCycle(fixVerdict_->first, fixVerdict_->second);
    closeCycle(result, reason);
}

void UnitRun::closeCycle(const QString& result, const QString& reason) {
    ending_ = true;
    supervisor_.stop();
    prepareTimer_.stop();
    endAway();
    CycleResult r;
    r.port = config_.port;
    r.device = config_.device;
    r.baud = config_.baud;
    r.unit = config_.unit;
    r.station = config_.station;
    r.operatorName = config_.operatorName;
    r.lot = config_.lot;
    r.receiver = config_.receiver;
    r.start = config_.start;
    r.cycle = cycle_;
    r.started = cycleStarted_;
    r.ended = QDateTime::currentDateTimeUtc();
    r.result = result;
    r.reason = reason;
    r.coldStartSent = commandQueued_;
    r.confirmed = confirmed_;
    r.resetVerified = resetVerified_;
    if (fix_) {
        r.ttffS = ttffS_;
        r.satellitesGga = fix_->satellites;
        r.satellites = atFix_.gsaSatellites ? atFix_.gsaSatellites : fix_->satellites;
        r.hdop = fix_->hdop;
        r.svWithSnr = atFix_.sky.withSnr;
        r.cn0Max = atFix_.sky.max;
        r.cn0Mean4 = atFix_.sky.meanTop4;
        r.sky = skyJson(atFix_.sky);
    }
    const Identity& who = identity_.identity();
    r.firmware = QString::fromStdString(who.firmware);
    r.hardware = QString::fromStdString(who.hardware);
    r.uniqueId = QString::fromStdString(who.uniqueId);
    r.limits = config_.limits;
    r.plan = config_.plan;
    r.planSha256 = config_.planSha256;
    r.tests = config_.tests;
    if (config_.testsSignal()) r.signal = signal_.result;
    outcome_ = outcomeWords(r, config_.confirmTimeoutS, config_.fixTimeoutS, problem_, note_);
    r.status = outcome_;
    // The link may be inside one of its handlers: what follows waits until
    // it has returned, and the status is read then.
    QMetaObject::invokeMethod(
        this,
        [this, r]() mutable {
            tally_.add(r);
            const bool again = r.ttffS.has_value() && !interrupted_ && cycle_ < config_.cycles;
            emit cycleEnded(r);
            if (again) {
                stopping_ = true;
                link_->Cmd_Start_1_Click();  // stop: the port closes, the state resets
                // A stop keeps an unfinished sentence, which would swallow the
                // next cycle's first GGA: each cycle starts as a fresh link does.
                link_->setStartUpValues();
                stopping_ = false;
                beginCycle();
                link_->Cmd_Start_1_Click();  // start again
            } else {
                finish();
            }
        },
        Qt::QueuedConnection);
}

void UnitRun::finish() {
    if (phase_ == Phase::Done) return;
    clock_.reset();
    port_->setPortOpen(false);
    setPhase(Phase::Done);
    emit finished();
}

}  // namespace station
