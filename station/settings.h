// The settings of a test plan, one row each: its key in plan files, in the
// station window's stored settings and in a unit's settings in force; its
// command-line option with its value's name and help; its kind and range;
// how its value is read and written; and which front ends offer it.  Each
// setting's one default is the one PlanSettings gives.
//
// A new setting is a member of PlanSettings and a row of settings(); the
// command line, plan files, the stored settings, the settings dialog and the
// settings in force take it from there.
#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <variant>
#include <vector>

#include "station/configtest.h"
#include "station/result.h"

namespace station {

// The names and rates the engine knows, in its own order.
QStringList familyNames();  // as listed (families.h): sirf, mtk, airoha, ...
QStringList startNames();   // cold, warm, hot, factory, power

// The start made by switching the slot's power off and on (see UnitRun).
inline const QString kPowerStart = QStringLiteral("power");
std::vector<int> lineRates();

// "auto" for the rate and the family: found by listening (see UnitRun).
inline const QString kAuto = QStringLiteral("auto");

// What a unit is tested with, as a plan gives it.
struct PlanSettings {
    int baud = 9600;                            // 0: found by listening
    QString receiver = QStringLiteral("sirf");  // or "auto": found from what it says
    QString start = QStringLiteral("cold");
    bool requireHotReset = false;  // every unit whose reset is not proven fails
    int cycles = 1;
    int confirmTimeoutS = 30;  // command to verified reset
    int fixTimeoutS = 300;     // command to first fix
    Limits limits;
    QString expectFirmware;        // a regular expression the firmware must match; empty: any
    bool requireIdentity = false;  // a unit that does not say who it is fails
    bool toNmea = false;           // a SiRF receiver in binary mode is switched to NMEA
    // The measurements: "fix" (a verified reset and its TTFF), "signal" (the
    // C/N0 of the generator's satellite, without a reset), or both in turn;
    // with "antenna" the antenna's state throughout, with "config" the
    // configuration written after them.
    // With a signal generator, the test types of their own rows follow
    // (testtypes.h): acquisition and tracking sensitivity.
    QStringList tests = {QStringLiteral("fix")};
    // With a signal generator: the level at the antenna port the fix and
    // signal tests run at.
    double levelDbm = -130;
    // The settings of the test types' own rows (testtypes.h), by key; a key
    // not here has its row's default.
    std::map<QString, double> own;
    QString cn0Sv;                      // the generator's satellite, "GPS:1"
    int cn0Samples = 10;                // seconds of its C/N0 after it is first seen
    double maxOffsetDb = 6;             // a slot's calibration offset beyond this is unusable
    double calibrationMaxAgeS = 86400;  // an older calibration is unusable
    bool requireAntenna = false;        // an antenna test fails an unknown state
    int antennaS = 5;                   // seconds an antenna test alone watches
    QString config;                     // the configuration file a config test writes
    std::optional<Configuration> configuration;  // as read from it
    bool configAfterFail = false;  // a unit that failed a measurement is configured too
    // The RF front end's figures in a signal test held to the slot's limits,
    // mean ± rfK·σ of its golden unit's figures over at least rfGoldenRuns
    // calibrations; 0: not held.
    int rfGoldenRuns = 0;
    double rfK = 3;
    QString study;  // the gauge study the results are for; empty: production
    // The gauge study the station must have passed, no older than the age,
    // for a production run; empty: none asked.
    QString qualifiedBy;
    double qualificationMaxAgeS = 30 * 86400;
    // When the start command goes out: "ready", once the receiver is known to
    // be there (checked sentences at the line's rate, its identity answered or
    // its time up); "time", with the fifth GGA with a usable time, as the
    // window sends it.
    QString sendAfter = QStringLiteral("ready");
    // Telling the line every kept result (results/deliverer.h): the
    // commands and the HTTP addresses, each a target with a queue of its
    // own, the back-off's first and longest wait, an attempt's time-out, and
    // how long the headless station waits at its end for what is left.
    QStringList deliver;
    QStringList deliverUrl;
    double deliverRetryS = 5;
    double deliverRetryMaxS = 300;
    double deliverTimeoutS = 30;
    double deliverWaitS = 30;
    // The unit's bytes kept with each result as evidence: "on" or "off"; and
    // how long the database keeps them and how much of them, in days and in
    // MiB compressed (the oldest go first), 0: no limit.
    // The station's figures for the plant's monitoring, written to this file
    // in the Prometheus text format (session/metrics.h); empty: none.
    QString metricsFile;
    QString evidence = QStringLiteral("on");
    int evidenceDays = 0;
    int evidenceMaxMib = 0;
    // The line's route check, run before each unit starts, and the fixture's
    // power switch for a slot (see hook.h); empty: none.
    QString routeCheck;
    QString power;
    double powerOffTimeS = 10;  // a power start's time with the supply off
    bool powerRetry = false;    // a silent unit's slot is switched off and on once
    // The signal generator that feeds the slots (instrument/): its address,
    // tcp://HOST[:PORT], empty: none; its dialect (instrument/dialects.h);
    // the scenario a dialect that plays one loads.
    QString generator;
    QString generatorDialect = QStringLiteral("rf");
    QString scenario;
    // The control charts' rules (results/linecharts.h): "western-electric"
    // (rules 1 to 4) or "nelson" (and Nelson's beyond them); and whether a
    // slot with an open alarm is held until calibrated again or cleared.
    QString spcRules = QStringLiteral("western-electric");
    bool holdOnAlarm = false;

    bool testsFix() const { return tests.contains(QLatin1String("fix")); }
    bool testsSignal() const { return tests.contains(QLatin1String("signal")); }
    bool testsAntenna() const { return tests.contains(QLatin1String("antenna")); }
    bool testsConfig() const { return tests.contains(QLatin1String("config")); }
    // Whether a test of the plan reads the slot's calibration: its C/N0
    // offset, or its path loss for the levels at the antenna port.
    bool needsCalibration() const;
    bool sendsWhenReady() const { return sendAfter == QLatin1String("ready"); }
    bool keepsEvidence() const { return evidence == QLatin1String("on"); }
    bool powerStart() const { return start == kPowerStart; }
};

// A plan: its settings and its name (the plan file's "name", else its base
// name; empty without a file).
struct Plan : PlanSettings {
    QString name;
};

enum class Kind {
    Number,  // in a range, C conventions whatever the locale; a limit may be unset
    Age,     // seconds, written with a unit: "90s", "30m", "24h"
    Rate,    // a line rate, or "auto"
    Name,    // one of choices(); the family and the start type are checked together
    List,    // a text the row checks; a plan file may give it as an array of names
    Text,    // a text the row checks; with a QStringList field, several (repeats())
    Flag,    // true or false; on the command line, given or not
};

// The front ends that offer a setting.
enum Offer : unsigned {
    kCommandLine = 1,
    kPlanFile = 2,
    kStored = 4,  // the station window's stored settings
    kDialog = 8,  // the station window's settings dialog
};

// Where the help lists a setting, under the heading of its group.
enum class Group {
    Ports,    // ports and families
    Tests,    // tests and limits
    Results,  // what is kept with the results
    Line,     // the line's and the fixture's commands
    Window,   // the window's start rule
};

// When a setting is part of a unit's settings in force, and so of its
// SHA-256: always, when it is not the default (so that plans from before it
// keep their hash), with a signal test, or never (what the results are for,
// not how they are judged).
enum class InForce { Always, UnlessDefault, WithSignal, Never };

// A limit of a measure (vocabulary/fields.h): its lower or its upper one.
struct LimitOf {
    Measure measure;
    bool upper;
    std::optional<double>& in(Limits& limits) const {
        return upper ? limits.most(measure) : limits.least(measure);
    }
};

// A number of a test type's own (testtypes.h), kept in PlanSettings::own
// under the setting's key.
struct OwnNumber {
    double byDefault;
    bool whole = false;
};

using Field =
    std::variant<int PlanSettings::*, double PlanSettings::*, bool PlanSettings::*,
                 QString PlanSettings::*, QStringList PlanSettings::*, LimitOf, OwnNumber>;

struct Setting {
    const char* key;        // "confirm_timeout_s"
    const char* option;     // "confirm-timeout"
    const char* valueName;  // "S"; empty for a flag
    const char* help;       // %1: the default as the option takes it; %2: the choices
    Kind kind;
    Field field;
    unsigned offered = kCommandLine | kPlanFile | kStored;
    InForce inForce = InForce::Always;
    double low = 0, high = 0;  // a number's range
    const char* unit = "";     // a number's, as the dialog shows it
    // List, Text: sets the value from its text, or says why it cannot.
    bool (*check)(PlanSettings&, const QString&, QString* why) = nullptr;
    QStringList (*choices)() = nullptr;  // Name, List: what the dialog offers
    bool takesAuto = false;              // Name: "auto" besides the choices
    const char* storedKey = nullptr;     // the stored settings' own, where it differs
    const char* inForceKey = nullptr;    // the settings in force's own, where it differs
    const char* label = "";              // the dialog's
    int column = 0;                      // the dialog's: 0 the fix test's, 1 the signal test's
    const char* hint = "";               // the dialog's placeholder for a text
    Group group = Group::Tests;          // the help's heading

    // The table is written with these.
    Setting& range(double from, double to, const char* in = "");
    Setting& stored(const char* as);
    Setting& notStored();
    Setting& inDialog(const char* as, int in = 0, const char* placeholder = "");
    Setting& when(InForce rule, const char* as = nullptr);
    Setting& under(Group heading);

    bool offers(Offer where) const { return offered & where; }
    bool whole() const;  // a whole number
    bool limit() const;  // a number that may be unset, and then is not checked
    // Several texts, each one line: an option given again adds one, a plan
    // file gives a text or an array of them, the stored settings and the
    // check take them a line each.
    bool repeats() const;
    QString storedAs() const { return QLatin1String(storedKey ? storedKey : key); }
    QString helpText() const;

    // Sets the default.
    void reset(PlanSettings& plan) const;
    // A number's or an age's value; nothing for an unset limit.
    std::optional<double> number(const PlanSettings& plan) const;
    void setNumber(PlanSettings& plan, std::optional<double> value) const;
    // The value as the command line takes it; empty for an unset limit.
    QString print(const PlanSettings& plan) const;
    // Sets the value from that text; false, with why ("\"0\" is not a whole
    // number from 1 to 100000"), when it is not one.  A name is any text
    // until checkStart().
    bool parse(PlanSettings& plan, const QString& text, QString* why) const;
    // The value as a plan file has it, and from it; false, with why ("is not
    // a text"), when it is not one.
    QJsonValue toJson(const PlanSettings& plan) const;
    bool fromJson(PlanSettings& plan, const QJsonValue& value, QString* why) const;
};

const std::vector<Setting>& settings();
// The row of a key; it must be one.
const Setting& setting(const char* key);

// Checks the family and the start type together, and the settings that go
// together (a power start and the power command, a generator's dialect and
// its scenario); false, with why, for an unknown name, a start the family
// does not have or a setting without its partner.
bool checkStart(const PlanSettings& plan, QString* why);

// An age as a number with its unit: "90s", "30m", "24h" (C conventions);
// in seconds, or nothing when it is not one or not above 0.
std::optional<double> parseAge(const QString& text);

}  // namespace station
