#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>

namespace cli {

namespace {

constexpr int kRepaintMs = 250;

QString oneLine(QString text) {
    return text.replace('\n', QLatin1String(" / "));
}

QString seconds(double value) {
    return QString::number(value, 'f', 2) + QLatin1String(" s");
}

// SGR colour of a unit's state.
const char* colourOf(const station::UnitRun& unit) {
    if (!unit.done()) return unit.phase() == station::UnitRun::Phase::Idle ? "" : "\x1b[34m";
    const auto& last = unit.tally().last();
    if (!last) return "";
    const QString& result = last->result;
    if (result == QLatin1String("pass")) return "\x1b[32m";
    if (result == QLatin1String("fail")) return "\x1b[31m";
    return "\x1b[33m";
}

void print(std::FILE* out, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), out);
    std::fflush(out);
}

}  // namespace

Progress::Mode Progress::modeFor(std::FILE* stream, bool quiet) {
    if (quiet) return Mode::Quiet;
    return ::isatty(fileno(stream)) ? Mode::Live : Mode::Lines;
}

Progress::Progress(station::Station& station, Mode mode, bool colour, std::FILE* out)
    : station_(station), mode_(mode), colour_(colour), out_(out) {
    if (mode_ == Mode::Quiet) return;
    connect(&station, &station::Station::unitChanged, this, &Progress::onChanged);
    connect(&station, &station::Station::cycleEnded, this, &Progress::onCycleEnded);
    for (const station::UnitRun* unit : station.units()) {
        portWidth_ = std::max(portWidth_, int(unit->config().port.size()));
        unitWidth_ = std::max(unitWidth_, int(unit->config().unit.size()));
    }
    if (mode_ == Mode::Live) {
        repaint_.setInterval(kRepaintMs);
        connect(&repaint_, &QTimer::timeout, this, &Progress::redraw);
        repaint_.start();
    }
}

void Progress::flush() {
    if (mode_ == Mode::Live) redraw();
    repaint_.stop();
}

// A line when the unit's stage changes, not when only its figures do
// ("acquiring: 12 s, ..." once, "waiting for time (1 of 5)" once).
void Progress::onChanged(station::UnitRun* unit) {
    if (mode_ != Mode::Lines || unit->done()) return;
    const QString status = oneLine(unit->statusText());
    static const QRegularExpression figures(QStringLiteral("[:(].*"));
    const QString stage = QString(status).remove(figures).trimmed();
    if (stage.isEmpty() || lastLine_.value(unit) == stage) return;
    lastLine_.insert(unit, stage);
    print(out_, unit->config().port + QLatin1String(": ") + status + '\n');
}

void Progress::onCycleEnded(station::UnitRun* unit, const station::CycleResult& r) {
    if (mode_ != Mode::Lines) return;
    print(out_, QStringLiteral("%1: cycle %2 %3 (%4)  %5\n")
                    .arg(unit->config().port)
                    .arg(r.cycle)
                    .arg(r.result.toUpper(), r.reason, oneLine(r.status)));
}

QString Progress::liveLine(const station::UnitRun& unit) const {
    // Ports and units in columns, as wide as the widest of each.
    QString line = unit.config().port.leftJustified(portWidth_);
    if (unitWidth_ > 0) line += QLatin1String("  ") + unit.config().unit.leftJustified(unitWidth_);
    if (unit.config().cycles > 1)
        line += QStringLiteral("  cycle %1/%2").arg(unit.cycle()).arg(unit.config().cycles);
    QString state;
    if (unit.done() && unit.tally().last()) {
        const station::CycleResult& last = *unit.tally().last();
        state = last.result.toUpper() + QLatin1String(" ") + last.reason;
    } else {
        state = oneLine(unit.statusText());
        if (unit.phase() == station::UnitRun::Phase::ResetSeen)
            state += QLatin1String("  [reset seen]");
    }
    line += QLatin1String("  ") + state;
    if (!unit.done()) line += QStringLiteral("  %1s").arg(unit.msInState() / 1000);
    if (unit.ttffS()) line += QLatin1String("  TTFF ") + seconds(*unit.ttffS());
    return line;
}

void Progress::redraw() {
    QString text;
    if (drawnLines_ > 0) text += QStringLiteral("\x1b[%1A").arg(drawnLines_);  // back to the first
    // A line that wrapped would throw the redraw off by a line: cut at the width.
    winsize size{};
    const int columns =
        ::ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 79;
    for (const station::UnitRun* unit : station_.units()) {
        text += QLatin1String("\r\x1b[2K");
        if (colour_) text += QLatin1String(colourOf(*unit));
        text += liveLine(*unit).left(columns);
        if (colour_) text += QLatin1String("\x1b[0m");
        text += '\n';
    }
    drawnLines_ = int(station_.units().size());
    print(out_, text);
}

void Report::cycleEnded(const QJsonObject& result) {
    if (!json_) return;
    print(out_, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + '\n');
}

void Report::finished(const station::Station& station) {
    bool cycles = false;
    for (const station::UnitRun* unit : station.units()) cycles |= unit->config().cycles > 1;
    if (json_) {
        if (!cycles) return;
        for (const station::UnitRun* unit : station.units()) {
            const QJsonObject summary = unit->tally().summary().toJson();
            print(out_,
                  QString::fromUtf8(QJsonDocument(summary).toJson(QJsonDocument::Compact)) + '\n');
        }
        return;
    }
    auto row = [](const QStringList& cells, const std::vector<int>& widths) {
        QString line;
        for (int i = 0; i < cells.size(); ++i) {
            if (i) line += QLatin1String("  ");
            line += QStringLiteral("%1").arg(cells[i], widths[std::size_t(i)]);
        }
        return line.trimmed() + '\n';
    };
    auto text = [](const auto& value, int decimals) {
        return value ? QString::number(double(*value), 'f', decimals) : QStringLiteral("-");
    };
    auto unitOf = [](const QString& unit) { return unit.isEmpty() ? QStringLiteral("-") : unit; };
    QString table;
    if (cycles) {  // one line per unit: its cycles in figures
        const std::vector<int> widths = {-14, -12, 6, 6, -18, 9, 9, 9, 9};
        table = row({"PORT", "UNIT", "CYCLES", "PASSED", "LAST", "TTFF_MEAN", "TTFF_MED",
                     "TTFF_P95", "TTFF_MAX"},
                    widths);
        for (const station::UnitRun* unit : station.units()) {
            const station::Summary s = unit->tally().summary();
            const auto& last = unit->tally().last();
            table += row({unit->config().port, unitOf(unit->config().unit),
                          QString::number(s.cycles), QString::number(s.passed),
                          last ? last->reason : QStringLiteral("-"), text(s.ttffMean, 2),
                          text(s.ttffMedian, 2), text(s.ttffP95, 2), text(s.ttffMax, 2)},
                         widths);
        }
    } else {  // one line per unit: its result
        const std::vector<int> widths = {-14, -12, -13, -18, 6, 4, 5, 6};
        table = row({"PORT", "UNIT", "RESULT", "REASON", "TTFF_S", "SATS", "HDOP", "CN0"}, widths);
        for (const station::UnitRun* unit : station.units()) {
            const auto& r = unit->tally().last();
            if (!r) continue;
            table += row({r->port, unitOf(r->unit), r->result, r->reason, text(r->ttffS, 2),
                          text(r->satellites, 0), text(r->hdop, 1), text(r->cn0Mean4, 1)},
                         widths);
        }
    }
    print(out_, table);
}

}  // namespace cli
