#include "station/words.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QLocale>
#include <cerrno>

#include "station/config.h"

namespace station {

namespace {

// A limit as it was given: "15", "30.5".
QString limitText(double value) {
    return QLocale::c().toString(value, 'g', QLocale::FloatingPointShortest);
}

QString oneDecimal(double value) {
    return QString::number(value, 'f', 1);
}

// The reason's own words, with the measured value against the limit that
// failed it.
QString withoutNote(const CycleResult& r, int confirmTimeoutS, int fixTimeoutS,
                    const QString& problem) {
    const Limits& limits = r.limits;
    switch (r.reason) {
        case Reason::Ok:
            return r.ttffS ? QStringLiteral("TTFF %1 s").arg(*r.ttffS, 0, 'f', 2) : QString();
        case Reason::TtffOverLimit:
            if (!r.ttffS || !limits.maxTtffS) break;
            return QStringLiteral("TTFF %1 s > %2 s")
                .arg(oneDecimal(*r.ttffS), limitText(*limits.maxTtffS));
        case Reason::TooFewSatellites:
            if (!limits.minSats) break;
            return QStringLiteral("%1 satellites < %2")
                .arg(r.satellites.value_or(0))
                .arg(*limits.minSats);
        case Reason::Cn0UnderLimit:
            if (!limits.minCn0) break;
            return QStringLiteral("C/N0 %1 < %2 dB-Hz")
                .arg(r.cn0Mean4 ? oneDecimal(*r.cn0Mean4) : QStringLiteral("-"),
                     limitText(*limits.minCn0));
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
            return problem;
        case Reason::BinaryMode:
        case Reason::FamilyUnknown:
        case Reason::IdentityUnknown:
        case Reason::SignalLow:
        case Reason::SignalHigh:
        case Reason::SignalNotSeen:
            break;  // said by the note, or by the signal test's own words
    }
    return codeOf(r.reason);
}

// The signal test's verdict: "GPS:1 C/N0 42.30 dB-Hz", "... 38.10 < 40 dB-Hz",
// "GPS:1 not seen long enough within 300 s (3 readings)"; empty before it
// has one.
QString signalWords(const SignalResult& s, const Limits& limits, int timeoutS) {
    const auto mean = s.mean();
    if (!s.reason) return {};
    if (*s.reason == Reason::SignalNotSeen || !mean)
        return QStringLiteral("%1 not seen long enough within %2 s (%3 readings)")
            .arg(s.sv)
            .arg(timeoutS)
            .arg(s.values.size());
    QString text = QStringLiteral("%1 C/N0 %2").arg(s.sv, QString::number(*mean, 'f', 2));
    if (*s.reason == Reason::SignalLow && limits.cn0Low)
        text += QStringLiteral(" < ") + limitText(*limits.cn0Low);
    if (*s.reason == Reason::SignalHigh && limits.cn0High)
        text += QStringLiteral(" > ") + limitText(*limits.cn0High);
    return text + QStringLiteral(" dB-Hz");
}

}  // namespace

QString stageWords(const Stage& stage) {
    switch (stage.step) {
        case Stage::Step::Preparing:
            return QStringLiteral("getting to know the receiver");
        case Stage::Step::Opening:
            return QStringLiteral("opening");
        case Stage::Step::WaitingForTime:
            return QStringLiteral("waiting for time (%1 of 5)").arg(stage.timesCounted);
        case Stage::Step::ResetSent:
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
