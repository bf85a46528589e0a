// What a station window runs with: its slots and the settings every run
// shares, kept with QSettings between runs, and its command line.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "results/target.h"
#include "station/config.h"

namespace stationwin {

struct Settings {
    QStringList ports;  // one slot each, as PORT[@[BAUD][,FAMILY[,START]]]
    station::Plan plan;
    QString station;  // empty: the host name
    QString db;       // a SQLite file or postgresql://...; empty: the default file
    QString lot;
    QString operatorName;
    bool requireLotAndOperator = false;  // no slot starts without them

    // Missing or unusable values keep their defaults; each one dropped is
    // named in *problems.
    static Settings load(QSettings& store, QStringList* problems);
    void save(QSettings& store) const;

    // The station name as stored with each result.
    QString stationName() const;
};

// The slots' ports, each with its unit configuration but the serial number;
// nothing, with error naming the mistake, for a port or setting that cannot be
// (a sensitivity search among them: see searchRefusal()).
std::optional<std::vector<station::UnitConfig>> slotConfigs(const Settings& settings,
                                                            QString* error);

// Why the window does not run the plan's sensitivity searches (acquisition,
// tracking), which step one generator's level for every slot in lock-step;
// empty when the plan has none.
QString searchRefusal(const station::PlanSettings& plan);

struct CommandLine {
    enum Action { Run, Print, Fail } action = Run;
    QStringList ports;            // empty: the ports of the settings
    station::PlanOptions plan;    // laid over the stored settings
    std::optional<QString> db;    // --db
    std::optional<QString> name;  // --station
    QString text;                 // Print: standard output; Fail: the mistake
    int exitStatus = 0;
};

// arguments[0] is the program's name.
CommandLine parseCommandLine(const QStringList& arguments);

// What is kept of the settings chosen in the dialog: all but what the
// command line gave for this run, which stays as it was kept.
Settings keptSettings(Settings chosen, const Settings& kept, const CommandLine& line);

// The settings for this run: the stored ones with what the command line gives
// laid over them; nothing, with error, when the two do not go together.
std::optional<Settings> settingsForRun(Settings stored, const CommandLine& line, QString* error);

}  // namespace stationwin
