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
#include "gpslink/linkdriver.h"
#include "gpslink/qtserialport.h"
#include "gpslink/view.h"
#include "station/calibration.h"
#include "station/inputpacer.h"
#include "station/words.h"

namespace station {

namespace {

constexpr int kPrepareStepMs = 100;         // while the receiver is got to know, once a run
constexpr qint64 kResetSeenShownMs = 2000;  // "reset seen", then how the acquisition goes
constexpr int kUnreadWaits = 5;             // holds a deadline waits for bytes to be read

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

// The real port, with the device named rather than numbered, binary packets
// taken out of what it hands on (see frames.h), a tap on what passes through
// it, and its reading paced with every other port's (see inputpacer.h).
class StationPort : public gpslink::QtSerialPort {
public:
    std::function<void(std::string_view)> onRaw;    // every byte, as it came
    std::function<void(std::string_view)> onInput;  // the text handed on
    std::function<void(std::string_view)> onOutput;
    std::function<void(bool open, bool done)> onOpen;
    std::function<void(std::string_view)> onSettings;
    StreamSplitter splitter;

    bool setPortOpen(bool open) override {
        const bool was = portOpen();
        const bool done = QtSerialPort::setPortOpen(open);
        if (onOpen && (was != open || !done)) onOpen(open, done);
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
    bool setSettings(std::string_view lineSettings) override {
        const bool changed = lineSettings != settings();
        const bool done = QtSerialPort::setSettings(lineSettings);
        if (done && changed && onSettings) onSettings(lineSettings);
        return done;
    }
    bool openFailed() const { return openFailed_; }

private:
    bool openFailed_ = false;
    ReadPacing pacing_;
};

UnitRun::UnitRun(UnitConfig config, QObject* parent) : QObject(parent), config_(std::move(config)) {
    steady_.start();
    sinceChange_.start();
    port_ = std::make_unique<StationPort>();
    port_->setDeviceOverride(config_.device);
    port_->setCloseDeferred(true);  // the connect step's close and reopen keep the device open
    port_->onRaw = [this](std::string_view bytes) {
        keep(results::evidence::Kind::Received, bytes);
        if (fixTest_) fixTest_->received(steady_.elapsed());
        // The silence, and the quiet after a fix, are timed from here.
        if (phase_ == Phase::Commanded || (fixTest_ && fixTest_->fixPending())) armSupervisor();
        if (probe_) probe_->heardBytes();
        if (powerProof_) powerProof_->received(steady_.elapsed());
    };
    port_->onInput = [this](std::string_view text) { watcher_.feed(text); };
    port_->onOutput = [this](std::string_view text) {
        keep(results::evidence::Kind::Sent, text);
        if (phase_ == Phase::Watching && text == link_->startCommand()) commandQueued_ = true;
    };
    if (config_.keepsEvidence()) {
        port_->onOpen = [this](bool open, bool done) {
            if (open && done && openedMs_ < 0) openedMs_ = steady_.elapsed();
            if (openedMs_ < 0) return;
            const QString line = QString::fromStdString(port_->settings());
            evidence_.note(steady_.elapsed() - openedMs_,
                           !open  ? QStringLiteral("port closed")
                           : done ? QStringLiteral("port %1 opened at %2").arg(config_.device, line)
                                  : QStringLiteral("port %1 did not open").arg(config_.device));
        };
        port_->onSettings = [this](std::string_view line) {
            if (openedMs_ >= 0)
                evidence_.note(steady_.elapsed() - openedMs_,
                               QStringLiteral("line set to %1").arg(QLatin1String(line)));
        };
    }
    port_->splitter.onPacket = [this](const Packet& packet) {
        if (probe_) probe_->heardPacket(packet.kind == PacketKind::Sirf);
        identity_.packet(packet);
        if (const auto frontEnd = frontEndFromPacket(packet)) {
            heardAntenna(frontEnd->antenna);
            if (signal_ && !ending_) signal_->frontEnd(*frontEnd);
        }
        if (phase_ == Phase::Configuring && !ending_) {
            configTest_->packet(packet, steady_.elapsed());
            followConfig();
        }
        whenReady();
    };
    connect(port_.get(), &gpslink::QtSerialPort::allWritten, this, &UnitRun::onCommandWritten);
    connect(port_.get(), &gpslink::QtSerialPort::deviceLost, this, &UnitRun::onDeviceLost);
    watcher_.onGga = [this](const Gga& gga) { onGga(gga); };
    watcher_.onSecond = [this](const Second& second) { onSecond(second); };
    watcher_.onSentence = [this](std::string_view body) {
        if (probe_) probe_->heardSentence();
        identity_.sentence(body);
        if (powerProof_) {
            powerProof_->sentence(body);
            if (followPowerProof()) return;
        }
        heardAntenna(antennaFromSentence(body));
        if (phase_ == Phase::Configuring && !ending_) {
            configTest_->sentence(body, steady_.elapsed());
            followConfig();
        }
        if (fixTest_) fixTest_->sentence(body);
        if (portOpened_) heardSinceOpen_ = true;
        whenReady();
    };
    if (const auto family = gpslink::receiverFamilyFromName(config_.receiver.toStdString()))
        family_ = *family;

    gpslink::LinkHooks hooks;
    hooks.report = [this](const gpslink::LinkReport& report) { onLinkReport(report); };
    link_ = std::make_unique<gpslink::LinkDriver>(*port_, std::move(hooks));
    link_->onShown = [this] { emit changed(); };
    link_->setRate(config_.baud);
    if (!config_.command.empty()) link_->setStartCommand(config_.command);
    link_->reset();
    // The link's own time-outs need no precision here (the run times what it
    // reports on the steady clock): its ticks come with the input.
    clock_ = std::make_unique<gpslink::LinkClock>(link_->link(), *port_, this,
                                                  gpslink::Ticking::WithInput);

    supervisor_.setSingleShot(true);
    supervisor_.setTimerType(Qt::PreciseTimer);
    connect(&supervisor_, &QTimer::timeout, this, [this] {
        // Bytes that wait unread (the station was held up, or its reading is
        // paced) are read before a deadline is judged: a unit whose sentences
        // are in the port has not fallen silent, nor is it late.  A line that
        // never stops waits a few holds at most.
        if (!ending_ && unreadWaits_ < kUnreadWaits && port_->portOpen() &&
            port_->deviceHasInput()) {
            ++unreadWaits_;
            supervisor_.start(InputPacer::kHoldMs);
            return;
        }
        unreadWaits_ = 0;
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
    if (phase_ == Phase::Done || ending_ || refused()) return outcome_;
    Stage stage;
    stage.timesCounted = link_->timesCounted();
    stage.start = config_.start;
    stage.sinceCommandMs = sinceCommandMs();
    stage.sky = watcher_.sky();
    switch (phase_) {
        case Phase::Asking:
        case Phase::Powering:
            return note_;
        case Phase::Preparing:  // what it does just now says it best
            if (!note_.isEmpty()) return note_;
            stage.step = Stage::Step::Preparing;
            break;
        case Phase::Watching:
            stage.step = !portOpened_ ? Stage::Step::Opening
                         : config_.sendsWhenReady() && config_.testsFix()
                             ? Stage::Step::WaitingForReceiver
                             : Stage::Step::WaitingForTime;
            break;
        case Phase::Commanded:
            stage.step = Stage::Step::ResetSent;
            break;
        case Phase::Measuring:
            stage.step = Stage::Step::Measuring;
            stage.sv = config_.cn0Sv;
            stage.samples = int(signal_->result().values.size());
            stage.of = config_.cn0Samples;
            if (stage.samples > 0) stage.last = signal_->result().values.back();
            stage.sinceMs = steady_.elapsed() - signal_->sinceMs();
            break;
        case Phase::Observing:
            stage.step = Stage::Step::Observing;
            stage.sinceMs = sinceChange_.elapsed();
            if (antenna_ && antenna_->state())
                stage.antenna = QLatin1String(nameOf(*antenna_->state()).data());
            break;
        case Phase::Configuring:
            stage.step = Stage::Step::Configuring;
            stage.config = config_.configuration->name;
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

void UnitRun::setQualification(const QString& problem) {
    if (phase_ == Phase::Idle) config_.qualificationProblem = problem;
}

void UnitRun::start() {
    if (phase_ != Phase::Idle) return;
    if (!config_.routeCheck.isEmpty()) return askLine();
    begin();
}

void UnitRun::begin() {
    beginCycle();
    if (!config_.qualificationProblem.isEmpty()) {
        problem_ = config_.qualificationProblem;  // the port is not opened
        endCycle(Reason::StationNotQualified);
        return;
    }
    if (config_.testsSignal() && !config_.calibrationProblem.isEmpty()) {
        problem_ = config_.calibrationProblem;  // the port is not opened
        endCycle(Reason::CalibrationNeeded);
        return;
    }
    if (config_.powerStart()) return powerCycle([this] { prepare(); });
    prepare();
}

// ---------------------------------------------------------------------------
// The line and the fixture

void UnitRun::askLine() {
    note_ = QStringLiteral("asking the line whether the unit may be tested");
    setPhase(Phase::Asking);
    const QJsonObject unit{{"unit", config_.unit}, {"station", config_.station},
                           {"slot", config_.slot}, {"port", config_.port},
                           {"lot", config_.lot},   {"operator", config_.operatorName},
                           {"plan", config_.plan}, {"plan_sha256", config_.planSha256}};
    hook_.run(hookCommand(config_.routeCheck, {}),
              QJsonDocument(unit).toJson(QJsonDocument::Compact) + '\n', kRouteCheckTimeoutMs,
              [this](const HookEnd& end) { routeAnswered(end); });
}

void UnitRun::routeAnswered(const HookEnd& end) {
    const RouteAnswer answer = routeAnswer(end);
    note_.clear();
    switch (answer.kind) {
        case RouteAnswer::Kind::Allow:
            return begin();
        case RouteAnswer::Kind::Refuse:
            refusal_ = answer.text;
            outcome_ = QStringLiteral("refused by the line: ") + refusal_;
            emit refusedByLine(refusal_);
            return finish();
        case RouteAnswer::Kind::Failed:
            beginCycle();
            problem_ = QStringLiteral("the route check ") + answer.text;
            return endCycle(Reason::RouteCheckFailed);
    }
}

// Off, the plan's off time, on; then what follows, with the power-on's moment.
void UnitRun::powerCycle(std::function<void()> then) {
    note_ = QStringLiteral("switching the slot's power off");
    setPhase(Phase::Powering);
    emit changed();
    switchPower(false, [this, then] {
        note_ = QStringLiteral("the slot's power is off for %1 s").arg(config_.powerOffTimeS);
        emit changed();
        if (config_.powerStart()) listenWhileOff();
        QTimer::singleShot(qRound(config_.powerOffTimeS * 1000), Qt::PreciseTimer, this,
                           [this, then] {
                               if (ending_) return;
                               note_ = QStringLiteral("switching the slot's power on");
                               emit changed();
                               if (powerProof_) powerProof_->switchingOn(steady_.elapsed());
                               switchPower(true, [this, then] {
                                   powerOnNs_ = steady_.nsecsElapsed();
                                   note_.clear();
                                   // Back on first, whatever the unit did meanwhile: the slot is
                                   // not left off.
                                   if (powerProof_ && powerProof_->failed()) {
                                       followPowerProof();
                                       return;
                                   }
                                   then();
                               });
                           });
    });
}

// A power start: the port listened to while the supply is off, to hear
// whether the unit fell silent (see powerproof.h).  A device that went away
// with its supply cannot be opened, and is silent.
void UnitRun::listenWhileOff() {
    powerProof_.emplace(family_);
    powerProof_->switchedOff(steady_.elapsed());
    port_->setOnComm([this] {
        if (port_->commEvent() == gpslink::comEvReceive) port_->input();
    });
    if (port_->portOpen()) return;
    if (config_.baud > 0) port_->setSettings(lineSettings(config_.baud).toStdString());
    port_->setPortOpen(true);
}

// Takes what the power proof came to: the restart proven to the fix test,
// or the cycle ended as power-failed with what the unit did.  True when it
// ended.
bool UnitRun::followPowerProof() {
    if (!powerProof_ || ending_ || !powerOnNs_) return false;  // the slot back on first
    if (powerProof_->failed()) {
        problem_ = powerProof_->note();
        note_.clear();
        endCycle(Reason::PowerFailed);
        return true;
    }
    if (powerProof_->proven() && fixTest_->commanded()) fixTest_->poweredOn(*powerOnNs_);
    return false;
}

// CMD SLOT PORT on|off; a command that fails ends the cycle as a station fault.
void UnitRun::switchPower(bool on, std::function<void()> then) {
    const QString state = on ? QStringLiteral("on") : QStringLiteral("off");
    hook_.run(hookCommand(config_.power, {QString::number(config_.slot), config_.port, state}), {},
              kPowerTimeoutMs, [this, state, then](const HookEnd& end) {
                  if (ending_) return;
                  const QString failure = hookFailure(end);
                  if (failure.isEmpty()) return then();
                  problem_ = QStringLiteral("the power command (%1) %2").arg(state, failure);
                  note_.clear();  // what it was doing: the problem says it
                  endCycle(Reason::PowerFailed);
              });
}

// A unit that has sent nothing: its slot switched off and on once, and the
// cycle begun again from getting to know the receiver.
bool UnitRun::retryByPower() {
    if (!config_.powerRetry || powerRetried_ || ending_ || interrupted_) return false;
    powerRetried_ = true;
    prepareTimer_.stop();
    supervisor_.stop();
    setPhase(Phase::Powering);  // the link's reports are not heard meanwhile
    // Often called from within the link's own report.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (ending_) return;
            link_->stop();
            port_->setPortOpen(false);
            probe_.reset();
            identityAsked_ = identityChecked_ = heardSinceOpen_ = portOpened_ = false;
            commandQueued_ = false;
            powerOnNs_.reset();
            powerProof_.reset();
            powerCycle([this] { prepare(); });
            note_ = QStringLiteral("no data: switching the slot's power off and on");
            emit changed();
        },
        Qt::QueuedConnection);
    return true;
}

// The link sends the start command itself, with the fifth GGA time.
bool UnitRun::linkSends() const {
    return config_.testsFix() && !config_.sendsWhenReady() && !config_.powerStart();
}

// ---------------------------------------------------------------------------
// Getting to know the receiver, before the link runs.  The port is the run's
// own meanwhile: its notifications come here, not to the link.

void UnitRun::prepare() {
    setPhase(Phase::Preparing);
    link_->pauseSupervision();  // its stall check waits for the link to run
    port_->setOnComm([this] { onPrepareInput(); });
    Probe::Port port;
    port.listenAt = [this](int rate) { return listenAt(rate); };
    port.send = [this](const std::string& bytes) { port_->output(bytes); };
    port.rateWorked = [this](int rate) { keepRate(config_.device, rate); };
    Probe::Settings settings{config_.baud, family_, config_.toNmea, 0};
    if (config_.baud == 0) settings.lastRate = readRates().value(config_.device).toInt();
    probe_.emplace(settings, identity_, std::move(port));
    probe_->start(steady_.elapsed());
    prepareTimer_.start();
    followProbe();
}

// The line set to the rate, its input discarded and every framing begun anew.
bool UnitRun::listenAt(int rate) {
    if (!port_->setSettings(lineSettings(rate).toStdString())) return false;
    if (!port_->portOpen() && !port_->setPortOpen(true)) return false;
    port_->discardInput();
    port_->splitter.reset();
    watcher_.resetFraming();
    return true;
}

void UnitRun::onPrepareInput() {
    if (port_->commEvent() == gpslink::comEvReceive) port_->input();  // to the watcher and reader
    const Probe::State state = probe_->state();
    if (state == Probe::State::Listening || state == Probe::State::ProbingRates) prepareStep();
}

void UnitRun::prepareStep() {
    if (ending_) return;
    probe_->step(steady_.elapsed());
    followProbe();
}

// Takes what the probe came to.
void UnitRun::followProbe() {
    if (ending_) return;
    switch (probe_->state()) {
        case Probe::State::Listening:
        case Probe::State::Switching:
        case Probe::State::AskingFamily:
            if (note_ != probe_->note()) {
                note_ = probe_->note();
                emit changed();
            }
            return;
        case Probe::State::LinkMayStart:
            if (phase_ == Phase::Preparing) startLink();
            return;
        case Probe::State::AskingIdentity:
        case Probe::State::ProbingRates:
            return;
        case Probe::State::IdentityIn:
            prepareTimer_.stop();
            // Answered in full: held to the plan now.  A unit that did not
            // answer is held to it at its verdict, its answers read meanwhile.
            if (probe_->answered() && !identityChecked_ && identityFails()) return;
            whenReady();
            return;
        case Probe::State::Failed:
            prepareTimer_.stop();
            takeFound();
            if (family_) config_.receiver = QString::fromLatin1(gpslink::nameOf(*family_).data());
            note_ = probe_->note();
            fail(*probe_->failure());
            return;
    }
}

// The rate and the family the probe found.
void UnitRun::takeFound() {
    if (probe_->rate() > 0) config_.baud = probe_->rate();
    if (probe_->family()) family_ = probe_->family();
}

// The link has opened the port: the receiver is asked who it is, and the
// answers are read beside the link's count of GGA times; the command does
// not wait for them (see whenReady(); or it goes with the fifth GGA time).
void UnitRun::askIdentity() {
    if (identityAsked_) return;
    identityAsked_ = true;
    probe_->askIdentity(steady_.elapsed());
    if (probe_->state() == Probe::State::Failed) return followProbe();
    prepareTimer_.start();
    if (config_.testsFix()) return;
    // The link has the port and only listens.
    if (config_.testsSignal())
        startSignal();
    else
        startObserving();
}

// Holds what the unit said against the plan; true, the cycle failed, when
// it does not pass.
bool UnitRun::identityFails() {
    identityChecked_ = true;
    const auto fault =
        checkIdentity(identity_.identity(), config_.requireIdentity, config_.expectFirmware);
    if (!fault) return false;
    note_ = fault->note;
    fail(fault->reason);
    return true;
}

// The link found characters but no GGA time at the rate given: listen at the
// other rates, sending nothing, to say which one the receiver talks at.
void UnitRun::probeRates() {
    link_->pauseSupervision();  // the link's report stands
    port_->setOnComm([this] { onPrepareInput(); });
    probe_->probeOtherRates(steady_.elapsed());
    prepareTimer_.start();
}

void UnitRun::startLink() {
    prepareTimer_.stop();
    port_->setPortOpen(false);
    note_.clear();
    takeFound();
    if (family_) {
        config_.receiver = QString::fromLatin1(gpslink::nameOf(*family_).data());
        if (const auto start = gpslink::startTypeFromName(config_.start.toStdString()))
            config_.command = gpslink::resetCommand(*family_, *start);
        // The slot's RF limits by the family found, not the one named.
        if (signal_ && !signal_->started()) {
            problem_ = rfLimitsFor(config_, *family_);
            if (!problem_.isEmpty()) return endCycle(Reason::CalibrationNeeded);
            signal_.emplace(signalSettings());
        }
    }
    if (!config_.command.empty()) link_->setStartCommand(config_.command);
    link_->setListenOnly(!linkSends());
    if (config_.baud > 0) link_->setRate(config_.baud);
    fixTest_.emplace(fixSettings());  // with the family and command found
    clock_->connectPort();
    setPhase(Phase::Watching);
    link_->startWatching();
    if (config_.sendsWhenReady() || config_.powerStart()) link_->connectNow();
    if (config_.powerStart() && powerOnNs_) {  // the power-on was the start
        commandQueued_ = true;
        fixTest_->commandOut(*powerOnNs_);
        if (powerProof_ && family_) powerProof_->setFamily(*family_);
        setPhase(Phase::Commanded);
        followPowerProof();  // the restart shown while the receiver was got to know
    }
}

SignalTest::Settings UnitRun::signalSettings() const {
    return {config_.cn0Sv,  config_.cn0Samples,    config_.fixTimeoutS,
            config_.offset, config_.calibrationId, config_.rfLimits};
}

FixTest::Settings UnitRun::fixSettings() const {
    FixTest::Settings settings;
    settings.requireReset = config_.requireReset;
    settings.confirmTimeoutS = config_.confirmTimeoutS;
    settings.fixTimeoutS = config_.fixTimeoutS;
    settings.limits = config_.limits;
    settings.requireProof = config_.requireHotReset;
    settings.family = family_;
    settings.command = config_.command;
    return settings;
}

// The station's own rule for the command: once the receiver is known to be
// there, it goes out (see PlanSettings::sendAfter).  Called as anything
// comes, often from within the link's receive event: the check and the
// command wait until that has returned.
void UnitRun::whenReady() {
    if (readyQueued_ || !config_.sendsWhenReady() || !config_.testsFix() ||
        phase_ != Phase::Watching || commandQueued_ || ending_ || !probe_)
        return;
    readyQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            readyQueued_ = false;
            // Asked who it is once it talks on the link's port, whether or
            // not its GGA has a time yet.
            if (!identityAsked_ && heardSinceOpen_ && !ending_ && phase_ == Phase::Watching)
                askIdentity();
            if (probe_->state() == Probe::State::AskingIdentity) {
                probe_->step(steady_.elapsed());
                // Its identity in: checked, and then back here.
                if (probe_->state() != Probe::State::AskingIdentity) return followProbe();
            }
            if (ending_ || phase_ != Phase::Watching || commandQueued_ || fixVerdict_) return;
            // Heard on the link's port: the fix test has seen what the unit
            // had before the command.
            if (probe_->commandMayGo() && heardSinceOpen_) link_->sendStartCommand();
        },
        Qt::QueuedConnection);
}

void UnitRun::beginCycle() {
    ++cycle_;
    cycleStarted_ = QDateTime::currentDateTimeUtc();
    commandQueued_ = ending_ = portOpened_ = false;
    note_.clear();
    problem_.clear();
    watcher_.resetFraming();
    heardSinceOpen_ = ggaSinceCommand_ = false;
    fixTest_.emplace(fixSettings());
    signal_.reset();
    if (config_.testsSignal()) signal_.emplace(signalSettings());
    fixVerdict_.reset();
    antenna_.reset();
    if (config_.testsAntenna()) {
        antenna_.emplace();
        antenna_->start(steady_.elapsed());
    }
    link_->setListenOnly(!linkSends());
    powerOnNs_.reset();
    powerProof_.reset();
    setPhase(Phase::Watching);
}

void UnitRun::interrupt() {
    interrupted_ = true;
    hook_.cancel();
    if (phase_ == Phase::Idle || phase_ == Phase::Done || phase_ == Phase::Asking) {
        finish();
        return;
    }
    if (!ending_) endCycle(Reason::Interrupted);
}

void UnitRun::setPhase(Phase phase) {
    if (phase == phase_) return;
    phase_ = phase;
    sinceChange_.restart();
    armSupervisor();
    emit changed();
}

qint64 UnitRun::sinceCommandMs() const {
    const auto at = fixTest_ ? fixTest_->commandAtMs() : std::nullopt;
    return at ? steady_.elapsed() - *at : 0;
}

FixTest::Line UnitRun::line() const {
    // Commanded as soon as it talks, a unit may not know the time for a
    // whole TTFF: any checked GGA after the command is its answer.
    const bool answered = (config_.sendsWhenReady() || config_.powerStart()) && ggaSinceCommand_;
    return {link_->stage() == gpslink::LinkDriver::Stage::Confirmed || answered, away_ != nullptr};
}

void UnitRun::onLinkReport(const gpslink::LinkReport& report) {
    if (ending_ || stopping_ || phase_ == Phase::Idle || phase_ == Phase::Preparing ||
        phase_ == Phase::Done || phase_ == Phase::Configuring || phase_ == Phase::Asking ||
        phase_ == Phase::Powering || probe_->state() == Probe::State::ProbingRates)
        return;
    using gpslink::LinkEvent;
    switch (report.event) {
        case LinkEvent::PortOpened:
        case LinkEvent::TimeCounted:  // a receiver not heard before the link ran talks now
            if (report.event == LinkEvent::PortOpened) portOpened_ = true;
            if (report.event == LinkEvent::TimeCounted || probe_->heard()) askIdentity();
            break;
        case LinkEvent::NoData:
            if (port_->openFailed()) {
                problem_ = portProblem(config_.device, port_->errorText());
                endCycle(Reason::PortUnavailable);
            } else
                fail(Reason::NoData);
            break;
        case LinkEvent::BaudMismatch:
            // Checked sentences at this rate: the rate is right, the GGA has
            // no time yet (a receiver that has not learnt it, or restarting).
            if (config_.sendsWhenReady() && heardSinceOpen_) break;
            probeRates();  // then fails, saying the rate found if any
            break;
        case LinkEvent::ReceiverOff:  // silent after the confirmation
        case LinkEvent::Stalled:      // characters came, then silence so long that the link gave up
            fail(Reason::ReceiverOff);
            break;
        default:
            break;
    }
}

void UnitRun::onCommandWritten() {
    if (!commandQueued_ || fixTest_->commanded() || ending_) return;
    fixTest_->commandOut(steady_.nsecsElapsed());
    setPhase(Phase::Commanded);
}

void UnitRun::onDeviceLost() {
    if (ending_ || phase_ == Phase::Idle || phase_ == Phase::Done) return;
    if (!commandQueued_ || fixTest_->fix()) {
        note_ = QStringLiteral("the device went away");
        fail(Reason::ReceiverOff);
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
        fail(Reason::ReceiverOff);
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
    if (powerProof_ && !ending_) {
        powerProof_->gga(gga, steady_.elapsed());
        if (followPowerProof()) return;
    }
    if (ending_ || phase_ == Phase::Powering || phase_ == Phase::Preparing ||
        phase_ == Phase::Measuring || phase_ == Phase::Observing || phase_ == Phase::Configuring)
        return;
    const bool fixBefore = fixTest_->fix().has_value();
    if (fixTest_->commanded()) ggaSinceCommand_ = true;
    fixTest_->gga(gga, steady_.nsecsElapsed());
    followFixTest();
    if (!fixBefore && fixTest_->fix() && !ending_) emit changed();
}

// A second ended: a reading for the signal test; when it is the fix's, its
// sky is whole.
void UnitRun::onSecond(const Second& second) {
    if (ending_) return;
    if (signal_ && signal_->running()) {
        // A u-blox receiver's front end, polled once a second (UBX-MON-HW).
        if (family_ == gpslink::ReceiverFamily::Ublox)
            port_->output(gpslink::ubxFrame(0x0A, 0x09, {}));
        const bool first = signal_->result().values.empty();
        if (signal_->secondEnded(second, steady_.elapsed())) {
            if (first) armSupervisor();  // the time-out counts from the first reading
            emit changed();
        }
        if (signal_->over()) return signalDone();
    }
    if (phase_ != Phase::Measuring && phase_ != Phase::Configuring) {
        fixTest_->secondEnded(second);
        followFixTest();
    }
}

// Takes what the fix test came to: the reset seen, the fix in, a verdict.
void UnitRun::followFixTest() {
    if (ending_ || phase_ == Phase::Measuring) return;
    if (fixTest_->resetSeen() && phase_ == Phase::Commanded) {
        setPhase(Phase::ResetSeen);
        // Its answers may have been cut short by the reset: asked again.
        if (probe_) probe_->askAgain(steady_.elapsed());
        if (probe_ && probe_->state() == Probe::State::AskingIdentity) prepareTimer_.start();
    }
    const auto verdict = fixTest_->verdict();
    if (!verdict) return armSupervisor();
    if (!fixTest_->note().isEmpty()) note_ = fixTest_->note();
    if (*verdict == Reason::ReceiverOff && away_)
        note_ = QStringLiteral("the device did not come back at %1").arg(config_.device);
    // A fix held to its limits: first who the unit said it is, if it began
    // talking only later.
    if (fixTest_->fix() && !identityChecked_ && identityFails()) return;
    endCycle(*verdict);
}

// ---------------------------------------------------------------------------
// The signal test

void UnitRun::startSignal() {
    if (signal_->started()) return;
    signal_->start(steady_.elapsed());
    setPhase(Phase::Measuring);
}

// The readings are in, or the time is up.
void UnitRun::signalDone() {
    if (!fixVerdict_ && !identityChecked_ && identityFails()) return;  // the signal test alone
    signal_->judge(config_.limits);
    endCycle(*signal_->result().reason);
}

void UnitRun::supervise() {
    if (ending_) return;
    const qint64 now = steady_.elapsed();
    if (phase_ == Phase::Measuring) {  // not seen, or not for long enough, within the time-out
        signal_->tick(now);
        if (signal_->over()) signalDone();
        return;
    }
    if (phase_ == Phase::Observing) {
        if (now < observeUntilMs_) return armSupervisor();
        if (!identityChecked_ && identityFails()) return;
        return endCycle(Reason::Ok);
    }
    if (phase_ == Phase::Configuring) {
        configTest_->tick(now);
        return followConfig();
    }
    fixTest_->tick(now, line(), watcher_.second());
    followFixTest();
}

// Sets the supervisor for the next moment at which the test under way may
// have to act (see FixTest and SignalTest); nothing is polled in between.
void UnitRun::armSupervisor() {
    std::optional<qint64> next;
    const qint64 now = steady_.elapsed();
    if (!ending_ && phase_ == Phase::Measuring && signal_)
        next = signal_->nextDeadlineMs();
    else if (!ending_ && phase_ == Phase::Observing)
        next = observeUntilMs_;
    else if (!ending_ && phase_ == Phase::Configuring)
        next = configTest_->nextDeadlineMs();
    else if (!ending_ && (phase_ == Phase::Commanded || phase_ == Phase::ResetSeen))
        next = fixTest_->nextDeadlineMs(now, line());
    if (!next) return supervisor_.stop();
    supervisor_.start(int(std::clamp<qint64>(*next - now, 0, std::numeric_limits<int>::max())));
}

// A verdict: of the fix test, of the signal test, or of the line.
void UnitRun::endCycle(Reason reason) {
    if (ending_) return;
    if (reason == Reason::NoData && retryByPower()) return;
    const Outcome outcome = outcomeOf(reason);
    if (config_.testsSignal() && !signal_->judged()) {
        if (config_.testsFix() && !fixVerdict_ && outcome != Outcome::Interrupted &&
            rowOf(reason).keepsTalking) {
            fixVerdict_ = reason;
            link_->setListenOnly(true);  // a command not yet out stays in
            supervisor_.stop();
            startSignal();
            emit changed();
            return;
        }
        if (signal_->started() && outcome != Outcome::Interrupted) signal_->judge(config_.limits);
    }
    // The fix test's failure comes first; a station fault stands whatever it.
    if (fixVerdict_ && outcomeOf(*fixVerdict_) != Outcome::Pass && outcome != Outcome::StationFault)
        return measured(*fixVerdict_);
    measured(reason);
}

// ---------------------------------------------------------------------------
// The antenna test and the configuration

void UnitRun::startObserving() {
    // Without an antenna to watch, as long as the identity's answers are awaited.
    constexpr qint64 kIdentityMs = 3000;
    observeUntilMs_ = steady_.elapsed() +
                      (config_.testsAntenna() ? qint64(config_.antennaS) * 1000 : kIdentityMs);
    setPhase(Phase::Observing);
}

void UnitRun::heardAntenna(std::optional<AntennaState> state) {
    if (!state || !antenna_ || ending_ || phase_ == Phase::Configuring) return;
    const auto before = antenna_->state();
    antenna_->seen(*state, steady_.elapsed());
    if (antenna_->state() != before) emit changed();
}

// The measurements' verdict: the antenna's held to the plan when they
// passed; then, after the last cycle, the configuration written to a unit
// that passed them (or failed them, when the plan says so).
void UnitRun::measured(Reason verdict) {
    if (antenna_ && verdict == Reason::Ok) verdict = antenna_->judge(config_.requireAntenna);
    const Outcome outcome = outcomeOf(verdict);
    const bool last = interrupted_ || !fixTest_->ttffS() || cycle_ >= config_.cycles;
    if (config_.testsConfig() && !configTest_ && last && rowOf(verdict).keepsTalking &&
        (outcome == Outcome::Pass || (outcome == Outcome::Fail && config_.configAfterFail)))
        return startConfig(verdict);
    closeCycle(verdict);
}

void UnitRun::startConfig(Reason verdict) {
    measured_ = verdict;
    const QString refusal = family_ ? configRefusal(*config_.configuration, *family_)
                                    : QStringLiteral("the receiver's family is not known");
    if (!refusal.isEmpty()) {  // a family found by listening that cannot take it
        note_ = refusal;
        return closeCycle(outcomeOf(verdict) == Outcome::Pass ? Reason::ConfigRejected : verdict);
    }
    configTest_.emplace(*family_, config_.configuration->items.at(*family_));
    link_->setListenOnly(true);
    supervisor_.stop();
    setPhase(Phase::Configuring);
    configTest_->start(steady_.elapsed());
    followConfig();
}

// Writes what the configuration test asks for; its verdict ends the cycle.
void UnitRun::followConfig() {
    if (ending_ || phase_ != Phase::Configuring) return;
    const std::string out = configTest_->takeOutput();
    if (!out.empty()) port_->output(out);
    if (!configTest_->done()) return armSupervisor();
    const Reason config = *configTest_->verdict();
    if (config != Reason::Ok) note_ = configTest_->note();
    closeCycle(outcomeOf(*measured_) == Outcome::Pass ? config : *measured_);
}

void UnitRun::closeCycle(Reason reason) {
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
    r.reason = reason;
    r.coldStartSent = commandQueued_;
    r.confirmed = link_->stage() == gpslink::LinkDriver::Stage::Confirmed;
    // A power start whose unit did not go off proved nothing, whatever the stream showed.
    r.resetVerified = fixTest_->resetSeen() && !(powerProof_ && powerProof_->failed());
    if (const auto& fix = fixTest_->fix()) {
        const Second& atFix = fixTest_->atFix();
        const Figures figures = FixTest::figuresOf(*fixTest_->ttffS(), *fix, atFix);
        for (const results::MeasureRow& m : results::kMeasures)
            if (m.test == results::Test::Fix)
                r.setMeasured(m.measure, figures[std::size_t(m.measure)]);
        r.satellitesGga = fix->satellites;
        r.svWithSnr = atFix.sky.withSnr;
        r.cn0Max = atFix.sky.max;
        r.sky = skyJson(atFix.sky);
        r.fixJudged = fixTest_->verdict().has_value();
    }
    if (config_.keepsEvidence()) {
        // The verdict's moment closes the evidence, so that a silence up to it is seen.
        if (openedMs_ >= 0)
            evidence_.note(steady_.elapsed() - openedMs_,
                           QStringLiteral("test ended: %1").arg(results::codeOf(reason)));
        r.evidence = evidence_.take();
    }
    const Identity& who = identity_.identity();
    r.firmware = QString::fromStdString(who.firmware);
    r.hardware = QString::fromStdString(who.hardware);
    r.uniqueId = QString::fromStdString(who.uniqueId);
    r.limits = config_.limits;
    r.plan = config_.plan;
    r.planSha256 = config_.planSha256;
    r.study = config_.study;
    r.tests = config_.tests;
    if (signal_) r.signal = signal_->result();
    if (antenna_) {
        const auto state = antenna_->state();
        r.antenna = QLatin1String(nameOf(state.value_or(AntennaState::Unknown)).data());
        r.antennaChanges = antenna_->changes();
    }
    if (configTest_) {
        r.config = config_.configuration->name;
        r.configSha256 = configTest_->sha256();
    }
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
                link_->startNextCycle();
                stopping_ = false;
                beginCycle();
                if (config_.powerStart()) {  // the port closed while the power is off
                    link_->stop();
                    port_->setPortOpen(false);
                    powerCycle([this] { startLink(); });
                } else if (config_.sendsWhenReady()) {
                    link_->connectNow();
                }
            } else {
                finish();
            }
        },
        Qt::QueuedConnection);
}

void UnitRun::keep(results::evidence::Kind kind, std::string_view bytes) {
    if (openedMs_ >= 0 && config_.keepsEvidence())
        evidence_.add(kind, steady_.elapsed() - openedMs_, bytes);
}

void UnitRun::finish() {
    if (phase_ == Phase::Done) return;
    clock_.reset();
    port_->setPortOpen(false);
    setPhase(Phase::Done);
    emit finished();
}

}  // namespace station
