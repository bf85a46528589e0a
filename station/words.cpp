#include "station/words.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QLocale>
#include <cerrno>

#include "station/config.h"
#include "station/signaltest.h"

namespace station {

namespace {

// A measure's value as a failure says it: "TTFF 61.2 s", "GPS:1 C/N0 38.10".
QString measureSaid(const results::MeasureRow& m, std::optional<double> value, const QString& sv) {
    QString text = QLatin1String(m.said);
    text.replace(QLatin1String("{sv}"), sv);
    return text.arg(value ? QString::number(*value, 'f', m.decimals) : QStringLiteral("-"));
}

// The value of the measure whose limit gave the reason, against that limit:
// "TTFF 61.2 s > 60 s", "5 satellites < 6"; nothing when the reason is no
// limit's or the limit is not known.
std::optional<QString> beyondLimit(const CycleResult& r, const Limits& limits, const QString& sv) {
    for (const results::MeasureRow& m : results::kMeasures)
        for (const bool upper : {false, true}) {
            const results::Bound& b = upper ? m.most : m.least;
            const auto& limit = upper ? limits.most(m.measure) : limits.least(m.measure);
            if (!b.key || b.reason != r.reason || !limit) continue;
            // That limit alone, failed, as each limit's result says it.
            return results::limitResultWords(
                {m.measure, r.measured(m.measure), upper ? std::nullopt : limit,
                 upper ? limit : std::nullopt, results::LimitOutcome::Fail},
                sv);
        }
    return std::nullopt;
}

// The reason's own words, with the measured value against the limit that
// failed it.
QString withoutNote(const CycleResult& r, int confirmTimeoutS, int fixTimeoutS,
                    const QString& problem) {
    if (const auto text = beyondLimit(r, r.limits, r.signal ? r.signal->sv : QString()))
        return *text;
    switch (r.reason) {
        case Reason::Ok: {
            QStringList parts;
            if (r.ttffS) parts << QStringLiteral("TTFF %1 s").arg(*r.ttffS, 0, 'f', 2);
            if (r.antennaChanges) parts << QStringLiteral("antenna ") + r.antenna;
            if (!r.configSha256.isEmpty())
                parts << QStringLiteral("configuration %1 kept").arg(r.config);
            return parts.join(QLatin1String("; "));
        }
        case Reason::NoData:
            return QStringLiteral(
                "no data from the receiver: check its power, its cable and the baud rate");
        case Reason::BaudMismatch:
            return QStringLiteral("characters but no NMEA time at %1 baud: check the baud rate")
                .arg(r.baud);
        case Reason::NoConfirmation:
            return QStringLiteral("no GGA time within %1 s of the %2 reset command")
                .arg(confirmTimeoutS)
                .arg(r.start);
        case Reason::ResetNotTaken:
            return QStringLiteral(
                       "no reset seen within %1 s: the receiver did not take the %2 reset")
                .arg(confirmTimeoutS)
                .arg(r.start);
        case Reason::NoFix:
            return QStringLiteral("no fix within %1 s of the reset command").arg(fixTimeoutS);
        case Reason::ReceiverOff:
            return QStringLiteral("the receiver fell silent");
        case Reason::PortUnavailable:
            return problem.isEmpty() ? QStringLiteral("the port cannot be opened") : problem;
        case Reason::Interrupted:
            return QStringLiteral("stopped before a verdict");
        case Reason::WrongFirmware:
            return QStringLiteral("firmware %1 is not the one expected").arg(r.firmware);
        case Reason::NotARealFix:
            return QStringLiteral(
                "no fix from satellites: an estimated, manual or simulated position");
        case Reason::CalibrationNeeded:
        case Reason::StationNotQualified:
        case Reason::RouteCheckFailed:
        case Reason::PowerFailed:
        case Reason::SlotHeld:
            return problem;
        case Reason::AntennaOpen:
        case Reason::AntennaShort:
        case Reason::AntennaUnknown:
            return QStringLiteral("antenna %1")
                .arg(r.antenna.isEmpty() ? QStringLiteral("unknown") : r.antenna);
        case Reason::RfHealth:
            return r.signal ? r.signal->rfNote : QString();
        case Reason::ConfigRejected:
            return QStringLiteral("configuration %1 rejected").arg(r.config);
        case Reason::ConfigMismatch:
            return QStringLiteral("configuration %1 not kept").arg(r.config);
        case Reason::OffsetTooLarge:
            return QStringLiteral(
                "the golden unit reads too far from its known C/N0 in this slot: check the "
                "slot's cable and antenna");
        case Reason::InstrumentFault:  // the instrument's own error, where known
            return problem.isEmpty()
                       ? QStringLiteral(
                             "the signal generator failed: the station's fault, not the unit's")
                       : problem;
        // A limit's, said above where the limit is known; the others by the
        // note or by the signal test's words.
        case Reason::TtffOverLimit:
        case Reason::TooFewSatellites:
        case Reason::Cn0UnderLimit:
        case Reason::HdopOverLimit:
        case Reason::SignalLow:
        case Reason::SignalHigh:
        case Reason::SignalNotSeen:
        case Reason::BinaryMode:
        case Reason::FamilyUnknown:
        case Reason::IdentityUnknown:
            break;
        // The reasons of the tests of their own rows (testtypes.h): their
        // rows' words.
        default:
            break;
    }
    if (const char* words = rowOf(r.reason).words) return QLatin1String(words);
    return codeOf(r.reason);
}

// The signal test's verdict: "GPS:1 C/N0 42.30 dB-Hz", "... 38.10 < 40 dB-Hz",
// "GPS:1 not seen long enough within 300 s (3 readings)", "GPS:99 not in
// view: ..."; empty before it
// has one.
QString signalWords(const SignalResult& s, const Limits& limits, int timeoutS) {
    const auto mean = s.mean();
    if (!s.reason) return {};
    if (s.notInView)
        return QStringLiteral(
                   "%1 not in view: the unit had a fix and listed its satellites "
                   "without it for %2 s")
            .arg(s.sv)
            .arg(SignalTest::kNotInViewS);
    if (*s.reason == Reason::SignalNotSeen || !mean)
        return QStringLiteral("%1 not seen long enough within %2 s (%3 readings)")
            .arg(s.sv)
            .arg(timeoutS)
            .arg(s.values.size());
    CycleResult judged;
    judged.signal = s;
    judged.reason = *s.reason;
    QString text = beyondLimit(judged, limits, s.sv)
                       .value_or(measureSaid(results::rowOf(Measure::SignalCn0), mean, s.sv) +
                                 QStringLiteral(" dB-Hz"));
    if (*s.reason == Reason::RfHealth) text += QStringLiteral(", ") + s.rfNote;
    return text;
}

}  // namespace

QString studyWithoutDatabase(const QString& study) {
    return QStringLiteral("gauge study \"%1\" cannot be read without a database").arg(study);
}

QString stageWords(const Stage& stage) {
    switch (stage.step) {
        case Stage::Step::Preparing:
            return QStringLiteral("getting to know the receiver");
        case Stage::Step::Opening:
            return QStringLiteral("opening");
        case Stage::Step::WaitingForTime:
            return QStringLiteral("waiting for time (%1 of 5)").arg(stage.timesCounted);
        case Stage::Step::WaitingForReceiver:
            return QStringLiteral("waiting for the receiver");
        case Stage::Step::ResetSent:
            if (stage.start == kPowerStart) return QStringLiteral("powered on");
            return QStringLiteral("%1 reset sent").arg(stage.start);
        case Stage::Step::ResetSeen:
            return QStringLiteral("reset seen");
        case Stage::Step::Measuring:
            if (stage.samples == 0)
                return QStringLiteral("waiting for %1: %2 s")
                    .arg(stage.sv)
                    .arg(stage.sinceMs / 1000);
            return QStringLiteral("measuring %1: %2 of %3 s, %4 dB-Hz")
                .arg(stage.sv)
                .arg(stage.samples)
                .arg(stage.of)
                .arg(stage.last.value_or(0));
        case Stage::Step::Observing:
            return QStringLiteral("listening: %1 s").arg(stage.sinceMs / 1000) +
                   (stage.antenna.isEmpty() ? QString()
                                            : QLatin1String(", antenna ") + stage.antenna);
        case Stage::Step::Configuring:
            return QStringLiteral("writing configuration %1").arg(stage.config);
        case Stage::Step::Acquiring: {
            QString text = QStringLiteral("acquiring: %1 s, %2 satellites seen")
                               .arg(stage.sinceCommandMs / 1000)
                               .arg(stage.sky.withSnr);
            if (stage.sky.max) text += QStringLiteral(", best C/N0 %1 dB-Hz").arg(*stage.sky.max);
            return text;
        }
    }
    return {};
}

QString outcomeWords(const CycleResult& r, int confirmTimeoutS, int fixTimeoutS,
                     const QString& problem, const QString& note) {
    // The note says it all: "the receiver talks at 4800 baud, not 9600".
    if (rowOf(r.reason).noteSaysAll && !note.isEmpty()) return note;
    QString words = withoutNote(r, confirmTimeoutS, fixTimeoutS, problem);
    if (!note.isEmpty()) words += QLatin1String(": ") + note;
    // The signal's own verdict, unless the reason is its own and says it.
    if (r.signal && r.signal->reason) {
        const QString signal = signalWords(*r.signal, r.limits, fixTimeoutS);
        const bool ok = r.reason == Reason::Ok;
        if ((r.reason == *r.signal->reason && !ok) || (ok && !r.ttffS)) return signal;
        if (!signal.isEmpty())
            words += (words.isEmpty() ? QString() : QStringLiteral("; ")) + signal;
    }
    return words;
}

QString portProblem(const QString& device, const QString& serialError) {
    const QByteArray path = QFile::encodeName(device);
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return errno == EACCES ? QStringLiteral("permission denied on the way to %1").arg(device)
                               : QStringLiteral("no such device: %1").arg(device);
    if (!S_ISCHR(info.st_mode)) return QStringLiteral("not a serial device: %1").arg(device);
    const QString permission = QStringLiteral(
                                   "permission denied: %1 (add the user to the dialout group: "
                                   "sudo adduser $USER dialout, then log in again)")
                                   .arg(device);
    if (::access(path.constData(), R_OK | W_OK) != 0) return permission;
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) return permission;
        if (errno == EBUSY)
            return QStringLiteral("busy: %1 is in use by another program").arg(device);
        return QStringLiteral("%1: %2").arg(device, serialError);
    }
    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal) return QStringLiteral("not a serial device: %1").arg(device);
    return QStringLiteral("busy: %1 is in use by another program (%2)").arg(device, serialError);
}

}  // namespace station
