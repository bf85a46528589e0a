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

// text in at most width characters, shortened in the middle: the
// distinguishing tail of a /dev/serial/by-id/... name stays.
QString elided(const QString& text, int width) {
    if (text.size() <= width) return text;
    if (width < 5) return text.left(std::max(width, 0));
    const int tail = (width - 1) / 2, head = width - 1 - tail;
    return text.left(head) + QChar(0x2026) + text.right(tail);
}

// The terminal's width, or 80 where it has none.
int columnsOf(std::FILE* out) {
    winsize size{};
    return ::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
}

// The reset as the table shows it: "proven", "unproven", or "-" where no
// command went out.
QString resetWord(const station::CycleResult& r) {
    if (r.resetVerified) return QStringLiteral("proven");
    return r.coldStartSent ? QStringLiteral("unproven") : QStringLiteral("-");
}

// "PASS  TTFF 3.98 s", "FAIL  C/N0 28.5 < 30 dB-Hz"; a pass whose reset
// was not proven says so in its status.
QString verdictLine(const station::CycleResult& r) {
    QString line = station::codeOf(r.outcome()).toUpper();
    if (!r.status.isEmpty()) line += QLatin1String("  ") + oneLine(r.status);
    return line;
}

QString seconds(double value) {
    return QString::number(value, 'f', 2) + QLatin1String(" s");
}

// SGR colour of a unit's state.
const char* colourOf(const station::UnitRun& unit) {
    if (!unit.done()) return unit.phase() == station::UnitRun::Phase::Idle ? "" : "\x1b[34m";
    const auto& last = unit.tally().last();
    if (!last) return "";
    switch (last->outcome()) {
        case station::Outcome::Pass:
            return "\x1b[32m";
        case station::Outcome::Fail:
            return "\x1b[31m";
        case station::Outcome::StationFault:
        case station::Outcome::Interrupted:
            break;
    }
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
    connect(&station, &station::Station::refused, this, &Progress::onRefused);
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
    QString line =
        QStringLiteral("%1: cycle %2 %3").arg(unit->config().port).arg(r.cycle).arg(verdictLine(r));
    if (r.reason != station::Reason::Ok)
        line += QStringLiteral(" (%1)").arg(station::codeOf(r.reason));
    print(out_, line + '\n');
}

void Progress::onRefused(station::UnitRun* unit) {
    if (mode_ != Mode::Lines) return;
    print(out_, unit->config().port + QLatin1String(": ") + unit->statusText() + '\n');
}

QString Progress::liveLine(const station::UnitRun& unit, int columns) const {
    // Ports and units in columns, as wide as the widest of each, but never so
    // wide that the stage or the verdict is pushed off the line: a long port
    // name gives way first, shortened in the middle.
    QString state;
    if (unit.done() && unit.tally().last()) {
        state = verdictLine(*unit.tally().last());
    } else if (unit.refused()) {
        state = unit.statusText();
    } else {
        state = oneLine(unit.statusText());
        if (!unit.done()) state += QStringLiteral("  %1s").arg(unit.msInState() / 1000);
        if (unit.ttffS()) state += QLatin1String("  TTFF ") + seconds(*unit.ttffS());
    }
    if (unit.config().cycles > 1)
        state = QStringLiteral("%1/%2 ").arg(unit.cycle()).arg(unit.config().cycles) + state;
    const int unitWidth = std::min(unitWidth_, 12);
    const int room =
        columns - (unitWidth > 0 ? unitWidth + 2 : 0) - 2 - std::min<int>(state.size(), 40);
    const int portWidth = std::clamp(room, 8, std::max(portWidth_, 8));
    QString line = elided(unit.config().port, portWidth).leftJustified(portWidth);
    if (unitWidth > 0)
        line +=
            QLatin1String("  ") + elided(unit.config().unit, unitWidth).leftJustified(unitWidth);
    return line + QLatin1String("  ") + state;
}

void Progress::redraw() {
    QString text;
    if (drawnLines_ > 0) text += QStringLiteral("\x1b[%1A").arg(drawnLines_);  // back to the first
    // A line that wrapped would throw the redraw off by a line: cut at the width.
    const int columns = columnsOf(out_) - 1;
    for (const station::UnitRun* unit : station_.units()) {
        text += QLatin1String("\r\x1b[2K");
        if (colour_) text += QLatin1String(colourOf(*unit));
        text += liveLine(*unit, columns).left(columns);
        if (colour_) text += QLatin1String("\x1b[0m");
        text += '\n';
    }
    drawnLines_ = int(station_.units().size());
    print(out_, text);
}

void Report::cycleEnded(const QJsonObject& result) {
    if (!json_) {
        // Said on standard error, as the unit's line was: the alarms its
        // result raised on its slot's charts (its JSON lists them too).
        for (const QJsonValue& a : result.value(QLatin1String("alarms")).toArray()) {
            const QString port = a[QLatin1String("port")].toString();
            print(stderr, QStringLiteral("%1: ALARM %2 %3 (%4), %5\n")
                              .arg(port.isEmpty() ? a[QLatin1String("station")].toString() : port,
                                   a[QLatin1String("chart")].toString(),
                                   a[QLatin1String("rule")].toString(),
                                   a[QLatin1String("rule_text")].toString(),
                                   QString::number(a[QLatin1String("value")].toDouble(), 'f', 3)));
        }
        return;
    }
    print(out_, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + '\n');
}

void Report::refused(const station::UnitRun& unit) {
    if (!json_) return;
    const station::UnitConfig& c = unit.config();
    const QJsonObject refusal{{"result", "refused"},
                              {"refusal", unit.refusal()},
                              {"port", c.port},
                              {"unit", c.unit},
                              {"station", c.station},
                              {"lot", c.lot},
                              {"operator", c.operatorName},
                              {"plan", c.plan}};
    print(out_, QString::fromUtf8(QJsonDocument(refusal).toJson(QJsonDocument::Compact)) + '\n');
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
    auto text = [](const auto& value, int decimals) {
        return value ? QString::number(double(*value), 'f', decimals) : QStringLiteral("-");
    };
    auto unitOf = [](const QString& unit) { return unit.isEmpty() ? QStringLiteral("-") : unit; };
    std::vector<QStringList> rows;
    std::vector<bool> left;    // text columns; the others are figures
    std::vector<int> elastic;  // the columns that give way on a narrow terminal
    if (cycles) {              // one line per unit: its cycles in figures
        rows.push_back({"PORT", "UNIT", "CYCLES", "PASSED", "UNPROVEN", "LAST", "TTFF_MEAN",
                        "TTFF_MED", "TTFF_P95", "TTFF_MAX"});
        left = {true, true, false, false, false, true, false, false, false, false};
        elastic = {0, 1, 5};
        for (const station::UnitRun* unit : station.units()) {
            const station::Summary s = unit->tally().summary();
            const auto& last = unit->tally().last();
            rows.push_back(
                {unit->config().port, unitOf(unit->config().unit), QString::number(s.cycles),
                 QString::number(s.passed), QString::number(s.resetsUnproven),
                 last ? station::codeOf(last->reason) : QStringLiteral("-"), text(s.ttffMean, 2),
                 text(s.ttffMedian, 2), text(s.ttffP95, 2), text(s.ttffMax, 2)});
        }
    } else {  // one line per unit: its result
        rows.push_back(
            {"PORT", "UNIT", "RESULT", "REASON", "RESET", "TTFF_S", "SATS", "HDOP", "CN0"});
        left = {true, true, true, true, true, false, false, false, false};
        elastic = {0, 1, 3};
        for (const station::UnitRun* unit : station.units()) {
            if (unit->refused()) {
                rows.push_back({unit->config().port, unitOf(unit->config().unit), "refused",
                                unit->refusal(), "-", "-", "-", "-", "-"});
                continue;
            }
            const auto& r = unit->tally().last();
            if (!r) continue;
            rows.push_back({r->port, unitOf(r->unit), station::codeOf(r->outcome()),
                            station::codeOf(r->reason), resetWord(*r), text(r->ttffS, 2),
                            text(r->satellites, 0), text(r->hdop, 1), text(r->cn0Mean4, 1)});
        }
    }
    // Each column as wide as its widest cell; on a terminal too narrow for
    // that, the widest of the port, unit and reason columns gives way, its
    // cells shortened in the middle, so the columns always line up.
    std::vector<int> widths(rows.front().size(), 0);
    for (const QStringList& row : rows)
        for (int i = 0; i < row.size(); ++i)
            widths[std::size_t(i)] = std::max(widths[std::size_t(i)], int(row[i].size()));
    if (::isatty(fileno(out_))) {
        const int columns = columnsOf(out_) - 1;
        auto total = [&] {
            int sum = 2 * int(widths.size() - 1);
            for (int w : widths) sum += w;
            return sum;
        };
        while (total() > columns) {
            int& widest = widths[std::size_t(*std::max_element(
                elastic.begin(), elastic.end(),
                [&](int a, int b) { return widths[std::size_t(a)] < widths[std::size_t(b)]; }))];
            if (widest <= 6) break;
            --widest;
        }
    }
    QString table;
    for (const QStringList& row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            const int w = widths[std::size_t(i)];
            const QString cell = elided(row[i], w);
            line += (i ? QLatin1String("  ") : QLatin1String("")) +
                    (left[std::size_t(i)] ? cell.leftJustified(w) : cell.rightJustified(w));
        }
        while (line.endsWith(' ')) line.chop(1);
        table += line + '\n';
    }
    print(out_, table);
}

}  // namespace cli
