// What a station runs with, in one place for every front end: the test plan
// (its settings are the table of station/settings.h) read from the command
// line and plan files; the port arguments made into units; the verdict
// words and the exit statuses.
//
// A plan is read, in this order, from its defaults, a plan file (JSON, every
// key checked), a front end's stored settings, and options given beside it;
// each later one overrides.  Each unit's settings in force are stored with
// its results as a SHA-256, so a row says under which limits it was judged.
#pragma once

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/result.h"
#include "station/settings.h"

namespace station {

// One unit under test: the plan's settings (with its port's own rate,
// family and start type), its port, and who runs it.
struct UnitConfig : PlanSettings {
    QString port;    // as the user named it: a device path or "COM n"
    QString device;  // what is opened
    int slot = 1;    // the port's place among those given, from 1
    QString unit;
    QString station;
    QString operatorName;  // who runs the station
    QString lot;           // work order
    QString plan;          // the plan's name; empty without a plan file
    QString planSha256;    // of the settings in force
    // Settled by configureStart() from the start type and the plan's
    // requireHotReset: the start command (empty: found with the family), and
    // whether an unseen reset fails a unit that had a fix to lose.
    std::string command;
    bool requireReset = true;
    // With a signal test: the slot's calibration in force, or why there is
    // none (the unit is then not tested: a station fault, calibration-needed).
    std::optional<double> offset;
    std::optional<qint64> calibrationId;
    QString calibrationProblem;
    // With a sensitivity test: the slot's path loss, from a calibration made
    // at a known generator level (results/calibration.h).
    std::optional<double> pathLossDb;
    // With rfGoldenRuns, for a family that reports the figures: the slot's.
    std::optional<RfLimits> rfLimits;
    // With "auto": why the slot's RF limits could not be learned, a problem
    // once the family found reports the figures (see rfLimitsFor()).
    QString rfProblem;
    // With a plan's qualified_by: why the station may not test (the unit is
    // then not tested: a station fault, station-not-qualified); empty: it may.
    QString qualificationProblem;
    // With a plan's hold_on_alarm: why the slot is held (the unit is then not
    // tested: a station fault, slot-held); empty: it is not.
    QString holdProblem;
};

// The plan's options, as every front end takes them: --plan FILE and an
// option for each setting the command line offers.
void addPlanOptions(QCommandLineParser& parser);
// The parser's help with its usage line naming the program as the user
// types it ("gps-coldstart-cli report"), not the path it was started by.
QString helpText(const QCommandLineParser& parser, const QString& program);

// A help laid out under headings: each section's heading, its text (lines
// as written, within 80 columns) and its options, each with its
// description wrapped beside it within 80 columns.
struct HelpSection {
    QString heading;
    QString text;
    QList<QCommandLineOption> options;
};
QString sectionedHelp(const QString& usage, const QString& description,
                      const std::vector<HelpSection>& sections);
// The plan's options the command line offers under a heading, in the
// table's order.
QList<QCommandLineOption> planOptionsUnder(Group group);
// The heading of a group ("Ports and families").
QString headingOf(Group group);

// What the plan options of a command line ask for, to be laid over a plan
// (the defaults, or a front end's stored settings): a plan file replaces it,
// the other options override both.
struct PlanOptions {
    std::optional<Plan> file;
    std::vector<std::pair<const Setting*, QString>> given;  // in the table's order

    std::optional<Plan> over(Plan base, QString* error) const;
};
// Reads and checks them (a plan file is read now); nothing, with error
// naming the option or the key.
std::optional<PlanOptions> planOptions(const QCommandLineParser& parser, QString* error);

// Reads a plan file over the defaults; nothing, with error naming the file
// and the key, for an unknown key or a value out of range.
std::optional<Plan> readPlan(const QString& path, QString* error);

// The units of a plan on these ports, each PORT[@[BAUD][,FAMILY[,START]]][=UNIT],
// with the plan's name and the SHA-256 of each one's settings in force;
// nothing, with error naming the port and the mistake.
std::optional<std::vector<UnitConfig>> unitConfigs(const Plan& plan, const QStringList& ports,
                                                   QString* error);

// The settings a unit is judged under, as a JSON object, and its SHA-256
// (lower-case hex) over the compact form with sorted keys.
QJsonObject settingsInForce(const UnitConfig& unit);
QString settingsSha256(const UnitConfig& unit);

// Sets the family, the start type, the command they make and whether an
// unseen reset fails the unit: always, but for a hot start only when
// requireHotReset asks for it, since a hot start may keep its fix
// throughout.  False, with error set, for an unknown name or a start the
// family does not have.  The family "auto" takes a cold, warm or hot start
// (every family has those) and leaves the command to be made once the
// family is found.
bool configureStart(UnitConfig& unit, const QString& family, const QString& start, QString* error);

// Checks the tests against the unit's family: a family that does not report
// its antenna has no antenna test, one whose settings cannot be read back no
// config test.  False, with error set, when it cannot take them.
bool checkFamilyTests(const UnitConfig& unit, QString* error);

// What a unit's run comes to so far, as a front end shows it.
enum class Verdict {
    Idle,         // not started
    Running,      // a cycle under way
    Pass,         // every cycle passed
    Fail,         // at least one cycle failed
    Fault,        // no cycle failed, but the station could not test the unit
    Interrupted,  // stopped before a verdict
    Refused,      // the line refused the unit: not tested
};
// A run in the given phase with these cycles behind it.
Verdict verdictOf(bool started, bool done, const Tally& tally);
// The verdict in words: "idle", "running", "PASS", "FAIL", "STATION FAULT", "stopped",
// "REFUSED".
QString verdictText(Verdict verdict);

// Exit statuses of the station's programs.
enum ExitStatus {
    kOk = 0,             // every unit passed every cycle; the window closed; a report made
    kSomeFailed = 1,     // at least one unit failed a cycle
    kUsage = 2,          // the command line or a plan was wrong; nothing was opened
    kStationFault = 3,   // a port could not be opened, the database could not be opened or
                         // was cut short, or a result could not be kept
    kSpooled = 4,        // every unit passed, but some results are only in the spool file
    kRefused = 5,        // no unit failed and the station had no fault, but the line
                         // refused at least one unit
    kInterrupted = 130,  // stopped by SIGINT, SIGTERM or SIGHUP
};
// The status once every unit has ended: the units' own, kSpooled when they
// all passed but some results could only be spooled, kStationFault when a
// result could not be kept at all.
int finalStatus(int unitsStatus, bool anySpooled, bool anyLost);

}  // namespace station
