#include "station/unitrun.h"

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <functional>
#include <limits>

#include "gpslink/link.h"
#include "gpslink/linkclock.h"
#include "gpslink/qtserialport.h"
#include "gpslink/resetcommand.h"
#include "gpslink/view.h"

namespace station {

namespace {

constexpr qint64 kResetSilenceMs = 2000;  // a silence this long after the command is a reset
constexpr int kRestartedClockMs = 10000;  // a GGA time under 00:00:10: the clock restarted
constexpr qint64 kSkyWaitMs = 1500;       // the fix's epoch is over by then at any rate

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
    void setSelectorColours(gpslink::Colour) override {}
    void setFrameEnabled(bool) override {}

private:
    std::string port_, baud_, status_, label_;
    std::function<void()> changed_;
};

// The real port, with the device named rather than numbered, and a tap on
// what passes through it.
class StationPort : public gpslink::QtSerialPort {
public:
    std::function<void(std::string_view)> onInput;
    std::function<void(std::string_view)> onOutput;

    // The device is fixed by path, whatever number the link derives.
    bool setCommPort(int) override { return !portOpen(); }
    bool setPortOpen(bool open) override {
        const bool done = QtSerialPort::setPortOpen(open);
        if (open) openFailed_ = !done;
        return done;
    }
    std::string input() override {
        std::string bytes = QtSerialPort::input();
        if (onInput && !bytes.empty()) onInput(bytes);
        return bytes;
    }
    void output(std::string_view text) override {
        if (onOutput) onOutput(text);
        QtSerialPort::output(text);
    }
    bool openFailed() const { return openFailed_; }

private:
    bool openFailed_ = false;
};

bool configureStart(UnitConfig& unit, const QString& family, const QString& start,
                    bool requireReset, QString* error) {
    const auto f = gpslink::receiverFamilyFromName(family.toStdString());
    if (!f) {
        *error = QStringLiteral(
                     "unknown receiver family \"%1\" (sirf, mtk, airoha, quectel-lg, "
                     "casic or ublox)")
                     .arg(family);
        return false;
    }
    const auto s = gpslink::startTypeFromName(start.toStdString());
    if (!s) {
        *error =
            QStringLiteral("unknown start type \"%1\" (cold, warm, hot or factory)").arg(start);
        return false;
    }
    unit.command = gpslink::resetCommand(*f, *s);
    if (unit.command.empty()) {
        *error = QStringLiteral("a %1 receiver has no %2 start (factory: mtk and airoha only)")
                     .arg(family, start);
        return false;
    }
    unit.receiver = family;
    unit.start = start;
    unit.requireReset = *s != gpslink::StartType::Hot || requireReset;
    return true;
}

Verdict verdictOf(bool started, bool done, const Tally& tally) {
    if (!started) return Verdict::Idle;
    if (!done) return Verdict::Running;
    if (tally.count(QStringLiteral("fail")) > 0) return Verdict::Fail;
    if (tally.count(QStringLiteral("station-fault")) > 0) return Verdict::Fault;
    if (tally.count(QStringLiteral("pass")) > 0 && tally.last() &&
        tally.last()->result == QLatin1String("pass"))
        return Verdict::Pass;
    return Verdict::Interrupted;
}

QString verdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Idle:
            return QStringLiteral("idle");
        case Verdict::Running:
            return QStringLiteral("running");
        case Verdict::Pass:
            return QStringLiteral("PASS");
        case Verdict::Fail:
            return QStringLiteral("FAIL");
        case Verdict::Fault:
            return QStringLiteral("STATION FAULT");
        case Verdict::Interrupted:
            return QStringLiteral("stopped");
    }
    return {};
}

UnitRun::UnitRun(UnitConfig config, QObject* parent) : QObject(parent), config_(std::move(config)) {
    steady_.start();
    sinceChange_.start();
    view_ = std::make_unique<HeadlessView>(config_.port.toStdString(), std::to_string(config_.baud),
                                           [this] { onViewChanged(); });
    port_ = std::make_unique<StationPort>();
    port_->setDeviceOverride(config_.device);
    port_->onInput = [this](std::string_view bytes) {
        lastReceiveMs_ = steady_.elapsed();
        if (phase_ == Phase::Commanded) armSupervisor();  // the silence is timed from here
        watcher_.feed(bytes);
    };
    port_->onOutput = [this](std::string_view text) {
        if (phase_ == Phase::Watching && text == link_->startCommand()) commandQueued_ = true;
    };
    connect(port_.get(), &gpslink::QtSerialPort::allWritten, this, &UnitRun::onCommandWritten);
    connect(port_.get(), &gpslink::QtSerialPort::deviceLost, this, &UnitRun::onDeviceLost);
    watcher_.onGga = [this](const Gga& gga) { onGga(gga); };

    gpslink::LinkHooks hooks;
    hooks.report = [this](const gpslink::LinkReport& report) { onLinkReport(report); };
    link_ = std::make_unique<gpslink::Link>(*view_, *port_, std::move(hooks));
    if (!config_.command.empty()) link_->setStartCommand(config_.command);
    link_->setStartUpValues();
    // The link's own time-outs need no precision here (the run times what
    // it reports on the steady clock): every unit's link timers tick together.
    clock_ = std::make_unique<gpslink::LinkClock>(*link_, *port_, this, Qt::VeryCoarseTimer);

    supervisor_.setSingleShot(true);
    supervisor_.setTimerType(Qt::PreciseTimer);
    connect(&supervisor_, &QTimer::timeout, this, [this] {
        supervise();
        armSupervisor();
    });
}

UnitRun::~UnitRun() {
    clock_.reset();
    port_->setPortOpen(false);
}

QString UnitRun::statusText() const {
    QStringList lines =
        QString::fromLatin1(view_->statusText().c_str()).split(QLatin1String("\r\n"));
    while (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
    if (!note_.isEmpty()) lines << note_;
    return lines.join('\n');
}

void UnitRun::start() {
    if (phase_ != Phase::Idle) return;
    beginCycle();
    link_->Cmd_Start_1_Click();  // the box is empty: arm the connect step
}

void UnitRun::beginCycle() {
    ++cycle_;
    cycleStarted_ = QDateTime::currentDateTimeUtc();
    confirmed_ = hadFix_ = commandQueued_ = resetVerified_ = ending_ = false;
    note_.clear();
    commandAtMs_.reset();
    ttffS_.reset();
    fix_.reset();
    watcher_.resetFraming();
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
    sinceChange_.restart();
    emit changed();
}

void UnitRun::onLinkReport(const gpslink::LinkReport& report) {
    if (ending_ || stopping_ || phase_ == Phase::Idle || phase_ == Phase::Done) return;
    using gpslink::LinkEvent;
    switch (report.event) {
        case LinkEvent::Confirmed:
            confirmed_ = true;
            break;
        case LinkEvent::NoData:
            if (port_->openFailed())
                endCycle(QStringLiteral("station-fault"), QStringLiteral("port-unavailable"));
            else
                fail(QStringLiteral("no-data"));
            break;
        case LinkEvent::BaudMismatch:
            fail(QStringLiteral("baud-mismatch"));
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
    if (ending_) return;
    if (fix_) {  // the epoch after the fix has begun: the fix's sky is complete
        decide();
        return;
    }
    const bool resetSeenBefore = phase_ == Phase::ResetSeen;
    if (phase_ == Phase::Commanded) {
        const bool lostFix = gga.quality == 0 || !gga.timeMs;
        if ((lostFix && hadFix_) || (gga.timeMs && *gga.timeMs < kRestartedClockMs)) verify();
    }
    if (gga.quality > 0) {
        const bool counts = resetSeenBefore || (phase_ == Phase::Commanded &&
                                                !config_.requireReset && commandAtMs_.has_value());
        if (counts) {
            ttffS_ = double(steady_.nsecsElapsed() - commandAtNs_) / 1e9;
            fix_ = gga;
            fixAtMs_ = steady_.elapsed();
            armSupervisor();
            emit changed();
        }
        hadFix_ = true;
    }
}

void UnitRun::verify() {
    resetVerified_ = true;
    setPhase(Phase::ResetSeen);
}

void UnitRun::supervise() {
    if (ending_) return;
    const qint64 now = steady_.elapsed();
    if (fix_) {
        if (now - *fixAtMs_ >= kSkyWaitMs) decide();
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
    if (since >= qint64(config_.fixTimeoutS) * 1000) fail(QStringLiteral("no-fix"));
}

// Sets the supervisor for the next moment at which supervise() may have to
// act: the fix's epoch surely over, two seconds of silence after the command
// (set again at every receive while the reset is awaited), the confirmation
// limit, the fix limit.  Nothing is polled in between.  A moment already past
// that still asks for an action (a device away after the confirmation limit)
// is due at once.
void UnitRun::armSupervisor() {
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

// The fix is in and its epoch's satellites are known: hold it to the limits.
void UnitRun::decide() {
    skyAtFix_ = watcher_.sky();
    const Limits& limits = config_.limits;
    if (limits.maxTtffS && *ttffS_ > *limits.maxTtffS)
        fail(QStringLiteral("ttff-over-limit"));
    else if (limits.minSats && fix_->satellites.value_or(0) < *limits.minSats)
        fail(QStringLiteral("too-few-satellites"));
    else if (limits.minCn0 && skyAtFix_.meanTop4.value_or(0) < *limits.minCn0)
        fail(QStringLiteral("cn0-under-limit"));
    else
        endCycle(QStringLiteral("pass"), QStringLiteral("ok"));
}

void UnitRun::endCycle(const QString& result, const QString& reason) {
    if (ending_) return;
    ending_ = true;
    supervisor_.stop();
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
        r.satellites = fix_->satellites;
        r.hdop = fix_->hdop;
        r.svWithSnr = skyAtFix_.withSnr;
        r.cn0Max = skyAtFix_.max;
        r.cn0Mean4 = skyAtFix_.meanTop4;
    }
    r.limits = config_.limits;
    // The link may be inside one of its handlers: what follows waits until
    // it has returned, and the status is read then.
    QMetaObject::invokeMethod(
        this,
        [this, r]() mutable {
            r.status = statusText();
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
