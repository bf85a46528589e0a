// What a station runs with, in one place for every front end: the test plan
// (family, start type, cycles, time-outs and limits) with its defaults,
// ranges and messages; the port arguments made into units; the lists the
// engine's tables give; the verdict words and the exit statuses.
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

namespace station {

// The names and rates the engine knows, in its own order.
QStringList familyNames();  // sirf, mtk, airoha, quectel-lg, casic, ublox
QStringList startNames();   // cold, warm, hot, factory
std::vector<int> lineRates();

// "auto" for the rate and the family: found by listening (see UnitRun).
inline const QString kAuto = QStringLiteral("auto");

struct Plan {
    QString name;     // the plan file's "name", else its base name; empty without a file
    int baud = 9600;  // 0: found by listening
    QString receiver = QStringLiteral("sirf");  // or "auto": found from what it says
    QString start = QStringLiteral("cold");
    bool requireReset = false;  // a hot start whose reset is not seen fails
    int cycles = 1;
    int confirmTimeoutS = 30;
    int fixTimeoutS = 300;
    Limits limits;
    QString expectFirmware;        // a regular expression the firmware must match; empty: any
    bool requireIdentity = false;  // a unit that does not say who it is fails
    bool toNmea = false;           // a SiRF receiver in binary mode is switched to NMEA
    // The measurements: "fix" (a verified reset and its TTFF), "signal" (the
    // C/N0 of the generator's satellite, without a reset), or both in turn.
    QStringList tests = {QStringLiteral("fix")};
    QString cn0Sv;                      // the generator's satellite, "GPS:1"
    int cn0Samples = 10;                // seconds of its C/N0 after it is first seen
    double maxOffsetDb = 6;             // a slot's calibration offset beyond this is unusable
    double calibrationMaxAgeS = 86400;  // an older calibration is unusable
};

// One unit under test: its port and what it is tested with.
struct UnitConfig {
    QString port;     // as the user named it: a device path or "COM n"
    QString device;   // what is opened
    int baud = 9600;  // 0: found by listening
    QString unit;
    QString station;
    QString operatorName;                       // who runs the station
    QString lot;                                // work order
    QString receiver = QStringLiteral("sirf");  // or "auto"
    QString start = QStringLiteral("cold");
    std::string command;  // what goes out with the fifth usable GGA; empty: found with the family
    bool requireReset = true;  // an unseen reset fails the unit (hot starts may not show one)
    int cycles = 1;
    int confirmTimeoutS = 30;  // command to verified reset
    int fixTimeoutS = 300;     // command to first fix
    Limits limits;
    QString expectFirmware;
    bool requireIdentity = false;
    bool toNmea = false;
    QString plan;        // the plan's name; empty without a plan file
    QString planSha256;  // of the settings in force
    int slot = 1;        // the port's place among those given, from 1
    QStringList tests = {QStringLiteral("fix")};
    QString cn0Sv;
    int cn0Samples = 10;
    double maxOffsetDb = 6;
    double calibrationMaxAgeS = 86400;
    // With a signal test: the slot's calibration in force, or why there is
    // none (the unit is then not tested: a station fault, calibration-needed).
    std::optional<double> offset;
    std::optional<qint64> calibrationId;
    QString calibrationProblem;

    bool testsFix() const { return tests.contains(QLatin1String("fix")); }
    bool testsSignal() const { return tests.contains(QLatin1String("signal")); }
};

// A number of the plan: its key in a plan file and in stored settings, the
// command-line option that sets it, its range, and where it goes.  A limit
// may be unset, and then is not checked.
struct NumberSetting {
    const char* key;        // "confirm_timeout_s"
    const char* option;     // "confirm-timeout"
    const char* valueName;  // "S"
    const char* help;
    double low, high;
    bool whole;
    bool limit;
    std::optional<double> (*get)(const Plan&);
    void (*set)(Plan&, std::optional<double>);
};
const std::vector<NumberSetting>& numberSettings();

// Sets a number from its text ("12", "30.5", C conventions whatever the
// locale); false, with error naming `name` and the range, when it is not one.
bool setNumber(Plan& plan, const NumberSetting& setting, const QString& text, const QString& name,
               QString* error);
// Sets the family and the start type; false, with error, for an unknown name
// or a start the family does not have.
bool setStart(Plan& plan, const QString& family, const QString& start, QString* error);
// Sets the line rate, or "auto"; false, with error, for a rate the link does
// not have.
bool setBaud(Plan& plan, const QString& text, QString* error);
// Sets the firmware a unit must have; false, with error, for a regular
// expression that does not compile.
bool setExpectFirmware(Plan& plan, const QString& pattern, QString* error);

// Sets the measurements from "fix", "signal" or "fix,signal"; false, with
// error, for anything else.
bool setTests(Plan& plan, const QString& text, QString* error);
// Sets the generator's satellite from "SYS:PRN" (GPS, GLONASS, Galileo,
// BeiDou, QZSS, NavIC or SBAS, any case; PRN 1 to 255); false, with error.
bool setCn0Sv(Plan& plan, const QString& text, QString* error);
// An age as a number with its unit: "90s", "30m", "24h" (C conventions);
// in seconds, or nothing when it is not one or not above 0.
std::optional<double> parseAge(const QString& text);
// Sets the oldest usable calibration; false, with error, for a bad age.
bool setCalibrationMaxAge(Plan& plan, const QString& text, QString* error);

// The plan's options, as every front end takes them: --plan FILE, --baud,
// the numbers, --receiver, --start, --require-reset, --expect-firmware,
// --require-identity, --to-nmea, --test, --cn0-sv, --calibration-max-age.
void addPlanOptions(QCommandLineParser& parser);
// The parser's help with its usage line naming the program as the user
// types it ("gps-coldstart-cli report"), not the path it was started by.
QString helpText(const QCommandLineParser& parser, const QString& program);

// What the plan options of a command line ask for, to be laid over a plan
// (the defaults, or a front end's stored settings): a plan file replaces it,
// the other options override both.
struct PlanOptions {
    std::optional<Plan> file;
    std::vector<std::pair<QString, QString>> given;  // option name, value; in the table's order
    bool requireReset = false;
    bool requireIdentity = false;
    bool toNmea = false;

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
// requireReset asks for it, since a hot start may keep its fix throughout.
// False, with error set, for an unknown name or a start the family does not
// have.  The family "auto" takes a cold, warm or hot start (every family has
// those) and leaves the command to be made once the family is found.
bool configureStart(UnitConfig& unit, const QString& family, const QString& start,
                    bool requireReset, QString* error);

// What a unit's run comes to so far, as a front end shows it.
enum class Verdict {
    Idle,         // not started
    Running,      // a cycle under way
    Pass,         // every cycle passed
    Fail,         // at least one cycle failed
    Fault,        // no cycle failed, but the station could not test the unit
    Interrupted,  // stopped before a verdict
};
// A run in the given phase with these cycles behind it.
Verdict verdictOf(bool started, bool done, const Tally& tally);
// The verdict in words: "idle", "running", "PASS", "FAIL", "STATION FAULT", "stopped".
QString verdictText(Verdict verdict);

// Exit statuses of the station's programs.
enum ExitStatus {
    kOk = 0,             // every unit passed every cycle; the window closed; a report made
    kSomeFailed = 1,     // at least one unit failed a cycle
    kUsage = 2,          // the command line or a plan was wrong; nothing was opened
    kStationFault = 3,   // a port could not be opened, the database could not be opened or
                         // was cut short, or a result could not be kept
    kSpooled = 4,        // every unit passed, but some results are only in the spool file
    kInterrupted = 130,  // stopped by SIGINT, SIGTERM or SIGHUP
};
// The status once every unit has ended: the units' own, kSpooled when they
// all passed but some results could only be spooled, kStationFault when a
// result could not be kept at all.
int finalStatus(int unitsStatus, bool anySpooled, bool anyLost);

}  // namespace station
