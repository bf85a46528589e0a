#include "instrument/scpisession.h"

#include <QRegularExpression>
#include <algorithm>
#include <utility>

namespace instrument {

namespace {

const QByteArray kOpc = "*OPC?";
const QByteArray kNextError = "SYST:ERR?";
constexpr qsizetype kLongestLine = 65536;  // no answer of these queries comes near

// The line as a message may quote it: printable ASCII, the rest escaped.
QString quoted(const QByteArray& line) {
    QString text;
    for (const char c : line.left(80)) {
        if (c >= 0x20 && c < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return QLatin1Char('"') + text +
           (line.size() > 80 ? QStringLiteral("...\"") : QStringLiteral("\""));
}

bool printable(const QByteArray& line) {
    return !line.isEmpty() &&
           std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

}  // namespace

QString ScpiSession::name() const {
    QString text = QStringLiteral("instrument ") + settings_.address;
    if (!identity_.isEmpty()) text += QStringLiteral(" (") + identity_ + QLatin1Char(')');
    return text;
}

void ScpiSession::connecting(qint64 nowMs) {
    if (faulted_) return;
    connected_ = false;
    deadlineMs_ = nowMs + settings_.timeoutMs;
}

void ScpiSession::connected(qint64 nowMs) {
    if (faulted_) return;
    connected_ = true;
    deadlineMs_.reset();
    pump(nowMs);
}

void ScpiSession::disconnected(qint64 nowMs, const QString& why) {
    Q_UNUSED(nowMs);
    if (faulted_) return;
    fault(connected_ ? QStringLiteral("the connection was lost (%1)").arg(why)
                     : QStringLiteral("no connection (%1)").arg(why));
}

void ScpiSession::clear(qint64 nowMs) {
    steps_.push_back({"*CLS", std::nullopt, {}});
    pump(nowMs);
}

void ScpiSession::identify(qint64 nowMs) {
    steps_.push_back({"*IDN?", Expect::Identity, {}});
    pump(nowMs);
}

void ScpiSession::set(const QByteArray& command, qint64 nowMs) {
    steps_.push_back({command, std::nullopt, command});
    steps_.push_back({kOpc, Expect::Complete, command});
    steps_.push_back({kNextError, Expect::Error, command});
    pump(nowMs);
}

void ScpiSession::pump(qint64 nowMs) {
    while (connected_ && !faulted_ && !awaiting_ && !steps_.empty()) {
        Step step = std::move(steps_.front());
        steps_.pop_front();
        output_ += step.line + '\n';
        if (step.expect) {
            awaiting_ = std::move(step);
            deadlineMs_ = nowMs + settings_.timeoutMs;
        }
    }
}

void ScpiSession::received(const QByteArray& bytes, qint64 nowMs) {
    if (faulted_) return;
    input_ += bytes;
    qsizetype end;
    while (!faulted_ && (end = input_.indexOf('\n')) >= 0) {
        QByteArray line = input_.left(end);
        input_.remove(0, end + 1);
        if (line.endsWith('\r')) line.chop(1);
        answer(line, nowMs);
    }
    if (!faulted_ && input_.size() > kLongestLine)
        fault(QStringLiteral("answered %1 bytes without a line end").arg(input_.size()));
}

void ScpiSession::answer(const QByteArray& line, qint64 nowMs) {
    if (!awaiting_) {
        fault(QStringLiteral("answered %1 to no query").arg(quoted(line)));
        return;
    }
    const Step step = std::move(*awaiting_);
    awaiting_.reset();
    deadlineMs_.reset();
    switch (*step.expect) {
        case Expect::Identity:
            // Four fields: maker, model, serial number, firmware (IEEE 488.2, 10.14).
            if (!printable(line) || line.count(',') != 3) {
                fault(QStringLiteral("answered %1 to *IDN?, not an identity").arg(quoted(line)));
                return;
            }
            identity_ = QString::fromLatin1(line.trimmed());
            outcomes_.push_back({Outcome::Identified, identity_});
            break;
        case Expect::Complete:
            if (line.trimmed() != "1" && line.trimmed() != "+1") {
                fault(QStringLiteral("answered %1 to *OPC? after %2")
                          .arg(quoted(line), QString::fromLatin1(step.setting)));
                return;
            }
            errorsRead_ = 0;
            errors_.clear();
            break;
        case Expect::Error: {
            // <Error/event number>,"<Error/event description>[;<Device-dependent info>]"
            static const QRegularExpression entry(
                QStringLiteral(R"re(^\s*([+-]?\d+)\s*,\s*"(.*)"\s*$)re"));
            const auto match = printable(line) ? entry.match(QString::fromLatin1(line))
                                               : QRegularExpressionMatch();
            if (!match.hasMatch()) {
                fault(QStringLiteral("answered %1 to SYST:ERR?, not an error queue entry")
                          .arg(quoted(line)));
                return;
            }
            const QString setting = QString::fromLatin1(step.setting);
            if (match.captured(1).toInt() != 0) {
                errors_ << QStringLiteral("%1,\"%2\"")
                               .arg(match.captured(1).toInt())
                               .arg(match.captured(2));
                if (++errorsRead_ >= settings_.maxErrors) {
                    fault(QStringLiteral("%1: %2, and its error queue does not empty")
                              .arg(setting, errors_.join(QLatin1String("; "))));
                    return;
                }
                steps_.push_front({kNextError, Expect::Error, step.setting});
                break;
            }
            if (!errors_.isEmpty()) {
                fault(setting + QStringLiteral(": ") + errors_.join(QLatin1String("; ")));
                return;
            }
            outcomes_.push_back({Outcome::Done, setting});
            break;
        }
    }
    pump(nowMs);
}

void ScpiSession::tick(qint64 nowMs) {
    if (faulted_ || !deadlineMs_ || nowMs < *deadlineMs_) return;
    const double seconds = settings_.timeoutMs / 1000.0;
    if (!connected_) {
        fault(QStringLiteral("no connection within %1 s").arg(seconds));
        return;
    }
    const QString after = awaiting_->setting.isEmpty()
                              ? QString()
                              : QStringLiteral(" after ") + QString::fromLatin1(awaiting_->setting);
    fault(QStringLiteral("no answer to %1%2 within %3 s")
              .arg(QString::fromLatin1(awaiting_->line), after)
              .arg(seconds));
}

std::optional<qint64> ScpiSession::nextDeadlineMs() const {
    return faulted_ ? std::nullopt : deadlineMs_;
}

QByteArray ScpiSession::takeOutput() {
    return std::exchange(output_, {});
}

std::vector<ScpiSession::Outcome> ScpiSession::takeOutcomes() {
    return std::exchange(outcomes_, {});
}

void ScpiSession::fault(const QString& what) {
    faulted_ = true;
    steps_.clear();
    awaiting_.reset();
    deadlineMs_.reset();
    outcomes_.push_back({Outcome::Fault, name() + QStringLiteral(": ") + what});
}

}  // namespace instrument
