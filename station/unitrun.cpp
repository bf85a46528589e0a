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
#include <utility>

#include "gpslink/link.h"
#include "gpslink/linkclock.h"
#include "gpslink/linkdriver.h"
#include "gpslink/qtserialport.h"
#include "gpslink/view.h"
#include "station/calibration.h"
#include "station/devicereturn.h"
#include "station/families.h"
#include "station/inputpacer.h"
#include "station/words.h"

namespace station {

namespace {

constexpr qint64 kPrepareLongestMs = 60000;  // the probe's timer, at most, before it looks again
constexpr qint64 kResetSeenShownMs = 2000;   // "reset seen", then how the acquisition goes
constexpr int kUnreadWaits = 5;              // holds a deadline waits for bytes to be read

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

}  // namespace

// The real port, with the device named rather than numbered, binary packets
// taken out of what it hands on (see frames.h), a tap on what passes through
// it, and its reading paced with every other port's (see inputpacer.h).
class StationPort : public gpslink::QtSerialPort {
public:
    std::function<void(std::string_view)> onRaw;          // every byte, as it came
    std::function<std::string(std::string_view)> onRead;  // every read: the text handed on
    std::function<void(std::string_view)> onOutput;
    std::function<void(bool open, bool done)> onOpen;
    std::function<void(std::string_view)> onSettings;
    std::function<void()> onReopened;  // what waits of a packet or a sentence is forgotten

    bool setPortOpen(bool open) override {
        const bool was = portOpen();
        const bool done = QtSerialPort::setPortOpen(open);
        if (onOpen && (was != open || !done)) onOpen(open, done);
        if (open) openFailed_ = !done;
        if (onReopened) onReopened();
        pacing_.reset();
        return done;
    }
    std::string input() override {
        if (!handOver_.empty()) return std::exchange(handOver_, {});
        const std::string bytes = QtSerialPort::input();
        if (bytes.empty()) return bytes;
        const bool hold = pacing_.holdAfter(bytes);
        if (onRaw) onRaw(bytes);
        std::string text = onRead ? onRead(bytes) : bytes;
        // What has come meanwhile is read at once, without a wake-up of its own.
        if (hold && !deviceHasInput()) InputPacer::shared().hold(*this);
        return text;
    }
    void discardInput() override {
        QtSerialPort::discardInput();
        pacing_.reset();
    }
    // Gives the link, as its next input, a sentence heard on the device before
    // the link opened it (the device stayed open: see setCloseDeferred): the
    // link knows the receiver talks without waiting for its next second.  The
    // text reaches the link alone; the watcher and the evidence had it when
    // it came.
    void handOver(std::string text) {
        handOver_ = std::move(text);
        raiseOnComm(gpslink::comEvReceive);
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
    std::string handOver_;
};

// What the sequencer writes to the unit, and the command it holds back.
class UnitRun::Port : public RunPort {
public:
    explicit Port(UnitRun& run) : run_(run) {}
    void write(std::string_view bytes) override { run_.port_->output(bytes); }
    void holdCommand() override {
        run_.link_->setListenOnly(true);  // a command not yet out stays in
        run_.supervisor_.stop();
    }

private:
    UnitRun& run_;
};

UnitRun::UnitRun(UnitConfig config, QObject* parent) : QObject(parent), config_(std::move(config)) {
    sinceChange_.start();
    startRule_ = startRuleOf(config_);
    line_ = LineSupervisor({startRule_->rateHeardRight(true)});
    runPort_ = std::make_unique<Port>(*this);
    Sequencer::Hooks run;
    run.identityFault = [this] { return prep_->identityFault(); };
    run.note = [this](const QString& note) { note_ = note; };
    run.line = [this] { return line(); };
    run.secondSoFar = [this] { return watcher_.second(); };
    run.powerRetry = [this] { powerRetry(); };
    run.closed = [this](Reason reason) { closeCycle(reason); };
    run.changed = [this] { followSequencer(); };
    sequencer_ = std::make_unique<Sequencer>(config_, *runPort_, steady_, std::move(run));
    port_ = std::make_unique<StationPort>();
    port_->setDeviceOverride(config_.device);
    port_->setCloseDeferred(true);  // the connect step's close and reopen keep the device open
    port_->onRaw = [this](std::string_view bytes) {
        keep(results::evidence::Kind::Received, bytes);
        sequencer_->received();
        // The silence, and the quiet after a fix, are timed from here.
        if (phase_ == Phase::Commanded || sequencer_->fix().fixPending()) armSupervisor();
        prep_->bytes(steady_.nowMs());
    };
    // What the link reads too, once it runs: the line's supervision after
    // the watcher has read what the bytes held.
    port_->onRead = [this](std::string_view bytes) {
        std::string text = input_.read(bytes, steady_.nowMs());
        followLine();
        return text;
    };
    port_->onReopened = [this] { input_.splitter.reset(); };
    port_->onOutput = [this](std::string_view text) {
        keep(results::evidence::Kind::Sent, text);
        if (phase_ == Phase::Watching && text == link_->startCommand()) commandQueued_ = true;
    };
    if (config_.keepsEvidence()) {
        port_->onOpen = [this](bool open, bool done) {
            if (open && done && openedMs_ < 0) openedMs_ = steady_.nowMs();
            if (openedMs_ < 0) return;
            const QString line = QString::fromStdString(port_->settings());
            evidence_.note(steady_.nowMs() - openedMs_,
                           !open  ? QStringLiteral("port closed")
                           : done ? QStringLiteral("port %1 opened at %2").arg(config_.device, line)
                                  : QStringLiteral("port %1 did not open").arg(config_.device));
        };
        port_->onSettings = [this](std::string_view line) {
            if (openedMs_ >= 0)
                evidence_.note(steady_.nowMs() - openedMs_,
                               QStringLiteral("line set to %1").arg(QLatin1String(line)));
        };
    }
    input_.splitter.onPacket = [this](const Packet& packet) {
        prep_->packet(packet);
        if (prep_->asking()) armPreparation();  // answered?
        sequencer_->packet(packet);
        whenReady();
    };
    connect(port_.get(), &gpslink::QtSerialPort::allWritten, this, &UnitRun::onCommandWritten);
    connect(port_.get(), &gpslink::QtSerialPort::deviceLost, this, &UnitRun::onDeviceLost);
    watcher_.onGga = [this](const Gga& gga) {
        if (gga.timeMs) line_.timedGga();
        onGga(gga);
    };
    watcher_.onSecond = [this](const Second& second) { onSecond(second); };
    watcher_.onSentence = [this](std::string_view body) {
        line_.sentence();
        const bool ended = prep_->sentence(body, phase_ == Phase::Preparing);
        if (prep_->asking()) armPreparation();  // answered?
        if (ended) return;
        sequencer_->sentence(body);
        whenReady();
    };
    if (const auto family = familyNamed(config_.receiver.toStdString())) family_ = *family;
    sequencer_->setFamily(family_);
    Preparation::Settings prepare;
    prepare.probe = {config_.baud, family_, config_.toNmea, 0};
    prepare.powerStart = config_.powerStart();
    prepare.powerOffTimeS = config_.powerOffTimeS;
    prepare.testsFix = config_.testsFix();
    prepare.requireIdentity = config_.requireIdentity;
    prepare.expectFirmware = config_.expectFirmware;
    prep_ = std::make_unique<Preparation>(std::move(prepare), *startRule_, preparationActions());

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
    levelWait_.setSingleShot(true);
    levelWait_.setInterval(100);
    connect(&levelWait_, &QTimer::timeout, this, &UnitRun::nextCycle);
    prepareTimer_.setSingleShot(true);
    prepareTimer_.setTimerType(Qt::PreciseTimer);  // the power's off time too
    connect(&prepareTimer_, &QTimer::timeout, this, [this] {
        if (ending_) return;
        prep_->tick(steady_.nowMs());
        armPreparation();
    });
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
            stage.step = !prep_->opened()                 ? Stage::Step::Opening
                         : startRule_->waitsForReceiver() ? Stage::Step::WaitingForReceiver
                                                          : Stage::Step::WaitingForTime;
            break;
        case Phase::Commanded:
            stage.step = Stage::Step::ResetSent;
            break;
        case Phase::Measuring:
            stage.step = Stage::Step::Measuring;
            sequencer_->show(stage);
            break;
        case Phase::Observing:
            stage.step = Stage::Step::Observing;
            stage.sinceMs = sinceChange_.elapsed();
            if (const AntennaTest* antenna = sequencer_->antenna(); antenna && antenna->state())
                stage.antenna = QLatin1String(nameOf(*antenna->state()).data());
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

void UnitRun::setHold(const QString& problem) {
    if (phase_ == Phase::Idle) config_.holdProblem = problem;
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
    if (config_.needsCalibration() && !config_.calibrationProblem.isEmpty()) {
        problem_ = config_.calibrationProblem;  // the port is not opened
        endCycle(Reason::CalibrationNeeded);
        return;
    }
    if (!config_.holdProblem.isEmpty()) {
        problem_ = config_.holdProblem;  // the port is not opened
        endCycle(Reason::SlotHeld);
        return;
    }
    prep_->begin(steady_.nowMs());
    armPreparation();
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

// ---------------------------------------------------------------------------
// The fixture's power and getting to know the receiver, as the preparation
// asks (preparation.h).  The port is the run's own meanwhile: its
// notifications come here, not to the link.

Preparation::Actions UnitRun::preparationActions() {
    Preparation::Actions a;
    a.probe.listenAt = [this](int rate) { return listenAt(rate); };
    a.probe.send = [this](const std::string& bytes) { port_->output(bytes); };
    a.probe.rateWorked = [this](int rate) { keepRate(config_.device, rate); };
    a.lastRate = [this] { return readRates().value(config_.device).toInt(); };
    a.probing = [this] {
        setPhase(Phase::Preparing);
        link_->pauseSupervision();  // its stall check waits for the link to run
        line_.stop();
        port_->setOnComm([this] { onPrepareInput(); });
    };
    a.power = [this](const QString& command) { switchPower(command); };
    a.listenWhileOff = [this] { listenWhileOff(); };
    a.linkMayStart = [this] { startLink(); };
    a.listening = [this] { sequencer_->listening(); };
    a.identityIn = [this] { whenReady(); };
    a.poweredOn = [this](qint64 ns) { sequencer_->fix().poweredOn(ns); };
    a.note = [this](const QString& note) { note_ = note; };
    a.show = [this](const QString& note) {
        if (note_ == note) return;
        note_ = note;
        emit changed();
    };
    a.failed = [this](Reason reason, const QString& problem) {
        prepareTimer_.stop();
        takeFound();
        if (family_) config_.receiver = QString::fromLatin1(gpslink::nameOf(*family_).data());
        if (!problem.isEmpty()) {
            problem_ = problem;
            note_.clear();  // what it was doing: the problem says it
        }
        endCycle(reason);
    };
    return a;
}

// CMD SLOT PORT on|off, as the power cycle asks.
void UnitRun::switchPower(const QString& command) {
    setPhase(Phase::Powering);
    hook_.run(hookCommand(config_.power, {QString::number(config_.slot), config_.port, command}),
              {}, kPowerTimeoutMs, [this](const HookEnd& end) {
                  if (ending_) return;
                  prep_->powerEnded(hookFailure(end), steady_.nowNs());
                  armPreparation();
              });
}

// A power start: the port listened to while the supply is off, to hear
// whether the unit fell silent (see powerproof.h).  A device that went away
// with its supply cannot be opened, and is silent.
void UnitRun::listenWhileOff() {
    port_->setOnComm([this] {
        if (port_->commEvent() == gpslink::comEvReceive) port_->input();
    });
    if (port_->portOpen()) return;
    if (config_.baud > 0) port_->setSettings(lineSettings(config_.baud).toStdString());
    port_->setPortOpen(true);
}

// A unit that has sent nothing: its slot switched off and on once, and the
// cycle begun again from getting to know the receiver.
void UnitRun::powerRetry() {
    prepareTimer_.stop();
    supervisor_.stop();
    setPhase(Phase::Powering);  // the link's reports are not heard meanwhile
    // Often called from within the link's own report.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (ending_) return;
            link_->stop();
            line_.stop();
            port_->setPortOpen(false);
            commandQueued_ = false;
            prep_->retry(steady_.nowMs());
            note_ = QStringLiteral("no data: switching the slot's power off and on");
            emit changed();
            armPreparation();
        },
        Qt::QueuedConnection);
}

// The link sends the start command itself, with the fifth GGA time.
bool UnitRun::linkSends() const {
    return startRule_->linkSends();
}

// The line set to the rate, its input discarded and every framing begun anew.
bool UnitRun::listenAt(int rate) {
    if (!port_->setSettings(lineSettings(rate).toStdString())) return false;
    if (!port_->portOpen() && !port_->setPortOpen(true)) return false;
    port_->discardInput();
    input_.splitter.reset();
    watcher_.resetFraming();
    return true;
}

void UnitRun::onPrepareInput() {
    if (port_->commEvent() == gpslink::comEvReceive) port_->input();  // to the watcher and reader
    if (ending_) return;
    prep_->tick(steady_.nowMs());
    armPreparation();
}

// Sets the preparation's timer for the next moment it acts by the time alone.
void UnitRun::armPreparation() {
    const auto next = !ending_ ? prep_->nextDeadlineMs() : std::nullopt;
    if (!next) return prepareTimer_.stop();
    prepareTimer_.start(int(std::clamp<qint64>(*next - steady_.nowMs(), 0, kPrepareLongestMs)));
}

// The rate and the family found.
void UnitRun::takeFound() {
    if (prep_->rate() > 0) config_.baud = prep_->rate();
    if (prep_->family()) family_ = prep_->family();
    sequencer_->setFamily(family_);
}

// The link found characters but no GGA time at the rate given: listen at the
// other rates, sending nothing, to say which one the receiver talks at.
void UnitRun::probeRates() {
    link_->pauseSupervision();
    line_.stop();  // the probe says what the rate is
    port_->setOnComm([this] { onPrepareInput(); });
    prep_->probeOtherRates(steady_.nowMs());
    armPreparation();
}

void UnitRun::startLink() {
    prepareTimer_.stop();
    port_->setPortOpen(false);
    note_.clear();
    takeFound();
    if (family_) {
        config_.receiver = QString::fromLatin1(gpslink::nameOf(*family_).data());
        if (const auto start = gpslink::startTypeFromName(config_.start.toStdString()))
            config_.command = startCommand(*family_, *start);
        // The slot's RF limits by the family found, not the one named.
        if (sequencer_->signal() && !sequencer_->signal()->started()) {
            problem_ = rfLimitsFor(config_, *family_);
            if (!problem_.isEmpty()) return endCycle(Reason::CalibrationNeeded);
        }
    }
    if (!config_.command.empty()) link_->setStartCommand(config_.command);
    link_->setListenOnly(!linkSends());
    if (config_.baud > 0) link_->setRate(config_.baud);
    sequencer_->renewTests();  // with the family, the command and the RF limits found
    clock_->connectPort();
    setPhase(Phase::Watching);
    link_->startWatching();
    line_.watch(steady_.nowMs());
    armSupervisor();
    if (startRule_->connectsAtOnce()) link_->connectNow();
    // The unit's last GGA while it was got to know goes to the link and the
    // fix test as if it had come now: the command need not wait for the
    // unit's next second.
    if (const auto heard = prep_->linkStarts(port_->portOpen())) {
        port_->handOver(heard->line);
        // The link reads it as it came now; so does the line's supervision.
        if (heard->gga.timeMs) line_.timedGga();
        line_.sentence();
        line_.received(steady_.nowMs());
        followLine();
        if (!ending_ && phase_ == Phase::Watching) {
            sequencer_->fix().gga(heard->gga, heard->atNs);
            whenReady();
        }
    }
    if (const auto onNs = prep_->powerStarts()) {  // the power-on was the start
        commandQueued_ = true;
        sequencer_->fix().commandOut(*onNs);
        setPhase(Phase::Commanded);
        prep_->proofShown();  // the restart shown while the receiver was got to know
    }
}

// The station's own rule for the command: once the receiver is known to be
// there, it goes out (see startrule.h).  Called as anything comes, often
// from within the link's receive event: the check and the command wait
// until that has returned.
void UnitRun::whenReady() {
    if (readyQueued_ || !startRule_->waitsForReceiver() || phase_ != Phase::Watching ||
        commandQueued_ || ending_ || !prep_->probing())
        return;
    readyQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            readyQueued_ = false;
            const bool now = prep_->ready(steady_.nowMs(), !ending_ && phase_ == Phase::Watching);
            armPreparation();
            if (ending_ || phase_ != Phase::Watching || commandQueued_ ||
                sequencer_->kind() != RunTest::Kind::Fix)
                return;
            if (now) link_->sendStartCommand();
        },
        Qt::QueuedConnection);
}

void UnitRun::beginCycle() {
    ++cycle_;
    cycleStarted_ = QDateTime::currentDateTimeUtc();
    commandQueued_ = ending_ = false;
    prep_->beginCycle();
    note_.clear();
    problem_.clear();
    watcher_.resetFraming();
    ggaSinceCommand_ = false;
    sequencer_->beginCycle();
    link_->setListenOnly(!linkSends());
    setPhase(Phase::Watching);
}

void UnitRun::interrupt() {
    interrupted_ = true;
    hook_.cancel();
    if (phase_ == Phase::Idle || phase_ == Phase::Done || phase_ == Phase::Asking) {
        finish();
        return;
    }
    sequencer_->interrupt();
}

void UnitRun::setSweep(SweepSlot slot, QString generator) {
    sequencer_->setSweep(slot);
    generator_ = std::move(generator);
}

void UnitRun::instrumentFault(const QString& message) {
    interrupted_ = true;  // no cycle follows without the generator
    hook_.cancel();
    if (phase_ == Phase::Idle) {
        // The generator failed before the units started: each unit's result
        // says so, and its port is not opened.
        beginCycle();
        problem_ = message;
        endCycle(Reason::InstrumentFault);
        return;
    }
    if (phase_ == Phase::Done || phase_ == Phase::Asking) {
        finish();
        return;
    }
    note_ = message;
    sequencer_->end(Reason::InstrumentFault);
}

void UnitRun::setPhase(Phase phase) {
    if (phase == phase_) return;
    phase_ = phase;
    sinceChange_.restart();
    armSupervisor();
    emit changed();
}

qint64 UnitRun::sinceCommandMs() const {
    const auto at = sequencer_->fix().commandAtMs();
    return at ? steady_.nowMs() - *at : 0;
}

FixTest::Line UnitRun::line() const {
    // Commanded as soon as it talks, a unit may not know the time for a
    // whole TTFF: any checked GGA after the command is its answer.
    const bool answered = startRule_->anyGgaAnswers() && ggaSinceCommand_;
    return {link_->stage() == gpslink::LinkDriver::Stage::Confirmed || answered, away_ != nullptr};
}

void UnitRun::onLinkReport(const gpslink::LinkReport& report) {
    if (stopping_) return;
    using gpslink::LinkEvent;
    // The line's supervision follows the link's steps.
    switch (report.event) {
        case LinkEvent::PortOpened:
        case LinkEvent::PortRefused:  // the link counts no data from its connect step all the same
            line_.connected(steady_.nowMs());
            armSupervisor();
            break;
        case LinkEvent::CommandSent:
            line_.commanded(steady_.nowMs());
            break;
        case LinkEvent::Confirmed:
            line_.confirmed(steady_.nowMs());
            armSupervisor();
            break;
        default:
            break;
    }
    if (!lineJudged()) return;
    switch (report.event) {
        case LinkEvent::PortOpened:
        case LinkEvent::TimeCounted:  // a receiver not heard before the link ran talks now
            if (report.event == LinkEvent::PortOpened)
                prep_->portOpened(steady_.nowMs());
            else
                prep_->timeCounted(steady_.nowMs());
            armPreparation();
            break;
        default:
            break;
    }
}

// Whether what the line comes to counts now: while the link runs and the
// cycle has no verdict, not while the unit is configured.
bool UnitRun::lineJudged() const {
    return !ending_ && !stopping_ && phase_ != Phase::Idle && phase_ != Phase::Preparing &&
           phase_ != Phase::Done && phase_ != Phase::Configuring && phase_ != Phase::Asking &&
           phase_ != Phase::Powering && prep_->probing() && !prep_->probingRates();
}

// What the line came to (see linesupervisor.h), with the reasons the link's
// reports had.
void UnitRun::followLine() {
    const auto fault = line_.takeFault();
    if (!fault || !lineJudged()) return;
    switch (*fault) {
        case LineSupervisor::Fault::NoData:
            if (port_->openFailed()) {
                problem_ = portProblem(config_.device, port_->errorText());
                return endCycle(Reason::PortUnavailable);
            }
            return fail(Reason::NoData);
        case LineSupervisor::Fault::AnotherRate:
            return probeRates();             // then fails, saying the rate found if any
        case LineSupervisor::Fault::Silent:  // before the command, or after its confirmation
            return fail(Reason::ReceiverOff);
    }
}

void UnitRun::onCommandWritten() {
    if (!commandQueued_ || sequencer_->fix().commanded() || ending_) return;
    sequencer_->fix().commandOut(steady_.nowNs());
    setPhase(Phase::Commanded);
}

static bool isCharacterDevice(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

static QStringList entriesBeside(const QString& device) {
    return QFileInfo(device).dir().entryList(QDir::AllEntries | QDir::System |
                                             QDir::NoDotAndDotDot);
}

// What becomes of a device that went away is devicereturn.h's to say; the
// run watches its directory.
void UnitRun::onDeviceLost() {
    if (ending_ || phase_ == Phase::Idle || phase_ == Phase::Done) return;
    DeviceAway gone(config_.device);
    const bool waits = gone.lost(commandQueued_, sequencer_->fix().fix().has_value(),
                                 entriesBeside(config_.device));
    note_ = gone.note();
    if (!waits) return fail(Reason::ReceiverOff);
    deviceAway_.emplace(std::move(gone));
    away_ = new QFileSystemWatcher({QFileInfo(config_.device).absolutePath()}, this);
    connect(away_, &QFileSystemWatcher::directoryChanged, this, &UnitRun::checkReturn);
    emit changed();
    checkReturn();
    armSupervisor();  // it may be due back already
}

void UnitRun::checkReturn() {
    if (!away_ || ending_) return;
    const QDir dir = QFileInfo(config_.device).dir();
    const bool back = isCharacterDevice(config_.device) && port_->setPortOpen(true);
    const auto seen = deviceAway_->seen(back, entriesBeside(config_.device), [&](const QString& e) {
        return isCharacterDevice(dir.filePath(e));
    });
    note_ = deviceAway_->note();
    switch (seen) {
        case DeviceAway::Seen::Away:
            return;
        case DeviceAway::Seen::Back:
            endAway();
            watcher_.resetFraming();
            emit changed();
            return;
        case DeviceAway::Seen::Elsewhere:
            return fail(Reason::ReceiverOff);
    }
}

void UnitRun::endAway() {
    if (!away_) return;
    // Often called from the watcher's own change signal: it goes once that returns.
    away_->disconnect(this);
    away_->deleteLater();
    away_ = nullptr;
    deviceAway_.reset();
}

void UnitRun::onGga(const Gga& gga) {
    if (prep_->gga(gga, phase_ == Phase::Preparing, steady_.nowMs(), steady_.nowNs())) return;
    if (ending_ || phase_ == Phase::Powering || phase_ == Phase::Preparing ||
        phase_ == Phase::Configuring)
        return;
    // A measurement's own (a sensitivity search's cold starts are judged by
    // their GGAs); the fix test has its verdict by then.
    if (phase_ == Phase::Measuring || phase_ == Phase::Observing) return sequencer_->gga(gga);
    const bool fixBefore = sequencer_->fix().fix().has_value();
    if (sequencer_->fix().commanded()) ggaSinceCommand_ = true;
    sequencer_->gga(gga);
    followReset();
    if (!fixBefore && sequencer_->fix().fix() && !ending_) emit changed();
}

// A second ended: a reading for the signal test; when it is the fix's, its
// sky is whole.
void UnitRun::onSecond(const Second& second) {
    if (ending_) return;
    sequencer_->second(second);
    followReset();
}

// The reset seen: shown, and the identity asked again.
void UnitRun::followReset() {
    if (!ending_ && phase_ == Phase::Commanded && sequencer_->fix().resetSeen()) {
        setPhase(Phase::ResetSeen);
        // Its answers may have been cut short by the reset: asked again.
        prep_->resetSeen(steady_.nowMs());
        armPreparation();
    }
    armSupervisor();
}

// The phase of the test under way.
void UnitRun::followSequencer() {
    switch (sequencer_->kind()) {
        case RunTest::Kind::Fix:
            break;
        case RunTest::Kind::Measuring:
            setPhase(Phase::Measuring);
            break;
        case RunTest::Kind::Observing:
            setPhase(Phase::Observing);
            break;
        case RunTest::Kind::Configuring:
            setPhase(Phase::Configuring);
            break;
    }
    armSupervisor();  // a command held back stopped it
    emit changed();
}

void UnitRun::supervise() {
    if (ending_) return;
    line_.tick(steady_.nowMs());
    followLine();
    if (ending_ || !sequencerTimed()) return;
    sequencer_->tick();
    followReset();
}

// The phases in which the test under way keeps its own time.
bool UnitRun::sequencerTimed() const {
    return !ending_ && phase_ != Phase::Watching && phase_ != Phase::Preparing &&
           phase_ != Phase::Powering && phase_ != Phase::Asking;
}

// Sets the supervisor for the next moment at which the test under way, or
// the line's supervision, may have to act; nothing is polled in between.
void UnitRun::armSupervisor() {
    std::optional<qint64> next;
    if (sequencerTimed()) next = sequencer_->nextDeadlineMs();
    if (lineJudged()) {
        if (const auto line = line_.nextDeadlineMs(); line && (!next || *line < *next)) next = line;
    }
    if (!next) return supervisor_.stop();
    const qint64 now = steady_.nowMs();
    supervisor_.start(int(std::clamp<qint64>(*next - now, 0, std::numeric_limits<int>::max())));
}

void UnitRun::closeCycle(Reason reason) {
    ending_ = true;
    prep_->end();
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
    r.resetVerified = sequencer_->fix().resetSeen() && !prep_->proofFailed();
    sequencer_->record(r);
    if (config_.keepsEvidence()) {
        // The verdict's moment closes the evidence, so that a silence up to it is seen.
        if (openedMs_ >= 0)
            evidence_.note(steady_.nowMs() - openedMs_,
                           QStringLiteral("test ended: %1").arg(results::codeOf(reason)));
        r.evidence = evidence_.take();
    }
    const Identity& who = prep_->identity().identity();
    r.firmware = QString::fromStdString(who.firmware);
    r.hardware = QString::fromStdString(who.hardware);
    r.uniqueId = QString::fromStdString(who.uniqueId);
    r.limits = config_.limits;
    r.plan = config_.plan;
    r.planSha256 = config_.planSha256;
    r.study = config_.study;
    r.tests = config_.tests;
    r.generator = generator_;
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
            if (again)
                nextCycle();
            else
                finish();
        },
        Qt::QueuedConnection);
}

// The next cycle, once the generator is at the plan's level: a search of
// the cycle before may have left it at another, and the others' dwells
// hold it there until they end.  The sweep has no signal of its own; it is
// asked as often as a search asks it.
void UnitRun::nextCycle() {
    if (interrupted_) return finish();  // stopped, or the generator failed, while waiting
    if (sequencer_->waitsForLevel()) {
        levelWait_.start();
        return;
    }
    stopping_ = true;
    link_->startNextCycle();
    line_.stop();
    stopping_ = false;
    beginCycle();
    if (config_.powerStart()) {  // the port closed while the power is off
        link_->stop();
        line_.stop();
        port_->setPortOpen(false);
        prep_->powerAgain(steady_.nowMs());
        armPreparation();
    } else if (startRule_->connectsAtOnce()) {
        link_->connectNow();
    }
}

void UnitRun::keep(results::evidence::Kind kind, std::string_view bytes) {
    if (openedMs_ >= 0 && config_.keepsEvidence())
        evidence_.add(kind, steady_.nowMs() - openedMs_, bytes);
}

void UnitRun::finish() {
    if (phase_ == Phase::Done) return;
    clock_.reset();
    line_.stop();
    port_->setPortOpen(false);
    setPhase(Phase::Done);
    emit finished();
}

}  // namespace station
