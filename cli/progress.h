// What a station run prints while it runs (standard error) and what it
// reports (standard output).
//
// Progress on a terminal is one live line per port, redrawn in place a few
// times a second: port, unit, the status text as the window shows it,
// seconds in the current state, TTFF once known; coloured unless NO_COLOR is
// set.  Anywhere else it is one line per change, "PORT: text", which a log
// file or a line controller can read.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdio>

#include "station/station.h"

namespace cli {

class Progress : public QObject {
    Q_OBJECT
public:
    enum class Mode { Quiet, Lines, Live };
    // Live on a terminal, Lines elsewhere, Quiet when asked.
    static Mode modeFor(std::FILE* stream, bool quiet);

    Progress(station::Station& station, Mode mode, bool colour, std::FILE* out = stderr);
    // Draws the live lines one last time.
    void flush();

private:
    void onChanged(station::UnitRun* unit);
    void onCycleEnded(station::UnitRun* unit, const station::CycleResult& result);
    void onRefused(station::UnitRun* unit);
    void redraw();
    QString liveLine(const station::UnitRun& unit, int columns) const;

    station::Station& station_;
    Mode mode_;
    bool colour_;
    std::FILE* out_;
    QTimer repaint_;
    int drawnLines_ = 0;
    int portWidth_ = 0, unitWidth_ = 0;
    QHash<const station::UnitRun*, QString> lastLine_;
};

// The results on standard output: JSON Lines as each cycle ends, with
// per-unit summaries after several cycles, or a table at the end.
class Report {
public:
    Report(bool json, std::FILE* out = stdout) : json_(json), out_(out) {}
    // A result as stored (with its id).
    void cycleEnded(const QJsonObject& result);
    // A unit the line refused: with JSON, one object whose "result" is "refused".
    void refused(const station::UnitRun& unit);
    void finished(const station::Station& station);

private:
    bool json_;
    std::FILE* out_;
};

}  // namespace cli
